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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "app/sink/virtual_camera_sink.h"
#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_reader.h"

namespace orlenta::testing {

class SinkLoop {
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;
    static constexpr size_t kRowBytes = kWidth * 4;
    static constexpr int kPictureCount = 8;

    struct Options {
        // Record the memfd inode of every buffer sent (for zero-copy checks).
        bool recordBuffers = false;
        // Render every frame into a buffer of its own, never one that comes back, so that the
        // writer never takes a buffer into its set and copies every frame.
        bool freshBuffers = false;
    };

    SinkLoop(std::shared_ptr<CameraSystem> system, Options options)
        : options_(options),
          pool_(PixelBufferPool::create({kWidth, kHeight, kPixelFormatBGRA, 12})),
          videoQueue_(std::make_unique<SerialQueue>("example.orlenta.camera.video")) {
        pictures();
        sink_ = VirtualCameraSink::create(std::move(system), main_);
        mainThread_ = std::thread([this] { main_.run(); });
    }
    // Stops the frames and the timer, lets the sink go and ends the main thread.
    ~SinkLoop() {
        stopping_ = true;
        if (clock_.joinable())
            clock_.join();
        // No check starts after this: neither the timer nor a device-list change.
        main_.sync([this] {
            timer_.reset();
            sink_->setOnDevicesChanged({});
        });
        // Frames already posted to the video queue are sent before the sink goes.
        videoQueue_->sync([] {});
        // The sink goes before the main thread's loop: its listener posts there.
        sink_.reset();
        main_.quit();
        mainThread_.join();
        videoQueue_.reset();
    }
    SinkLoop(const SinkLoop&) = delete;
    SinkLoop& operator=(const SinkLoop&) = delete;

    // Installs the device-list callback and the timer, runs one check, starts the frames.
    void start() {
        main_.sync([this] {
            sink_->setOnDevicesChanged([this] { check(); });
            timer_ = main_.scheduleTimer(2.0, true, [this] { check(); });
            check();
        });
        clock_ = std::thread([this] {
            const double start = monotonicSeconds();
            for (uint64_t number = 0; !stopping_; ++number) {
                const double wait = start + static_cast<double>(number) / 30 - monotonicSeconds();
                if (wait > 0)
                    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
                videoQueue_->async([this, number] { processFrame(number); });
            }
        });
    }

    // The result of the last check, as the main thread published it.
    bool connected() const { return connected_; }
    // Waits until a check publishes `connected`; false after the timeout.
    bool waitForCheck(bool connected, double timeoutSeconds) const {
        const uint64_t before = checks_;
        return waitUntil([&] { return checks_ > before && connected_ == connected; },
                         timeoutSeconds);
    }
    // The sink's device id while it is connected, else 0 (read on the video queue).
    CameraObjectId deviceId() {
        CameraObjectId id = 0;
        videoQueue_->sync([&] { id = sink_->isConnected() ? sink_->deviceId() : 0; });
        return id;
    }

    // How many frames were sent between the two times, and the longest send() among them.
    struct Sent {
        size_t count = 0;
        double longest = 0;
    };
    Sent sent(double from, double to) const {
        std::lock_guard lock(mutex_);
        Sent sent;
        for (const auto& [at, length] : sent_)
            if (at >= from && at < to)
                sent = {sent.count + 1, std::max(sent.longest, length)};
        return sent;
    }
    static bool isOurPicture(uint64_t hash) {
        return std::ranges::count(pictures().hashes, hash) > 0;
    }
    // The memfd inode of every pool buffer that was sent, with how many frames it carried
    // (recordBuffers only).
    std::map<uint64_t, size_t> sentInodes() const {
        std::lock_guard lock(mutex_);
        return inodes_;
    }

private:
    // Picture k: every row a flat level that steps down the frame, the first word of each row k;
    // and the hashes of all.
    struct Pictures {
        std::vector<std::vector<uint8_t>> pictures;
        std::vector<uint64_t> hashes;
    };
    static const Pictures& pictures() {
        static const Pictures all = [] {
            Pictures made;
            for (int k = 0; k < kPictureCount; ++k) {
                auto& picture = made.pictures.emplace_back(kRowBytes * kHeight);
                for (int y = 0; y < kHeight; ++y) {
                    uint8_t* row = picture.data() + y * kRowBytes;
                    std::memset(row, (y * 7 + k * 37 + 11) & 0xff, kRowBytes);
                    const uint32_t tag = 0x4f524c00u | static_cast<uint32_t>(k);
                    std::memcpy(row, &tag, sizeof tag);
                }
                made.hashes.push_back(hashPicture(picture.data(), kWidth, kHeight, kRowBytes));
            }
            return made;
        }();
        return all;
    }

    void check() {
        videoQueue_->async([this] {
            const bool result = sink_->connect();
            main_.post([this, result] {
                connected_ = result;
                ++checks_;
            });
        });
    }

    void processFrame(uint64_t number) {
        std::shared_ptr<PixelBuffer> buffer = options_.freshBuffers
                                                  ? PixelBuffer::create(kWidth, kHeight)
                                                  : pool_->createPixelBuffer();
        double at = 0, length = 0; // a frame without a buffer counts at 0
        if (buffer) {
            {
                PixelBufferLock lock(*buffer);
                for (int y = 0; y < kHeight; ++y)
                    std::memcpy(lock.data() + y * buffer->bytesPerRow(),
                                pictures().pictures[number % kPictureCount].data() + y * kRowBytes,
                                kRowBytes);
            }
            struct stat status {};
            if (options_.recordBuffers && ::fstat(buffer->fd(), &status) == 0) {
                std::lock_guard lock(mutex_);
                ++inodes_[status.st_ino];
            }
            at = monotonicSeconds();
            sink_->send(buffer);
            length = monotonicSeconds() - at;
        }
        std::lock_guard lock(mutex_);
        sent_.emplace_back(at, length);
    }

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

    mutable std::mutex mutex_;
    std::vector<std::pair<double, double>> sent_; // monotonic seconds before send(), its length
    std::map<uint64_t, size_t> inodes_;
};

} // namespace orlenta::testing
