// The settings file: an INI reader that accepts what people and other programs write, and a
// writer that produces the program's own exact bytes. Files from earlier runs must keep reading
// the same, so both sides are fixed to the byte.
//
// A save never leaves a truncated file behind: the new text goes to a temporary file in the same
// directory, which then replaces the old one in one rename. When the old file may not be
// written (read-only, locked, not a regular file), nothing is written at all.
#include "settings/settings.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvalis {

namespace {

constexpr std::string_view utf8_mark = "\xEF\xBB\xBF";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

// Calls visit(line) for every non-empty line, leading blanks removed; stops when visit says so.
template <typename Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && is_line_break(text[pos]))
            ++pos;
        size_t end = pos;
        while (end < text.size() && !is_line_break(text[end]))
            ++end;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        size_t first = 0;
        while (first < line.size() && is_blank(line[first]))
            ++first;
        line.remove_prefix(first);
        if (line.empty()) continue;
        if (!visit(line)) return;
    }
}

std::string_view group_name_of(std::string_view header_line) {
    std::string_view name = header_line.substr(1);
    const size_t close = name.find(']');
    return close == std::string_view::npos ? name : name.substr(0, close);
}

#ifndef _WIN32
bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}
#endif

}  // namespace

std::optional<std::string_view> find_ini_value(std::string_view text, std::string_view group,
                                               std::string_view key) {
    if (text.substr(0, utf8_mark.size()) == utf8_mark) text.remove_prefix(utf8_mark.size());

    enum class Where { BeforeGroup, InGroup } where = Where::BeforeGroup;
    std::optional<std::string_view> found;
    for_each_line(text, [&](std::string_view line) {
        if (line.front() == ';') return true;
        if (line.front() == '[') {
            // The first header of that name is the group; whatever follows it is never seen.
            if (where == Where::InGroup) return false;
            if (equal_ignoring_ascii_case(group_name_of(line), group)) where = Where::InGroup;
            return true;
        }
        if (where != Where::InGroup) return true;
        const size_t equals = line.find('=');
        std::string_view entry_key = line.substr(0, equals);
        while (!entry_key.empty() && is_blank(entry_key.back()))
            entry_key.remove_suffix(1);
        if (!equal_ignoring_ascii_case(entry_key, key)) return true;
        std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : line.substr(equals + 1);
        while (!value.empty() && is_blank(value.front()))
            value.remove_prefix(1);
        found = value;
        return false;
    });
    return found;
}

int32_t scan_decimal(std::string_view value) {
    size_t pos = 0;
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (pos < value.size() && is_space(value[pos]))
        ++pos;
    bool negative = false;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) {
        negative = value[pos] == '-';
        ++pos;
    }
    // Out-of-range values saturate instead of wrapping, so a huge number cannot flip its sign.
    int64_t magnitude = 0;
    constexpr int64_t limit = static_cast<int64_t>(INT32_MAX) + 1;
    while (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') {
        magnitude = std::min<int64_t>(magnitude * 10 + (value[pos] - '0'), limit);
        ++pos;
    }
    const int64_t signed_value = negative ? -magnitude : std::min<int64_t>(magnitude, INT32_MAX);
    return static_cast<int32_t>(signed_value);
}

StoredSettings parse_settings(std::span<const char> file_bytes) {
    const std::string_view text(file_bytes.data(), file_bytes.size());
    StoredSettings settings;
    if (auto light = find_ini_value(text, "system", "light")) {
        // Only the low 8 bits are kept: 256 reads as 0 (off), 255 as -1 (on).
        settings.light_enabled =
            static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(scan_decimal(*light))));
    }
    if (auto x = find_ini_value(text, "system", "PosWindowX")) settings.window_x = scan_decimal(*x);
    if (auto y = find_ini_value(text, "system", "PosWindowY")) settings.window_y = scan_decimal(*y);
    return settings;
}

std::string format_settings(const StoredSettings& settings) {
    char text[128];
    const int length = std::snprintf(
        text, sizeof text, "[system]\r\nlight = %i\r\nPosWindowX = %i\r\nPosWindowY = %i\r\n",
        static_cast<int>(settings.light_enabled), static_cast<int>(settings.window_x),
        static_cast<int>(settings.window_y));
    return std::string(text, static_cast<size_t>(length));
}

StoredSettings read_settings_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return StoredSettings{};
    std::vector<char> bytes;
    char chunk[65536];
    bool failed = false;
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            failed = std::ferror(file) != 0;  // a directory, or a read error: unreadable
            break;
        }
    }
    std::fclose(file);
    if (failed) return StoredSettings{};
    return parse_settings(bytes);
}

#ifdef _WIN32

bool write_settings_file(const char* path, const StoredSettings& settings) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // Another program holding the file without letting us write it: leave it alone.
        HANDLE probe = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return false;
        CloseHandle(probe);
    }
    const std::string temporary = std::string(path) + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string text = format_settings(settings);
    DWORD written = 0;
    const bool ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
        written == text.size() && FlushFileBuffers(file) != 0;
    CloseHandle(file);
    if (!ok || MoveFileExA(temporary.c_str(), path,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

#else

bool write_settings_file(const char* path, const StoredSettings& settings) {
    struct stat old_file {};
    int old_fd = -1;
    mode_t mode = 0644;
    if (::stat(path, &old_file) == 0) {
        // A directory or device of that name, a read-only file, or one another program holds
        // locked, is left exactly as it is.
        if (!S_ISREG(old_file.st_mode) || (old_file.st_mode & S_IWUSR) == 0) return false;
        old_fd = ::open(path, O_WRONLY | O_CLOEXEC);
        if (old_fd < 0) return false;
        if (::flock(old_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(old_fd);
            return false;
        }
        mode = old_file.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;
    }

    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    bool ok = fd >= 0;
    if (ok) {
        ok =
            ::fchmod(fd, mode) == 0 && write_all(fd, format_settings(settings)) && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        ok = ok && ::rename(temporary.c_str(), path) == 0;
        if (!ok) ::unlink(temporary.c_str());
    }
    if (old_fd >= 0) ::close(old_fd);
    return ok;
}

#endif

void load_settings() {
    const StoredSettings settings = read_settings_file(settings_file_name);
    instrument_state.light_enabled = settings.light_enabled;
    instrument_state.window_x = settings.window_x;
    instrument_state.window_y = settings.window_y;
}

void save_settings() {
    const StoredSettings settings{instrument_state.light_enabled, instrument_state.window_x,
                                  instrument_state.window_y};
    write_settings_file(settings_file_name, settings);
}

}  // namespace korvalis
