// The window icon: miniatures of the dial for the title bar and the task bar, drawn afresh at
// each size (a shrunken dial would blur into grey): the black face, the scale reduced to what
// the size can hold, one white needle straight up and the red not-connected dot at the upper
// left, on an opaque dark-grey square.
#include <cmath>
#include <numbers>

#include "app/app.h"
#include "tools/artgen/artgen.h"
#include "tools/artgen/canvas.h"

namespace korvalis {

namespace {

struct IconLayout {
    double tick_length;  // graduation length, pixels; 0 draws the scale as one thin arc
    double tick_width;
    int knots_per_tick;  // graduation spacing
    double dot_radius;   // the red dot
    double dot_offset;   // from the centre, in x and in y, as a share of the radius
};

IconLayout layout_for(int32_t size) {
    if (size >= 48) return {5.0, 1.6, 20, 3.2, 0.36};
    if (size >= 32) return {3.5, 1.3, 20, 2.4, 0.36};
    return {0.0, 1.0, 0, 1.4, 0.40};  // too small for single graduations
}

constexpr double needle_width = 2.0;  // whole pixels either side of the centre: a sharp line

}  // namespace

RgbaImage draw_icon(int32_t size) {
    Canvas canvas(size, size);
    if (!canvas.ok()) return {};
    cairo_t* cr = canvas.cr;
    const IconLayout layout = layout_for(size);
    const double centre = size / 2.0;
    const double radius = size / 2.0 - 0.5;
    const double full_turn = 2 * std::numbers::pi;

    cairo_set_source_rgb(cr, 14 / 255.0, 14 / 255.0, 14 / 255.0);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_arc(cr, centre, centre, radius, 0, full_turn);
    cairo_fill(cr);

    // The scale, at the same angles as on the dial.
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_width(cr, layout.tick_width);
    const double outer = radius - 0.8;
    const auto angle = [](int knots) {
        return needle_angle(static_cast<float>(knots)) * std::numbers::pi / 180.0;
    };
    if (layout.tick_length == 0) {
        // cairo counts angles from the +x axis, the dial from straight up.
        const double quarter = std::numbers::pi / 2;
        cairo_arc(cr, centre, centre, outer - 1.0, angle(40) - quarter, angle(300) - quarter);
        cairo_stroke(cr);
    }
    for (int knots = 40; layout.tick_length > 0 && knots <= 300; knots += layout.knots_per_tick) {
        const double a = angle(knots);
        const double inner = outer - layout.tick_length;
        cairo_move_to(cr, centre + inner * std::sin(a), centre - inner * std::cos(a));
        cairo_line_to(cr, centre + outer * std::sin(a), centre - outer * std::cos(a));
        cairo_stroke(cr);
    }

    // The needle, straight up from the centre to the graduations; pointed, on a small hub, where
    // the size has room for it, a plain sharp bar otherwise.
    const double half = needle_width / 2;
    const bool detailed = layout.tick_length > 0;
    const double tip = detailed ? centre - outer + 0.5 : std::round(centre - outer);
    const double point = detailed ? 2 * half : 0.0;
    cairo_move_to(cr, centre - (detailed ? 0 : half), tip);
    cairo_line_to(cr, centre + half, tip + point);
    cairo_line_to(cr, centre + half, centre + 1);
    cairo_line_to(cr, centre - half, centre + 1);
    cairo_line_to(cr, centre - half, tip + point);
    cairo_close_path(cr);
    cairo_fill(cr);
    if (detailed) {
        cairo_arc(cr, centre, centre, half + 0.8, 0, full_turn);
        cairo_fill(cr);
    }

    // The red dot, in the 10:30 direction like the instrument's not-connected marker.
    const double offset = radius * layout.dot_offset;
    cairo_set_source_rgb(cr, 1, 0, 0);
    cairo_arc(cr, centre - offset, centre - offset, layout.dot_radius, 0, full_turn);
    cairo_fill(cr);

    return canvas_to_image(canvas);
}

}  // namespace korvalis
