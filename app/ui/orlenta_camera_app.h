// OrlentaCameraApp: the application. It owns the one CameraPipeline and the one
// ExtensionInstaller for the life of the process, the preview layer the pipeline draws into, the
// main window "Orlenta Camera" (ContentView, fixed to its content's size, with the "Video" menu)
// and the settings window. Views get non-owning references to the pipeline and the installer.
//
// Start-up: when the main window's content is first shown, the pipeline's start(), then the
// installer's checkStatus(). Afterwards: whenever the app becomes the active application while
// the virtual camera is not connected, checkStatus() again; whenever virtualCameraConnected turns
// true, the installer's finishing and needsRestart are cleared.
//
// Threads: GUI thread only. The executor given at creation is the pipeline's and the installer's
// main executor and must outlive the app.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QObject>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

class QAction;
class QMainWindow;

namespace orlenta {

class ContentView;
class PreviewLayer;
class SettingsWindow;

struct AppOptions {
    // Offer the bundled demo clip as a camera (listed first).
    bool demo = false;
    // Also look for real cameras (off only for tests and demos that must not open one).
    bool discoverCameras = true;
    // Install (start) the virtual-camera daemon through the installer once the window shows.
    bool installExtension = false;
};

class OrlentaCameraApp final {
public:
    // Builds the real components: the GStreamer cameras, the face detector, the virtual camera
    // link over PipeWire and the platform's extension service. Null, with the reason in *error,
    // when the app cannot run at all (no capture system, --demo without the clip). A missing
    // face model or an unreachable PipeWire are not fatal: the picture is then covered whole, or
    // the virtual camera stays off; *warnings collects them, one per line.
    static std::unique_ptr<OrlentaCameraApp> create(Executor& mainExecutor, AppOptions options,
                                                    std::string* error, std::string* warnings);

    // installExtension: call the installer's install() after checkStatus() at start-up.
    OrlentaCameraApp(std::shared_ptr<CameraPipeline> pipeline,
                     std::shared_ptr<ExtensionInstaller> installer,
                     std::shared_ptr<PreviewLayer> layer, bool installExtension = false);
    ~OrlentaCameraApp();
    OrlentaCameraApp(const OrlentaCameraApp&) = delete;
    OrlentaCameraApp& operator=(const OrlentaCameraApp&) = delete;

    void show();
    void openSettings();
    // Quits the application's event loop.
    static void quit();

    CameraPipeline& pipeline() const { return *pipeline_; }
    ExtensionInstaller& installer() const { return *installer_; }
    const std::shared_ptr<PreviewLayer>& previewLayer() const { return layer_; }
    QMainWindow* mainWindow() const { return window_.get(); }
    ContentView* contentView() const { return content_; }
    SettingsWindow* settingsWindow() const { return settings_.get(); }
    QAction* pauseAction() const { return pauseAction_; }
    QAction* settingsAction() const { return settingsAction_; }

private:
    void refreshPauseAction();
    void virtualCameraChanged();

    std::shared_ptr<CameraPipeline> pipeline_;
    std::shared_ptr<ExtensionInstaller> installer_;
    std::shared_ptr<PreviewLayer> layer_;
    // Windows last, so they go before what they refer to.
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<SettingsWindow> settings_;
    std::unique_ptr<QObject> appEvents_;
    ContentView* content_ = nullptr;
    QAction* pauseAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    Observations observations_;
};

} // namespace orlenta
