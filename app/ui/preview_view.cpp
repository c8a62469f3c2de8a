#include "app/ui/preview_view.h"

#include <QImage>
#include <QPainter>

namespace orlenta {

void PreviewLayer::flushAndRemoveImage() {
    current_.reset();
    if (onChange_)
        onChange_();
}

void PreviewLayer::enqueue(std::shared_ptr<SampleBuffer> sample) {
    if (!sample || !sample->imageBuffer())
        return;
    current_ = std::move(sample);
    ++enqueued_;
    if (onChange_)
        onChange_();
}

PreviewView::PreviewView(std::shared_ptr<PreviewLayer> layer, QWidget* parent)
    : QWidget(parent), layer_(std::move(layer)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    layer_->setOnChange([this] { update(); });
}

PreviewView::~PreviewView() {
    layer_->setOnChange({});
}

QRectF PreviewView::fitRect(QSizeF frame, QSizeF view) {
    if (frame.width() <= 0 || frame.height() <= 0 || view.width() <= 0 || view.height() <= 0)
        return {};
    double scale = std::min(view.width() / frame.width(), view.height() / frame.height());
    QSizeF size(frame.width() * scale, frame.height() * scale);
    return QRectF(QPointF((view.width() - size.width()) / 2, (view.height() - size.height()) / 2),
                  size);
}

void PreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const std::shared_ptr<SampleBuffer>& sample = layer_->currentSample();
    if (!sample)
        return;
    PixelBuffer& buffer = *sample->imageBuffer();
    PixelBufferLock lock(buffer);
    if (!lock)
        return;
    // The bytes are blue, green, red, alpha: on a little-endian machine that is RGB32's 0xffRRGGBB.
    QImage image(lock.data(), buffer.width(), buffer.height(),
                 static_cast<qsizetype>(buffer.bytesPerRow()), QImage::Format_RGB32);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(fitRect(QSizeF(buffer.width(), buffer.height()), QSizeF(size())), image);
}

} // namespace orlenta
