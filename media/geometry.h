// Plane geometry shared by every subsystem: points, sizes and axis-aligned rectangles in double
// precision.
//
// A rectangle is an origin (x, y) and a size (width, height). The y direction depends on the space
// a caller works in (output pixels are y-up, mark space is y-down); these helpers do not care.
// Sizes are expected to be non-negative; a rectangle built from untrusted numbers should be
// checked with isFinite() before it is used for pixel work.
//
// All functions are pure and safe to call from any thread.
#pragma once

#include <cmath>
#include <limits>

namespace orlenta {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    Point center() const { return {midX(), midY()}; }

    // The "null" rectangle stands for "no area at all", e.g. the intersection of two rectangles
    // that do not meet. It is distinct from a zero-sized rectangle at some position.
    static Rect null() {
        const double inf = std::numeric_limits<double>::infinity();
        return {inf, inf, 0, 0};
    }
    bool isNull() const { return std::isinf(x) || std::isinf(y); }
    // True when the rectangle covers no area (null, or a zero width or height).
    bool isEmpty() const { return isNull() || !(width > 0) || !(height > 0); }
    bool isFinite() const {
        return std::isfinite(x) && std::isfinite(y) && std::isfinite(width) &&
               std::isfinite(height) && width >= 0 && height >= 0;
    }

    // Half-open containment: the left and bottom edges are inside, the right and top edges are
    // not, so a point on the border of two touching rectangles belongs to exactly one of them.
    bool containsHalfOpen(Point p) const {
        return minX() <= p.x && p.x < maxX() && minY() <= p.y && p.y < maxY();
    }
    // Closed containment of a whole rectangle: touching edges count as inside.
    bool contains(const Rect& r) const {
        return minX() <= r.minX() && r.maxX() <= maxX() && minY() <= r.minY() && r.maxY() <= maxY();
    }

    // Moves every edge inwards by dx (left and right) and dy (bottom and top); negative values
    // grow the rectangle. Same centre.
    Rect insetBy(double dx, double dy) const {
        if (isNull())
            return *this;
        return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
    }

    // The smallest rectangle with whole-number edges that contains this one. Null stays null.
    Rect integral() const {
        if (isNull())
            return *this;
        const double x0 = std::floor(minX());
        const double y0 = std::floor(minY());
        const double x1 = std::ceil(maxX());
        const double y1 = std::ceil(maxY());
        return {x0, y0, x1 - x0, y1 - y0};
    }

    // The common part of two rectangles, or null when they do not overlap (touching edges give a
    // zero-sized rectangle, not null).
    Rect intersection(const Rect& o) const {
        if (isNull() || o.isNull())
            return null();
        const double x0 = std::fmax(minX(), o.minX());
        const double y0 = std::fmax(minY(), o.minY());
        const double x1 = std::fmin(maxX(), o.maxX());
        const double y1 = std::fmin(maxY(), o.maxY());
        if (!(x0 <= x1) || !(y0 <= y1))
            return null();
        return {x0, y0, x1 - x0, y1 - y0};
    }

    // The smallest rectangle that contains both. A null operand is ignored.
    Rect unionWith(const Rect& o) const {
        if (isNull())
            return o;
        if (o.isNull())
            return *this;
        const double x0 = std::fmin(minX(), o.minX());
        const double y0 = std::fmin(minY(), o.minY());
        const double x1 = std::fmax(maxX(), o.maxX());
        const double y1 = std::fmax(maxY(), o.maxY());
        return {x0, y0, x1 - x0, y1 - y0};
    }

    friend bool operator==(const Rect&, const Rect&) = default;
};

inline double distance(Point a, Point b) {
    return std::hypot(a.x - b.x, a.y - b.y);
}

} // namespace orlenta
