// Drives a VirtualCameraSink the way the pipeline's virtual-camera hand-off does, against the
// real daemon:
//
//   - a "main thread" (an EventLoop on a thread of its own) runs a connect check once at start,
//     every 2.0 s from a repeating timer, and whenever the sink reports a device-list change;
//     a check calls connect() on the video queue and publishes the result on the main thread;
//   - a frame clock posts one frame every 1/30 s to the video queue, where the frame is rendered
//     into a buffer of a pool (one of a few fixed test pictures) and handed to send().
//
// It records each check's result, and when each frame was sent and how long send() took.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/sink/virtual_camera_sink.h"

namespace orlenta::testing {

class SinkLoop {
public:
    struct Options {
        // Record the memfd inode of every buffer sent (for zero-copy checks).
        bool recordBuffers = false;
        // Keep this many of the last sent buffers from the pool, so that every frame comes in a
        // buffer the writer has not carried for a while (more than it remembers: it copies).
        size_t keepBuffers = 0;
    };

    SinkLoop(std::shared_ptr<CameraSystem> system, Options options);
    // Stops the frames and the timer, lets the sink go and ends the main thread.
    ~SinkLoop();
    SinkLoop(const SinkLoop&) = delete;
    SinkLoop& operator=(const SinkLoop&) = delete;

    // Installs the device-list callback and the timer, runs one check, starts the frames.
    void start();

    // The result of the last check, as the main thread published it.
    bool connected() const { return connected_; }
    // Waits until a check publishes `connected`; false after the timeout.
    bool waitForCheck(bool connected, double timeoutSeconds) const;
    // The sink's device id while it is connected, else 0 (read on the video queue).
    CameraObjectId deviceId();

    // How many frames were sent between the two times, and the longest send() among them.
    struct Sent {
        size_t count = 0;
        double longest = 0;
    };
    Sent sent(double from, double to) const;
    static bool isOurPicture(uint64_t hash);
    // The memfd inodes of every pool buffer that was sent (recordBuffers only).
    std::vector<uint64_t> sentInodes() const;

private:
    void check();
    void processFrame(uint64_t number);

    const Options options_;
    std::shared_ptr<PixelBufferPool> pool_;
    EventLoop main_;
    std::thread mainThread_;
    std::unique_ptr<Timer> timer_;
    std::unique_ptr<SerialQueue> videoQueue_;
    std::shared_ptr<VirtualCameraSink> sink_;

    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> checks_{0};
    std::atomic<bool> stopping_{false};
    std::thread clock_;
    std::deque<std::shared_ptr<PixelBuffer>> kept_; // video queue

    mutable std::mutex mutex_;
    std::vector<std::pair<double, double>> sent_; // monotonic seconds before send(), its length
    std::vector<uint64_t> inodes_;
};

} // namespace orlenta::testing
