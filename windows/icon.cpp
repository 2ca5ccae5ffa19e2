// The .ico writer and its colour reduction. An .ico file is a directory of images; each image
// here is a bitmap info header, a 256-entry palette, the colour indices bottom row first, and
// the 1-bit transparency mask (all clear: the icon is opaque), rows padded to 4 bytes.
#include "windows/icon.h"

#include <png.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace korvalis {

namespace {

uint32_t pack(uint32_t r, uint32_t g, uint32_t b) {
    return r | (g << 8) | (b << 16);
}
uint32_t channel(uint32_t colour, int which) {
    return (colour >> (8 * which)) & 0xFF;
}

// Straight-alpha pixel laid over the backdrop grey, rounded to the nearest level.
uint32_t opaque_colour(const uint8_t* rgba) {
    const uint32_t a = rgba[3];
    auto over = [a](uint32_t c) { return (c * a + icon_backdrop_grey * (255 - a) + 127) / 255; };
    return pack(over(rgba[0]), over(rgba[1]), over(rgba[2]));
}

bool image_is_sound(const IconImage& image) {
    return image.width >= 1 && image.width <= 256 && image.height >= 1 && image.height <= 256 &&
           image.rgba.size() == static_cast<size_t>(image.width) * image.height * 4;
}

struct Weighted {
    uint32_t colour;
    uint64_t count;
};

// Median cut: split the box whose widest channel spans most, at its weighted median, until
// there are 256 boxes; each box's mean colour is a palette entry.
std::vector<uint32_t> median_cut(std::vector<Weighted> colours, size_t limit) {
    std::vector<std::vector<Weighted>> boxes{std::move(colours)};
    auto widest = [](const std::vector<Weighted>& box, int& which) {
        uint32_t best = 0;
        which = 0;
        for (int c = 0; c < 3; ++c) {
            uint32_t low = 255, high = 0;
            for (const Weighted& w : box) {
                low = std::min(low, channel(w.colour, c));
                high = std::max(high, channel(w.colour, c));
            }
            if (high - low > best) {
                best = high - low;
                which = c;
            }
        }
        return best;
    };
    while (boxes.size() < limit) {
        size_t chosen = boxes.size();
        uint32_t chosen_span = 0;
        int chosen_channel = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].size() < 2) continue;
            int which = 0;
            const uint32_t span = widest(boxes[i], which);
            if (span > chosen_span) {
                chosen = i;
                chosen_span = span;
                chosen_channel = which;
            }
        }
        if (chosen == boxes.size()) break;
        std::vector<Weighted>& box = boxes[chosen];
        std::sort(box.begin(), box.end(), [chosen_channel](const Weighted& a, const Weighted& b) {
            const uint32_t ca = channel(a.colour, chosen_channel);
            const uint32_t cb = channel(b.colour, chosen_channel);
            return ca != cb ? ca < cb : a.colour < b.colour;
        });
        uint64_t total = 0;
        for (const Weighted& w : box)
            total += w.count;
        uint64_t running = 0;
        size_t cut = 1;
        for (; cut < box.size(); ++cut) {
            running += box[cut - 1].count;
            if (running * 2 >= total) break;
        }
        cut = std::min(cut, box.size() - 1);
        std::vector<Weighted> upper(box.begin() + static_cast<std::ptrdiff_t>(cut), box.end());
        box.resize(cut);
        boxes.push_back(std::move(upper));
    }
    std::vector<uint32_t> palette;
    for (const std::vector<Weighted>& box : boxes) {
        uint64_t sum[3] = {0, 0, 0}, total = 0;
        for (const Weighted& w : box) {
            for (int c = 0; c < 3; ++c)
                sum[c] += channel(w.colour, c) * w.count;
            total += w.count;
        }
        auto mean = [&](int c) { return static_cast<uint32_t>((sum[c] + total / 2) / total); };
        palette.push_back(pack(mean(0), mean(1), mean(2)));
    }
    return palette;
}

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

std::vector<uint8_t> bitmap_of(const IndexedImage& image) {
    const uint32_t w = static_cast<uint32_t>(image.width);
    const uint32_t h = static_cast<uint32_t>(image.height);
    const uint32_t colour_stride = (w + 3) / 4 * 4;
    const uint32_t mask_stride = (w + 31) / 32 * 4;
    std::vector<uint8_t> out;
    put32(out, 40);     // header size
    put32(out, w);      // width
    put32(out, 2 * h);  // height of colour and mask together
    put16(out, 1);      // planes
    put16(out, 8);      // bits per pixel
    put32(out, 0);      // no compression
    put32(out, (colour_stride + mask_stride) * h);
    put32(out, 0);
    put32(out, 0);
    put32(out, 256);  // palette entries
    put32(out, 0);
    for (uint32_t colour : image.palette) {
        out.push_back(static_cast<uint8_t>(channel(colour, 2)));  // blue, green, red, reserved
        out.push_back(static_cast<uint8_t>(channel(colour, 1)));
        out.push_back(static_cast<uint8_t>(channel(colour, 0)));
        out.push_back(0);
    }
    for (uint32_t row = h; row-- > 0;) {
        const uint8_t* indices = image.indices.data() + static_cast<size_t>(row) * w;
        out.insert(out.end(), indices, indices + w);
        out.insert(out.end(), colour_stride - w, 0);
    }
    out.insert(out.end(), static_cast<size_t>(mask_stride) * h, 0);
    return out;
}

}  // namespace

IndexedImage index_icon_colours(const IconImage& image) {
    IndexedImage indexed;
    if (!image_is_sound(image)) return indexed;
    indexed.width = image.width;
    indexed.height = image.height;
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    std::vector<uint32_t> colours(pixels);
    std::map<uint32_t, uint64_t> histogram;
    for (size_t i = 0; i < pixels; ++i) {
        colours[i] = opaque_colour(&image.rgba[i * 4]);
        ++histogram[colours[i]];
    }

    std::vector<uint32_t> palette;
    if (histogram.size() <= indexed.palette.size()) {
        for (const auto& [colour, count] : histogram)
            palette.push_back(colour);
    } else {
        std::vector<Weighted> weighted;
        for (const auto& [colour, count] : histogram)
            weighted.push_back({colour, count});
        palette = median_cut(std::move(weighted), indexed.palette.size());
    }
    std::copy(palette.begin(), palette.end(), indexed.palette.begin());
    indexed.colours = palette.size();

    std::map<uint32_t, uint8_t> nearest;
    indexed.indices.resize(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        auto found = nearest.find(colours[i]);
        if (found == nearest.end()) {
            uint32_t best_distance = UINT32_MAX;
            uint8_t best = 0;
            for (size_t p = 0; p < palette.size(); ++p) {
                uint32_t distance = 0;
                for (int c = 0; c < 3; ++c) {
                    const int d = static_cast<int>(channel(colours[i], c)) -
                                  static_cast<int>(channel(palette[p], c));
                    distance += static_cast<uint32_t>(d * d);
                }
                if (distance < best_distance) {
                    best_distance = distance;
                    best = static_cast<uint8_t>(p);
                }
            }
            found = nearest.emplace(colours[i], best).first;
        }
        indexed.indices[i] = found->second;
    }
    return indexed;
}

std::vector<uint8_t> make_icon_file(std::span<const IconImage> images) {
    if (images.empty() || images.size() > 0xFFFF) return {};
    std::vector<std::vector<uint8_t>> bitmaps;
    for (const IconImage& image : images) {
        if (!image_is_sound(image)) return {};
        bitmaps.push_back(bitmap_of(index_icon_colours(image)));
    }
    std::vector<uint8_t> out;
    put16(out, 0);  // reserved
    put16(out, 1);  // an icon, not a cursor
    put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(images[i].width & 0xFF));  // 256 is written as 0
        out.push_back(static_cast<uint8_t>(images[i].height & 0xFF));
        out.push_back(0);  // 256 colours
        out.push_back(0);
        put16(out, 1);  // planes
        put16(out, 8);  // bits per pixel
        put32(out, static_cast<uint32_t>(bitmaps[i].size()));
        put32(out, offset);
        offset += static_cast<uint32_t>(bitmaps[i].size());
    }
    for (const std::vector<uint8_t>& bitmap : bitmaps)
        out.insert(out.end(), bitmap.begin(), bitmap.end());
    return out;
}

bool read_png_rgba(const std::string& path, IconImage& image) {
    image = IconImage{};
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
    png.format = PNG_FORMAT_RGBA;
    if (png.width < 1 || png.width > 256 || png.height < 1 || png.height > 256) {
        png_image_free(&png);
        return false;
    }
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr) == 0) {
        png_image_free(&png);
        return false;
    }
    image.width = static_cast<int32_t>(png.width);
    image.height = static_cast<int32_t>(png.height);
    image.rgba = std::move(pixels);
    return true;
}

}  // namespace korvalis
