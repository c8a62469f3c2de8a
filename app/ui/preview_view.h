// The preview: where the covered frames of the pipeline appear in the main window.
//
// PreviewLayer is the display the pipeline enqueues its output frames into (the pipeline's
// DisplaySink). It keeps only the newest frame, by reference (no pixel copy), and asks the view
// attached to it to repaint. It belongs to the pipeline and outlives any view.
//
// PreviewView paints the layer's frame letter-boxed (aspect fit) on black, straight from the
// frame's memory: the BGRA pixels are wrapped as a QImage of format RGB32 for the duration of
// the paint, without copying them.
//
// Threads: GUI thread only, for both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QWidget>

#include "app/pipeline/frame_sinks.h"

namespace orlenta {

class PreviewLayer final : public DisplaySink {
public:
    bool hasFailed() const override { return false; }
    void flush() override {}
    void flushAndRemoveImage() override;
    void enqueue(std::shared_ptr<SampleBuffer> sample) override;

    // The frame on show; null when there is none.
    const std::shared_ptr<SampleBuffer>& currentSample() const { return current_; }
    // How many frames were enqueued so far.
    uint64_t enqueuedCount() const { return enqueued_; }
    // Called after every change of the frame on show; an empty function clears it.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

private:
    std::shared_ptr<SampleBuffer> current_;
    uint64_t enqueued_ = 0;
    std::function<void()> onChange_;
};

class PreviewView final : public QWidget {
public:
    PreviewView(std::shared_ptr<PreviewLayer> layer, QWidget* parent = nullptr);
    ~PreviewView() override;

    // Where a frame of the given size lands in a view of the given size (aspect fit, centred).
    static QRectF fitRect(QSizeF frame, QSizeF view);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::shared_ptr<PreviewLayer> layer_;
};

} // namespace orlenta
