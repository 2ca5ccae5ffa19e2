// The settings file: what the reader makes of a file's bytes, the exact bytes a save writes, and
// a save that must not destroy the user's file.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/app.h"
#include "settings/settings.h"
#include "tests/settings/scratch_directory.h"

namespace korvalis {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct ReadCase {
    const char* name;
    std::string bytes;
    int light;
    int x;
    int y;
};

const ReadCase read_cases[] = {
    {"empty file", "", 1, 0, 0},
    {"only a byte-order mark", "\xEF\xBB\xBF", 1, 0, 0},
    {"the program's own file", "[system]\r\nlight = 1\r\nPosWindowX = 100\r\nPosWindowY = -20\r\n",
     1, 100, -20},
    {"byte-order mark then CR LF", "\xEF\xBB\xBF[system]\r\nlight = 0\r\nPosWindowX = 5\r\n", 0, 5,
     0},
    {"two bytes of a mark are not a mark", "\xEF\xBB[system]\nPosWindowX=5\n", 1, 0, 0},
    {"LF only", "[system]\nlight=0\nPosWindowX=-1200\nPosWindowY=12abc\n", 0, -1200, 12},
    {"CR only, no final break", "[system]\rPosWindowX = 7\rPosWindowY = 8", 1, 7, 8},
    {"runs of breaks and blank lines", "\r\n\r\n[system]\n\n\r\r\nPosWindowX = 3\n\n", 1, 3, 0},
    {"letter case of group and keys", "[SYSTEM]\r\nLIGHT=0\r\nposwindowx = 40\r\n", 0, 40, 0},
    {"leading blanks and tabs", " \t[system]\n\t  light = 0\n   PosWindowY=9\n", 0, 0, 9},
    {"comments are skipped", "[system]\n;light = 0\n ; PosWindowX = 4\nPosWindowY = 2\n", 1, 0, 2},
    {"empty light value gives 0", "[system]\nlight =\n", 0, 0, 0},
    {"non-numeric light gives 0", "[system]\nlight = off\n", 0, 0, 0},
    {"semicolon before a number gives 0", "[system]\nPosWindowX = ;5\n", 1, 0, 0},
    {"light 256 keeps the low 8 bits", "[system]\nlight = 256\n", 0, 0, 0},
    {"light 255 reads as -1", "[system]\nlight = 255\n", -1, 0, 0},
    {"light 2 stays 2", "[system]\nlight = 2\n", 2, 0, 0},
    {"light -129 wraps", "[system]\nlight = -129\n", 127, 0, 0},
    {"%d rules: leading zeros, plus, hex prefix",
     "[system]\nlight = +5\nPosWindowX = 010\nPosWindowY = 0x10\n", 5, 10, 0},
    {"value blanks then sign", "[system]\nPosWindowX =   -  5\nPosWindowY = \t-7 px\n", 1, 0, -7},
    {"key written twice: the first counts", "[system]\nPosWindowX = 1\nPosWindowX = 2\n", 1, 1, 0},
    {"second system header is never seen",
     "[system]\nPosWindowX = 1\n[other]\nPosWindowY = 5\n[system]\nPosWindowY = 9\nlight = 0\n", 1,
     1, 0},
    {"keys before the first header", "PosWindowX = 9\nlight = 0\n[system]\nPosWindowY = 4\n", 1, 0,
     4},
    {"other groups before the system group", "[a]\nPosWindowX = 9\n[system]\nPosWindowX = 6\n", 1,
     6, 0},
    {"a key without '=' has an empty value, any break", "[system]\rlight\rPosWindowX = 7\r", 0, 7,
     0},
    {"a key without '=' and LF breaks", "[system]\nlight\nPosWindowX = 7\n", 0, 7, 0},
    {"missing closing bracket still selects", "[system\nPosWindowX = 11\n", 1, 11, 0},
    {"text after the bracket is ignored", "[system] trailing ; words\nPosWindowX = 12\n", 1, 12, 0},
    {"blanks inside the brackets do not select", "[ system ]\nlight = 0\nPosWindowX = 3\n", 1, 0,
     0},
    {"trailing blanks of the key are removed", "[system]\nPosWindowX \t = 13\n", 1, 13, 0},
    {"a line starting with '=' has an empty key", "[system]\n= 5\nPosWindowX = 1\n", 1, 1, 0},
    {"no system group", "[other]\nlight = 0\n", 1, 0, 0},
    {"blank key line does not match", "[system]\nPosWindow X = 5\n", 1, 0, 0},
    {"out of range saturates, never flips the sign",
     "[system]\nPosWindowX = 99999999999\nPosWindowY = -99999999999\n", 1, 2147483647,
     -2147483647 - 1},
    {"extreme in-range values", "[system]\nPosWindowX = 2147483647\nPosWindowY = -2147483648\n", 1,
     2147483647, -2147483647 - 1},
    {"NUL bytes are ordinary text", "[system]\nPosWindowX = 4\0\nlight = 0\n"s, 0, 4, 0},
};

TEST(SettingsReader, ReadsEveryKindOfFile) {
    for (const ReadCase& c : read_cases) {
        const StoredSettings got = parse_settings(c.bytes);
        EXPECT_EQ(got.light_enabled, c.light) << c.name;
        EXPECT_EQ(got.window_x, c.x) << c.name;
        EXPECT_EQ(got.window_y, c.y) << c.name;
    }
}

TEST(SettingsReader, HasNoLimitOnLineOrFileLength) {
    std::string text = "[system]\n; " + std::string(1 << 20, 'c') + "\n";
    text += "PosWindowX = " + std::string(100000, '0') + "42\n";
    for (int i = 0; i < 20000; ++i)
        text += "key" + std::to_string(i) + " = 1\n";
    text += "PosWindowY = -3\n";
    const StoredSettings got = parse_settings(text);
    EXPECT_EQ(got.window_x, 42);
    EXPECT_EQ(got.window_y, -3);
}

TEST(SettingsWriter, WritesTheExactBytes) {
    struct Case {
        StoredSettings settings;
        std::string bytes;
    };
    const Case cases[] = {
        {{1, 0, 0}, "[system]\r\nlight = 1\r\nPosWindowX = 0\r\nPosWindowY = 0\r\n"},
        {{1, 100, -20}, "[system]\r\nlight = 1\r\nPosWindowX = 100\r\nPosWindowY = -20\r\n"},
        {{-1, -2147483647 - 1, 2147483647},
         "[system]\r\nlight = -1\r\nPosWindowX = -2147483648\r\nPosWindowY = 2147483647\r\n"},
        {{-128, 5000, 5000},
         "[system]\r\nlight = -128\r\nPosWindowX = 5000\r\nPosWindowY = 5000\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(format_settings(c.settings), c.bytes);
    EXPECT_EQ(format_settings(StoredSettings{}).size(), 53u);
}

using SettingsFileTest = testing::ScratchDirectoryTest;

TEST_F(SettingsFileTest, NoFileGivesDefaultsAndSavesThe53ByteFile) {
    load_settings();
    EXPECT_EQ(instrument_state.light_enabled, 1);
    EXPECT_EQ(instrument_state.window_x, 0);
    EXPECT_EQ(instrument_state.window_y, 0);
    save_settings();
    EXPECT_EQ(file_bytes(), "[system]\r\nlight = 1\r\nPosWindowX = 0\r\nPosWindowY = 0\r\n");
    EXPECT_EQ(entries_in_dir(), 1u) << "no temporary file is left behind";
}

TEST_F(SettingsFileTest, ForeignFileIsReadAndSavedInTheProgramsForm) {
    write_file("\xEF\xBB\xBF; mine\n[Other]\nx=1\n[SYSTEM]\nLIGHT=255\nposwindowx = 40\n");
    load_settings();
    EXPECT_EQ(instrument_state.light_enabled, -1);
    instrument_state.window_y = -20;
    save_settings();
    EXPECT_EQ(file_bytes(), "[system]\r\nlight = -1\r\nPosWindowX = 40\r\nPosWindowY = -20\r\n");
}

TEST_F(SettingsFileTest, UnreadableFilesGiveDefaults) {
    fs::create_directory(settings_file_name);
    const StoredSettings from_dir = read_settings_file(settings_file_name);
    EXPECT_EQ(from_dir.light_enabled, 1);
    EXPECT_EQ(from_dir.window_x, 0);
}

TEST_F(SettingsFileTest, FailedSaveLeavesTheOldFileByteForByte) {
    const std::string old = "[system]\nlight = 0\nPosWindowX = 7\n; keep me\n";
    const StoredSettings next{1, 99, 99};

    // Read-only file.
    write_file(old);
#ifdef _WIN32
    ASSERT_NE(SetFileAttributesA(settings_file_name, FILE_ATTRIBUTE_READONLY), 0);
    EXPECT_FALSE(write_settings_file(settings_file_name, next));
    EXPECT_EQ(file_bytes(), old);
    ASSERT_NE(SetFileAttributesA(settings_file_name, FILE_ATTRIBUTE_NORMAL), 0);
#else
    fs::permissions(settings_file_name, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(write_settings_file(settings_file_name, next));
    EXPECT_EQ(file_bytes(), old);
    fs::permissions(settings_file_name, fs::perms::owner_write, fs::perm_options::add);
#endif

#ifndef _WIN32
    // Locked by another program.
    {
        const int fd = ::open(settings_file_name, O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // Another process: its lock conflicts with ours.
            ::_exit(write_settings_file(settings_file_name, next) ? 1 : 0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "save went through a lock";
        ::close(fd);
        EXPECT_EQ(file_bytes(), old);
    }
#endif

    // A directory of that name.
    fs::remove(settings_file_name);
    fs::create_directory(settings_file_name);
    EXPECT_FALSE(write_settings_file(settings_file_name, next));
    EXPECT_TRUE(fs::is_directory(settings_file_name));
    fs::remove(settings_file_name);

#ifdef _WIN32
    EXPECT_EQ(entries_in_dir(), 0u) << "no temporary file is left behind";
#else
    // A directory that cannot take the temporary file (not for root, who may write anyway).
    if (::geteuid() != 0) {
        write_file(old);
        fs::permissions(".", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(write_settings_file(settings_file_name, next));
        fs::permissions(".", fs::perms::owner_all);
        EXPECT_EQ(file_bytes(), old);
    }
    EXPECT_EQ(entries_in_dir(), ::geteuid() != 0 ? 1u : 0u) << "no temporary file is left behind";
#endif
}

#ifdef _WIN32
// Another program holding the file open: whatever its sharing mode, a save either replaces the
// file whole or leaves it byte for byte, says which, and leaves no temporary file. A holder that
// does not let others write must keep it as it was.
TEST_F(SettingsFileTest, FileHeldByAnotherProgramIsReplacedWholeOrLeftAlone) {
    enum class Expect { Left, Either };
    struct Case {
        const char* name;
        DWORD access;
        DWORD share;
        Expect expect;
    };
    const Case cases[] = {
        {"read, others may read", GENERIC_READ, FILE_SHARE_READ, Expect::Left},
        {"write, others may read", GENERIC_WRITE, FILE_SHARE_READ, Expect::Left},
        {"read, no sharing", GENERIC_READ, 0, Expect::Left},
        {"read, others may read and write", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
         Expect::Either},
        {"read, others may do anything", GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, Expect::Either},
    };
    const std::string old = "[system]\nlight = 0\nPosWindowX = 7\n; keep me\n";
    const StoredSettings next{1, 99, -99};
    const std::string saved = format_settings(next);
    for (const Case& c : cases) {
        write_file(old);
        HANDLE holder = CreateFileA(settings_file_name, c.access, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE) << c.name;
        const bool written = write_settings_file(settings_file_name, next);
        CloseHandle(holder);
        if (c.expect == Expect::Left) {
            EXPECT_FALSE(written) << c.name;
        }
        RecordProperty(c.name, written ? "replaced" : "left");
        EXPECT_EQ(file_bytes(), written ? saved : old) << c.name;
        EXPECT_EQ(entries_in_dir(), 1u) << c.name << ": no temporary file is left behind";
    }
}
#endif

TEST_F(SettingsFileTest, SaveReplacesTheFileAndKeepsItsPermissions) {
    write_file(std::string(100000, 'x'));
#ifndef _WIN32
    fs::permissions(settings_file_name, fs::perms::owner_read | fs::perms::owner_write);
#endif
    ASSERT_TRUE(write_settings_file(settings_file_name, StoredSettings{0, 1, 2}));
    EXPECT_EQ(file_bytes(), "[system]\r\nlight = 0\r\nPosWindowX = 1\r\nPosWindowY = 2\r\n");
#ifndef _WIN32
    // Windows has no permission bits to keep; the read-only attribute stops a save altogether.
    EXPECT_EQ(fs::status(settings_file_name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(read_settings_file(settings_file_name).window_y, 2);
}

}  // namespace
}  // namespace korvalis
