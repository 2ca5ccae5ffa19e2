// Damaged PNG copies; see png_damage.h.
#include "tests/fault/png_damage.h"

#include <zlib.h>

#include <algorithm>
#include <tuple>

namespace korvalis::testing {

namespace {

constexpr size_t signature_size = 8;

uint32_t get_be32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

void put_be32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

}  // namespace

std::vector<PngChunk> png_chunks(std::span<const uint8_t> png) {
    std::vector<PngChunk> chunks;
    size_t at = signature_size;
    while (at + 12 <= png.size()) {
        PngChunk chunk;
        chunk.offset = at;
        chunk.length = get_be32(png.data() + at);
        chunk.type.assign(reinterpret_cast<const char*>(png.data() + at + 4), 4);
        if (chunk.length > png.size() - at - 12) break;
        chunks.push_back(chunk);
        at += 12 + static_cast<size_t>(chunk.length);
    }
    return chunks;
}

std::optional<PngChunk> first_chunk(std::span<const uint8_t> png, const std::string& type) {
    for (const PngChunk& chunk : png_chunks(png)) {
        if (chunk.type == type) return chunk;
    }
    return std::nullopt;
}

void fix_chunk_crc(Bytes& png, size_t offset) {
    const uint32_t length = get_be32(png.data() + offset);
    const uLong crc = crc32(0L, png.data() + offset + 4, static_cast<uInt>(length + 4));
    put_be32(png.data() + offset + 8 + length, static_cast<uint32_t>(crc));
}

std::vector<Damage> damaged_copies(std::span<const uint8_t> png) {
    const Bytes whole(png.begin(), png.end());
    std::vector<Damage> out;
    const std::optional<PngChunk> header = first_chunk(png, "IHDR");
    const std::optional<PngChunk> data = first_chunk(png, "IDAT");
    const std::optional<PngChunk> end = first_chunk(png, "IEND");
    if (!header || !data || !end) return out;

    // Cut short: nothing, the signature alone, inside the header, inside and right after the
    // image data, before the end chunk.
    for (const size_t cut : {size_t{0}, size_t{4}, signature_size, header->offset + 10,
                             data->offset + 6, data->offset + 8 + data->length / 2,
                             data->offset + 12 + data->length, end->offset, whole.size() - 1}) {
        if (cut >= whole.size()) continue;
        out.push_back(
            {"cut at " + std::to_string(cut), Bytes(whole.begin(), whole.begin() + cut), true});
    }

    // The bytes after the cut zeroed instead: the data no longer says where it ends.
    {
        Bytes zeroed = whole;
        std::fill(zeroed.begin() + static_cast<ptrdiff_t>(data->offset + 8 + data->length / 3),
                  zeroed.end(), 0);
        out.push_back({"zeroed from a third of the image data", zeroed, true});
    }
    out.push_back({"all zeros", Bytes(whole.size(), 0), true});

    // Single flipped bits: in the signature, the header, the image data and its checksum. The
    // chunk checks catch these, except in places a decoder ignores.
    for (const size_t at :
         {size_t{1}, header->offset + 8, header->offset + 16, data->offset + 8 + data->length / 2,
          data->offset + 8 + data->length, end->offset + 4}) {
        for (const int bit : {0, 7}) {
            Bytes flipped = whole;
            flipped[at] ^= static_cast<uint8_t>(1 << bit);
            out.push_back(
                {"bit " + std::to_string(bit) + " of byte " + std::to_string(at), flipped, false});
        }
    }

    // Lengths that lie: the image data's chunk claiming more than the file, or everything.
    for (const uint32_t length : {data->length + 1, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
        Bytes lying = whole;
        put_be32(lying.data() + data->offset, length);
        out.push_back({"image data length " + std::to_string(length), lying, true});
    }

    // Compressed data scrambled, with the chunk's checksum made to match: the decompressor or
    // its own checksum has to catch it.
    for (const size_t from : {size_t{0}, size_t{2}, size_t{data->length / 2}}) {
        if (from + 16 > data->length) continue;
        Bytes scrambled = whole;
        for (size_t i = 0; i < 16; ++i)
            scrambled[data->offset + 8 + from + i] ^= static_cast<uint8_t>(0xA5 + 13 * i);
        fix_chunk_crc(scrambled, data->offset);
        out.push_back({"image data scrambled at " + std::to_string(from), scrambled, false});
    }

    // A header that states another picture, its checksum made to match.
    struct Size {
        const char* name;
        uint32_t width, height;
    };
    const uint32_t width = get_be32(png.data() + header->offset + 8);
    const uint32_t height = get_be32(png.data() + header->offset + 12);
    for (const Size s :
         {Size{"zero wide", 0, height}, Size{"zero high", width, 0},
          Size{"20000 square", 20000, 20000}, Size{"2^31 wide", 0x80000000u, height},
          Size{"half as wide", width / 2, height}, Size{"twice as high", width, height * 2}}) {
        Bytes lying = whole;
        put_be32(lying.data() + header->offset + 8, s.width);
        put_be32(lying.data() + header->offset + 12, s.height);
        fix_chunk_crc(lying, header->offset);
        out.push_back({std::string("header says ") + s.name, lying,
                       s.width == 0 || s.height == 0 || s.width > 16384 || s.height > 16384 ||
                           s.height > height,
                       false});
    }
    // Colour type and bit depth no PNG has (16-bit palette, colour type 5).
    for (const auto& [name, at, value] :
         {std::tuple{"bit depth 3", size_t{16}, uint8_t{3}},
          std::tuple{"colour type 5", size_t{17}, uint8_t{5}},
          std::tuple{"interlace method 2", size_t{20}, uint8_t{2}}}) {
        Bytes odd = whole;
        odd[header->offset + at] = value;
        fix_chunk_crc(odd, header->offset);
        out.push_back({name, odd, true});
    }
    return out;
}

}  // namespace korvalis::testing
