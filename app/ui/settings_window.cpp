#include "app/ui/settings_window.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/virtual_camera_panel.h"

namespace orlenta {
namespace {

const QString kAppName = QStringLiteral("Orlenta Camera");

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

SettingsWindow::SettingsWindow(CameraPipeline& pipeline, ExtensionInstaller& installer,
                               std::function<void()> onQuit, QWidget* parent)
    : QWidget(parent, Qt::Window), pipeline_(pipeline), installer_(installer) {
    setWindowTitle(QStringLiteral("Orlenta Camera Settings"));
    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto* group = new QGroupBox(QStringLiteral("Virtual camera"), this);
    group->setFixedWidth(420);
    outer->addWidget(group);
    auto* form = new QVBoxLayout(group);
    form->setSpacing(10);

    panel_ = new VirtualCameraPanel(pipeline_, installer_, std::move(onQuit), group);
    form->addWidget(panel_);

    QLabel* advice = secondaryLabel(QStringLiteral("Reinstall when \u201C") + kAppName +
                                        QStringLiteral("\u201D does not show in your video apps, "
                                                       "or after you update this app."),
                                    group);
    QFont callout = advice->font();
    callout.setPointSizeF(callout.pointSizeF() * 0.92);
    advice->setFont(callout);
    form->addWidget(advice);

    uninstallRow_ = new QWidget(group);
    auto* row = new QHBoxLayout(uninstallRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(secondaryLabel(QStringLiteral("Remove \u201C") + kAppName +
                                      QStringLiteral("\u201D from this computer."),
                                  uninstallRow_),
                   1, Qt::AlignVCenter);
    uninstall_ = new QPushButton(QStringLiteral("Uninstall\u2026"), uninstallRow_);
    // Destructive: red text.
    uninstall_->setStyleSheet(QStringLiteral("QPushButton { color: rgb(255, 59, 48); }"));
    row->addWidget(uninstall_, 0, Qt::AlignVCenter);
    form->addWidget(uninstallRow_);

    connect(uninstall_, &QPushButton::clicked, this, [this] { askToUninstall(); });
    observations_.watch(pipeline_.virtualCameraConnected, [this] { refresh(); });
    refresh();
}

void SettingsWindow::refresh() {
    uninstallRow_->setVisible(pipeline_.virtualCameraConnected.get());
}

QMessageBox* SettingsWindow::confirmation() const {
    return confirmation_;
}

bool SettingsWindow::confirmUninstall() const {
    return confirmation_ != nullptr;
}

void SettingsWindow::askToUninstall() {
    if (confirmation_)
        return;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Uninstall the virtual camera?"));
    box->setText(QStringLiteral("Uninstall the virtual camera?"));
    box->setInformativeText(QStringLiteral("Video apps will not show \u201C") + kAppName +
                            QStringLiteral("\u201D until you install it again."));
    QPushButton* confirm =
        box->addButton(QStringLiteral("Uninstall"), QMessageBox::DestructiveRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirm](QAbstractButton* clicked) {
        if (clicked == confirm)
            installer_.uninstall();
    });
    // However it closes, the confirmation is over.
    connect(box, &QObject::destroyed, this, [this] { confirmation_ = nullptr; });
    confirmation_ = box;
    box->open();
}

} // namespace orlenta
