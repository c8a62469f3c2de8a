#include "app/ui/content_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/ui/face_marks_view.h"
#include "app/ui/preview_area.h"
#include "app/ui/style_control.h"
#include "app/ui/virtual_camera_panel.h"

namespace orlenta {
namespace {

// Denied: the device nodes' permissions leave this account out (Debian gives cameras to the
// video group). Restricted: something above the permissions (a sandbox, a security module)
// refuses.
const QString kAccessDenied =
    QStringLiteral("Camera access is off: this account may not open the cameras (/dev/video*). "
                   "Add it to the video group (sudo usermod -aG video $USER), then log out and "
                   "in again.");
const QString kAccessRestricted =
    QStringLiteral("Camera access is off: the system does not let this app open the cameras "
                   "(/dev/video*), even though the account may. Ask the administrator.");

QLabel* warningLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: rgb(255, 59, 48);"));
    return label;
}

} // namespace

ContentView::ContentView(CameraPipeline& pipeline, ExtensionInstaller& installer,
                         std::shared_ptr<PreviewLayer> layer, std::function<void()> onQuit,
                         QWidget* parent)
    : QWidget(parent), pipeline_(pipeline) {
    setFixedWidth(kWidth);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->setSizeConstraint(QLayout::SetFixedSize);
    preview_ = new PreviewArea(pipeline_, std::move(layer), this);
    stack->addWidget(preview_, 0, Qt::AlignLeft | Qt::AlignTop);

    auto* column = new QVBoxLayout();
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(14);
    accessWarning_ = warningLabel(QString(), this);
    detectionWarning_ = warningLabel(
        QStringLiteral("Faces cannot be detected right now, so the whole picture is covered."),
        this);
    style_ = new StyleControl(this);
    panel_ = new VirtualCameraPanel(pipeline_, installer, std::move(onQuit), this);
    column->addWidget(accessWarning_);
    column->addWidget(detectionWarning_);
    column->addWidget(style_);
    column->addWidget(panel_);
    stack->addLayout(column);

    // Above the column, so labels of faces at the preview's bottom edge are drawn whole.
    overflow_ = new FaceMarksOverflow(pipeline_, this);
    overflow_->raise();

    CameraPipeline* shared = &pipeline_;
    style_->setOnChange([shared](CoverStyle style) { shared->setStyle(style); });
    observations_.watch(pipeline_.cameraAccess, [this] { refresh(); });
    observations_.watch(pipeline_.faceDetectionFailed, [this] { refresh(); });
    observations_.watch(pipeline_.style, [this] { refresh(); });
    observations_.watch(pipeline_.virtualCameraConnected, [this] { refresh(); });
    refresh();
}

void ContentView::refresh() {
    AuthorizationStatus access = pipeline_.cameraAccess.get();
    accessWarning_->setText(access == AuthorizationStatus::restricted ? kAccessRestricted
                                                                      : kAccessDenied);
    accessWarning_->setVisible(access == AuthorizationStatus::denied ||
                               access == AuthorizationStatus::restricted);
    detectionWarning_->setVisible(pipeline_.faceDetectionFailed.get());
    style_->setStyle(pipeline_.style.get());
    panel_->setVisible(!pipeline_.virtualCameraConnected.get());
}

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    if (onFirstShown_)
        onFirstShown_();
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int top = preview_->height();
    overflow_->setGeometry(0, top, width(), std::max(0, height() - top));
}

} // namespace orlenta
