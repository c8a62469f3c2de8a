// VirtualCameraPanel: where the user sees whether other apps can use the virtual camera, and the
// one action that moves it forward. A status row (text left, control right) chosen by the first
// rule that holds, and beneath it the installer's message when there is one:
//   1. the virtual camera is connected: "Virtual camera: ready", button "Reinstall";
//   2. needsRestart: quit-and-reopen text, button "Quit";
//   3. finishing: "Connecting to the virtual camera…", a busy indicator;
//   4. needsApproval: an administrator's approval is needed, button "Approve…" (Return presses
//      it), which calls the installer's openSystemSettings(); no service asks for approval today,
//      a step that needs the administrator's password is meant to take this rule;
//   5. otherwise: the install text, button "Install".
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
class QShortcut;

namespace orlenta {

enum class PanelRule { ready = 1, restart = 2, connecting = 3, approval = 4, install = 5 };

PanelRule panelRule(bool connected, bool needsRestart, bool finishing, bool needsApproval);
QString panelText(PanelRule rule);
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
    QShortcut* returnKey_;
    QShortcut* enterKey_;
    Observations observations_;
};

} // namespace orlenta
