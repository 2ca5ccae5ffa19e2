// Hostile settings files: huge, binary, a directory, read-only, held by another process. The
// program must start with sound values and must never lose what the user had.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "app/app.h"
#include "settings/settings.h"
#include "tests/settings/scratch_directory.h"

namespace korvalis {
namespace {

namespace fs = std::filesystem;

using SettingsFaultTest = testing::ScratchDirectoryTest;

TEST_F(SettingsFaultTest, HundredMegabyteFileIsReadWhole) {
    {
        std::ofstream out(settings_file_name, std::ios::binary);
        out << "[system]\n";
        const std::string filler = "; " + std::string(1022, 'z') + "\n";
        for (int i = 0; i < 100 * 1024; ++i)
            out << filler;
        out << "PosWindowX = 321\n";  // after 100 MB: nothing is cut off
    }
    load_settings();
    EXPECT_EQ(instrument_state.window_x, 321);
    EXPECT_EQ(instrument_state.light_enabled, 1);
    save_settings();
    EXPECT_EQ(file_bytes(), "[system]\r\nlight = 1\r\nPosWindowX = 321\r\nPosWindowY = 0\r\n");
}

TEST_F(SettingsFaultTest, BinaryFileGivesDefaults) {
    std::mt19937 random(7);
    std::string noise(1 << 20, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::ofstream(settings_file_name, std::ios::binary) << noise;
    load_settings();
    // Random bytes essentially never hold a "[system]" header; if they did, the values would
    // still be well-formed, so only the absence of a crash and a clean save are asserted here.
    save_settings();
    EXPECT_EQ(parse_settings(file_bytes()).window_x, instrument_state.window_x);
}

TEST_F(SettingsFaultTest, DirectoryInPlaceOfTheFileIsLeftAlone) {
    fs::create_directory(settings_file_name);
    fs::create_directory(fs::path(settings_file_name) / "inside");
    load_settings();
    EXPECT_EQ(instrument_state.light_enabled, 1);
    instrument_state.window_x = 5;
    save_settings();
    EXPECT_TRUE(fs::is_directory(fs::path(settings_file_name) / "inside"));
}

TEST_F(SettingsFaultTest, FileHeldOpenForWritingByAnotherProgramIsStillRead) {
    std::ofstream(settings_file_name, std::ios::binary) << "[system]\nPosWindowY = -44\n";
#ifdef _WIN32
    // As an editor holds it: open for writing, letting others read.
    HANDLE holder = CreateFileA(settings_file_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    load_settings();
    EXPECT_EQ(instrument_state.window_y, -44);
    CloseHandle(holder);
#else
    const int fd = ::open(settings_file_name, O_RDWR);
    ASSERT_GE(fd, 0);
    load_settings();
    EXPECT_EQ(instrument_state.window_y, -44);
    ::close(fd);
#endif
}

}  // namespace
}  // namespace korvalis
