// The covering renderer: makes hidden faces unrecognisable in one frame.
//
// coverFaces() takes the uncovered frame, the covering rectangles of the hidden faces (in the
// order they are to be applied) and a style, and writes the covered frame. Every patch is made
// from the uncovered source, never from an earlier patch, so overlapping faces are not blurred
// twice and a later face lies on top of an earlier one. Apart from one copy of the frame, only
// the face rectangles plus a 2 px margin are touched, so the cost grows with face area, not with
// frame size.
//
// Images are BGRA (CV_8UC4) cv::Mat views, typically over the memory of a PixelBuffer. The
// rectangles are in pixel space with the origin at the BOTTOM-left and y up (the output frame's
// space); row 0 of the Mat is the top row.
//
// Pure functions without state; safe from any thread for distinct destinations.
#pragma once

#include <vector>

#include <opencv2/core/mat.hpp>

#include "app/pipeline/cover_style.h"
#include "media/geometry.h"

namespace orlenta {

// Renderer constants.
inline constexpr double kMinimumVisibleSize = 4.0;   // covered only if wider and taller than this
inline constexpr double kBlurBlockDivisor = 6.0;     // blur pre-pixelation block = width / 6
inline constexpr double kPixelateBlockDivisor = 7.0; // pixelate block = width / 7
inline constexpr double kMinimumBlockSize = 10.0;
inline constexpr double kBlurStrength = 0.125; // Gaussian sigma = face width * 0.125
inline constexpr double kMaskInnerRadius = 98.0;
inline constexpr double kMaskOuterRadius = 100.0;
inline constexpr double kMaskUnitDiameter = 200.0;
inline constexpr double kMaskMargin = 2.0;

// Writes `source` with the faces covered into `destination`. destination must already have the
// size and type of source and must not share memory with it; it is overwritten entirely. Rects
// that are not finite, that have a negative size, or whose visible part is 4 px or less in either
// direction are skipped. An empty list gives a plain copy. A source that is empty or not CV_8UC4
// leaves destination untouched and answers false.
bool coverFaces(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                cv::Mat& destination);

} // namespace orlenta
