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

// Picture k: every row a flat level that steps down the frame, the first word of each row k; and
// the hashes of all.
struct Pictures {
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint64_t> hashes;
};
const Pictures& pictures() {
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

} // namespace

bool SinkLoop::isOurPicture(uint64_t hash) {
    return std::ranges::count(pictures().hashes, hash) > 0;
}

SinkLoop::SinkLoop(std::shared_ptr<CameraSystem> system, Options options)
    : options_(options),
      pool_(PixelBufferPool::create({kWidth, kHeight, kPixelFormatBGRA, 12 + options.keepBuffers})),
      videoQueue_(std::make_unique<SerialQueue>("example.orlenta.camera.video")) {
    pictures();
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

SinkLoop::Sent SinkLoop::sent(double from, double to) const {
    std::lock_guard lock(mutex_);
    Sent sent;
    for (const auto& [at, length] : sent_)
        if (at >= from && at < to)
            sent = {sent.count + 1, std::max(sent.longest, length)};
    return sent;
}

std::vector<uint64_t> SinkLoop::sentInodes() const {
    std::lock_guard lock(mutex_);
    return inodes_;
}

void SinkLoop::processFrame(uint64_t number) {
    std::shared_ptr<PixelBuffer> buffer = pool_->createPixelBuffer();
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
            if (std::ranges::count(inodes_, status.st_ino) == 0)
                inodes_.push_back(status.st_ino);
        }
        at = monotonicSeconds();
        sink_->send(buffer);
        length = monotonicSeconds() - at;
        kept_.push_back(std::move(buffer));
        if (kept_.size() > options_.keepBuffers)
            kept_.pop_front();
    }
    std::lock_guard lock(mutex_);
    sent_.emplace_back(at, length);
}

} // namespace orlenta::testing
