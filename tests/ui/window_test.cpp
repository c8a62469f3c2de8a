// The app's windows and views over a real pipeline and the in-memory installer: the application
// object, its main window, the settings window, the preview area (counter, Hide All Faces, clicks
// on marks, the paused state), the camera menu, the style control, the virtual camera panel; and
// the Qt main-thread executor. The test thread is the GUI thread and the pipeline's main thread
// (a ManualExecutor).
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "app/ui/camera_menu.h"
#include "app/ui/content_view.h"
#include "app/ui/face_marks_view.h"
#include "app/ui/orlenta_camera_app.h"
#include "app/ui/outline_button.h"
#include "app/ui/preview_area.h"
#include "app/ui/preview_view.h"
#include "app/ui/qt_executor.h"
#include "app/ui/settings_window.h"
#include "app/ui/style_control.h"
#include "app/ui/virtual_camera_panel.h"
#include "media/observable_testing.h"
#include "tests/testing/extension_service_memory.h"

// Fontconfig keeps caches that Qt's font database never hands back while the application object
// lives (and ours lives for the whole run); LeakSanitizer is told to look past them only.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace orlenta {
namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    // Kept for the whole run: Qt allows one application object per process.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

// A real pipeline fed blank frames whose faces (in mark space, origin top-left) the test sets, and
// an installer over the in-memory service.
struct UiHarness {
    ManualExecutor main;
    struct Detector : FaceDetector {
        std::mutex mutex;
        std::vector<FaceObservation> faces;
        std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
            std::lock_guard lock(mutex);
            return faces;
        }
    }* detector = new Detector; // owned by the pipeline
    std::shared_ptr<PreviewLayer> layer = std::make_shared<PreviewLayer>();
    std::shared_ptr<MemoryExtensionService> service = std::make_shared<MemoryExtensionService>();
    std::shared_ptr<CameraPipeline> pipeline;
    std::shared_ptr<ExtensionInstaller> installer;
    double clock = 0;

    UiHarness() {
        application();
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        deps.detector.reset(detector);
        deps.previewLayer = layer;
        deps.frameClock = [this](const SampleBuffer&) { return clock; };
        pipeline = CameraPipeline::create(std::move(deps));
        installer = ExtensionInstaller::create(service, main);
    }
    ~UiHarness() {
        main.runPending();
        pipeline.reset();
        installer.reset();
    }
    void setFaces(const std::vector<QRectF>& marks) {
        std::lock_guard lock(detector->mutex);
        detector->faces.clear();
        for (const QRectF& m : marks) // the detector's space is bottom-left based
            detector->faces.push_back(
                {{m.x(), 1.0 - m.y() - m.height(), m.width(), m.height()}, 0.9f, {}});
    }
    // Runs one frame through the pipeline and serves the main thread until its results arrived.
    void processFrame() {
        auto buffer = PixelBuffer::create(1280, 720);
        auto sample =
            SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer),
                                      {.presentationTime = Time::fromSeconds(clock += 1.0 / 30)});
        const uint64_t before = layer->enqueuedCount();
        pipeline->videoQueue().async([p = pipeline.get(), sample] { p->processFrame(sample); });
        main.runUntil([&] { return layer->enqueuedCount() > before; });
        settle();
    }
    bool processUntilMarks(size_t count) {
        for (int i = 0; i < 10; ++i)
            if (processFrame(), pipeline->faceMarks.get().size() == count)
                return true;
        return false;
    }
    // Serves the main thread and Qt's events for a moment.
    void settle() {
        for (int i = 0; i < 3; ++i)
            main.runPending(), QCoreApplication::processEvents();
    }
};

CaptureDevice camera(std::string id, std::string name) {
    return {std::move(id), std::move(name), "", CaptureDeviceType::external};
}

TEST(Controls, CameraMenuItemsChecksPlaceholderAndChoiceAndOneStyleCallPerUserChoice) {
    application();
    // Two cameras of one name stay two items; only the selected one is checked; an item chooses
    // its camera by identifier. With no cameras, one disabled placeholder.
    std::string chosen;
    auto record = [&](const std::string& id) { chosen = id; };
    QMenu* menu =
        CameraMenu::build({camera("usb:1", "Webcam"), camera("usb:2", "Webcam")}, "usb:2", record);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Webcam"));
    EXPECT_FALSE(menu->actions()[0]->isChecked());
    EXPECT_TRUE(menu->actions()[1]->isChecked());
    menu->actions()[0]->trigger();
    EXPECT_EQ(chosen, "usb:1");
    QMenu* empty = CameraMenu::popUp({}, "", record, QPoint(20, 20));
    ASSERT_EQ(empty->actions().size(), 1);
    EXPECT_FALSE(empty->actions()[0]->isEnabled());
    CameraMenu::releaseCurrent();

    // The style control calls once for each choice of the user's, never for the app's own.
    StyleControl control;
    std::vector<CoverStyle> calls;
    control.setOnChange([&](CoverStyle style) { calls.push_back(style); });
    EXPECT_EQ(control.selectedStyle(), CoverStyle::blur);
    control.setStyle(CoverStyle::box);
    EXPECT_TRUE(control.segment(2)->isChecked());
    EXPECT_TRUE(calls.empty());
    control.show();
    QTest::mouseClick(control.segment(1), Qt::LeftButton);
    EXPECT_EQ(calls, std::vector<CoverStyle>{CoverStyle::pixelate});
    EXPECT_EQ(control.selectedStyle(), CoverStyle::pixelate);
    EXPECT_FALSE(control.segment(2)->isChecked());
}

TEST(VirtualCameraPanel, RulesInPriorityOrder) {
    UiHarness h;
    bool quit = false;
    VirtualCameraPanel panel(*h.pipeline, *h.installer, [&] { quit = true; });
    panel.show();
    EXPECT_EQ(panel.rule(), PanelRule::install);
    EXPECT_FALSE(panel.messageLabel()->isVisibleTo(&panel));

    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.installer->message.get(), "Installing\u2026");
    EXPECT_TRUE(panel.messageLabel()->isVisibleTo(&panel));
    EXPECT_EQ(panel.messageLabel()->text(), QStringLiteral("Installing\u2026"));
    auto activation = h.service->lastRequest(ExtensionRequest::Kind::activation);
    ASSERT_NE(activation, nullptr);

    // While the desktop asks for the administrator's password: no button, a busy indicator. The
    // missing-module line shows under any rule.
    MemoryExtensionService::answerNeedsUserApproval(activation);
    h.main.runPending();
    EXPECT_EQ(panel.rule(), PanelRule::approval);
    EXPECT_TRUE(panel.busyIndicator()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.actionButton()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.loopbackLabel()->isVisibleTo(&panel));
    ObservableTesting::set(h.installer->loopbackModuleMissing, true);
    EXPECT_TRUE(panel.loopbackLabel()->isVisibleTo(&panel));
    MemoryExtensionService::answerFinish(activation, kExtensionResultCompleted);
    h.main.runPending();
    EXPECT_EQ(panel.rule(), PanelRule::connecting);
    EXPECT_TRUE(panel.busyIndicator()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.actionButton()->isVisibleTo(&panel));

    h.main.advance(kConnectWaitSeconds + 0.5);
    EXPECT_EQ(panel.rule(), PanelRule::restart);
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Quit"));
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_TRUE(quit);

    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_EQ(panel.rule(), PanelRule::ready);
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Reinstall"));
    size_t before = h.service->requests().size();
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.service->requests().size(), before + 1);
    EXPECT_EQ(h.service->requests().back()->kind(), ExtensionRequest::Kind::activation);
}

TEST(OrlentaCameraApp, StartUpLayoutAndTheVideoMenu) {
    UiHarness h;
    OrlentaCameraApp app(h.pipeline, h.installer, h.layer);
    EXPECT_EQ(h.installer->statusRequest(), nullptr);
    app.show();
    h.settle();
    // Shown: the pipeline watches the virtual camera and the installer asked for the status.
    EXPECT_NE(h.installer->statusRequest(), nullptr);
    EXPECT_EQ(h.main.activeTimerCount(), 1u);

    // The access warning only when access is denied or restricted.
    ContentView* content = app.contentView();
    for (auto [status, warns] : {std::pair{AuthorizationStatus::restricted, true},
                                 std::pair{AuthorizationStatus::denied, true},
                                 std::pair{AuthorizationStatus::authorized, false}}) {
        ObservableTesting::set(h.pipeline->cameraAccess, status);
        EXPECT_EQ(content->accessWarning()->isVisibleTo(content), warns);
    }

    // Ctrl+P does what the start/pause button does.
    EXPECT_EQ(app.pauseAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
    app.pauseAction()->trigger();
    EXPECT_TRUE(h.pipeline->paused.get());
    EXPECT_EQ(content->previewArea()->startPauseButton()->text(), QStringLiteral("Start Camera"));
    app.pauseAction()->trigger();
    EXPECT_FALSE(h.pipeline->paused.get());

    // The style control sets the pipeline's style and follows it.
    h.pipeline->setStyle(CoverStyle::box);
    EXPECT_EQ(content->styleControl()->selectedStyle(), CoverStyle::box);

    // Connecting clears the installer's waiting flags and removes the panel from the window.
    EXPECT_TRUE(content->panel()->isVisibleTo(content));
    ObservableTesting::set(h.installer->finishing, true);
    ObservableTesting::set(h.installer->needsRestart, true);
    app.openSettings();
    EXPECT_EQ(app.settingsWindow()->panel()->rule(), PanelRule::restart);
    EXPECT_FALSE(app.settingsWindow()->uninstallRow()->isVisibleTo(app.settingsWindow()));
    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_FALSE(h.installer->finishing.get());
    EXPECT_FALSE(h.installer->needsRestart.get());
    EXPECT_FALSE(content->panel()->isVisibleTo(content));
    EXPECT_EQ(app.settingsWindow()->panel()->rule(), PanelRule::ready);

    // Connected, the settings offer to uninstall. Cancelled, nothing is removed; confirmed,
    // uninstall() runs once.
    SettingsWindow& settings = *app.settingsWindow();
    EXPECT_TRUE(settings.uninstallRow()->isVisibleTo(&settings));
    QTest::mouseClick(settings.uninstallButton(), Qt::LeftButton);
    ASSERT_TRUE(settings.confirmUninstall());
    settings.confirmation()->button(QMessageBox::Cancel)->click();
    h.settle();
    EXPECT_FALSE(settings.confirmUninstall());
    EXPECT_EQ(h.service->lastRequest(ExtensionRequest::Kind::deactivation), nullptr);
    settings.askToUninstall();
    ASSERT_TRUE(settings.confirmUninstall());
    QAbstractButton* uninstall = nullptr;
    for (QAbstractButton* button : settings.confirmation()->buttons())
        if (settings.confirmation()->buttonRole(button) == QMessageBox::DestructiveRole)
            uninstall = button;
    ASSERT_NE(uninstall, nullptr);
    uninstall->click();
    h.settle();
    EXPECT_FALSE(settings.confirmUninstall());
    EXPECT_NE(h.service->lastRequest(ExtensionRequest::Kind::deactivation), nullptr);
    EXPECT_EQ(h.installer->message.get(), "Removing\u2026");
    EXPECT_TRUE(h.installer->removing());
}

TEST(QtExecutor, PostsSyncsAndTimersRunOnTheMainThreadUntilItIsDestroyed) {
    application();
    QtExecutor executor;
    EXPECT_TRUE(executor.isCurrent());
    std::atomic<int> ran{0};
    std::atomic<bool> onMain{false}, finished{false};
    bool otherThreadIsCurrent = true;
    std::thread worker([&] {
        otherThreadIsCurrent = executor.isCurrent();
        for (int i = 0; i < 100; ++i)
            executor.post([&] { ++ran; });
        executor.sync([&] { onMain = executor.isCurrent(); });
        finished = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }));
    worker.join();
    EXPECT_FALSE(otherThreadIsCurrent);
    EXPECT_TRUE(onMain);
    // Posts run in order before the later sync.
    EXPECT_EQ(ran.load(), 100);
    int inPlace = 0;
    executor.sync([&] { ++inPlace; });
    EXPECT_EQ(inPlace, 1);

    // A one-shot timer made from another thread fires once, on the main thread; a repeating one
    // fires until invalidated.
    int once = 0;
    bool timerOnMain = false;
    std::unique_ptr<Timer> oneShot;
    std::thread([&] {
        oneShot = executor.scheduleTimer(0.01, false, [&] {
            timerOnMain = executor.isCurrent();
            ++once;
        });
    }).join();
    int repeats = 0;
    auto repeating = executor.scheduleTimer(0.005, true, [&] { ++repeats; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return once == 1 && repeats >= 3; }));
    EXPECT_TRUE(timerOnMain);
    EXPECT_FALSE(oneShot->isValid());
    repeating->invalidate();
    const int stoppedAt = repeats;
    QTest::qWait(50);
    EXPECT_EQ(repeats, stoppedAt);
    EXPECT_EQ(once, 1);

    // Destroying an executor releases a thread waiting in its sync, without running the closure.
    auto doomed = std::make_unique<QtExecutor>();
    std::atomic<bool> waiting{false}, returned{false};
    bool served = false;
    std::thread waiter([&] {
        waiting = true;
        doomed->sync([&] { served = true; });
        returned = true;
    });
    while (!waiting)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto timer = doomed->scheduleTimer(0.01, true, [] {});
    doomed.reset();
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(served);
    timer->invalidate();
}

TEST(PreviewArea, ClickShowsAFaceHideAllHidesEveryFaceAndPauseShowsTheMessage) {
    UiHarness h;
    PreviewArea area(*h.pipeline, h.layer);
    area.show();
    h.processFrame();
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 0"));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));
    // A click where there is no face changes nothing.
    QTest::mouseClick(area.faceMarksView(), Qt::LeftButton, {}, QPoint(240, 130));
    h.settle();
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());

    h.setFaces(
        {QRectF(0.1, 0.2, 0.15, 0.3), QRectF(0.4, 0.2, 0.15, 0.3), QRectF(0.7, 0.2, 0.15, 0.3)});
    ASSERT_TRUE(h.processUntilMarks(3));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 3"));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));

    const FaceMark& middle = h.pipeline->faceMarks.get()[1];
    QPoint centre(static_cast<int>((middle.rect.x + middle.rect.width / 2) * kPreviewWidth),
                  static_cast<int>((middle.rect.y + middle.rect.height / 2) * kPreviewHeight));
    QTest::mouseClick(area.faceMarksView(), Qt::LeftButton, {}, centre);
    ASSERT_TRUE(h.main.runUntil([&] { return area.hideAllButton()->isVisibleTo(&area); }));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("2 HIDDEN \u00B7 1 SHOWN"));
    const std::vector<FaceMark> marks = h.pipeline->faceMarks.get();
    ASSERT_EQ(marks.size(), 3u);
    EXPECT_TRUE(!marks[0].shown && marks[1].shown && !marks[2].shown);

    QTest::mouseClick(area.hideAllButton(), Qt::LeftButton);
    ASSERT_TRUE(h.main.runUntil([&] { return !area.hideAllButton()->isVisibleTo(&area); }));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 3"));

    // Paused: no marks, no picture, the message.
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Pause Camera"));
    EXPECT_FALSE(area.pausedMessage()->isVisibleTo(&area));
    EXPECT_NE(h.layer->currentSample(), nullptr);

    QTest::mouseClick(area.startPauseButton(), Qt::LeftButton);
    h.settle();
    EXPECT_TRUE(h.pipeline->paused.get());
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("PAUSED"));
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Start Camera"));
    EXPECT_FALSE(area.faceMarksView()->isVisibleTo(&area));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));
    EXPECT_TRUE(area.pausedMessage()->isVisibleTo(&area));
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
    EXPECT_EQ(h.layer->currentSample(), nullptr);
    EXPECT_EQ(area.grab().toImage().pixelColor(5, 150), QColor(Qt::black));

    QTest::mouseClick(area.startPauseButton(), Qt::LeftButton);
    h.settle();
    EXPECT_FALSE(h.pipeline->paused.get());
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Pause Camera"));
    EXPECT_FALSE(area.pausedMessage()->isVisibleTo(&area));
}

} // namespace
} // namespace orlenta
