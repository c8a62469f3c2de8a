#include "app/ui/outline_button.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

namespace orlenta {
namespace {

constexpr int kGlyphWidth = 18;
constexpr int kGlyphHeight = 13;

QFont buttonFont(QFont font) {
    font.setPixelSize(12);
    font.setWeight(QFont::Medium);
    return font;
}

// A camera body with a lens and a viewfinder bump, stroked in the given colour.
void drawCameraGlyph(QPainter& painter, QRectF box, QColor colour) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 1.4));
    painter.setBrush(Qt::NoBrush);
    QRectF body(box.left(), box.top() + 2.5, box.width(), box.height() - 2.5);
    painter.drawRoundedRect(body, 2.5, 2.5);
    QRectF bump(box.center().x() - 3.5, box.top(), 7, 3);
    painter.drawLine(bump.bottomLeft(), QPointF(bump.left() + 1.5, bump.top()));
    painter.drawLine(QPointF(bump.left() + 1.5, bump.top()),
                     QPointF(bump.right() - 1.5, bump.top()));
    painter.drawLine(QPointF(bump.right() - 1.5, bump.top()), bump.bottomRight());
    double radius = body.height() * 0.3;
    painter.drawEllipse(QPointF(body.center().x(), body.center().y()), radius, radius);
    painter.restore();
}

} // namespace

OutlineButton::OutlineButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setFont(buttonFont(font()));
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(sizeHint());
}

OutlineButton* OutlineButton::cameraButton(QWidget* parent) {
    auto* button = new OutlineButton(QString(), parent);
    button->cameraGlyph_ = true;
    button->setAccessibleName(QStringLiteral("Camera"));
    button->setFixedSize(button->sizeHint());
    return button;
}

void OutlineButton::setLabel(const QString& text) {
    if (text == this->text())
        return;
    setText(text);
    setFixedSize(sizeHint());
    update();
}

QSize OutlineButton::sizeHint() const {
    int content = cameraGlyph_ ? kGlyphWidth : QFontMetrics(font()).horizontalAdvance(text());
    return {content + 2 * kHorizontalPadding, kHeight};
}

void OutlineButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRectF bounds = QRectF(rect());
    painter.fillRect(bounds, QColor(0, 0, 0, isDown() ? 128 : 64));
    painter.setPen(QPen(Qt::white, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5));
    if (cameraGlyph_) {
        QRectF glyph(bounds.center().x() - kGlyphWidth / 2.0,
                     bounds.center().y() - kGlyphHeight / 2.0, kGlyphWidth, kGlyphHeight);
        drawCameraGlyph(painter, glyph, Qt::white);
        return;
    }
    painter.setFont(font());
    painter.drawText(bounds, Qt::AlignCenter, text());
}

} // namespace orlenta
