// FrameSource: where the pipeline's camera frames come from.
#pragma once

#include <functional>
#include <memory>

#include "media/dispatch.h"
#include "media/sample_buffer.h"

namespace orlenta {

// start/stop are called on the video queue; while running, the source calls the frame handler on
// the given queue, one frame at a time, discarding frames that arrive while the previous one is
// still being processed. Once setFrameHandler(nullptr, nullptr) has returned, the source posts
// nothing more to the queue it was given.
class FrameSource {
public:
    using FrameHandler = std::function<void(std::shared_ptr<SampleBuffer>)>;
    virtual ~FrameSource() = default;
    virtual void setFrameHandler(FrameHandler handler, SerialQueue* queue) = 0;
    virtual void startRunning() = 0;
    virtual void stopRunning() = 0;
    virtual bool isRunning() const = 0;
};

} // namespace orlenta
