// The placeholder picture that readers of the virtual camera see while the app sends nothing:
// "Orlenta Camera" over "Video is off. Open the Orlenta Camera app, or press Start Camera." (the
// app's button that resumes capture), light on a dark grey background, 1280 x 720 BGRA.
//
// Drawn once, at start, with cairo; every placeholder frame wraps the same buffer. Layout (in
// picture rows from the top): the title's baseline on row 340, the message's on row 400, each line
// centred on its own measured advance width.
#pragma once

#include <memory>
#include <string_view>

#include "media/pixel_buffer.h"

namespace orlenta {

struct PlaceholderLine {
    std::string_view text;
    double fontSize;   // pixels (points on a 72 dpi surface)
    double grey;       // 0..1
    double baselineUp; // from the bottom edge, y upwards
};

inline constexpr double kPlaceholderBackgroundGrey = 0.08;
inline constexpr PlaceholderLine kPlaceholderTitle{"Orlenta Camera", 56, 1.0, 380};
inline constexpr PlaceholderLine kPlaceholderMessage{
    "Video is off. Open the Orlenta Camera app, or press Start Camera.", 26, 0.7, 320};
// A bold face with Helvetica's metrics; fontconfig maps it to Nimbus Sans or another metric clone.
inline constexpr std::string_view kPlaceholderFontFamily = "Helvetica";

// The drawn picture; absent when no buffer can be had. If only drawing fails, the buffer comes
// back undrawn (all zero).
std::shared_ptr<PixelBuffer> makePlaceholder();

// The advance width, in pixels, of a line as makePlaceholder() sets it; for checking the layout.
double placeholderLineWidth(const PlaceholderLine& line);

// Frees the font caches that cairo and fontconfig keep for the whole process. Only for the end of
// a process that draws nothing more (the daemon at exit, test programs): any later drawing with
// fontconfig in the process is undefined.
void releasePlaceholderFontCaches();

} // namespace orlenta
