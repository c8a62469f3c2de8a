#include "extension/loopback_output.h"

#include <chrono>
#include <utility>

#include "camera_service/virtual_camera.h"
#include "extension/extension_log.h"

namespace orlenta {

LoopbackOutput::LoopbackOutput() : LoopbackOutput(Environment()) {}

LoopbackOutput::LoopbackOutput(Environment environment) : environment_(std::move(environment)) {
    if (!environment_.findDevice)
        environment_.findDevice = [] { return loopback::findDevice(virtual_camera::kDeviceName); };
    if (!environment_.makeWriter)
        environment_.makeWriter = [] { return loopback::makeV4l2Writer(); };
}

LoopbackOutput::~LoopbackOutput() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void LoopbackOutput::start() {
    if (thread_.joinable())
        return;
    thread_ = std::thread([this] { run(); });
}

void LoopbackOutput::run() {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(environment_.pollSeconds));
    auto nextPoll = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_until(lock, nextPoll, [this] { return stopping_ || pending_ != nullptr; });
        if (stopping_)
            break;
        lock.unlock();
        if (Clock::now() >= nextPoll) {
            poll();
            nextPoll = Clock::now() + interval;
        }
        writePending();
        lock.lock();
    }
}

void LoopbackOutput::offer(std::shared_ptr<PixelBuffer> frame) {
    if (!frame || !open_)
        return;
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(frame);
    }
    wake_.notify_one();
}

void LoopbackOutput::setWantsFramesHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void LoopbackOutput::setOpen(bool open) {
    if (open_.exchange(open) == open)
        return;
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
        if (!open)
            pending_.reset();
    }
    if (handler)
        handler();
}

void LoopbackOutput::closeDevice() {
    writer_.reset();
    devicePath_.clear();
    setOpen(false);
}

void LoopbackOutput::poll() {
    const std::optional<std::string> found = environment_.findDevice();
    if (writer_ && (!found || *found != devicePath_))
        closeDevice();
    if (writer_ || !found)
        return;
    std::unique_ptr<loopback::Writer> writer = environment_.makeWriter();
    std::string error;
    if (!writer || !writer->open(*found, &error)) {
        report(error.empty() ? "V4L2 output: " + *found + " cannot be used" : error);
        return;
    }
    writer_ = std::move(writer);
    devicePath_ = *found;
    converted_.resize(loopback::kFrameBytes);
    setOpen(true);
}

void LoopbackOutput::writePending() {
    std::shared_ptr<PixelBuffer> frame;
    {
        std::lock_guard lock(mutex_);
        frame = std::move(pending_);
        pending_.reset();
    }
    if (!frame || !writer_)
        return;
    if (frame->width() != loopback::kFrameWidth || frame->height() != loopback::kFrameHeight) {
        report("V4L2 output: a " + std::to_string(frame->width()) + "x" +
               std::to_string(frame->height()) + " frame is not written (the device takes " +
               "1280x720 only)");
        return;
    }
    {
        PixelBufferLock lock(*frame);
        if (!lock)
            return;
        loopback::convertBgraToYuyv(lock.data(), frame->bytesPerRow(), frame->width(),
                                    frame->height(), converted_.data(), loopback::kBytesPerLine);
    }
    std::string error;
    switch (writer_->write(converted_.data(), converted_.size(), &error)) {
    case loopback::Writer::Written::frame:
        lastReported_.clear();
        break;
    case loopback::Writer::Written::dropped:
        break;
    case loopback::Writer::Written::failed:
        report(error + "; letting it go");
        closeDevice();
        break;
    }
}

void LoopbackOutput::report(const std::string& message) {
    if (message == lastReported_)
        return;
    lastReported_ = message;
    extensionLogger().error(message);
}

} // namespace orlenta
