#include "extension/placeholder.h"

#include <fontconfig/fontconfig.h>
#include <string>

#include <cairo.h>

#include "camera_service/virtual_camera.h"

namespace orlenta {

namespace {

// Exact advance widths: hinted metrics would round each glyph's advance and move the centring.
void setTextStyle(cairo_t* cr, const PlaceholderLine& line) {
    const std::string family(kPlaceholderFontFamily);
    cairo_select_font_face(cr, family.c_str(), CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, line.fontSize);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

double lineWidth(cairo_t* cr, const PlaceholderLine& line) {
    const std::string text(line.text);
    cairo_text_extents_t extents{};
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

void drawLine(cairo_t* cr, const PlaceholderLine& line) {
    setTextStyle(cr, line);
    const double width = lineWidth(cr, line);
    cairo_set_source_rgba(cr, line.grey, line.grey, line.grey, 1.0);
    // cairo's rows run downwards from the top edge.
    cairo_move_to(cr, (virtual_camera::kFrameWidth - width) * 0.5,
                  virtual_camera::kFrameHeight - line.baselineUp);
    const std::string text(line.text);
    cairo_show_text(cr, text.c_str());
}

} // namespace

std::shared_ptr<PixelBuffer> makePlaceholder() {
    std::shared_ptr<PixelBuffer> buffer =
        PixelBuffer::create(virtual_camera::kFrameWidth, virtual_camera::kFrameHeight);
    if (!buffer)
        return nullptr;
    PixelBufferLock lock(*buffer);
    if (!lock)
        return buffer;
    // CAIRO_FORMAT_ARGB32 is premultiplied 32-bit ARGB in native byte order: on a little-endian
    // machine the bytes in memory are blue, green, red, alpha, as BGRA wants.
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        lock.data(), CAIRO_FORMAT_ARGB32, virtual_camera::kFrameWidth, virtual_camera::kFrameHeight,
        static_cast<int>(buffer->bytesPerRow()));
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return buffer;
    }
    cairo_t* cr = cairo_create(surface);
    if (cairo_status(cr) == CAIRO_STATUS_SUCCESS) {
        cairo_set_source_rgba(cr, kPlaceholderBackgroundGrey, kPlaceholderBackgroundGrey,
                              kPlaceholderBackgroundGrey, 1.0);
        cairo_rectangle(cr, 0, 0, virtual_camera::kFrameWidth, virtual_camera::kFrameHeight);
        cairo_fill(cr);
        drawLine(cr, kPlaceholderTitle);
        drawLine(cr, kPlaceholderMessage);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
    return buffer;
}

double placeholderLineWidth(const PlaceholderLine& line) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(surface);
    setTextStyle(cr, line);
    const double width = lineWidth(cr, line);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return width;
}

void releasePlaceholderFontCaches() {
    cairo_debug_reset_static_data();
    FcFini();
}

} // namespace orlenta
