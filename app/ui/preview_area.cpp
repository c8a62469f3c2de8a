#include "app/ui/preview_area.h"

#include <cmath>

#include <QCursor>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/ui/camera_menu.h"
#include "app/ui/face_marks_view.h"
#include "app/ui/outline_button.h"
#include "app/ui/preview_view.h"

namespace orlenta {
namespace {

constexpr int kOverlayPadding = 10;
const QString kSeparator = QStringLiteral(" \u00B7 ");

QString counterStyleSheet(bool paused) {
    // Gray while paused, green otherwise, both at 85 %.
    return paused ? QStringLiteral("QLabel { background: rgba(142, 142, 147, 217); color: white; "
                                   "padding: 4px 8px; }")
                  : QStringLiteral("QLabel { background: rgba(52, 199, 89, 217); color: white; "
                                   "padding: 4px 8px; }");
}

} // namespace

QString counterText(const std::vector<FaceMark>& marks, bool paused) {
    if (paused)
        return QStringLiteral("PAUSED");
    long long total = static_cast<long long>(marks.size());
    long long hidden = 0;
    for (const FaceMark& mark : marks)
        if (!mark.shown)
            ++hidden;
    long long shownCount = total - hidden;
    if (shownCount < 1)
        return QStringLiteral("FACES HIDDEN") + kSeparator + QString::number(hidden);
    return QString::number(hidden) + QStringLiteral(" HIDDEN") + kSeparator +
           QString::number(shownCount) + QStringLiteral(" SHOWN");
}

bool showsHideAll(const std::vector<FaceMark>& marks, bool paused) {
    if (paused)
        return false;
    for (const FaceMark& mark : marks)
        if (mark.shown)
            return true;
    return false;
}

PreviewArea::PreviewArea(CameraPipeline& pipeline, std::shared_ptr<PreviewLayer> layer,
                         QWidget* parent)
    : QWidget(parent), pipeline_(pipeline) {
    setFixedSize(static_cast<int>(kPreviewWidth), static_cast<int>(std::ceil(kPreviewHeight)));
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);

    preview_ = new PreviewView(std::move(layer), this);
    marks_ = new FaceMarksView(pipeline_, this);

    counter_ = new QLabel(this);
    QFont counterFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    counterFont.setPixelSize(11);
    counterFont.setWeight(QFont::Medium);
    counter_->setFont(counterFont);
    counter_->setAttribute(Qt::WA_TransparentForMouseEvents);

    controls_ = new QWidget(this);
    auto* row = new QHBoxLayout(controls_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    startPause_ = new OutlineButton(QStringLiteral("Pause Camera"), controls_);
    camera_ = OutlineButton::cameraButton(controls_);
    camera_->setToolTip(QStringLiteral("Choose a camera"));
    row->addWidget(startPause_, 0, Qt::AlignVCenter);
    row->addWidget(camera_, 0, Qt::AlignVCenter);

    hideAll_ = new OutlineButton(QStringLiteral("Hide All Faces"), this);

    pausedMessage_ = new QWidget(this);
    pausedMessage_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* message = new QVBoxLayout(pausedMessage_);
    message->setContentsMargins(24, 24, 24, 24);
    message->setSpacing(6);
    auto* title = new QLabel(QStringLiteral("Video paused"), pausedMessage_);
    QFont titleFont = title->font();
    titleFont.setPixelSize(15);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setAlignment(Qt::AlignCenter);
    auto* detail = new QLabel(
        QStringLiteral("The webcam is off. Video apps show a message instead of your video."),
        pausedMessage_);
    detail->setWordWrap(true);
    detail->setAlignment(Qt::AlignCenter);
    // The secondary text colour over white content: white at reduced opacity.
    detail->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 166);"));
    message->addWidget(title);
    message->addWidget(detail);
    pausedMessage_->setFixedWidth(width());

    connect(startPause_, &QAbstractButton::clicked, this,
            [this] { pipeline_.setPaused(!pipeline_.paused.get()); });
    connect(hideAll_, &QAbstractButton::clicked, this, [this] { pipeline_.hideAllFaces(); });
    connect(camera_, &QAbstractButton::clicked, this, [this] { openCameraMenu(QCursor::pos()); });

    observations_.watch(pipeline_.faceMarks, [this] { refresh(); });
    observations_.watch(pipeline_.paused, [this] { refresh(); });
    refresh();
}

void PreviewArea::openCameraMenu(QPoint at) {
    CameraPipeline* pipeline = &pipeline_;
    CameraMenu::popUp(
        pipeline_.cameras.get(), pipeline_.selectedCameraID.get(),
        [pipeline](const std::string& id) { pipeline->setSelectedCameraID(id); }, at);
}

void PreviewArea::refresh() {
    bool paused = pipeline_.paused.get();
    const std::vector<FaceMark>& marks = pipeline_.faceMarks.get();
    counter_->setText(counterText(marks, paused));
    counter_->setStyleSheet(counterStyleSheet(paused));
    counter_->adjustSize();
    marks_->setVisible(!paused);
    startPause_->setLabel(paused ? QStringLiteral("Start Camera") : QStringLiteral("Pause Camera"));
    controls_->adjustSize();
    hideAll_->setVisible(showsHideAll(marks, paused));
    pausedMessage_->setVisible(paused);
    placeOverlays();
}

void PreviewArea::resizeEvent(QResizeEvent*) {
    placeOverlays();
}

void PreviewArea::placeOverlays() {
    preview_->setGeometry(rect());
    marks_->setGeometry(rect());
    counter_->move(kOverlayPadding, kOverlayPadding);
    QSize controls = controls_->sizeHint();
    controls_->setGeometry(width() - kOverlayPadding - controls.width(),
                           height() - kOverlayPadding - controls.height(), controls.width(),
                           controls.height());
    hideAll_->move(kOverlayPadding, height() - kOverlayPadding - hideAll_->height());
    QSize message = pausedMessage_->sizeHint();
    int messageHeight = pausedMessage_->heightForWidth(width());
    if (messageHeight < 0)
        messageHeight = message.height();
    pausedMessage_->setGeometry(0, (height() - messageHeight) / 2, width(), messageHeight);
}

} // namespace orlenta
