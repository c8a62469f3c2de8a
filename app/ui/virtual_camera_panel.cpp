#include "app/ui/virtual_camera_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

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
        return QStringLiteral("The virtual camera needs an administrator\u2019s approval before "
                              "other apps can use it");
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
        return {};
    case PanelRule::approval:
        return QStringLiteral("Approve\u2026");
    case PanelRule::install:
        break;
    }
    return QStringLiteral("Install");
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

    // Return presses "Approve…" in whichever window shows the panel.
    returnKey_ = new QShortcut(QKeySequence(Qt::Key_Return), this);
    enterKey_ = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    returnKey_->setContext(Qt::WindowShortcut);
    enterKey_->setContext(Qt::WindowShortcut);
    connect(returnKey_, &QShortcut::activated, this, [this] { button_->click(); });
    connect(enterKey_, &QShortcut::activated, this, [this] { button_->click(); });
    connect(button_, &QPushButton::clicked, this, [this] { act(); });

    observations_.watch(pipeline_.virtualCameraConnected, [this] { refresh(); });
    observations_.watch(installer_.needsRestart, [this] { refresh(); });
    observations_.watch(installer_.finishing, [this] { refresh(); });
    observations_.watch(installer_.needsApproval, [this] { refresh(); });
    observations_.watch(installer_.message, [this] { refresh(); });
    refresh();
}

void VirtualCameraPanel::refresh() {
    rule_ = panelRule(pipeline_.virtualCameraConnected.get(), installer_.needsRestart.get(),
                      installer_.finishing.get(), installer_.needsApproval.get());
    status_->setText(panelText(rule_));
    QString title = panelButtonTitle(rule_);
    button_->setText(title);
    button_->setVisible(!title.isEmpty());
    button_->setDefault(rule_ == PanelRule::approval);
    busy_->setVisible(rule_ == PanelRule::connecting);
    returnKey_->setEnabled(rule_ == PanelRule::approval);
    enterKey_->setEnabled(rule_ == PanelRule::approval);
    const std::string& message = installer_.message.get();
    message_->setText(QString::fromStdString(message));
    // No empty line under the row when there is nothing to say.
    message_->setVisible(!message.empty());
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
        installer_.openSystemSettings();
        break;
    case PanelRule::connecting:
        break;
    }
}

} // namespace orlenta
