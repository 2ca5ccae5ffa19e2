// Drawing helpers over cairo, shared by the generator's drawings: a canvas that owns its surface,
// the conversion of cairo's premultiplied pixels to the straight RGBA the instrument loads, and
// the DejaVu Sans faces loaded straight from their files, so the output never depends on which
// font a font matcher would pick.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string_view>

#include "tools/artgen/artgen.h"

namespace korvalis {

// One cairo image surface (ARGB32, transparent at start) with its drawing context.
struct Canvas {
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;

    Canvas(int32_t width, int32_t height);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool ok() const;  // false when cairo could not make the surface
};

// Straight RGBA copy of the canvas; empty when the canvas failed.
RgbaImage canvas_to_image(Canvas& canvas);

// Gives every fully transparent pixel the colour of its nearest visible neighbours. A renderer
// that filters straight-alpha textures bilinearly mixes the colour of transparent texels into the
// edges; with this, a white blade keeps a white edge instead of a grey fringe.
void bleed_edge_colours(RgbaImage& image);

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------
enum class FontWeight : uint8_t { Book, Bold };

// The DejaVu Sans face of that weight, or null when its file cannot be loaded. Loaded once.
cairo_font_face_t* dejavu_sans(FontWeight weight);

struct TextBox {
    double width = 0;  // ink extent, pixels
    double height = 0;
};

// Ink extent of text at the current font of cr (with tracking: extra pixels between letters).
TextBox measure_text(cairo_t* cr, std::string_view text, double tracking = 0.0);

// Draws text at the current font and source of cr with the centre of its ink box at (x, y).
void show_text_centred(cairo_t* cr, std::string_view text, double x, double y,
                       double tracking = 0.0);

// Sets the crisp, grey-antialiased, lightly hinted text options used for every label.
void use_label_font(cairo_t* cr, FontWeight weight, double pixel_size, double width_scale = 1.0);

}  // namespace korvalis
