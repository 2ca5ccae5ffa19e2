// Fuzzes the PNG decoder behind load_sprite_image (no window needed). Each input is decoded as
// it is, and once more after every chunk's checksum has been made to match, so that mutations
// reach the decompressor, the row filters and the transformations instead of stopping at the
// chunk check. Whatever decodes must be a whole buffer of the size it states, inside the
// decoder's limits, and must come back unchanged through the encoder and a second decode.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "display/display.h"

namespace {

using namespace korvalis;

uint32_t get_be32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

// Rewrites the checksum of every chunk that lies wholly inside the data.
void fix_checksums(std::vector<uint8_t>& png) {
    size_t at = 8;
    while (at + 12 <= png.size()) {
        const uint32_t length = get_be32(png.data() + at);
        if (length > png.size() - at - 12) return;
        const uLong crc = crc32(0L, png.data() + at + 4, static_cast<uInt>(length) + 4);
        uint8_t* out = png.data() + at + 8 + length;
        out[0] = static_cast<uint8_t>(crc >> 24);
        out[1] = static_cast<uint8_t>(crc >> 16);
        out[2] = static_cast<uint8_t>(crc >> 8);
        out[3] = static_cast<uint8_t>(crc);
        at += 12 + static_cast<size_t>(length);
    }
}

void check(std::span<const uint8_t> data) {
    const std::optional<DecodedImage> image = decode_png(data);
    if (!image) return;
    const int64_t pixels = static_cast<int64_t>(image->width) * image->height;
    if (image->width <= 0 || image->height <= 0 || image->width > png_max_side ||
        image->height > png_max_side || pixels > png_max_pixels ||
        image->bgra.size() != static_cast<size_t>(pixels) * 4) {
        std::abort();
    }
    if (pixels > 256 * 256) return;  // the round trip of a large picture costs more than it finds
    const std::vector<uint8_t> encoded = encode_png(*image);
    const std::optional<DecodedImage> again = decode_png(encoded);
    if (!again || again->width != image->width || again->height != image->height ||
        again->bgra != image->bgra) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check({data, size});
    if (size >= 8) {
        std::vector<uint8_t> repaired(data, data + size);
        fix_checksums(repaired);
        check(repaired);
    }
    return 0;
}
