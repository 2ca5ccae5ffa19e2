// Canvas, pixel conversion and text helpers over cairo (see canvas.h).
#include "tools/artgen/canvas.h"

#include <cairo-ft.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

namespace korvalis {

Canvas::Canvas(int32_t width, int32_t height) {
    surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cr = cairo_create(surface);
}

Canvas::~Canvas() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

bool Canvas::ok() const {
    return cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
           cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

RgbaImage canvas_to_image(Canvas& canvas) {
    if (!canvas.ok()) return {};
    cairo_surface_flush(canvas.surface);
    const int32_t width = cairo_image_surface_get_width(canvas.surface);
    const int32_t height = cairo_image_surface_get_height(canvas.surface);
    const int32_t stride = cairo_image_surface_get_stride(canvas.surface);
    const unsigned char* data = cairo_image_surface_get_data(canvas.surface);
    if (data == nullptr) return {};

    RgbaImage image = make_image(width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            // ARGB32 is one native-endian 32-bit word per pixel, colour premultiplied by alpha.
            uint32_t word = 0;
            std::memcpy(&word, data + static_cast<size_t>(y) * stride + x * 4, 4);
            const uint32_t a = word >> 24;
            const uint32_t premultiplied[3] = {(word >> 16) & 0xff, (word >> 8) & 0xff,
                                               word & 0xff};
            uint8_t* out = &image.pixels[(static_cast<size_t>(y) * width + x) * 4];
            for (int c = 0; c < 3; ++c) {
                out[c] = a == 0 ? 0
                                : static_cast<uint8_t>(std::min<uint32_t>(
                                      255, (premultiplied[c] * 255 + a / 2) / a));
            }
            out[3] = static_cast<uint8_t>(a);
        }
    }
    return image;
}

void bleed_edge_colours(RgbaImage& image) {
    const int32_t w = image.width;
    const int32_t h = image.height;
    // known: the pixel's colour is settled (visible, or filled in an earlier ring).
    std::vector<uint8_t> known(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < known.size(); ++i)
        known[i] = image.pixels[i * 4 + 3] != 0;

    // Grow the known area one ring at a time; each new pixel takes the alpha-weighted mean colour
    // of its known neighbours (plain mean for neighbours filled in earlier rings).
    bool grew = true;
    while (grew) {
        grew = false;
        std::vector<size_t> ring;
        std::vector<std::array<uint8_t, 3>> colours;
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const size_t index = static_cast<size_t>(y) * w + x;
                if (known[index]) continue;
                double sum[3] = {0, 0, 0};
                double weight = 0;
                for (int32_t dy = -1; dy <= 1; ++dy) {
                    for (int32_t dx = -1; dx <= 1; ++dx) {
                        const int32_t nx = x + dx;
                        const int32_t ny = y + dy;
                        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                        const size_t n = static_cast<size_t>(ny) * w + nx;
                        if (!known[n]) continue;
                        const uint8_t* p = &image.pixels[n * 4];
                        const double wgt = p[3] == 0 ? 1.0 : p[3] / 255.0 + 1.0;
                        for (int c = 0; c < 3; ++c)
                            sum[c] += p[c] * wgt;
                        weight += wgt;
                    }
                }
                if (weight == 0) continue;
                std::array<uint8_t, 3> colour{};
                for (int c = 0; c < 3; ++c) {
                    colour[c] = static_cast<uint8_t>(std::lround(sum[c] / weight));
                }
                ring.push_back(index);
                colours.push_back(colour);
            }
        }
        for (size_t i = 0; i < ring.size(); ++i) {
            for (int c = 0; c < 3; ++c)
                image.pixels[ring[i] * 4 + c] = colours[i][c];
            known[ring[i]] = 1;
            grew = true;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------

cairo_font_face_t* dejavu_sans(FontWeight weight) {
    // The faces live as long as the generator runs; cairo keeps references to them.
    struct Faces {
        FT_Library library = nullptr;
        cairo_font_face_t* book = nullptr;
        cairo_font_face_t* bold = nullptr;
    };
    static const Faces faces = [] {
        Faces loaded;
        if (FT_Init_FreeType(&loaded.library) != 0) return loaded;
        const auto load = [&](const char* path) -> cairo_font_face_t* {
            FT_Face face = nullptr;
            if (FT_New_Face(loaded.library, path, 0, &face) != 0) return nullptr;
            cairo_font_face_t* cairo_face = cairo_ft_font_face_create_for_ft_face(face, 0);
            if (cairo_font_face_status(cairo_face) != CAIRO_STATUS_SUCCESS) return nullptr;
            return cairo_face;
        };
        loaded.book = load("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
        loaded.bold = load("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf");
        return loaded;
    }();
    return weight == FontWeight::Bold ? faces.bold : faces.book;
}

void use_label_font(cairo_t* cr, FontWeight weight, double pixel_size, double width_scale) {
    cairo_set_font_face(cr, dejavu_sans(weight));
    cairo_matrix_t matrix;
    cairo_matrix_init_scale(&matrix, pixel_size * width_scale, pixel_size);
    cairo_set_font_matrix(cr, &matrix);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

namespace {

struct InkBox {
    double left = 0, top = 0, right = 0, bottom = 0;
};

InkBox ink_box(cairo_t* cr, std::string_view text, double tracking) {
    InkBox box{1e9, 1e9, -1e9, -1e9};
    double pen = 0;
    for (char ch : text) {
        const char glyph[2] = {ch, '\0'};
        cairo_text_extents_t extents;
        cairo_text_extents(cr, glyph, &extents);
        if (extents.width > 0) {
            box.left = std::min(box.left, pen + extents.x_bearing);
            box.right = std::max(box.right, pen + extents.x_bearing + extents.width);
            box.top = std::min(box.top, extents.y_bearing);
            box.bottom = std::max(box.bottom, extents.y_bearing + extents.height);
        }
        pen += extents.x_advance + tracking;
    }
    if (box.left > box.right) return {};
    return box;
}

}  // namespace

TextBox measure_text(cairo_t* cr, std::string_view text, double tracking) {
    const InkBox box = ink_box(cr, text, tracking);
    return {box.right - box.left, box.bottom - box.top};
}

void show_text_centred(cairo_t* cr, std::string_view text, double x, double y, double tracking) {
    const InkBox box = ink_box(cr, text, tracking);
    // The origin lands on whole pixels, so the hinted horizontal strokes stay sharp.
    double pen = std::round(x - (box.left + box.right) / 2);
    const double baseline = std::round(y - (box.top + box.bottom) / 2);
    for (char ch : text) {
        const char glyph[2] = {ch, '\0'};
        cairo_move_to(cr, pen, baseline);
        cairo_show_text(cr, glyph);
        cairo_text_extents_t extents;
        cairo_text_extents(cr, glyph, &extents);
        pen += extents.x_advance + tracking;
    }
}

}  // namespace korvalis
