// Drives a VirtualCameraSink the way the pipeline's virtual-camera hand-off does, for tests and
// benchmarks against the real daemon:
//
//   - a "main thread" (an EventLoop on a thread of its own) runs a connect check once at start,
//     every 2.0 s from a repeating timer, and whenever the sink reports a device-list change;
//     a check calls connect() on the video queue and publishes the result on the main thread;
//   - a frame clock posts one frame per period to the video queue, where the frame is rendered
//     into a buffer of a pool (one of a few fixed test pictures) and handed to send().
//
// It records what a test looks at: each check's result, how long every send() took, when each
// frame was sent and which picture it was. Pictures are told apart by their hash
// (testing::hashPicture of the packed 1280 x 720 BGRA frame).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/sink/virtual_camera_sink.h"
#include "camera_service/camera_service.h"
#include "media/dispatch.h"
#include "media/pixel_buffer.h"

namespace orlenta::testing {

class SinkLoop {
public:
    static constexpr double kCheckPeriodSeconds = 2.0;
    static constexpr int kPictureCount = 8;

    struct SentFrame {
        uint64_t number = 0;
        double sentAt = 0;        // monotonic seconds, just before send()
        double sendDuration = 0;  // seconds spent in send()
        uint64_t pictureHash = 0; // 0 when no pool buffer was free (nothing sent)
    };

    struct Options {
        double framesPerSecond = 30;
        // Record the memfd inode of every buffer sent (for zero-copy checks).
        bool recordBuffers = false;
        // Keep this many of the last sent buffers from the pool, so that every frame comes in a
        // buffer the writer has not carried for a while (more than it remembers: it copies).
        size_t keepBuffers = 0;
    };

    explicit SinkLoop(std::shared_ptr<CameraSystem> system, Options options);
    // Stops the frames and the timer, lets the sink go and ends the main thread.
    ~SinkLoop();
    SinkLoop(const SinkLoop&) = delete;
    SinkLoop& operator=(const SinkLoop&) = delete;

    // Installs the device-list callback and the timer, runs one check, starts the frames.
    void start();

    // The result of the last check, as the main thread published it, and how many ran.
    bool connected() const { return connected_; }
    uint64_t checkCount() const { return checks_; }
    // Waits until a check publishes `connected`; false after the timeout.
    bool waitForCheck(bool connected, double timeoutSeconds) const;

    // The sink's current device id (read on the video queue).
    CameraObjectId deviceId();
    bool sinkConnected();

    std::vector<SentFrame> sentFrames() const;
    // Hashes of the test pictures; a frame a reader receives is one of them or not ours.
    static const std::vector<uint64_t>& pictureHashes();
    static bool isOurPicture(uint64_t hash);
    // The memfd inodes of every pool buffer that was sent (recordBuffers only).
    std::vector<uint64_t> sentInodes() const;

private:
    void check();
    void frameClock();
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

    // Video queue.
    std::deque<std::shared_ptr<PixelBuffer>> kept_;

    mutable std::mutex mutex_;
    std::vector<SentFrame> sent_;
    std::vector<uint64_t> inodes_;
};

} // namespace orlenta::testing
