// The PNG decoder behind load_sprite_image: every PngSuite image, interlaced twins, known pixels
// (taken from an independent decoder), channel order and straight alpha, the damaged files, and
// hand-made files that probe the limits: truncation, flipped bits, absurd sizes, the reader's
// 10,000,000-byte bound.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "display/display.h"
#include "tests/display/display_testing.h"

namespace korvalis::testing {
namespace {

namespace fs = std::filesystem;

const fs::path testdata = KORVALIS_PNG_TESTDATA;

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> png_files(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct Rgba {
    int red, green, blue, alpha;
    bool operator==(const Rgba&) const = default;
};

Rgba rgba_at(const DecodedImage& image, int32_t x, int32_t y) {
    const Rgb c = pixel(image, x, y);
    return Rgba{c.red, c.green, c.blue, alpha_at(image, x, y)};
}

// ---------------------------------------------------------------------------------------------
// Hand-made PNG files
// ---------------------------------------------------------------------------------------------
void put_u32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void put_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    put_u32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(out.size() - start));
    put_u32(out, static_cast<uint32_t>(crc));
}

// An 8-bit RGBA file whose image data is `raw` (filter byte + row, per row) compressed at `level`.
std::vector<uint8_t> make_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& raw,
                              int level) {
    std::vector<uint8_t> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put_u32(header, width);
    put_u32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // depth 8, RGBA, deflate, filter 0, no interlace
    put_chunk(file, "IHDR", header);
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> compressed(size);
    EXPECT_EQ(
        compress2(compressed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level),
        Z_OK);
    compressed.resize(size);
    put_chunk(file, "IDAT", compressed);
    put_chunk(file, "IEND", {});
    return file;
}

std::vector<uint8_t> raw_rows(uint32_t width, uint32_t height, uint8_t value) {
    const size_t row = static_cast<size_t>(width) * 4 + 1;
    std::vector<uint8_t> raw(row * height, value);
    for (size_t y = 0; y < height; ++y)
        raw[y * row] = 0;  // filter: none
    return raw;
}

// ---------------------------------------------------------------------------------------------
TEST(PngDecode, EveryPngSuiteImageDecodes) {
    ASSERT_TRUE(fs::is_directory(testdata / "pngsuite")) << testdata << " is missing";
    const std::vector<fs::path> files = png_files(testdata / "pngsuite");
    ASSERT_GE(files.size(), 50u);
    for (const fs::path& file : files) {
        const std::optional<DecodedImage> image = decode_png(read_file(file));
        ASSERT_TRUE(image.has_value()) << file.filename();
        EXPECT_EQ(image->width, 32) << file.filename();
        EXPECT_EQ(image->height, 32) << file.filename();
        EXPECT_EQ(image->bgra.size(), 32u * 32u * 4u) << file.filename();
    }
}

TEST(PngDecode, InterlacedTwinsDecodeToTheSamePixels) {
    int twins = 0;
    for (const fs::path& file : png_files(testdata / "pngsuite")) {
        const std::string name = file.filename().string();
        if (name.front() != 'i') continue;
        const fs::path plain = testdata / "pngsuite" / name.substr(1);
        ASSERT_TRUE(fs::exists(plain)) << name << " has no plain twin";
        const std::optional<DecodedImage> a = decode_png(read_file(file));
        const std::optional<DecodedImage> b = decode_png(read_file(plain));
        ASSERT_TRUE(a && b) << name;
        EXPECT_TRUE(a->bgra == b->bgra) << name << " differs from " << plain.filename();
        ++twins;
    }
    EXPECT_GE(twins, 25);
}

// The same picture: equal alpha everywhere and equal colour wherever something shows (a fully
// transparent pixel's colour is not part of the picture).
bool same_picture(const DecodedImage& a, const DecodedImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (size_t i = 0; i < a.bgra.size(); i += 4) {
        if (a.bgra[i + 3] != b.bgra[i + 3]) return false;
        if (a.bgra[i + 3] != 0 && !std::equal(&a.bgra[i], &a.bgra[i + 3], &b.bgra[i])) return false;
    }
    return true;
}

TEST(PngDecode, SamePictureInDifferentEncodingsDecodesAlike) {
    // Transparent-background pictures: palette files with different background chunks, and
    // truecolour files at 8 and 16 bits with their transparency chunk. (The palette and
    // truecolour versions differ: the palette was quantised.)
    const std::vector<std::vector<const char*>> groups{
        {"ftbbn3p08.png", "ftbgn3p08.png", "ftbwn3p08.png", "ftbyn3p08.png", "ftp1n3p08.png"},
        {"ftbrn2c08.png", "ftbbn2c16.png", "ftbgn2c16.png"},
    };
    for (const auto& group : groups) {
        const std::optional<DecodedImage> first =
            decode_png(read_file(testdata / "pngsuite" / group[0]));
        ASSERT_TRUE(first) << group[0];
        for (const char* name : group) {
            const std::optional<DecodedImage> other =
                decode_png(read_file(testdata / "pngsuite" / name));
            ASSERT_TRUE(other) << name;
            EXPECT_TRUE(same_picture(*other, *first)) << name << " differs from " << group[0];
        }
    }
}

TEST(PngDecode, KnownPixelsInBlueGreenRedAlphaWithStraightAlpha) {
    // Values from an independent decoder (16-bit samples read at full depth and divided by 257,
    // rounded); alpha is straight, colours are not premultiplied.
    struct Case {
        const char* file;
        int32_t x, y;
        Rgba expected;
    };
    const Case cases[] = {
        {"basn2c08.png", 14, 0, {255, 255, 241, 255}},  // truecolour gets an opaque alpha
        {"basn2c08.png", 5, 9, {255, 218, 255, 255}},
        {"basn6a08.png", 14, 0, {255, 0, 8, 115}},
        {"basn6a08.png", 5, 9, {224, 255, 6, 41}},
        {"basn6a08.png", 31, 31, {0, 32, 255, 255}},
        {"basn0g16.png", 20, 3, {185, 185, 185, 255}},  // 16-bit grey to 8-bit RGB
        {"basn0g02.png", 20, 3, {85, 85, 85, 255}},     // 2-bit grey widened
        {"basn0g02.png", 31, 31, {170, 170, 170, 255}},
        {"basn3p02.png", 20, 3, {255, 0, 0, 255}},  // palette to RGB
        {"basn3p08.png", 5, 9, {153, 74, 0, 255}},
        {"basn4a08.png", 5, 9, {180, 180, 180, 41}},   // grey with alpha
        {"basn2c16.png", 14, 0, {140, 255, 0, 255}},   // 35939 / 257 = 139.8
        {"basn6a16.png", 20, 3, {82, 255, 0, 49}},     // 20971 and 12685 / 257
        {"ftbrn2c08.png", 14, 0, {255, 255, 255, 0}},  // transparency chunk to alpha
        {"ftbrn2c08.png", 5, 9, {133, 136, 133, 255}},
        {"ftbwn0g16.png", 5, 9, {135, 135, 135, 255}},  // 34633 / 257 = 134.8
        {"ftbwn0g16.png", 31, 31, {255, 255, 255, 0}},
    };
    for (const Case& c : cases) {
        const std::optional<DecodedImage> image =
            decode_png(read_file(testdata / "pngsuite" / c.file));
        ASSERT_TRUE(image) << c.file;
        const Rgba got = rgba_at(*image, c.x, c.y);
        EXPECT_EQ(got, c.expected)
            << c.file << " (" << c.x << ", " << c.y << "): expected (" << c.expected.red << ", "
            << c.expected.green << ", " << c.expected.blue << ", " << c.expected.alpha << "), got ("
            << got.red << ", " << got.green << ", " << got.blue << ", " << got.alpha << ")";
    }
    // The byte order itself: blue first.
    const std::optional<DecodedImage> red =
        decode_png(read_file(testdata / "pngsuite/basn3p02.png"));
    ASSERT_TRUE(red);
    const size_t at = (3 * 32 + 20) * 4;
    EXPECT_EQ(red->bgra[at + 0], 0);
    EXPECT_EQ(red->bgra[at + 2], 255);
}

TEST(PngDecode, DamagedFilesAreRejectedOrDecodedWhole) {
    ASSERT_TRUE(fs::is_directory(testdata / "crashers")) << testdata << " is missing";
    int files = 0;
    for (const fs::path& file : png_files(testdata / "crashers")) {
        ++files;
        const std::optional<DecodedImage> image = decode_png(read_file(file));
        if (image) {
            EXPECT_GT(image->width, 0) << file.filename();
            EXPECT_EQ(image->bgra.size(), static_cast<size_t>(image->width) * image->height * 4)
                << file.filename();
        }
    }
    EXPECT_GE(files, 20);
    // Those whose damage is in the image data itself cannot give a picture.
    for (const char* name : {"badcrc.png", "huge_IDAT.png"}) {
        EXPECT_FALSE(decode_png(read_file(testdata / "crashers" / name))) << name;
    }
}

TEST(PngDecode, EveryTruncationIsRejected) {
    for (const char* name : {"basn6a08.png", "ibasn2c16.png", "basn3p01.png"}) {
        const std::vector<uint8_t> whole = read_file(testdata / "pngsuite" / name);
        ASSERT_TRUE(decode_png(whole)) << name;
        for (size_t length = 0; length < whole.size(); ++length) {
            const std::span<const uint8_t> prefix(whole.data(), length);
            EXPECT_FALSE(decode_png(prefix)) << name << " cut at " << length;
        }
    }
}

TEST(PngDecode, FlippedBitsNeverCrash) {
    const std::vector<uint8_t> whole = read_file(testdata / "pngsuite/basn3p04.png");
    ASSERT_FALSE(whole.empty());
    int decoded = 0;
    for (size_t byte = 0; byte < whole.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> damaged = whole;
            damaged[byte] ^= static_cast<uint8_t>(1 << bit);
            if (const std::optional<DecodedImage> image = decode_png(damaged)) {
                ++decoded;
                EXPECT_EQ(image->bgra.size(),
                          static_cast<size_t>(image->width) * image->height * 4);
            }
        }
    }
    // Checksums catch nearly every flip; a few land in ignored places (ancillary chunks).
    EXPECT_LT(decoded, static_cast<int>(whole.size()) * 8 / 4);
}

TEST(PngDecode, NotAPngGivesNone) {
    const std::vector<uint8_t> empty;
    EXPECT_FALSE(decode_png(empty));
    const std::vector<uint8_t> signature_only{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_FALSE(decode_png(signature_only));
    const std::vector<uint8_t> short_signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A};
    EXPECT_FALSE(decode_png(short_signature));
    std::vector<uint8_t> jpeg_like = read_file(testdata / "pngsuite/basn6a08.png");
    jpeg_like[0] = 0xFF;
    jpeg_like[1] = 0xD8;
    EXPECT_FALSE(decode_png(jpeg_like));
}

TEST(PngDecode, HandMadeFilesAndTheirLimits) {
    // The hand-made encoder itself is sound: a small image decodes to its pixels.
    const std::optional<DecodedImage> small = decode_png(make_png(3, 2, raw_rows(3, 2, 77), 6));
    ASSERT_TRUE(small);
    EXPECT_EQ(rgba_at(*small, 2, 1), (Rgba{77, 77, 77, 77}));

    // Absurd sizes are refused from the header, before any pixel memory is taken.
    struct Case {
        uint32_t width, height;
    };
    for (const Case c : {Case{png_max_side + 1u, 1}, Case{1, png_max_side + 1u}, Case{5000, 5000},
                         Case{0x7FFFFFFF, 0x7FFFFFFF}, Case{0, 10}}) {
        EXPECT_FALSE(decode_png(make_png(c.width, c.height, raw_rows(1, 1, 0), 6)))
            << c.width << " x " << c.height;
    }

    // Data after the end of the file is never read.
    std::vector<uint8_t> with_tail = make_png(3, 2, raw_rows(3, 2, 77), 6);
    with_tail.insert(with_tail.end(), 1000, 0xAB);
    EXPECT_TRUE(decode_png(with_tail));
}

TEST(PngDecode, ReaderStopsAtTenMillionBytes) {
    // 1700 x 1500 RGBA: 10.2 MB of pixels. Stored without compression the file is longer than
    // the reader may consume; compressed, the same picture decodes.
    const std::vector<uint8_t> raw = raw_rows(1700, 1500, 0);
    const std::vector<uint8_t> stored = make_png(1700, 1500, raw, 0);
    ASSERT_GT(stored.size(), png_read_limit);
    EXPECT_FALSE(decode_png(stored));
    const std::vector<uint8_t> compressed = make_png(1700, 1500, raw, 9);
    ASSERT_LT(compressed.size(), png_read_limit);
    const std::optional<DecodedImage> image = decode_png(compressed);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 1700);
}

TEST(PngEncode, RoundTripKeepsEveryByte) {
    const DecodedImage image = pattern_image(37, 19, 200);
    const std::vector<uint8_t> png = encode_png(image);
    ASSERT_FALSE(png.empty());
    const std::optional<DecodedImage> back = decode_png(png);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 37);
    EXPECT_EQ(back->height, 19);
    EXPECT_TRUE(back->bgra == image.bgra);
    EXPECT_TRUE(encode_png(DecodedImage{}).empty());
}

}  // namespace
}  // namespace korvalis::testing
