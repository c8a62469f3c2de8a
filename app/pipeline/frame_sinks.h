// Where the pipeline's finished frames go: the preview (DisplaySink) and the virtual camera
// (FrameSink). The pipeline holds both by std::shared_ptr, shared with whoever made them; their
// implementations live elsewhere (the Qt preview in app/ui, the virtual camera in app/sink) and
// need only this header, not the pipeline's.
#pragma once

#include <memory>

#include "media/dispatch.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {

// The preview as the pipeline sees it: a display that accepts timestamped frames. Called on the
// main thread only.
class DisplaySink {
public:
    virtual ~DisplaySink() = default;
    // True when the display has stopped rendering and must be flushed before it takes more.
    virtual bool hasFailed() const = 0;
    virtual void flush() = 0;
    // Drops every frame it holds and shows nothing until the next enqueue.
    virtual void flushAndRemoveImage() = 0;
    virtual void enqueue(std::shared_ptr<SampleBuffer> sample) = 0;
};

// The virtual camera as the pipeline sees it. send() and connect() are called on the video queue,
// setOnDevicesChanged() on the main thread. A sink without a link to open (a recorder, a test)
// keeps the defaults: it never reports a connection.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Receives every finished output frame. Must not block; may keep a reference to the buffer.
    virtual void send(const std::shared_ptr<PixelBuffer>& frame) = 0;
    // Opens the link if it is not open; true when connected after the call.
    virtual bool connect() { return false; }
    // The callback runs on the main thread whenever the system's camera devices change.
    virtual void setOnDevicesChanged(Task) {}
};

} // namespace orlenta
