// The dial face: a black face with the knots scale printed at the angles of the needle
// calibration, so that a needle turned by needle_angle(v) points at the mark for v.
#include <cmath>
#include <numbers>
#include <string>

#include "app/app.h"
#include "tools/artgen/artgen.h"
#include "tools/artgen/canvas.h"

namespace korvalis {

namespace {

// Scale layout, radii from the dial centre in pixels.
constexpr double tick_outer_radius = 118.0;
constexpr double major_tick_length = 13.0;  // every 20 kt, with a numeral
constexpr double middle_tick_length = 9.5;  // every 10 kt
constexpr double minor_tick_length = 6.0;   // every 5 kt
constexpr double major_tick_width = 2.4;
constexpr double middle_tick_width = 1.9;
constexpr double minor_tick_width = 1.4;
constexpr double numeral_clearance = 4.0;  // between a numeral's box and the major ticks
constexpr double numeral_size = 14.0;      // pixel size of the numerals' font
constexpr double numeral_width_scale = 0.84;

constexpr int scale_first_knots = 40;
constexpr int scale_last_knots = 300;

// The white arc along the rim, from about 3 o'clock to about 6 o'clock.
constexpr double white_arc_from_knots = 86.0;
constexpr double white_arc_to_knots = 146.0;
constexpr double white_arc_outer_radius = 119.5;
constexpr double white_arc_width = 4.0;

// The two coloured radial lines.
constexpr double red_line_knots = 97.0;    // just short of 100
constexpr double blue_line_knots = 123.0;  // just past 120
constexpr double radial_line_width = 2.6;
constexpr double radial_line_outer = 120.5;
constexpr double radial_line_inner = 100.0;

// A small triangle between the 200 numeral and its graduation, pointing out at the mark.
constexpr int triangle_knots = 200;
constexpr double triangle_height = 8.0;
constexpr double triangle_half_base = 2.7;
constexpr double triangle_clearance = 2.5;  // between the triangle and the graduation

double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

// Point at a distance from the centre in the direction of a needle turned by `degrees`.
struct Point {
    double x, y;
};
Point on_dial(double degrees, double radius) {
    const double a = radians(degrees);
    return {dial_centre + radius * std::sin(a), dial_centre - radius * std::cos(a)};
}

double scale_angle(double knots) {
    return needle_angle(static_cast<float>(knots));
}

void radial_line(cairo_t* cr, double degrees, double inner, double outer, double width) {
    const Point from = on_dial(degrees, inner);
    const Point to = on_dial(degrees, outer);
    cairo_set_line_width(cr, width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_move_to(cr, from.x, from.y);
    cairo_line_to(cr, to.x, to.y);
    cairo_stroke(cr);
}

void draw_face(cairo_t* cr) {
    // A matte black face, a shade lighter towards the middle, ringed by a thin dark bezel line
    // that keeps the dial's edge visible against the dark window.
    cairo_pattern_t* face = cairo_pattern_create_radial(dial_centre, dial_centre, 0, dial_centre,
                                                        dial_centre, dial_radius);
    cairo_pattern_add_color_stop_rgb(face, 0.0, 0.055, 0.055, 0.055);
    cairo_pattern_add_color_stop_rgb(face, 0.85, 0.02, 0.02, 0.02);
    cairo_pattern_add_color_stop_rgb(face, 1.0, 0.0, 0.0, 0.0);
    cairo_arc(cr, dial_centre, dial_centre, dial_radius, 0, 2 * std::numbers::pi);
    cairo_set_source(cr, face);
    cairo_fill(cr);
    cairo_pattern_destroy(face);

    cairo_set_source_rgb(cr, 0.22, 0.22, 0.22);
    cairo_set_line_width(cr, 1.2);
    cairo_arc(cr, dial_centre, dial_centre, dial_radius - 0.6, 0, 2 * std::numbers::pi);
    cairo_stroke(cr);
}

void draw_white_arc(cairo_t* cr) {
    const double radius = white_arc_outer_radius - white_arc_width / 2;
    // cairo measures angles from the +x axis, clockwise on screen; the dial from straight up.
    const double from = radians(scale_angle(white_arc_from_knots) - 90.0);
    const double to = radians(scale_angle(white_arc_to_knots) - 90.0);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_width(cr, white_arc_width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_arc(cr, dial_centre, dial_centre, radius, from, to);
    cairo_stroke(cr);
}

void draw_graduations(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    for (int knots = scale_first_knots; knots <= scale_last_knots; knots += 5) {
        double length = minor_tick_length;
        double width = minor_tick_width;
        if (knots % 20 == 0) {
            length = major_tick_length;
            width = major_tick_width;
        } else if (knots % 10 == 0) {
            length = middle_tick_length;
            width = middle_tick_width;
        }
        radial_line(cr, scale_angle(knots), tick_outer_radius - length, tick_outer_radius, width);
    }
}

void draw_numerals(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    use_label_font(cr, FontWeight::Bold, numeral_size, numeral_width_scale);
    const double boundary = tick_outer_radius - major_tick_length - numeral_clearance;
    const double triangle_boundary = tick_outer_radius - major_tick_length - triangle_clearance -
                                     triangle_height - numeral_clearance + 1.0;
    for (int knots = scale_first_knots; knots <= scale_last_knots; knots += 20) {
        const std::string text = std::to_string(knots);
        const TextBox box = measure_text(cr, text);
        const double a = radians(scale_angle(knots));
        // Upright text: pull the box in until its outermost side just meets the boundary.
        const double half_extent =
            (box.width * std::fabs(std::sin(a)) + box.height * std::fabs(std::cos(a))) / 2;
        const double outer = knots == triangle_knots ? triangle_boundary : boundary;
        const Point centre = on_dial(scale_angle(knots), outer - half_extent);
        show_text_centred(cr, text, centre.x, centre.y);
    }
}

void draw_special_marks(cairo_t* cr) {
    cairo_set_source_rgb(cr, 0.90, 0.10, 0.08);
    radial_line(cr, scale_angle(red_line_knots), radial_line_inner, radial_line_outer,
                radial_line_width);
    cairo_set_source_rgb(cr, 0.15, 0.50, 1.0);
    radial_line(cr, scale_angle(blue_line_knots), radial_line_inner, radial_line_outer,
                radial_line_width);

    // The small white triangle beside the 200 numeral.
    const double degrees = scale_angle(triangle_knots);
    const double apex_radius = tick_outer_radius - major_tick_length - triangle_clearance;
    const double base_radius = apex_radius - triangle_height;
    const Point apex = on_dial(degrees, apex_radius);
    const Point base = on_dial(degrees, base_radius);
    const double a = radians(degrees);
    const double half_base = triangle_half_base;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_move_to(cr, apex.x, apex.y);
    cairo_line_to(cr, base.x + half_base * std::cos(a), base.y + half_base * std::sin(a));
    cairo_line_to(cr, base.x - half_base * std::cos(a), base.y - half_base * std::sin(a));
    cairo_close_path(cr);
    cairo_fill(cr);
}

void draw_labels(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    use_label_font(cr, FontWeight::Bold, 11.0);
    show_text_centred(cr, "KNOTS", dial_centre, dial_centre - 44.0, 1.6);

    // The maker's mark, below the counterweight of a needle at rest.
    cairo_set_source_rgb(cr, 0.78, 0.78, 0.78);
    use_label_font(cr, FontWeight::Bold, 7.0);
    show_text_centred(cr, "KORVALIS", dial_centre, dial_centre + 58.0, 1.2);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, dial_centre - 14.0, dial_centre + 63.5);
    cairo_line_to(cr, dial_centre + 14.0, dial_centre + 63.5);
    cairo_stroke(cr);

    // The centre dot, under the needles' hub.
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, dial_centre, dial_centre, 3.0, 0, 2 * std::numbers::pi);
    cairo_fill(cr);
}

}  // namespace

RgbaImage draw_dial_face() {
    Canvas canvas(dial_size, dial_size);
    if (!canvas.ok() || dejavu_sans(FontWeight::Book) == nullptr ||
        dejavu_sans(FontWeight::Bold) == nullptr) {
        return {};
    }
    cairo_t* cr = canvas.cr;
    draw_face(cr);
    // Everything printed stays on the face.
    cairo_arc(cr, dial_centre, dial_centre, dial_radius - 1.2, 0, 2 * std::numbers::pi);
    cairo_clip(cr);
    draw_white_arc(cr);
    draw_graduations(cr);
    draw_special_marks(cr);
    draw_numerals(cr);
    draw_labels(cr);
    RgbaImage image = canvas_to_image(canvas);
    bleed_edge_colours(image);
    return image;
}

}  // namespace korvalis
