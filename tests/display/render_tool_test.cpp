// korvalis-render end to end: it runs on the test's display, writes a 266 x 266 PNG of the frame
// for the state it was given, and refuses bad arguments.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "display/display.h"
#include "tests/display/display_testing.h"

extern char** environ;

namespace korvalis::testing {
namespace {

namespace fs = std::filesystem;

int run_render(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KORVALIS_RENDER);
    std::vector<char*> argv;
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::optional<DecodedImage> read_png(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    return decode_png(bytes);
}

TEST(RenderTool, WritesTheFrameOfTheGivenState) {
    const fs::path plain = fs::path(::testing::TempDir()) / "render-plain.png";
    const fs::path lit = fs::path(::testing::TempDir()) / "render-lit.png";
    ASSERT_EQ(run_render({"--ias", "100", "--max", "250", "-o", plain.string()}), 0);
    ASSERT_EQ(run_render({"--ias", "100", "--max", "250", "--lights", "0x20", "--light-enabled",
                          "1", "--offline", "-o", lit.string()}),
              0);
    const std::optional<DecodedImage> a = read_png(plain);
    const std::optional<DecodedImage> b = read_png(lit);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->width, 266);
    EXPECT_EQ(a->height, 266);
    EXPECT_EQ(pixel(*a, 3, 3), (Rgb{15, 15, 15})) << "background margin";
    EXPECT_LE(pixel(*b, 3, 3).red, 1) << "margin darkened under the overlay";
    EXPECT_GT(pixel(*b, 64, 66).red, 200) << "the not-connected marker";
    // 100 kt: the airspeed needle lies along 114 degrees, right and a little down.
    const Rgb blade = pixel(*a, 133 + 73, 133 + 32);
    EXPECT_GT(blade.red + blade.green + blade.blue, 600) << "white blade towards 100 kt";
    fs::remove(plain);
    fs::remove(lit);
}

TEST(RenderTool, RefusesBadArguments) {
    const std::string out = (fs::path(::testing::TempDir()) / "render-bad.png").string();
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"--ias", "fast", "-o", out},
                                               {"--lights", "0x10000", "-o", out},
                                               {"--bogus", "-o", out},
                                               {"--ias"}}) {
        EXPECT_EQ(run_render(arguments), 2) << arguments.size() << " arguments";
    }
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace korvalis::testing
