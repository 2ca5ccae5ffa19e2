// The window icon's .ico file: the committed windows/korvalis.ico must be the artwork packed, in
// the form the window system expects (three opaque 256-colour bitmaps, 48, 32 and 16 pixels),
// and the writer must reduce colours soundly and refuse images it cannot hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "windows/icon.h"

namespace korvalis {
namespace {

const std::string source_dir = KORVALIS_SOURCE_DIR;
constexpr int icon_sizes[] = {48, 32, 16};

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t read16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? b[at] | (b[at + 1] << 8) : 0xFFFFFFFF;
}
uint32_t read32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? read16(b, at) | (read16(b, at + 2) << 16) : 0xFFFFFFFF;
}

std::vector<IconImage> artwork() {
    std::vector<IconImage> images;
    for (int size : icon_sizes) {
        IconImage image;
        const std::string path = source_dir + "/assets/icon_" + std::to_string(size) + ".png";
        EXPECT_TRUE(read_png_rgba(path, image)) << "expected a readable PNG, got none: " << path;
        images.push_back(std::move(image));
    }
    return images;
}

TEST(WindowIcon, CommittedFileIsTheArtworkPacked) {
    const std::vector<uint8_t> expected = make_icon_file(artwork());
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(file_bytes(source_dir + "/windows/korvalis.ico") == expected)
        << "windows/korvalis.ico is stale; remake it with: build/normal/windows/korvalis-make-icon "
           "windows/korvalis.ico assets/icon_48.png assets/icon_32.png assets/icon_16.png";
}

// Reads the file back as the window system does and compares every pixel with the artwork.
TEST(WindowIcon, HoldsThreeOpaquePaletteBitmapsOfTheArtwork) {
    const std::vector<IconImage> images = artwork();
    const std::vector<uint8_t> ico = make_icon_file(images);
    ASSERT_EQ(read16(ico, 0), 0u);
    ASSERT_EQ(read16(ico, 2), 1u) << "an icon, not a cursor";
    ASSERT_EQ(read16(ico, 4), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const size_t entry = 6 + 16 * i;
        const uint32_t size = static_cast<uint32_t>(icon_sizes[i]);
        EXPECT_EQ(ico[entry], size);
        EXPECT_EQ(ico[entry + 1], size);
        EXPECT_EQ(read16(ico, entry + 6), 8u) << "bits per pixel";
        const uint32_t length = read32(ico, entry + 8);
        const uint32_t at = read32(ico, entry + 12);
        ASSERT_LE(static_cast<size_t>(at) + length, ico.size());

        EXPECT_EQ(read32(ico, at), 40u) << "bitmap info header";
        EXPECT_EQ(read32(ico, at + 4), size);
        EXPECT_EQ(read32(ico, at + 8), 2 * size) << "colour and mask";
        EXPECT_EQ(read16(ico, at + 14), 8u);
        EXPECT_EQ(read32(ico, at + 32), 256u) << "a 256-colour palette";
        const size_t palette = at + 40;
        const size_t pixels = palette + 256 * 4;
        const size_t stride = (size + 3) / 4 * 4;
        const size_t mask = pixels + stride * size;
        const size_t mask_bytes = (size + 31) / 32 * 4 * size;
        ASSERT_EQ(mask + mask_bytes, static_cast<size_t>(at) + length);
        EXPECT_TRUE(std::all_of(ico.begin() + static_cast<std::ptrdiff_t>(mask),
                                ico.begin() + static_cast<std::ptrdiff_t>(mask + mask_bytes),
                                [](uint8_t b) { return b == 0; }))
            << "every pixel opaque";

        const IconImage& image = images[i];
        int wrong = 0;
        for (uint32_t y = 0; y < size; ++y) {
            for (uint32_t x = 0; x < size; ++x) {
                const uint8_t index =
                    ico[pixels + (size - 1 - y) * stride + x];  // bottom row first
                const uint8_t* bgr = &ico[palette + index * 4u];
                const uint8_t* rgba = &image.rgba[(y * size + x) * 4];
                ASSERT_EQ(rgba[3], 255) << "the artwork's icons are opaque";
                if (bgr[2] != rgba[0] || bgr[1] != rgba[1] || bgr[0] != rgba[2]) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0) << size << " px: pixels differing from the artwork";
    }
}

TEST(WindowIcon, ReducesManyColoursToAPaletteOf256) {
    IconImage gradient{48, 48, std::vector<uint8_t>(48 * 48 * 4)};
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 48; ++x) {
            uint8_t* p = &gradient.rgba[static_cast<size_t>(y * 48 + x) * 4];
            p[0] = static_cast<uint8_t>(x * 5);
            p[1] = static_cast<uint8_t>(y * 5);
            p[2] = static_cast<uint8_t>((x + y) * 2);
            p[3] = 255;
        }
    }
    const IndexedImage indexed = index_icon_colours(gradient);
    EXPECT_EQ(indexed.colours, 256u);
    int worst = 0;
    for (size_t i = 0; i < indexed.indices.size(); ++i) {
        const uint32_t colour = indexed.palette[indexed.indices[i]];
        for (int c = 0; c < 3; ++c) {
            const int got = static_cast<int>((colour >> (8 * c)) & 0xFF);
            worst = std::max(worst, std::abs(got - gradient.rgba[i * 4 + static_cast<size_t>(c)]));
        }
    }
    EXPECT_LE(worst, 8) << "largest channel error after reduction";
    EXPECT_TRUE(make_icon_file(std::vector<IconImage>{gradient}) ==
                make_icon_file(std::vector<IconImage>{gradient}))
        << "the same artwork must give the same file";
}

TEST(WindowIcon, LaysTranslucentPixelsOverTheDarkGrey) {
    struct Case {
        const char* name;
        uint8_t rgba[4];
        uint32_t expected;  // red + green x 256 + blue x 65536
    };
    const Case cases[] = {
        {"transparent white", {255, 255, 255, 0}, 0x0E0E0E},
        {"half white", {255, 255, 255, 128}, 0x878787},
        {"opaque red", {255, 0, 0, 255}, 0x0000FF},
    };
    for (const Case& c : cases) {
        const IconImage pixel{1, 1, std::vector<uint8_t>(c.rgba, c.rgba + 4)};
        const IndexedImage indexed = index_icon_colours(pixel);
        ASSERT_EQ(indexed.indices.size(), 1u) << c.name;
        EXPECT_EQ(indexed.palette[indexed.indices[0]], c.expected) << c.name;
    }
}

TEST(WindowIcon, RefusesImagesItCannotHold) {
    const std::vector<uint8_t> pixels(4, 255);
    struct Case {
        const char* name;
        std::vector<IconImage> images;
    };
    const Case cases[] = {
        {"no image", {}},
        {"zero width", {IconImage{0, 1, {}}}},
        {"wider than 256", {IconImage{257, 1, std::vector<uint8_t>(257 * 4)}}},
        {"buffer too short", {IconImage{2, 2, pixels}}},
        {"one bad among good", {IconImage{1, 1, pixels}, IconImage{1, 2, pixels}}},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(make_icon_file(c.images).empty()) << c.name;
    EXPECT_EQ(
        make_icon_file(std::vector<IconImage>{IconImage{256, 1, std::vector<uint8_t>(1024)}}).at(6),
        0)
        << "a 256-pixel width is written as 0";

    IconImage image;
    EXPECT_FALSE(read_png_rgba(source_dir + "/windows/korvalis.ico", image)) << "not a PNG";
    EXPECT_TRUE(image.rgba.empty());
}

}  // namespace
}  // namespace korvalis
