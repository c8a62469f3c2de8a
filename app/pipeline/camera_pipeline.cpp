#include "app/pipeline/camera_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/face_detector.h"
#include "media/log.h"
#include "media/media_time.h"
#include "media/thread_check.h"

namespace orlenta {

namespace {

constexpr double kOutputWidthD = CameraPipeline::kOutputWidth;
constexpr double kOutputHeightD = CameraPipeline::kOutputHeight;

// How often a video-queue thread waiting for the main thread looks whether the pipeline is being
// torn down, so that destruction on the main thread can never wait for a hop it is blocking.
constexpr auto kHopPollInterval = std::chrono::milliseconds(20);

cv::Mat matView(PixelBuffer& buffer, uint8_t* data) {
    return cv::Mat(buffer.height(), buffer.width(), CV_8UC4, data, buffer.bytesPerRow());
}

const Logger& pipelineLog() {
    static const Logger log("example.orlenta.camera", "pipeline");
    return log;
}

} // namespace

std::shared_ptr<CameraPipeline> CameraPipeline::create(Dependencies dependencies) {
    if (!dependencies.mainExecutor)
        return nullptr;
    ORLENTA_ASSERT_ON_EXECUTOR(*dependencies.mainExecutor);
    if (dependencies.frameSource && dependencies.captureSystem)
        return nullptr;
    std::shared_ptr<CameraPipeline> pipeline(new CameraPipeline(std::move(dependencies)));
    if (pipeline->frameSource_) {
        // The source posts onto our own video queue, which is drained before any member goes
        // away, and the handler is removed first thing in the destructor: a raw pointer is safe
        // here, and avoids the pipeline ever being destroyed from its own queue.
        CameraPipeline* self = pipeline.get();
        pipeline->frameSource_->setFrameHandler(
            [self](std::shared_ptr<SampleBuffer> sample) { self->processFrame(sample); },
            pipeline->videoQueue_.get());
    }
    if (pipeline->captureSystem_) {
        std::weak_ptr<CameraPipeline> weak = pipeline;
        pipeline->deviceObserver_ = pipeline->captureSystem_->addDeviceObserver(
            [weak](CaptureSystem::DeviceEvent, const CaptureDevice&) {
                if (auto self = weak.lock())
                    self->refreshCameras();
            });
    }
    // The list is there before access is asked for; with access already granted, the choice it
    // makes is applied at once.
    pipeline->refreshCameras();
    return pipeline;
}

CameraPipeline::CameraPipeline(Dependencies dependencies)
    : main_(*dependencies.mainExecutor), detector_(std::move(dependencies.detector)),
      previewLayer_(std::move(dependencies.previewLayer)), sink_(std::move(dependencies.sink)),
      frameSource_(std::move(dependencies.frameSource)),
      captureSystem_(std::move(dependencies.captureSystem)),
      frameClock_(std::move(dependencies.frameClock)),
      bufferPool_(PixelBufferPool::create(dependencies.pool)),
      basePool_(PixelBufferPool::create(dependencies.pool)),
      tracker_(std::make_unique<FaceTracker>()),
      videoQueue_(std::make_unique<SerialQueue>("example.orlenta.camera.video")) {
    videoQueueCheck_.bind(*videoQueue_);
    faceDetectionFailed.set(detector_ == nullptr);
    lastPublishedDetectionFailed_ = detector_ == nullptr;
    if (captureSystem_) {
        session_ = captureSystem_->makeSession();
        frameSource_ = session_;
        setCameraAccess(captureSystem_->authorizationStatus());
    }
}

CameraPipeline::~CameraPipeline() {
    stopping_ = true;
    if (captureSystem_ && deviceObserver_)
        captureSystem_->removeDeviceObserver(*deviceObserver_);
    if (frameSource_)
        frameSource_->setFrameHandler(nullptr, nullptr);
    // The camera is let go on the video queue, like every other session change.
    if (session_)
        videoQueue_->async([session = session_] {
            session->stopRunning();
            session->removeInput();
        });
    // Work already queued runs (and returns early); then the thread ends.
    videoQueue_.reset();
}

void CameraPipeline::setFrameObserver(std::function<void(const ProcessedFrame&)> observer) {
    frameObserver_ = std::move(observer);
}

// --- user actions (main thread) ---------------------------------------------------------------

void CameraPipeline::start() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    const AuthorizationStatus status =
        captureSystem_ ? captureSystem_->authorizationStatus() : AuthorizationStatus::authorized;
    if (status == AuthorizationStatus::notDetermined) {
        std::weak_ptr<CameraPipeline> weak = weak_from_this();
        captureSystem_->requestAccess([weak](bool granted) {
            // The answer may come on any thread; state changes only on the main thread.
            auto self = weak.lock();
            if (!self)
                return;
            self->main_.post([weak, granted] {
                auto pipeline = weak.lock();
                if (!pipeline)
                    return;
                pipeline->setCameraAccess(granted ? AuthorizationStatus::authorized
                                                  : AuthorizationStatus::denied);
                if (granted)
                    pipeline->beginCapture();
            });
        });
    } else if (status != AuthorizationStatus::authorized) {
        setCameraAccess(status);
    } else {
        beginCapture();
    }
    startVirtualCameraHandOff();
}

void CameraPipeline::startVirtualCameraHandOff() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    if (sink_) {
        sink_->setOnDevicesChanged([weak] {
            if (auto self = weak.lock())
                self->checkVirtualCamera();
        });
    }
    if (connectTimer_)
        connectTimer_->invalidate();
    connectTimer_ = main_.scheduleTimer(kConnectCheckInterval, true, [weak] {
        if (auto self = weak.lock())
            self->checkVirtualCamera();
    });
    checkVirtualCamera();
}

void CameraPipeline::checkVirtualCamera() {
    if (stopping_)
        return;
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    videoQueue_->async([this, weak] {
        if (stopping_)
            return;
        const bool connected = sink_ && sink_->connect();
        main_.post([weak, connected] {
            if (auto self = weak.lock())
                self->virtualCameraConnected.set(connected);
        });
    });
}

void CameraPipeline::setCameraAccess(AuthorizationStatus status) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    accessAuthorized_ = status == AuthorizationStatus::authorized;
    cameraAccess.set(status);
}

void CameraPipeline::beginCapture() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    setCameraAccess(AuthorizationStatus::authorized);
    refreshCameras();
    videoQueue_->async([this] { configureSession(); });
}

void CameraPipeline::configureSession() {
    ORLENTA_ASSERT_BOUND(videoQueueCheck_, "the video queue");
    if (stopping_)
        return;
    // The frame handler was set at creation; setting it again would change nothing.
    applySelectedCamera();
    const std::optional<bool> isPaused =
        readOnMain<bool>([](CameraPipeline& self) { return self.paused.get(); });
    if (isPaused && !*isPaused && frameSource_ && !frameSource_->isRunning())
        frameSource_->startRunning();
}

void CameraPipeline::applySelectedCamera() {
    ORLENTA_ASSERT_BOUND(videoQueueCheck_, "the video queue");
    if (stopping_ || !session_ || !captureSystem_)
        return;
    const std::optional<std::string> selected =
        readOnMain<std::string>([](CameraPipeline& self) { return self.selectedCameraID.get(); });
    if (!selected || selected->empty())
        return;
    // A camera that has gone by now leaves the session as it is: the removal's refresh chooses
    // another one.
    const std::optional<CaptureDevice> device = captureSystem_->deviceWithUniqueID(*selected);
    if (!device || isOwnVirtualCamera(*device))
        return;
    // A camera that cannot be opened leaves the session without input; it is tried again when
    // the selection changes or capture begins again.
    session_->setInput(*device);
    tracker_->reset();
}

void CameraPipeline::setSelectedCameraID(std::string uniqueID) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (uniqueID == selectedCameraID.get())
        return;
    selectedCameraID.set(std::move(uniqueID));
    if (cameraAccess.get() == AuthorizationStatus::authorized)
        videoQueue_->async([this] { applySelectedCamera(); });
}

bool CameraPipeline::isOwnVirtualCamera(const CaptureDevice& device) {
    return device.localizedName == virtual_camera::kDeviceName ||
           device.modelID == virtual_camera::kDeviceModel;
}

std::string CameraPipeline::chooseCamera(const std::vector<CaptureDevice>& list,
                                         const std::string& current) {
    for (const CaptureDevice& device : list)
        if (device.uniqueID == current)
            return current;
    for (const CaptureDevice& device : list)
        if (device.deviceType == CaptureDeviceType::builtInWideAngleCamera)
            return device.uniqueID;
    return list.empty() ? std::string() : list.front().uniqueID;
}

void CameraPipeline::refreshCameras() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    std::vector<CaptureDevice> list;
    if (captureSystem_)
        for (CaptureDevice& device : captureSystem_->devices())
            if (!isOwnVirtualCamera(device))
                list.push_back(std::move(device));
    if (list != cameras.get())
        cameras.set(list);
    setSelectedCameraID(chooseCamera(list, selectedCameraID.get()));
}

void CameraPipeline::setPaused(bool value) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    if (value == paused.get())
        return;
    paused.set(value);
    if (value) {
        // Results of frames begun before this moment must not reach the preview or the marks.
        ++generation_;
        faceMarks.set({});
        if (previewLayer_)
            previewLayer_->flushAndRemoveImage();
        videoQueue_->async([this] {
            if (frameSource_ && frameSource_->isRunning())
                frameSource_->stopRunning();
            tracker_->reset();
        });
    } else {
        videoQueue_->async([this] {
            if (accessAuthorized_ && frameSource_ && !frameSource_->isRunning())
                frameSource_->startRunning();
        });
    }
}

void CameraPipeline::setStyle(CoverStyle value) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    style.set(value);
}

void CameraPipeline::toggleFace(Point at) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    const uint64_t generation = generation_;
    videoQueue_->async([this, at, generation] {
        if (tracker_->toggle(toOutputPixels(at)))
            publishFaceMarks(tracker_->faces(), generation);
    });
}

void CameraPipeline::hideAllFaces() {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    const uint64_t generation = generation_;
    videoQueue_->async([this, generation] {
        tracker_->hideAll();
        publishFaceMarks(tracker_->faces(), generation);
    });
}

// --- geometry ---------------------------------------------------------------------------------

FitTransform CameraPipeline::fitToOutput(Size input) {
    FitTransform fit;
    if (!(input.width > 0) || !(input.height > 0) || !std::isfinite(input.width) ||
        !std::isfinite(input.height))
        return fit;
    fit.scale = std::max(kOutputWidthD / input.width, kOutputHeightD / input.height);
    // The scaled picture is centred on the output: what does not fit is cut equally from both
    // sides. In input pixels that is a centred crop of the output's size divided by the scale.
    const double cropWidth = kOutputWidthD / fit.scale;
    const double cropHeight = kOutputHeightD / fit.scale;
    fit.crop = {(input.width - cropWidth) / 2, (input.height - cropHeight) / 2, cropWidth,
                cropHeight};
    return fit;
}

bool CameraPipeline::renderFit(const PixelBuffer& input, PixelBuffer& destination) {
    PixelBuffer& source = const_cast<PixelBuffer&>(input); // locking does not change pixels
    PixelBufferLock sourceLock(source);
    PixelBufferLock destinationLock(destination);
    if (!sourceLock || !destinationLock)
        return false;
    const FitTransform fit = fitToOutput({double(source.width()), double(source.height())});
    // Whole input pixels: the crop is symmetric, so rounding moves the picture by under half an
    // input pixel.
    const int x0 = std::clamp(int(std::lround(fit.crop.minX())), 0, source.width() - 1);
    const int y0 = std::clamp(int(std::lround(fit.crop.minY())), 0, source.height() - 1);
    const int x1 = std::clamp(int(std::lround(fit.crop.maxX())), x0 + 1, source.width());
    const int y1 = std::clamp(int(std::lround(fit.crop.maxY())), y0 + 1, source.height());
    const cv::Mat from = matView(source, sourceLock.data())(cv::Range(y0, y1), cv::Range(x0, x1));
    cv::Mat to = matView(destination, destinationLock.data());
    // Linear interpolation is enough down to half size; beyond that area averaging avoids
    // aliasing that would also hurt detection.
    const int interpolation = fit.scale < 0.5 ? cv::INTER_AREA : cv::INTER_LINEAR;
    cv::resize(from, to, to.size(), 0, 0, interpolation);
    return true;
}

Rect CameraPipeline::toMarkSpace(const Rect& r) {
    return {r.minX() / kOutputWidthD, 1 - r.maxY() / kOutputHeightD, r.width / kOutputWidthD,
            r.height / kOutputHeightD};
}

Point CameraPipeline::toOutputPixels(Point p) {
    return {p.x * kOutputWidthD, (1 - p.y) * kOutputHeightD};
}

// --- per frame (video queue) ------------------------------------------------------------------

template <typename T>
std::optional<T> CameraPipeline::readOnMain(std::function<T(CameraPipeline&)> read) {
    ORLENTA_ASSERT_BOUND(videoQueueCheck_, "the video queue");
    if (main_.isCurrent())
        return read(*this);
    struct Hop {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<T> value;
    };
    auto hop = std::make_shared<Hop>();
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    main_.post([hop, weak, read = std::move(read)] {
        std::optional<T> value;
        if (auto self = weak.lock(); self && !self->stopping_)
            value = read(*self);
        std::lock_guard lock(hop->mutex);
        hop->value = std::move(value);
        hop->finished = true;
        hop->done.notify_all();
    });
    std::unique_lock lock(hop->mutex);
    while (!hop->finished) {
        if (stopping_)
            return std::nullopt;
        hop->done.wait_for(lock, kHopPollInterval);
    }
    return std::move(hop->value);
}

std::optional<CameraPipeline::FrameSettings> CameraPipeline::readSettingsOnMain() {
    // Absent while paused, and when the pipeline is being torn down.
    const std::optional<std::optional<FrameSettings>> settings =
        readOnMain<std::optional<FrameSettings>>(
            [](CameraPipeline& self) -> std::optional<FrameSettings> {
                if (self.paused.get())
                    return std::nullopt;
                return FrameSettings{self.style.get(), self.generation_};
            });
    return settings ? *settings : std::nullopt;
}

void CameraPipeline::processFrame(const std::shared_ptr<SampleBuffer>& sample) {
    ORLENTA_ASSERT_BOUND(videoQueueCheck_, "the video queue");
    if (stopping_)
        return;
    ProcessedFrame frame;
    frame.input = sample;
    std::optional<FrameSettings> settings;
    try {
        if (!renderFrame(sample, frame, settings))
            return;
    } catch (const std::exception& e) {
        // Whatever failed, nothing is known about this frame's faces: it goes out black, or not
        // at all, and the next frame starts afresh.
        pipelineLog().error(std::string("A frame could not be processed and was covered whole: ") +
                            e.what());
        frame.faces.clear();
        frame.detectionSucceeded = false;
        frame.coveredWholeFrame = true;
        if (!frame.output || !blackOut(*frame.output))
            frame.output = nullptr;
        if (!settings || !frame.output) {
            if (frameObserver_)
                frameObserver_(frame);
            return;
        }
    }
    // 10-12. Hand-off, preview, marks.
    if (sink_)
        sink_->send(frame.output);
    enqueuePreview(frame.output, settings->generation);
    publishFaceMarks(frame.faces, settings->generation);
    if (frame.coveredWholeFrame != lastPublishedDetectionFailed_) {
        lastPublishedDetectionFailed_ = frame.coveredWholeFrame;
        publishDetectionFailed(frame.coveredWholeFrame);
    }
    if (frameObserver_)
        frameObserver_(frame);
}

bool CameraPipeline::blackOut(PixelBuffer& buffer) {
    PixelBufferLock lock(buffer);
    if (!lock)
        return false;
    matView(buffer, lock.data()).setTo(cv::Scalar(0, 0, 0, 255));
    return true;
}

bool CameraPipeline::renderFrame(const std::shared_ptr<SampleBuffer>& sample, ProcessedFrame& frame,
                                 std::optional<FrameSettings>& settings) {
    const auto report = [&] {
        if (frameObserver_)
            frameObserver_(frame);
        return false;
    };

    // 1-2. The camera picture, a base and an output buffer; without any of them the frame is
    // dropped and the tracker does not see it. The base (uncovered) and the covered picture come
    // from the private pool: the output buffer, whose memory the virtual camera maps, only ever
    // receives the finished covered picture.
    const std::shared_ptr<PixelBuffer> image = sample ? sample->imageBuffer() : nullptr;
    if (!image || !bufferPool_ || !basePool_)
        return report();
    std::shared_ptr<PixelBuffer> base = basePool_->createPixelBuffer();
    std::shared_ptr<PixelBuffer> covered = basePool_->createPixelBuffer();
    std::shared_ptr<PixelBuffer> output = bufferPool_->createPixelBuffer();
    if (!base || !covered || !output)
        return report();
    frame.uncovered = base;

    // 3. One style for the whole frame; a paused pipeline processes nothing.
    settings = readSettingsOnMain();
    if (!settings)
        return false;
    frame.output = output;

    // 4. The camera picture at 1280 x 720.
    if (!renderFit(*image, *base)) {
        frame.output = nullptr;
        return report();
    }

    PixelBufferLock baseLock(*base);
    PixelBufferLock coveredLock(*covered);
    PixelBufferLock outputLock(*output);
    if (!baseLock || !coveredLock || !outputLock) {
        frame.output = nullptr;
        return report();
    }
    const cv::Mat baseMat = matView(*base, baseLock.data());
    cv::Mat coveredMat = matView(*covered, coveredLock.data());
    cv::Mat outputMat = matView(*output, outputLock.data());

    // 5-6. Faces on the scaled picture, in output pixels.
    std::optional<std::vector<FaceObservation>> observations;
    if (detector_)
        observations = detector_->detect(baseMat);
    frame.detectionSucceeded = observations.has_value();
    std::vector<Detection> detections;
    if (observations) {
        detections.reserve(observations->size());
        for (const FaceObservation& o : *observations) {
            const Rect rect{o.boundingBox.x * kOutputWidthD, o.boundingBox.y * kOutputHeightD,
                            o.boundingBox.width * kOutputWidthD,
                            o.boundingBox.height * kOutputHeightD};
            if (!rect.isFinite())
                continue;
            const double yaw = o.yaw.value_or(0);
            detections.push_back({rect, std::isfinite(yaw) ? yaw : 0});
        }
    }

    // 7. Tracking, also for a frame without faces.
    frame.trackerTime = frameClock_ ? frameClock_(*sample) : currentMediaTime();
    frame.faces = tracker_->update(detections, frame.trackerTime);

    // 8-9. Cover what is hidden. A frame whose faces are not known (no detector, or detection
    // failed on it) leaves the pipeline entirely black.
    frame.coveredWholeFrame = !frame.detectionSucceeded;
    if (frame.coveredWholeFrame) {
        outputMat.setTo(cv::Scalar(0, 0, 0, 255));
    } else {
        std::vector<Rect> hidden;
        for (const TrackedFace& face : frame.faces)
            if (!face.shown)
                hidden.push_back(face.rect);
        if (!coverFaces(baseMat, hidden, settings->style, coveredMat))
            outputMat.setTo(cv::Scalar(0, 0, 0, 255));
        else
            coveredMat.copyTo(outputMat);
    }
    return true;
}

void CameraPipeline::enqueuePreview(const std::shared_ptr<PixelBuffer>& buffer,
                                    uint64_t generation) {
    if (!previewLayer_)
        return;
    const std::optional<VideoFormatDescription> format =
        VideoFormatDescription::forImageBuffer(*buffer);
    if (!format)
        return;
    SampleTiming timing;
    timing.presentationTime = hostClockTime();
    std::shared_ptr<SampleBuffer> sample = SampleBuffer::createReady(buffer, *format, timing);
    if (!sample)
        return;
    sample->sampleAttachments(true).front().displayImmediately = true;
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    main_.post([weak, sample, generation] {
        auto self = weak.lock();
        if (!self || generation != self->generation_ || !self->previewLayer_)
            return;
        if (self->previewLayer_->hasFailed())
            self->previewLayer_->flush();
        self->previewLayer_->enqueue(sample);
    });
}

void CameraPipeline::publishFaceMarks(const std::vector<TrackedFace>& faces, uint64_t generation) {
    std::vector<FaceMark> marks;
    marks.reserve(faces.size());
    for (const TrackedFace& face : faces)
        marks.push_back({face.id, toMarkSpace(face.rect), face.shown});
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    main_.post([weak, marks = std::move(marks), generation] {
        auto self = weak.lock();
        if (!self || generation != self->generation_)
            return;
        // Observers hear only of lists that differ.
        if (marks != self->faceMarks.get())
            self->faceMarks.set(marks);
    });
}

void CameraPipeline::publishDetectionFailed(bool failed) {
    std::weak_ptr<CameraPipeline> weak = weak_from_this();
    main_.post([weak, failed] {
        auto self = weak.lock();
        if (self && self->faceDetectionFailed.get() != failed)
            self->faceDetectionFailed.set(failed);
    });
}

} // namespace orlenta
