// The PNG decoder as built for Windows, with the prefix's libpng and MinGW's setjmp and longjmp,
// whose error path differs from Linux: every PngSuite image decodes to its header's size and
// each interlaced twin to the same pixels as its plain twin; damaged and hostile files come back
// refused or whole, never as a crash; an encoded picture decodes to itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "display/display.h"

namespace korvalis {
namespace {

namespace fs = std::filesystem;
const fs::path testdata = KORVALIS_PNG_TESTDATA;

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t big_endian(const std::vector<uint8_t>& data, size_t at) {
    return static_cast<uint32_t>(data[at]) << 24 | static_cast<uint32_t>(data[at + 1]) << 16 |
           static_cast<uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

std::vector<fs::path> pngs_in(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    }
    return files;
}

TEST(WindowsPngDecoder, EveryPngSuiteImageAtItsHeadersSize) {
    const std::vector<fs::path> files = pngs_in(testdata / "pngsuite");
    ASSERT_GE(files.size(), 50u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> data = read_file(file);
        ASSERT_GE(data.size(), 24u);
        const std::optional<DecodedImage> image = decode_png(data);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(static_cast<uint32_t>(image->width), big_endian(data, 16));
        EXPECT_EQ(static_cast<uint32_t>(image->height), big_endian(data, 20));
        EXPECT_EQ(image->bgra.size(), static_cast<size_t>(image->width) * image->height * 4);
    }
}

TEST(WindowsPngDecoder, InterlacedTwinsGiveTheSamePixels) {
    int twins = 0;
    for (const fs::path& file : pngs_in(testdata / "pngsuite")) {
        const std::string name = file.filename().string();
        if (name[0] != 'i') continue;
        const fs::path plain = file.parent_path() / name.substr(1);
        if (!fs::exists(plain)) continue;
        SCOPED_TRACE(name);
        const std::optional<DecodedImage> a = decode_png(read_file(file));
        const std::optional<DecodedImage> b = decode_png(read_file(plain));
        ASSERT_TRUE(a.has_value() && b.has_value());
        EXPECT_EQ(a->bgra, b->bgra);
        ++twins;
    }
    EXPECT_GE(twins, 20);
}

TEST(WindowsPngDecoder, DamagedFilesAreRefusedOrWholeNeverACrash) {
    const std::vector<fs::path> files = pngs_in(testdata / "crashers");
    ASSERT_GE(files.size(), 10u);
    int refused = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::vector<uint8_t> data = read_file(file);
        const std::optional<DecodedImage> image = decode_png(data);
        if (!image.has_value()) {
            ++refused;
            continue;
        }
        EXPECT_EQ(image->bgra.size(), static_cast<size_t>(image->width) * image->height * 4);
    }
    // Each truncation of a good file too: libpng's error path (a long jump) runs every time.
    const std::vector<uint8_t> good = read_file(testdata / "pngsuite" / "basn6a08.png");
    for (size_t length = 0; length < good.size() / 2; length += 7) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(length));
        EXPECT_FALSE(decode_png(cut).has_value()) << length;
    }
    EXPECT_GT(refused, 0);
}

TEST(WindowsPngDecoder, EncodedPictureDecodesToItself) {
    DecodedImage picture{7, 5, {}};
    for (int i = 0; i < 7 * 5; ++i) {
        const auto v = static_cast<uint8_t>(i * 7);
        picture.bgra.insert(picture.bgra.end(),
                            {v, static_cast<uint8_t>(255 - v), static_cast<uint8_t>(i),
                             static_cast<uint8_t>(i * 3)});
    }
    const std::vector<uint8_t> png = encode_png(picture);
    ASSERT_FALSE(png.empty());
    const std::optional<DecodedImage> back = decode_png(png);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->width, 7);
    EXPECT_EQ(back->height, 5);
    EXPECT_EQ(back->bgra, picture.bgra);
}

}  // namespace
}  // namespace korvalis
