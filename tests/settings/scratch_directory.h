// A scratch working directory for each settings test: the program's file has no directory of its
// own, so every test runs in a fresh, empty one that it removes afterwards.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/app.h"
#include "settings/settings.h"

namespace korvalis::testing {

class ScratchDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("korvalis-settings-" + std::to_string(process_id()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        reset_instrument_state();
    }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        std::filesystem::remove_all(dir_);
    }
    static int process_id() {
#ifdef _WIN32
        return _getpid();
#else
        return ::getpid();
#endif
    }
    static void write_file(const std::string& bytes) {
        std::ofstream(settings_file_name, std::ios::binary) << bytes;
    }
    static std::string file_bytes() {
        std::ifstream in(settings_file_name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static size_t entries_in_dir() {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("."), {}));
    }
    std::filesystem::path dir_;
    std::filesystem::path old_cwd_;
};

}  // namespace korvalis::testing
