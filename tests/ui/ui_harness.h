// Shared set-up of the UI tests: one QApplication for the process, a real CameraPipeline fed with
// test frames whose faces a scripted detector reports, and an installer over the in-memory
// service. The test thread is the GUI thread and the pipeline's main thread (a ManualExecutor).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QApplication>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "app/ui/preview_view.h"
#include "tests/testing/extension_service_memory.h"

namespace orlenta::test {

QApplication& application();

// Reports the faces the test sets.
struct ScriptedDetector : FaceDetector {
    struct Script {
        std::mutex mutex;
        std::vector<FaceObservation> faces;
    };
    std::shared_ptr<Script> script;
    explicit ScriptedDetector(std::shared_ptr<Script> s) : script(std::move(s)) {}
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        std::lock_guard lock(script->mutex);
        return script->faces;
    }
};

struct UiHarness {
    ManualExecutor main;
    std::shared_ptr<ScriptedDetector::Script> script = std::make_shared<ScriptedDetector::Script>();
    std::shared_ptr<PreviewLayer> layer = std::make_shared<PreviewLayer>();
    std::shared_ptr<MemoryExtensionService> service = std::make_shared<MemoryExtensionService>();
    std::shared_ptr<CameraPipeline> pipeline;
    std::shared_ptr<ExtensionInstaller> installer;
    double clock = 0;

    UiHarness();
    ~UiHarness();

    // Faces in mark space (origin top-left), as the detector will report them from now on.
    void setFaces(const std::vector<QRectF>& marks);
    // Runs one frame through the pipeline and serves the main thread until its results arrived.
    void processFrame();
    // Serves the main thread until the marks are published with the given count.
    bool processUntilMarks(size_t count);
    // Serves the main thread (and Qt's events) for a moment.
    void settle();
};

} // namespace orlenta::test
