// The daemon's second output beside PipeWire: every picture its PipeWire readers get (the app's
// frames, the placeholder while the app is silent) also goes to the V4L2 loopback device
// "Orlenta Camera" whenever one exists.
//
// FrameOutput is what the device source feeds (tests give it a recording double); LoopbackOutput
// is the real one. It looks for the device in sysfs every second, picks it up when it appears
// and lets go when it disappears, converts each offered frame to YUYV and writes it. Both the
// conversion and the writing happen on a thread of its own, so neither ever delays the relay to
// PipeWire readers: offer() only swaps the newest frame into a one-frame slot (an older frame
// still waiting there is dropped). A device that refuses the format, vanishes while written or
// is held by another writer is let go and looked for again at the next poll; each distinct
// failure is logged once until a frame is written again.
//
// Threads: offer(), wantsFrames() and setWantsFramesHandler() from any thread. The handler runs
// on the output's thread, with none of its locks held. Without start(), poll() and
// writePending() do the thread's work on the caller's thread (for tests and benchmarks).
//
// Ownership: the process entry keeps the LoopbackOutput for the life of the process, apart from
// the device sources that feed it; destroying it stops and joins its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "extension/loopback_device.h"
#include "media/pixel_buffer.h"

namespace orlenta {

class FrameOutput {
public:
    virtual ~FrameOutput() = default;
    // Hands over the picture just sent to PipeWire readers (or that would be, had it any).
    virtual void offer(std::shared_ptr<PixelBuffer> frame) = 0;
    // True while frames are wanted (a device is open); offers are pointless otherwise.
    virtual bool wantsFrames() const = 0;
    // Called whenever wantsFrames() changes; an empty function removes the handler.
    virtual void setWantsFramesHandler(std::function<void()> handler) = 0;
};

class LoopbackOutput final : public FrameOutput {
public:
    struct Environment {
        // The device node to write, if there is one now; loopback::findDevice("Orlenta Camera")
        // when empty.
        std::function<std::optional<std::string>()> findDevice;
        // A closed writer; loopback::makeV4l2Writer() when empty.
        std::function<std::unique_ptr<loopback::Writer>()> makeWriter;
        double pollSeconds = 1.0;
    };

    // The real device and writer.
    LoopbackOutput();
    explicit LoopbackOutput(Environment environment);
    ~LoopbackOutput() override;
    LoopbackOutput(const LoopbackOutput&) = delete;
    LoopbackOutput& operator=(const LoopbackOutput&) = delete;

    // Starts the output's thread: a poll at once, then one every pollSeconds, and every offered
    // frame written as soon as it is there.
    void start();

    void offer(std::shared_ptr<PixelBuffer> frame) override;
    bool wantsFrames() const override { return open_.load(); }
    void setWantsFramesHandler(std::function<void()> handler) override;

    // The thread's work: looks for the device, opening or closing it as needed.
    void poll();
    // The thread's work: writes the frame waiting in the slot, if a device is open.
    void writePending();

private:
    void setOpen(bool open);
    void closeDevice();
    // Logs the failure unless it is the one logged last; a written frame forgets it.
    void report(const std::string& message);
    void run();

    Environment environment_;
    // Output thread only.
    std::unique_ptr<loopback::Writer> writer_;
    std::string devicePath_;
    std::string lastReported_;
    std::vector<uint8_t> converted_;

    std::atomic<bool> open_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<PixelBuffer> pending_;
    std::function<void()> handler_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace orlenta
