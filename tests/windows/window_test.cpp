// The instrument window as Win32 sees it, under Wine: the frame style (title bar with window menu
// and close box, no minimise or maximise box, no sizing border), a client area of exactly the
// size asked, the outer corner where it was asked and read back from the same rectangle, icon 1
// at the title bar's and the task bar's sizes, and the move and close events.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "display/display.h"

namespace korvalis {
namespace {

constexpr const char* title = "Korvalis - 1.006";

// This thread's window of that title: other test programs of the prefix open theirs meanwhile.
HWND instrument_hwnd() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND candidate, LPARAM result) -> BOOL {
            char text[64] = "";
            GetWindowTextA(candidate, text, sizeof text);
            if (std::strcmp(text, title) != 0) return TRUE;
            *reinterpret_cast<HWND*>(result) = candidate;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Polls until the event comes (other events are skipped); false after a generous while.
bool poll_until(WindowEvent wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll_window_event() == wanted) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int icon_width(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || GetIconInfo(icon, &info) == 0) return 0;
    BITMAP bitmap{};
    GetObjectA(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

class Win32WindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(init_window_system()); }
    void TearDown() override {
        close_instrument_window(window);
        shutdown_window_system();
    }
    InstrumentWindow* window = nullptr;
};

TEST_F(Win32WindowTest, FrameStyleClientSizeAndOuterCorner) {
    struct Case {
        int32_t x, y;
    };
    for (const Case c : {Case{0, 0}, Case{140, 90}, Case{-40, 700}}) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y);
        window = open_instrument_window(c.x, c.y, 266, 266, title);
        ASSERT_NE(window, nullptr);
        HWND hwnd = instrument_hwnd();
        ASSERT_NE(hwnd, nullptr);

        const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_STYLE);
        EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
        EXPECT_NE(style & WS_SYSMENU, 0);
        EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
        EXPECT_EQ(GetWindowLongPtrA(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);

        RECT client{};
        ASSERT_NE(GetClientRect(hwnd, &client), 0);
        EXPECT_EQ(client.right - client.left, 266);
        EXPECT_EQ(client.bottom - client.top, 266);

        RECT frame{};
        ASSERT_NE(GetWindowRect(hwnd, &frame), 0);
        EXPECT_EQ(frame.left, c.x);
        EXPECT_EQ(frame.top, c.y);
        EXPECT_EQ(window_frame_left(window), c.x);
        EXPECT_EQ(window_frame_top(window), c.y);
        // The frame is what the system's own arithmetic puts around that client area.
        RECT expected{0, 0, 266, 266};
        AdjustWindowRectEx(&expected, static_cast<DWORD>(style), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE)));
        EXPECT_EQ(frame.right - frame.left, expected.right - expected.left);
        EXPECT_EQ(frame.bottom - frame.top, expected.bottom - expected.top);

        close_instrument_window(window);
        window = nullptr;
    }
}

TEST_F(Win32WindowTest, IconOneAtTheTitleBarsAndTheTaskBarsSizes) {
    window = open_instrument_window(100, 100, 266, 266, title);
    ASSERT_NE(window, nullptr);
    HWND hwnd = instrument_hwnd();
    ASSERT_NE(hwnd, nullptr);
    const auto big = reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0));
    const auto small_icon = reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0));
    EXPECT_EQ(icon_width(big), GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(icon_width(small_icon), GetSystemMetrics(SM_CXSMICON));
    // The images drawn for those sizes, straight from resource 1, not a scaled copy of another.
    HINSTANCE self = GetModuleHandleA(nullptr);
    EXPECT_EQ(big, LoadImageA(self, MAKEINTRESOURCEA(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                              GetSystemMetrics(SM_CYICON), LR_SHARED));
    EXPECT_EQ(small_icon,
              LoadImageA(self, MAKEINTRESOURCEA(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                         GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

TEST_F(Win32WindowTest, MovedReadBackAndClosed) {
    window = open_instrument_window(50, 60, 266, 266, title);
    ASSERT_NE(window, nullptr);
    HWND hwnd = instrument_hwnd();
    ASSERT_NE(hwnd, nullptr);
    while (poll_window_event() != WindowEvent::None) {
    }
    SetWindowPos(hwnd, nullptr, 321, 234, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(poll_until(WindowEvent::Moved));
    EXPECT_EQ(window_frame_left(window), 321);
    EXPECT_EQ(window_frame_top(window), 234);

    // Another program's close request, as the task bar or a tool sends it.
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(poll_until(WindowEvent::CloseRequested));
    EXPECT_TRUE(IsWindowVisible(hwnd)) << "a close request neither hides nor destroys it";
}

// The program's one message, as the user reads it: the accented letters survive whatever the ANSI
// code page, because the box is shown through the wide-character API.
TEST_F(Win32WindowTest, MessageBoxShowsTheAccentedText) {
    std::wstring caption_seen;
    std::wstring text_seen;
    std::thread reader([&] {
        HWND dialog = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (dialog == nullptr && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            dialog = FindWindowW(L"#32770", L"Erreur");
        }
        if (dialog == nullptr) return;
        wchar_t text[128] = L"";
        GetWindowTextW(dialog, text, 128);
        caption_seen = text;
        // The message box's text control has the identifier 0xFFFF.
        GetDlgItemTextW(dialog, 0xFFFF, text, 128);
        text_seen = text;
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    show_message_box("Erreur", "Impossible d'ouvrir un \u00e9cran dans la fen\u00eatre!");
    reader.join();
    EXPECT_EQ(caption_seen, L"Erreur");
    EXPECT_EQ(text_seen, L"Impossible d'ouvrir un \u00e9cran dans la fen\u00eatre!");
}

}  // namespace
}  // namespace korvalis
