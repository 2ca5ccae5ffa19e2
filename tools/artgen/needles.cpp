// The two needles: each points straight up from the pivot at the image centre, which is where the
// instrument turns it; everything away from the needle stays fully transparent, so the rotated
// image never shows its border.
#include <cmath>
#include <numbers>

#include "tools/artgen/artgen.h"
#include "tools/artgen/canvas.h"

namespace korvalis {

namespace {

constexpr double blade_half_width = 4.5;  // the blade and the shaft are 9 pixels wide
constexpr double tip_length = 7.0;        // from the point to the full width
constexpr double blade_bottom = dial_centre - 18.0;
constexpr double hub_radius = 7.5;
constexpr double counterweight_radius = 7.0;
constexpr double counterweight_end = dial_centre + 46.0;
constexpr int stripe_count = 6;

double tip_of(NeedleKind kind) {
    return kind == NeedleKind::MaxSpeed ? 4.0 : 6.0;
}

void blade_path(cairo_t* cr, double tip) {
    const double left = dial_centre - blade_half_width;
    const double right = dial_centre + blade_half_width;
    cairo_move_to(cr, dial_centre, tip);
    cairo_line_to(cr, right, tip + tip_length);
    cairo_line_to(cr, right, blade_bottom);
    cairo_line_to(cr, left, blade_bottom);
    cairo_line_to(cr, left, tip + tip_length);
    cairo_close_path(cr);
}

// Shaft, hub and counterweight: one black shape, with a faint grey rim on the hub and the
// counterweight so they read as metal parts where they cross the printed marks.
void draw_body(cairo_t* cr) {
    const double counterweight_centre = counterweight_end - counterweight_radius;
    cairo_new_path(cr);
    cairo_rectangle(cr, dial_centre - blade_half_width, blade_bottom - 0.5, 2 * blade_half_width,
                    counterweight_centre - blade_bottom + 0.5);
    cairo_new_sub_path(cr);
    cairo_arc(cr, dial_centre, dial_centre, hub_radius, 0, 2 * std::numbers::pi);
    cairo_new_sub_path(cr);
    cairo_arc(cr, dial_centre, counterweight_centre, counterweight_radius, 0, 2 * std::numbers::pi);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    cairo_set_source_rgb(cr, 0.02, 0.02, 0.02);
    cairo_fill(cr);

    cairo_set_source_rgb(cr, 0.20, 0.20, 0.20);
    cairo_set_line_width(cr, 1.0);
    cairo_arc(cr, dial_centre, dial_centre, hub_radius - 1.5, 0, 2 * std::numbers::pi);
    cairo_stroke(cr);
    cairo_arc(cr, dial_centre, dial_centre, 1.5, 0, 2 * std::numbers::pi);
    cairo_fill(cr);
}

void draw_stripes(cairo_t* cr, double tip) {
    // Six red bands at 45 degrees, evenly spread over the blade's length; the blade clips them.
    const double length = blade_bottom - tip;
    const double period = length / stripe_count;
    cairo_save(cr);
    blade_path(cr, tip);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0.86, 0.08, 0.08);
    const double left = dial_centre - blade_half_width - 1;
    const double right = dial_centre + blade_half_width + 1;
    for (int i = 0; i < stripe_count; ++i) {
        // The band holds the points with y + (x - centre) between start and start + period / 2.
        const double start = tip + period * (i + 0.25);
        const double end = start + period / 2;
        const auto y_at = [](double s, double x) { return s - (x - dial_centre); };
        cairo_move_to(cr, left, y_at(start, left));
        cairo_line_to(cr, right, y_at(start, right));
        cairo_line_to(cr, right, y_at(end, right));
        cairo_line_to(cr, left, y_at(end, left));
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    cairo_restore(cr);
}

}  // namespace

RgbaImage draw_needle(NeedleKind kind) {
    Canvas canvas(dial_size, dial_size);
    if (!canvas.ok()) return {};
    cairo_t* cr = canvas.cr;
    const double tip = tip_of(kind);
    draw_body(cr);
    blade_path(cr, tip);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    if (kind == NeedleKind::MaxSpeed) draw_stripes(cr, tip);
    RgbaImage image = canvas_to_image(canvas);
    bleed_edge_colours(image);
    return image;
}

}  // namespace korvalis
