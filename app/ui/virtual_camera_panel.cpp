#include "app/ui/virtual_camera_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/install/loopback_setup.h"

namespace orlenta {

PanelRule panelRule(bool connected, bool needsRestart, bool finishing, bool needsApproval) {
    if (connected)
        return PanelRule::ready;
    if (needsRestart)
        return PanelRule::restart;
    if (finishing)
        return PanelRule::connecting;
    if (needsApproval)
        return PanelRule::approval;
    return PanelRule::install;
}

QString panelText(PanelRule rule) {
    switch (rule) {
    case PanelRule::ready:
        return QStringLiteral("Virtual camera: ready");
    case PanelRule::restart:
        return QStringLiteral("Quit Orlenta Camera and open it again to finish the install");
    case PanelRule::connecting:
        return QStringLiteral("Connecting to the virtual camera\u2026");
    case PanelRule::approval:
        return QStringLiteral("Waiting for an administrator\u2019s password\u2026");
    case PanelRule::install:
        break;
    }
    return QStringLiteral("Install the virtual camera to use Orlenta in other apps");
}

QString panelButtonTitle(PanelRule rule) {
    switch (rule) {
    case PanelRule::ready:
        return QStringLiteral("Reinstall");
    case PanelRule::restart:
        return QStringLiteral("Quit");
    case PanelRule::connecting:
    case PanelRule::approval:
        return {};
    case PanelRule::install:
        break;
    }
    return QStringLiteral("Install");
}

QString loopbackMissingText() {
    return QStringLiteral("Apps that read cameras only through V4L2 cannot see Orlenta Camera: "
                          "install the %1 package, then Reinstall.")
        .arg(QString::fromUtf8(kLoopbackPackage.data(),
                               static_cast<qsizetype>(kLoopbackPackage.size())));
}

VirtualCameraPanel::VirtualCameraPanel(CameraPipeline& pipeline, ExtensionInstaller& installer,
                                       std::function<void()> onQuit, QWidget* parent)
    : QWidget(parent), pipeline_(pipeline), installer_(installer), onQuit_(std::move(onQuit)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    auto* row = new QHBoxLayout();
    row->setSpacing(8);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    button_ = new QPushButton(this);
    busy_ = new QProgressBar(this);
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setFixedSize(48, 10);
    row->addWidget(status_, 1, Qt::AlignVCenter);
    row->addWidget(button_, 0, Qt::AlignVCenter);
    row->addWidget(busy_, 0, Qt::AlignVCenter);
    column->addLayout(row);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    message_->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(message_);
    loopback_ = new QLabel(loopbackMissingText(), this);
    loopback_->setWordWrap(true);
    loopback_->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(loopback_);

    connect(button_, &QPushButton::clicked, this, [this] { act(); });

    observations_.watch(pipeline_.virtualCameraConnected, [this] { refresh(); });
    observations_.watch(installer_.needsRestart, [this] { refresh(); });
    observations_.watch(installer_.finishing, [this] { refresh(); });
    observations_.watch(installer_.needsApproval, [this] { refresh(); });
    observations_.watch(installer_.message, [this] { refresh(); });
    observations_.watch(installer_.loopbackModuleMissing, [this] { refresh(); });
    refresh();
}

void VirtualCameraPanel::refresh() {
    rule_ = panelRule(pipeline_.virtualCameraConnected.get(), installer_.needsRestart.get(),
                      installer_.finishing.get(), installer_.needsApproval.get());
    status_->setText(panelText(rule_));
    QString title = panelButtonTitle(rule_);
    button_->setText(title);
    button_->setVisible(!title.isEmpty());
    busy_->setVisible(rule_ == PanelRule::connecting || rule_ == PanelRule::approval);
    const std::string& message = installer_.message.get();
    message_->setText(QString::fromStdString(message));
    // No empty line under the row when there is nothing to say.
    message_->setVisible(!message.empty());
    loopback_->setVisible(installer_.loopbackModuleMissing.get());
}

void VirtualCameraPanel::act() {
    switch (rule_) {
    case PanelRule::ready:
    case PanelRule::install:
        installer_.install();
        break;
    case PanelRule::restart:
        if (onQuit_)
            onQuit_();
        break;
    case PanelRule::approval:
    case PanelRule::connecting:
        break;
    }
}

} // namespace orlenta
