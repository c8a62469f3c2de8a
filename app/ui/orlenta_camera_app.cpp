#include "app/ui/orlenta_camera_app.h"

#include <cstdio>

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>

#include "app/capture/capture_gstreamer.h"
#include "app/install/loopback_setup.h"
#include "app/pipeline/face_detector.h"
#include "app/sink/virtual_camera_sink.h"
#include "app/ui/camera_menu.h"
#include "app/ui/content_view.h"
#include "app/ui/preview_view.h"
#include "app/ui/settings_window.h"
#include "camera_service/pipewire_camera_system.h"

namespace orlenta {

std::unique_ptr<OrlentaCameraApp> OrlentaCameraApp::create(Executor& mainExecutor,
                                                           AppOptions options, std::string* error,
                                                           std::string* warnings) {
    auto fail = [error](std::string text) {
        if (error)
            *error = std::move(text);
        return nullptr;
    };
    auto warn = [warnings](const std::string& text) {
        if (warnings)
            *warnings += text + "\n";
    };

    GStreamerCaptureOptions captureOptions;
    captureOptions.discoverCameras = options.discoverCameras;
    if (options.demo) {
        captureOptions.demoClipPath = findDemoClip();
        if (!captureOptions.demoClipPath)
            return fail("the demo clip (orlenta-demo.webm) is not installed");
    }
    std::string captureError;
    std::shared_ptr<GStreamerCaptureSystem> capture =
        GStreamerCaptureSystem::create(mainExecutor, std::move(captureOptions), &captureError);
    if (!capture)
        return fail("cannot reach the cameras: " + captureError);

    std::string modelPath = defaultFaceModelPath();
    std::string modelError;
    std::unique_ptr<FaceDetector> detector = loadFaceDetector(modelPath, &modelError);
    if (!detector)
        warn("cannot load the face model '" + modelPath + "' (" + modelError +
             "): the whole picture is covered");

    PipeWireConnectionOptions connection;
    connection.applicationName = "orlenta-camera";
    connection.onDisconnected = [](const std::string& reason) {
        // The PipeWire thread: only a line on standard error, nothing that touches the app.
        std::fprintf(stderr,
                     "orlenta-camera: lost the connection to PipeWire (%s); the virtual "
                     "camera stays off until the app is opened again\n",
                     reason.c_str());
    };
    std::string pipewireError;
    std::shared_ptr<PipeWireCameraSystem> cameraService =
        PipeWireCameraSystem::create(std::move(connection), &pipewireError);
    std::shared_ptr<VirtualCameraSink> sink;
    if (cameraService)
        sink = VirtualCameraSink::create(cameraService, mainExecutor);
    else
        warn("cannot reach PipeWire (" + pipewireError + "): the virtual camera is off");

    auto layer = std::make_shared<PreviewLayer>();
    CameraPipeline::Dependencies dependencies;
    dependencies.mainExecutor = &mainExecutor;
    dependencies.detector = std::move(detector);
    dependencies.previewLayer = layer;
    dependencies.sink = sink;
    dependencies.captureSystem = capture;
    std::shared_ptr<CameraPipeline> pipeline = CameraPipeline::create(std::move(dependencies));
    if (!pipeline)
        return fail("cannot start the frame pipeline");

    ExtensionServiceOptions serviceOptions;
#ifdef ORLENTA_BUILD_EXTENSION_PATH
    // Run from the build tree, the daemon is not beside the app but in the build's own folder.
    QString beside =
        QCoreApplication::applicationDirPath() + QStringLiteral("/orlenta-camera-extension");
    if (!QFileInfo::exists(beside) &&
        QFileInfo::exists(QStringLiteral(ORLENTA_BUILD_EXTENSION_PATH)))
        serviceOptions.programPath = ORLENTA_BUILD_EXTENSION_PATH;
#endif
    serviceOptions.loopback = LoopbackSetupOptions();
    std::shared_ptr<ExtensionInstaller> installer = ExtensionInstaller::create(
        createPlatformExtensionService(serviceOptions), mainExecutor, nullptr,
        [loopback = *serviceOptions.loopback] { return !loopbackModuleAvailable(loopback); });
    if (!installer)
        return fail("cannot set up the virtual camera installer");
    return std::make_unique<OrlentaCameraApp>(std::move(pipeline), std::move(installer),
                                              std::move(layer), options.installExtension);
}

OrlentaCameraApp::OrlentaCameraApp(std::shared_ptr<CameraPipeline> pipeline,
                                   std::shared_ptr<ExtensionInstaller> installer,
                                   std::shared_ptr<PreviewLayer> layer, bool installExtension)
    : pipeline_(std::move(pipeline)), installer_(std::move(installer)), layer_(std::move(layer)) {
    window_ = std::make_unique<QMainWindow>();
    window_->setWindowTitle(QStringLiteral("Orlenta Camera"));
    content_ = new ContentView(*pipeline_, *installer_, layer_, &OrlentaCameraApp::quit);
    window_->setCentralWidget(content_);
    // Sized by its content, never larger.
    window_->layout()->setSizeConstraint(QLayout::SetFixedSize);

    settings_ = std::make_unique<SettingsWindow>(*pipeline_, *installer_, &OrlentaCameraApp::quit);

    QMenu* appMenu = window_->menuBar()->addMenu(QStringLiteral("&Orlenta Camera"));
    settingsAction_ = appMenu->addAction(QStringLiteral("Settings\u2026"));
    settingsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settingsAction_->setMenuRole(QAction::PreferencesRole);
    QObject::connect(settingsAction_, &QAction::triggered, [this] { openSettings(); });
    QAction* quitAction = appMenu->addAction(QStringLiteral("Quit"));
    quitAction->setShortcut(QKeySequence::Quit);
    quitAction->setMenuRole(QAction::QuitRole);
    QObject::connect(quitAction, &QAction::triggered, &OrlentaCameraApp::quit);

    QMenu* video = window_->menuBar()->addMenu(QStringLiteral("&Video"));
    pauseAction_ = video->addAction(QString());
    pauseAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    pauseAction_->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(pauseAction_, &QAction::triggered,
                     [this] { pipeline_->setPaused(!pipeline_->paused.get()); });
    // The settings window answers the same shortcuts.
    settings_->addAction(pauseAction_);
    settings_->addAction(settingsAction_);

    content_->setOnFirstShown([this, installExtension] {
        pipeline_->start();
        installer_->checkStatus();
        if (installExtension)
            installer_->install();
    });

    appEvents_ = std::make_unique<QObject>();
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, appEvents_.get(),
                     [this](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive &&
                             !pipeline_->virtualCameraConnected.get())
                             installer_->checkStatus();
                     });

    observations_.watch(pipeline_->paused, [this] { refreshPauseAction(); });
    observations_.watch(pipeline_->virtualCameraConnected, [this] { virtualCameraChanged(); });
    refreshPauseAction();
}

OrlentaCameraApp::~OrlentaCameraApp() {
    CameraMenu::releaseCurrent();
    appEvents_.reset();
    settings_.reset();
    window_.reset();
}

void OrlentaCameraApp::show() {
    window_->show();
}

void OrlentaCameraApp::openSettings() {
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void OrlentaCameraApp::quit() {
    QCoreApplication::quit();
}

void OrlentaCameraApp::refreshPauseAction() {
    pauseAction_->setText(pipeline_->paused.get() ? QStringLiteral("Start Camera")
                                                  : QStringLiteral("Pause Camera"));
}

void OrlentaCameraApp::virtualCameraChanged() {
    if (!pipeline_->virtualCameraConnected.get())
        return;
    installer_->virtualCameraDidConnect();
}

} // namespace orlenta
