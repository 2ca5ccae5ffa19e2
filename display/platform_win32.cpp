// The window-system services of platform.h on Windows, with the Win32 calls themselves: the
// outer frame rectangle for the position, the frame style without minimise and maximise boxes,
// the background fill and the owner-aware message box.
#include "display/platform.h"

#include <string>
#include <vector>

// After our own headers: <windows.h> defines macros that would clash with them.
#include <SDL_syswm.h>
#include <windows.h>

namespace korvalis {

namespace {

HWND handle_of(SDL_Window* window) {
    if (window == nullptr) return nullptr;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_WINDOWS) {
        return nullptr;
    }
    return info.info.win.window;
}

std::wstring wide(const char* utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), length);
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

COLORREF colour_ref(uint32_t colour) {
    return RGB(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

// Windows of this thread that the message box changes for its time on screen.
struct ChangedWindow {
    HWND window;
    bool was_enabled;
    bool was_topmost;
};

struct MessageBoxScope {
    HWND foreground;
    std::vector<ChangedWindow>* changed;
};

BOOL CALLBACK note_thread_window(HWND window, LPARAM parameter) {
    auto* scope = reinterpret_cast<MessageBoxScope*>(parameter);
    if (!IsWindowVisible(window)) return TRUE;
    const bool enabled = IsWindowEnabled(window) != FALSE;
    const bool topmost = (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    const bool disable = enabled && window != scope->foreground;
    if (!disable && !topmost) return TRUE;
    scope->changed->push_back(ChangedWindow{window, disable, topmost});
    return TRUE;
}

}  // namespace

void platform_prepare_window(SDL_Window* window, bool) {
    HWND hwnd = handle_of(window);
    if (hwnd == nullptr) return;
    // A title bar with the window menu and the close box only.
    LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    style &= ~static_cast<LONG_PTR>(WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME);
    SetWindowLongPtrW(hwnd, GWL_STYLE, style);
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void platform_set_icons(SDL_Window* window, std::span<const DecodedImage> icons) {
    if (window == nullptr) return;
    // The program's icon resource 1 holds the 48, 32 and 16 pixel images: the system takes the
    // one drawn for each size (title bar and task bar) instead of scaling one picture.
    HWND hwnd = handle_of(window);
    HINSTANCE self = GetModuleHandleW(nullptr);
    if (hwnd != nullptr && FindResourceW(self, MAKEINTRESOURCEW(1),
                                         MAKEINTRESOURCEW(14) /* group icon */) != nullptr) {
        const auto load = [self](int metric) {
            const int size = GetSystemMetrics(metric);
            return LoadImageW(self, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_SHARED);
        };
        HANDLE big_icon = load(SM_CXICON);
        HANDLE small_icon = load(SM_CXSMICON);
        if (big_icon != nullptr && small_icon != nullptr) {
            SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon));
            SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
            return;
        }
    }
    // A program without the resource (tests, tools): the largest decoded image.
    if (icons.empty()) return;
    set_sdl_window_icon(window, icons.front());
}

bool platform_place_frame(SDL_Window* window, int32_t x, int32_t y) {
    HWND hwnd = handle_of(window);
    // SetWindowPos places the outer frame, the same rectangle GetWindowRect reports.
    return hwnd != nullptr &&
           SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != 0;
}

bool platform_frame_position(SDL_Window* window, int32_t* x, int32_t* y) {
    HWND hwnd = handle_of(window);
    RECT frame;
    if (hwnd == nullptr || GetWindowRect(hwnd, &frame) == 0) return false;
    *x = frame.left;
    *y = frame.top;
    return true;
}

void platform_set_background(SDL_Window* window, std::optional<uint32_t> colour) {
    HWND hwnd = handle_of(window);
    if (hwnd == nullptr) return;
    RECT client;
    GetClientRect(hwnd, &client);
    HDC dc = GetDC(hwnd);
    if (dc == nullptr) return;
    HBRUSH brush = colour ? CreateSolidBrush(colour_ref(*colour)) : GetSysColorBrush(COLOR_BTNFACE);
    FillRect(dc, &client, brush);
    if (colour) DeleteObject(brush);
    ReleaseDC(hwnd, dc);
}

void platform_stop_erasing(SDL_Window*) {}  // SDL's windows never erase their background

void platform_show_message_box(SDL_Window*, const char* caption, const char* text) {
    // Owner: the foreground window if it is one of ours.
    HWND foreground = GetForegroundWindow();
    DWORD process = 0;
    if (foreground != nullptr) GetWindowThreadProcessId(foreground, &process);
    HWND owner = process == GetCurrentProcessId() ? foreground : nullptr;

    std::vector<ChangedWindow> changed;
    MessageBoxScope scope{owner, &changed};
    EnumThreadWindows(GetCurrentThreadId(), note_thread_window, reinterpret_cast<LPARAM>(&scope));
    for (const ChangedWindow& w : changed) {
        if (w.was_enabled) EnableWindow(w.window, FALSE);
        if (w.was_topmost) {
            SetWindowPos(w.window, HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
    MessageBoxW(owner, wide(text).c_str(), wide(caption).c_str(), MB_OK);
    for (const ChangedWindow& w : changed) {
        if (w.was_enabled) EnableWindow(w.window, TRUE);
        if (w.was_topmost) {
            SetWindowPos(w.window, HWND_TOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

const char* platform_render_driver() {
    return "direct3d";
}

uint32_t platform_window_flags() {
    return 0;
}

}  // namespace korvalis
