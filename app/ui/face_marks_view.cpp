#include "app/ui/face_marks_view.h"

#include <algorithm>

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>

namespace orlenta {
namespace {

const QColor kShownColour(255, 59, 48);

QString labelText(bool shown) {
    return shown ? QStringLiteral("SHOWN") : QStringLiteral("HIDDEN");
}

} // namespace

QFont faceLabelFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(10);
    font.setWeight(QFont::Medium);
    return font;
}

MarkGeometry markGeometry(const FaceMark& mark, QSizeF area) {
    QRectF outline(mark.rect.x * area.width(), mark.rect.y * area.height(),
                   mark.rect.width * area.width(), mark.rect.height * area.height());
    QFontMetricsF metrics(faceLabelFont());
    // Kept at its natural size, however small the face.
    QSizeF labelSize(metrics.horizontalAdvance(labelText(mark.shown)) + 12, metrics.height() + 4);
    QRectF label(outline.center().x() - labelSize.width() / 2,
                 outline.bottom() + kLabelDrop - labelSize.height(), labelSize.width(),
                 labelSize.height());
    return {outline, label};
}

Point markPointForClick(QPointF position, QSizeF area) {
    if (area.width() <= 0 || area.height() <= 0)
        return {};
    return {std::clamp(position.x() / area.width(), 0.0, 1.0),
            std::clamp(position.y() / area.height(), 0.0, 1.0)};
}

void paintFaceMarks(QPainter& painter, const std::vector<FaceMark>& marks, CoverStyle style,
                    QSizeF area) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = faceLabelFont();
    painter.setFont(font);
    for (const FaceMark& mark : marks) {
        MarkGeometry geometry = markGeometry(mark, area);
        QPen pen(Qt::SolidLine);
        pen.setWidthF(2.0);
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::MiterJoin);
        pen.setMiterLimit(10);
        if (mark.shown) {
            pen.setColor(kShownColour);
        } else {
            pen.setColor(QColor(255, 255, 255, 204));
            // Qt measures dashes in pen widths: 6 on, 4 off at a width of 2.
            pen.setDashPattern({3.0, 2.0});
            pen.setDashOffset(0);
        }
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        if (style == CoverStyle::box)
            painter.drawRect(geometry.outline);
        else
            painter.drawEllipse(geometry.outline);

        painter.setPen(Qt::NoPen);
        painter.setBrush(mark.shown ? kShownColour : QColor(0, 0, 0, 178));
        painter.drawRect(geometry.label);
        painter.setPen(Qt::white);
        painter.drawText(geometry.label, Qt::AlignCenter, labelText(mark.shown));
    }
    painter.restore();
}

FaceMarksView::FaceMarksView(CameraPipeline& pipeline, QWidget* parent)
    : QWidget(parent), pipeline_(pipeline) {
    setAttribute(Qt::WA_NoSystemBackground);
    setToolTip(QString::fromUtf8(kToolTip));
    observations_.watch(pipeline_.faceMarks, [this] { update(); });
    observations_.watch(pipeline_.style, [this] { update(); });
}

void FaceMarksView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintFaceMarks(painter, pipeline_.faceMarks.get(), pipeline_.style.get(),
                   QSizeF(kPreviewWidth, kPreviewHeight));
}

void FaceMarksView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    pipeline_.toggleFace(
        markPointForClick(event->position(), QSizeF(kPreviewWidth, kPreviewHeight)));
    event->accept();
}

FaceMarksOverflow::FaceMarksOverflow(CameraPipeline& pipeline, QWidget* parent)
    : QWidget(parent), pipeline_(pipeline) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    observations_.watch(pipeline_.faceMarks, [this] { update(); });
    observations_.watch(pipeline_.style, [this] { update(); });
    observations_.watch(pipeline_.paused, [this] { update(); });
}

void FaceMarksOverflow::paintEvent(QPaintEvent*) {
    if (pipeline_.paused.get())
        return;
    QPainter painter(this);
    // The preview area's widget is whole pixels high; the marks end where it ends.
    painter.translate(0, -std::ceil(kPreviewHeight));
    paintFaceMarks(painter, pipeline_.faceMarks.get(), pipeline_.style.get(),
                   QSizeF(kPreviewWidth, kPreviewHeight));
}

} // namespace orlenta
