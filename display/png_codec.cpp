// PNG decoding from memory into blue-green-red-alpha rows, and the plain RGBA encoder that the
// tools use to write frames out. libpng reports errors by longjmp: every function that can be
// jumped out of holds only trivially destructible locals, and everything owned lives in the
// caller's frame, so no C++ object is ever skipped over.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "display/display.h"

namespace korvalis {

namespace {

// The bytes handed to libpng. The data carries no length of its own: the reader stops at the end
// of the span or at png_read_limit, whichever comes first.
struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t position;
};

// libpng prints its messages by default; the instrument logs nothing.
[[noreturn]] void on_png_error(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void on_png_warning(png_structp, png_const_charp) {}

void read_from_memory(png_structp png, png_bytep out, png_size_t length) {
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (reader == nullptr || length > reader->size - reader->position) {
        png_error(png, "read past the end of the data");
    }
    std::memcpy(out, reader->data + reader->position, length);
    reader->position += length;
}

// Ancillary chunks the decoder never needs (no gamma or colour-space conversion, no text).
constexpr png_byte ignored_chunks[] =
    "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0"
    "sBIT\0sCAL\0sPLT\0sRGB\0sTER\0tEXt\0tIME\0zTXt";
constexpr png_alloc_size_t chunk_memory_limit = 1'000'000;

struct HeaderInfo {
    png_uint_32 width;
    png_uint_32 height;
    size_t row_bytes;
};

// Reads the header and sets up every transformation; true when the result is 8-bit BGRA.
bool read_header(png_structp png, png_infop info, HeaderInfo* header) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;

    png_set_sig_bytes(png, 0);
    png_set_user_limits(png, png_max_side, png_max_side);
    // Only the transparency chunk matters among the ancillary ones; the rest are skipped unread
    // into memory, so a chunk that claims gigabytes costs nothing. The cap covers what is left.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, ignored_chunks,
                                static_cast<int>(sizeof(ignored_chunks) / 5));
    png_set_chunk_malloc_max(png, chunk_memory_limit);
    png_read_info(png, info);

    const png_byte colour_type = png_get_color_type(png, info);
    const png_byte bit_depth = png_get_bit_depth(png, info);
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) png_set_scale_16(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
    }
    // Images without an alpha channel (and without a transparency chunk) come out opaque.
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->row_bytes = png_get_rowbytes(png, info);
    return png_get_bit_depth(png, info) == 8 && png_get_channels(png, info) == 4 &&
           header->row_bytes == static_cast<size_t>(header->width) * 4;
}

bool read_rows(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_read_image(png, rows);
    png_read_end(png, info);  // checks the chunks after the image data too
    return true;
}

// Owns libpng's read structures for the length of one decode.
struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ReadStructs() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
        if (png != nullptr) info = png_create_info_struct(png);
    }
    ~ReadStructs() {
        if (png != nullptr)
            png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    }
    ReadStructs(const ReadStructs&) = delete;
    ReadStructs& operator=(const ReadStructs&) = delete;
};

void write_to_vector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flush_nothing(png_structp) {}

bool write_image(png_structp png, png_infop info, const DecodedImage* image, png_bytepp rows,
                 std::vector<uint8_t>* out) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_set_write_fn(png, out, write_to_vector, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image->width),
                 static_cast<png_uint_32>(image->height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

std::optional<DecodedImage> decode_png(std::span<const uint8_t> png_data) {
    constexpr size_t signature_size = 8;
    if (png_data.size() < signature_size || png_sig_cmp(png_data.data(), 0, signature_size) != 0) {
        return std::nullopt;
    }
    ReadStructs structs;
    if (structs.info == nullptr) return std::nullopt;

    MemoryReader reader{png_data.data(), std::min(png_data.size(), png_read_limit), 0};
    png_set_read_fn(structs.png, &reader, read_from_memory);

    HeaderInfo header{};
    if (!read_header(structs.png, structs.info, &header)) return std::nullopt;
    if (header.width == 0 || header.height == 0 ||
        static_cast<int64_t>(header.width) * header.height > png_max_pixels) {
        return std::nullopt;
    }

    DecodedImage image;
    image.width = static_cast<int32_t>(header.width);
    image.height = static_cast<int32_t>(header.height);
    image.bgra.resize(header.row_bytes * header.height);
    std::vector<png_bytep> rows(header.height);
    for (png_uint_32 y = 0; y < header.height; ++y)
        rows[y] = image.bgra.data() + y * header.row_bytes;
    if (!read_rows(structs.png, structs.info, rows.data())) return std::nullopt;
    return image;
}

std::vector<uint8_t> encode_png(const DecodedImage& image) {
    std::vector<uint8_t> out;
    if (image.width <= 0 || image.height <= 0 ||
        image.bgra.size() != static_cast<size_t>(image.width) * image.height * 4) {
        return out;
    }
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows(static_cast<size_t>(image.height));
    const size_t row_bytes = static_cast<size_t>(image.width) * 4;
    for (size_t y = 0; y < rows.size(); ++y) {
        // libpng only reads through these pointers.
        rows[y] = const_cast<png_bytep>(image.bgra.data() + y * row_bytes);
    }
    const bool written = info != nullptr && write_image(png, info, &image, rows.data(), &out);
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    if (!written) out.clear();
    return out;
}

}  // namespace korvalis
