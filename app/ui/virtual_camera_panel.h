// VirtualCameraPanel: where the user sees whether other apps can use the virtual camera, and the
// one action that moves it forward. A status row (text left, control right) chosen by the first
// rule that holds, and beneath it the installer's message when there is one:
//   1. the virtual camera is connected: "Virtual camera: ready", button "Reinstall";
//   2. needsRestart: quit-and-reopen text, button "Quit";
//   3. finishing: "Connecting to the virtual camera…", a busy indicator;
//   4. needsApproval: the desktop's password dialog asks for an administrator's password (to add
//      or remove the V4L2 camera): "Waiting for an administrator’s password…", a busy indicator;
//   5. otherwise: the install text, button "Install".
// Beneath, whatever the rule, one line when the v4l2loopback module is missing: which apps cannot
// see the camera and which package to install.
//
// GUI thread only; follows the pipeline's virtualCameraConnected and the installer's flags.
#pragma once

#include <functional>

#include <QWidget>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace orlenta {

enum class PanelRule { ready = 1, restart = 2, connecting = 3, approval = 4, install = 5 };

PanelRule panelRule(bool connected, bool needsRestart, bool finishing, bool needsApproval);
QString panelText(PanelRule rule);
// The line shown while the v4l2loopback module is missing.
QString loopbackMissingText();
// The button's title; empty for the rule that shows a busy indicator.
QString panelButtonTitle(PanelRule rule);

class VirtualCameraPanel final : public QWidget {
public:
    // onQuit ends the app (rule 2's button).
    VirtualCameraPanel(CameraPipeline& pipeline, ExtensionInstaller& installer,
                       std::function<void()> onQuit, QWidget* parent = nullptr);

    PanelRule rule() const { return rule_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* actionButton() const { return button_; }
    QProgressBar* busyIndicator() const { return busy_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* loopbackLabel() const { return loopback_; }

private:
    void refresh();
    void act();

    CameraPipeline& pipeline_;
    ExtensionInstaller& installer_;
    std::function<void()> onQuit_;
    PanelRule rule_ = PanelRule::install;
    QLabel* status_;
    QPushButton* button_;
    QProgressBar* busy_;
    QLabel* message_;
    QLabel* loopback_;
    Observations observations_;
};

} // namespace orlenta
