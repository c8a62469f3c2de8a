// FaceMarksView: the clickable layer over the preview that outlines every tracked face.
//
// Each FaceMark's rect (normalized, origin top-left) maps onto the preview area by plain scaling:
// the area has the frame's own 16:9 shape. A face is outlined by an ellipse inscribed in its
// rectangle, or by the rectangle itself when the style is box; shown faces in solid red, hidden
// ones in white at 80 % with a 6-on, 4-off dash; 2 pixels wide. Under each outline a "SHOWN" or
// "HIDDEN" label sits centred, its bottom edge 8 pixels below the rectangle's.
//
// A left click at p calls the pipeline's toggleFace with (p.x / W, p.y / H), W x H being the
// preview area's size; the tracker decides which face (if any) that flips.
//
// Labels of faces near the bottom edge reach below the preview area; FaceMarksOverflow paints
// that part over what lies below, so nothing is cut off.
//
// Threads: GUI thread only. The views read the pipeline's faceMarks and style and repaint on
// every change; they keep no state of their own.
#pragma once

#include <vector>

#include <QWidget>

#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

namespace orlenta {

struct MarkGeometry {
    QRectF outline; // the face rectangle in view coordinates
    QRectF label;   // the label's box
};

// The logical size of the preview area: 485 wide, exactly 16:9.
inline constexpr double kPreviewWidth = 485.0;
inline constexpr double kPreviewHeight = 485.0 * 9.0 / 16.0; // 272.8125
// How far below the rectangle a label's bottom edge lies.
inline constexpr double kLabelDrop = 8.0;

QFont faceLabelFont();
MarkGeometry markGeometry(const FaceMark& mark, QSizeF area);
// The mark-space point of a click in the area (clamped to 0..1, so the far edges give 1).
Point markPointForClick(QPointF position, QSizeF area);
// Paints every mark as it appears in an area of the given size.
void paintFaceMarks(QPainter& painter, const std::vector<FaceMark>& marks, CoverStyle style,
                    QSizeF area);

class FaceMarksView final : public QWidget {
public:
    explicit FaceMarksView(CameraPipeline& pipeline, QWidget* parent = nullptr);

    static constexpr const char* kToolTip = "Click a face to show or hide it";

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    CameraPipeline& pipeline_;
    Observations observations_;
};

// Paints, in its own rectangle, the part of the marks that lies below the preview area (whose
// bottom edge is its top edge). Transparent for the mouse.
class FaceMarksOverflow final : public QWidget {
public:
    explicit FaceMarksOverflow(CameraPipeline& pipeline, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CameraPipeline& pipeline_;
    Observations observations_;
};

} // namespace orlenta
