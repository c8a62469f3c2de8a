#include "tests/ui/ui_harness.h"

#include <QCoreApplication>

namespace orlenta::test {

QApplication& application() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    // Kept for the whole run: Qt allows one application object per process.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

UiHarness::UiHarness() {
    application();
    CameraPipeline::Dependencies deps;
    deps.mainExecutor = &main;
    deps.detector = std::make_unique<ScriptedDetector>(script);
    deps.previewLayer = layer;
    deps.frameClock = [this](const SampleBuffer&) { return clock; };
    pipeline = CameraPipeline::create(std::move(deps));
    installer = ExtensionInstaller::create(service, main);
}

UiHarness::~UiHarness() {
    main.runPending();
    pipeline.reset();
    installer.reset();
}

void UiHarness::setFaces(const std::vector<QRectF>& marks) {
    std::lock_guard lock(script->mutex);
    script->faces.clear();
    // Mark space is top-left based, the detector's space bottom-left based.
    for (const QRectF& m : marks)
        script->faces.push_back(
            {{m.x(), 1.0 - m.y() - m.height(), m.width(), m.height()}, 0.9f, {}});
}

void UiHarness::processFrame() {
    auto buffer = PixelBuffer::create(1280, 720);
    SampleTiming timing;
    clock += 1.0 / 30;
    timing.presentationTime = Time::fromSeconds(clock);
    auto sample =
        SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer), timing);
    uint64_t before = layer->enqueuedCount();
    pipeline->videoQueue().async([p = pipeline.get(), sample] { p->processFrame(sample); });
    main.runUntil([&] { return layer->enqueuedCount() > before; });
    settle();
}

bool UiHarness::processUntilMarks(size_t count) {
    for (int i = 0; i < 10; ++i) {
        processFrame();
        if (pipeline->faceMarks.get().size() == count)
            return true;
    }
    return false;
}

void UiHarness::settle() {
    for (int i = 0; i < 3; ++i) {
        main.runPending();
        QCoreApplication::processEvents();
    }
}

} // namespace orlenta::test

// Fontconfig keeps caches that Qt's font database never hands back while the application object
// lives (and ours lives for the whole run); LeakSanitizer is told to look past them only.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
