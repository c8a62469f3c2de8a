// SettingsWindow: the app's settings, one "Virtual camera" group 420 pixels wide holding the
// VirtualCameraPanel, the reinstall advice and, while the virtual camera is connected, the
// uninstall row. "Uninstall…" asks for confirmation first; only the dialog's "Uninstall" calls
// the installer's uninstall(), any other way of closing it does nothing.
//
// GUI thread only.
#pragma once

#include <functional>

#include <QWidget>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

class QLabel;
class QMessageBox;
class QPushButton;

namespace orlenta {

class VirtualCameraPanel;

class SettingsWindow final : public QWidget {
public:
    SettingsWindow(CameraPipeline& pipeline, ExtensionInstaller& installer,
                   std::function<void()> onQuit, QWidget* parent = nullptr);

    VirtualCameraPanel* panel() const { return panel_; }
    QWidget* uninstallRow() const { return uninstallRow_; }
    QPushButton* uninstallButton() const { return uninstall_; }
    // The confirmation on show; null while it is not showing.
    QMessageBox* confirmation() const;
    bool confirmUninstall() const;
    // Shows the confirmation without waiting for it (the "Uninstall…" button's action).
    void askToUninstall();

private:
    void refresh();

    CameraPipeline& pipeline_;
    ExtensionInstaller& installer_;
    VirtualCameraPanel* panel_;
    QWidget* uninstallRow_;
    QPushButton* uninstall_;
    QMessageBox* confirmation_ = nullptr;
    Observations observations_;
};

} // namespace orlenta
