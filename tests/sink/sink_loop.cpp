#include "sink_loop.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sys/stat.h>

#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_reader.h"

namespace orlenta::testing {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kRowBytes = kWidth * 4;
constexpr int kPictureCount = 8;

// Picture k: every row a flat level that steps down the frame, the first word of each row k.
const std::vector<std::vector<uint8_t>>& pictures() {
    static const std::vector<std::vector<uint8_t>> all = [] {
        std::vector<std::vector<uint8_t>> made(kPictureCount,
                                               std::vector<uint8_t>(kRowBytes * kHeight));
        for (int k = 0; k < kPictureCount; ++k)
            for (int y = 0; y < kHeight; ++y) {
                uint8_t* row = made[k].data() + y * kRowBytes;
                std::memset(row, (y * 7 + k * 37 + 11) & 0xff, kRowBytes);
                const uint32_t tag = 0x4f524c00u | static_cast<uint32_t>(k);
                std::memcpy(row, &tag, sizeof tag);
            }
        return made;
    }();
    return all;
}

const std::vector<uint64_t>& pictureHashes() {
    static const std::vector<uint64_t> hashes = [] {
        std::vector<uint64_t> all;
        for (const auto& picture : pictures())
            all.push_back(hashPicture(picture.data(), kWidth, kHeight, kRowBytes));
        return all;
    }();
    return hashes;
}

} // namespace

bool SinkLoop::isOurPicture(uint64_t hash) {
    return std::count(pictureHashes().begin(), pictureHashes().end(), hash) > 0;
}

SinkLoop::SinkLoop(std::shared_ptr<CameraSystem> system, Options options)
    : options_(options),
      pool_(PixelBufferPool::create({kWidth, kHeight, kPixelFormatBGRA, 12 + options.keepBuffers})),
      videoQueue_(std::make_unique<SerialQueue>("example.orlenta.camera.video")) {
    pictureHashes();
    sink_ = VirtualCameraSink::create(std::move(system), main_);
    mainThread_ = std::thread([this] { main_.run(); });
}

SinkLoop::~SinkLoop() {
    stopping_ = true;
    if (clock_.joinable())
        clock_.join();
    // No check starts after this: neither the timer nor a device-list change.
    main_.sync([this] {
        timer_.reset();
        sink_->setOnDevicesChanged({});
    });
    videoQueue_->sync([this] { kept_.clear(); });
    // The sink goes before the main thread's loop: its listener posts there.
    sink_.reset();
    main_.quit();
    mainThread_.join();
    videoQueue_.reset();
}

void SinkLoop::start() {
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

void SinkLoop::check() {
    videoQueue_->async([this] {
        const bool result = sink_->connect();
        main_.post([this, result] {
            connected_ = result;
            ++checks_;
        });
    });
}

bool SinkLoop::waitForCheck(bool connected, double timeoutSeconds) const {
    const uint64_t before = checks_;
    return waitUntil([&] { return checks_ > before && connected_ == connected; }, timeoutSeconds);
}

CameraObjectId SinkLoop::deviceId() {
    CameraObjectId id = 0;
    videoQueue_->sync([&] { id = sink_->isConnected() ? sink_->deviceId() : 0; });
    return id;
}

std::vector<SinkLoop::SentFrame> SinkLoop::sentFrames() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

double SinkLoop::longestSend(double from, double to) const {
    double longest = 0;
    for (const SentFrame& frame : sentFrames())
        if (frame.sentAt >= from && frame.sentAt < to)
            longest = std::max(longest, frame.sendDuration);
    return longest;
}

std::vector<uint64_t> SinkLoop::sentInodes() const {
    std::lock_guard lock(mutex_);
    return inodes_;
}

void SinkLoop::processFrame(uint64_t number) {
    SentFrame frame;
    std::shared_ptr<PixelBuffer> buffer = pool_->createPixelBuffer();
    if (buffer) {
        const size_t k = number % kPictureCount;
        {
            PixelBufferLock lock(*buffer);
            for (int y = 0; y < kHeight; ++y)
                std::memcpy(lock.data() + y * buffer->bytesPerRow(),
                            pictures()[k].data() + y * kRowBytes, kRowBytes);
        }
        struct stat status {};
        if (options_.recordBuffers && ::fstat(buffer->fd(), &status) == 0) {
            std::lock_guard lock(mutex_);
            if (std::find(inodes_.begin(), inodes_.end(), status.st_ino) == inodes_.end())
                inodes_.push_back(status.st_ino);
        }
        frame.sentAt = monotonicSeconds();
        sink_->send(buffer);
        frame.sendDuration = monotonicSeconds() - frame.sentAt;
        if (options_.keepBuffers > 0) {
            kept_.push_back(std::move(buffer));
            if (kept_.size() > options_.keepBuffers)
                kept_.pop_front();
        }
    }
    std::lock_guard lock(mutex_);
    sent_.push_back(frame);
}

} // namespace orlenta::testing
