// The covering renderer's soft elliptical mask, which every patch is blended through. Internal to
// the renderer: its implementation and its tests include this, nothing else does.
#pragma once

#include "media/geometry.h"

namespace orlenta {

// The soft elliptical mask of one face: 1 (patch fully applied) inside the ellipse inscribed in
// the face rectangle up to 98 % of each semi-axis, 0 from the ellipse's edge outwards, linear in
// between; nothing outside `extent` (the face rectangle grown by 2 px on every side).
struct EllipseMask {
    Rect extent;
    Point center;
    double semiAxisX = 0; // outer edge of the ellipse: face width / 2
    double semiAxisY = 0; // face height / 2

    // The mask value at a point of pixel space; 0 outside the extent.
    double value(Point p) const;
};

EllipseMask ellipseMask(const Rect& face);

} // namespace orlenta
