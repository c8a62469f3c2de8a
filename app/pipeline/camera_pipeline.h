// CameraPipeline: the spine of the app. For every camera frame it makes one covered 1280 x 720
// BGRA frame, shows it in the preview, offers it to the virtual camera, and publishes the faces
// it tracks as FaceMarks for the user interface to draw and click.
//
// The road of one frame, all on the video queue (processFrame):
//   1. take the frame's pixel buffer; 2. take a base and an output buffer from the pool;
//   3. read the cover style (and the paused state) with a synchronous hop to the main thread;
//   4. scale the camera picture to fill 1280 x 720 into the base buffer (fitToOutput);
//   5-6. detect faces on the base buffer, each one a Detection in output pixels;
//   7. update the tracker; 8-9. cover the hidden faces into a private buffer and copy the
//      finished picture into the output buffer;
//   10. hand the output buffer to the frame sink (the virtual camera);
//   11. show it in the preview; 12. publish the face marks.
//
// Fail closed: a frame whose faces cannot be known is never shown or sent uncovered. Every frame
// whose detection failed (or when the detector could not be loaded) leaves entirely black, and
// faceDetectionFailed reads true until a detection succeeds again. An exception anywhere in a
// frame's work loses that frame (it leaves black, or not at all) and is logged; it never ends the
// video queue. The uncovered picture never touches memory that leaves the pipeline: it and the
// covered picture are drawn in buffers of a private pool, and only the finished covered picture
// is copied into the output buffer that the preview and the virtual camera get.
//
// Cameras: with a capture system the pipeline lists the cameras (never its own virtual camera,
// "Orlenta Camera"), keeps one selected, asks for camera access in start(), and captures from a
// session of its own. The selection rules: a selection that is still listed stays; otherwise the
// first built-in camera, else the first camera, else none (the empty string). So unplugging the
// selected camera moves to the built-in one, and plugging a camera in never takes over.
// Without a capture system, frames come from the frame source given at creation (or only through
// processFrame) and camera access counts as authorized.
//
// Ownership: the pipeline is held by a std::shared_ptr (create()); it owns the tracker, the
// detector, the pool, the video queue and its capture session; it shares the preview, the frame
// sink, the frame source and the capture system with whoever made them. Callbacks it stores
// elsewhere hold only weak references.
//
// Threads: the main thread is the executor given at creation. Every observable property is
// written on it and read on it only. The video queue may wait for the main thread (the
// synchronous style read); the main thread never waits for the video queue. Results posted back
// to the main thread arrive in frame order; those of a frame that was still being processed when
// the user paused are discarded. With thread checks on (media/thread_check.h), a member marked
// "main thread" or "video queue" below aborts when it is called anywhere else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/capture/capture.h"
#include "app/capture/frame_source.h"
#include "app/pipeline/cover_style.h"
#include "app/pipeline/face_mark.h"
#include "app/pipeline/frame_sinks.h"
#include "app/tracking/face_tracker.h"
#include "camera_service/virtual_camera.h"
#include "media/dispatch.h"
#include "media/geometry.h"
#include "media/observable.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "media/thread_check.h"

namespace orlenta {

class FaceDetector;

// What happened to one frame, for callers that follow every frame (the command-line tool, tests).
struct ProcessedFrame {
    std::shared_ptr<SampleBuffer> input;
    std::shared_ptr<PixelBuffer> output;
    std::vector<TrackedFace> faces;
    double trackerTime = 0;
    bool detectionSucceeded = false;
    bool coveredWholeFrame = false;
    // The uncovered picture at 1280 x 720, from the pipeline's private pool; never the same
    // memory as any output. For tools and tests that check what the output was made from.
    std::shared_ptr<const PixelBuffer> uncovered;
};

// The aspect-fill mapping of a camera picture onto the output frame: the input is scaled by
// `scale` on both axes and the part `crop` (in input pixels, origin top-left) fills the output.
struct FitTransform {
    double scale = 1;
    Rect crop; // in input pixels, origin top-left, y down
};

class CameraPipeline : public std::enable_shared_from_this<CameraPipeline> {
public:
    // The output frame is the virtual camera's frame.
    static constexpr int kOutputWidth = virtual_camera::kFrameWidth;
    static constexpr int kOutputHeight = virtual_camera::kFrameHeight;

    struct Dependencies {
        Executor* mainExecutor = nullptr;          // required; must outlive the pipeline
        std::unique_ptr<FaceDetector> detector;    // null: detection unavailable (fail closed)
        std::shared_ptr<DisplaySink> previewLayer; // may be null
        std::shared_ptr<FrameSink> sink;           // may be null
        std::shared_ptr<FrameSource> frameSource;  // may be null
        // The cameras; may be null. When given, frames come from a session of it, and
        // frameSource must be null.
        std::shared_ptr<CaptureSystem> captureSystem;
        // The tracker's time for a frame; by default the host media time when the frame is
        // processed. The file tool passes the frame's own media time so results do not depend
        // on processing speed.
        std::function<double(const SampleBuffer&)> frameClock;
        // The output buffers' pool. Base buffers (the uncovered picture) come from a private
        // pool of the same size, so memory that is ever shared with another process (the
        // virtual camera maps output buffers) never holds an uncovered picture.
        PixelBufferPool::Attributes pool{};
    };

    // Absent when mainExecutor is missing, or when both a frame source and a capture system are
    // given. Called on the main thread.
    static std::shared_ptr<CameraPipeline> create(Dependencies dependencies);
    // Stops the video queue after the work already queued; late results are discarded.
    ~CameraPipeline();
    CameraPipeline(const CameraPipeline&) = delete;
    CameraPipeline& operator=(const CameraPipeline&) = delete;

    // Observable state, main thread only. Read and watched by anyone; written only by the
    // pipeline (the setters below are the way to change it).
    template <typename T> using Property = Observable<T, CameraPipeline>;
    // Cameras the user may choose from, in discovery order.
    Property<std::vector<CaptureDevice>> cameras;
    // The uniqueID of the chosen camera; empty when there is none.
    Property<std::string> selectedCameraID;
    Property<CoverStyle> style{CoverStyle::blur};
    Property<std::vector<FaceMark>> faceMarks;
    Property<bool> paused{false};
    Property<bool> virtualCameraConnected{false};
    // True while frames are being covered whole because faces cannot be detected.
    Property<bool> faceDetectionFailed{false};
    // Camera access (0 not determined, 1 restricted, 2 denied, 3 authorized); read from the
    // capture system at creation. Capture is configured and started only when authorized.
    Property<AuthorizationStatus> cameraAccess{AuthorizationStatus::authorized};

    // The period of the virtual camera connect check.
    static constexpr double kConnectCheckInterval = 2.0;

    // Main thread. Start or stop frames from the frame source; pausing empties the preview and
    // the face marks at once and resets the tracker on the video queue.
    void setPaused(bool value);
    void setStyle(CoverStyle value);
    // Main thread. Flip the face under a point of mark space (0..1, origin top-left).
    void toggleFace(Point at);
    void hideAllFaces();
    // Main thread. Asks for camera access if it is not yet decided (capture begins once it is
    // granted); when authorized, begins capture: configures the session and starts it (unless
    // paused). Refused or restricted access leaves everything stopped. Then, in every case,
    // starts watching the virtual camera: a connect check now, every kConnectCheckInterval
    // seconds and whenever the system's camera devices change. Calling it again replaces the
    // timer (one check timer runs at any time).
    void start();
    // Any thread. One connect check: the sink's connect() on the video queue, its answer
    // assigned to virtualCameraConnected on the main thread (also when unchanged).
    void checkVirtualCamera();
    // Main thread. Choosing another camera while authorized swaps the session's input on the
    // video queue (running or paused alike) and resets the tracker; choosing the selected one
    // does nothing.
    void setSelectedCameraID(std::string uniqueID);
    // Main thread. Rebuilds cameras from the capture system and keeps or chooses the selection.
    // Runs at creation and whenever a camera arrives or leaves.
    void refreshCameras();
    // The capture session (null without a capture system).
    std::shared_ptr<CaptureSession> captureSession() const { return session_; }

    // The selection rule on a list of cameras: the current selection if listed, else the first
    // built-in camera, else the first camera, else the empty string.
    static std::string chooseCamera(const std::vector<CaptureDevice>& cameras,
                                    const std::string& current);
    // The app's own virtual camera (by its name or its model), which is never listed.
    static bool isOwnVirtualCamera(const CaptureDevice& device);

    // Video queue: the per-frame work. Public so that frame sources and tools can feed frames.
    void processFrame(const std::shared_ptr<SampleBuffer>& sample);
    SerialQueue& videoQueue() { return *videoQueue_; }

    // Called on the video queue after each processed frame (also one dropped for want of
    // buffers: then output is null). Set before frames flow.
    void setFrameObserver(std::function<void(const ProcessedFrame&)> observer);

    // Aspect fill of an input of the given size onto 1280 x 720.
    static FitTransform fitToOutput(Size input);
    // Renders the input picture into the output-sized destination with fitToOutput.
    static bool renderFit(const PixelBuffer& input, PixelBuffer& destination);
    // Output pixels (origin bottom-left) to mark space (origin top-left) and a mark point back.
    static Rect toMarkSpace(const Rect& outputRect);
    static Point toOutputPixels(Point markPoint);

    bool detectorAvailable() const { return detector_ != nullptr; }

private:
    explicit CameraPipeline(Dependencies dependencies);

    struct FrameSettings {
        CoverStyle style;
        uint64_t generation;
    };
    std::optional<FrameSettings> readSettingsOnMain();
    // Runs read on the main thread and waits for its answer (video queue only); absent when the
    // pipeline is being torn down.
    template <typename T> std::optional<T> readOnMain(std::function<T(CameraPipeline&)> read);
    // Main thread: access granted.
    void beginCapture();
    // Video queue: the first configuration of the session, its input and its start.
    void configureSession();
    // Video queue: points the session at the selected camera and resets the tracker.
    void applySelectedCamera();
    void setCameraAccess(AuthorizationStatus status);
    // Main thread: the sink's device-list callback, the check timer and a first check.
    void startVirtualCameraHandOff();
    void enqueuePreview(const std::shared_ptr<PixelBuffer>& buffer, uint64_t generation);
    void publishFaceMarks(const std::vector<TrackedFace>& faces, uint64_t generation);
    void publishDetectionFailed(bool failed);
    // Video queue: steps 1-9 of one frame into frame.output; false when the frame is dropped
    // (then frame.output is null, and the observer has heard of it unless the pipeline paused).
    bool renderFrame(const std::shared_ptr<SampleBuffer>& sample, ProcessedFrame& frame,
                     std::optional<FrameSettings>& settings);
    static bool blackOut(PixelBuffer& buffer);

    Executor& main_;
    std::unique_ptr<FaceDetector> detector_;
    std::shared_ptr<DisplaySink> previewLayer_;
    std::shared_ptr<FrameSink> sink_;
    std::shared_ptr<FrameSource> frameSource_;
    std::shared_ptr<CaptureSystem> captureSystem_;
    std::shared_ptr<CaptureSession> session_;
    std::optional<size_t> deviceObserver_;
    // Main thread: the repeating connect check, from start() on.
    std::unique_ptr<Timer> connectTimer_;
    // cameraAccess == authorized, for the video queue's resume step.
    std::atomic<bool> accessAuthorized_{true};
    std::function<double(const SampleBuffer&)> frameClock_;
    std::shared_ptr<PixelBufferPool> bufferPool_; // output buffers: shown and sent
    std::shared_ptr<PixelBufferPool> basePool_;   // uncovered pictures: never leave the pipeline
    std::unique_ptr<FaceTracker> tracker_;
    std::function<void(const ProcessedFrame&)> frameObserver_;

    // Main thread: bumped on every pause, so results of frames begun before it are discarded.
    uint64_t generation_ = 0;
    bool lastPublishedDetectionFailed_ = false;
    std::atomic<bool> stopping_{false};
    // What the video-queue members check they run on.
    [[no_unique_address]] QueueBinding videoQueueCheck_;

    // Last, so it is destroyed first: the queue drains while every other member still exists.
    std::unique_ptr<SerialQueue> videoQueue_;
};

} // namespace orlenta
