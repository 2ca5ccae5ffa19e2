// The resources that korvalis-asi.exe carries, linked into this test program the same way: the
// window system must load icon 1 at 48, 32 and 16 pixels with the artwork's pixels, and the
// file's version must read 1.006.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "windows/icon.h"

namespace korvalis {
namespace {

const std::string source_dir = KORVALIS_SOURCE_DIR;

TEST(WindowsResources, IconOneLoadsAtEachSizeWithTheArtworksPixels) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    EXPECT_NE(LoadIconA(self, MAKEINTRESOURCEA(1)), nullptr) << "what the window class asks for";
    for (int size : {48, 32, 16}) {
        IconImage art;
        ASSERT_TRUE(
            read_png_rgba(source_dir + "/assets/icon_" + std::to_string(size) + ".png", art));
        HICON icon = static_cast<HICON>(
            LoadImageA(self, MAKEINTRESOURCEA(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        ASSERT_NE(GetIconInfo(icon, &info), 0) << size;
        BITMAP bitmap{};
        ASSERT_NE(GetObjectA(info.hbmColor, sizeof bitmap, &bitmap), 0);
        EXPECT_EQ(bitmap.bmWidth, size);
        EXPECT_EQ(bitmap.bmHeight, size);

        BITMAPINFO format{};
        format.bmiHeader.biSize = sizeof format.bmiHeader;
        format.bmiHeader.biWidth = size;
        format.bmiHeader.biHeight = -size;  // top row first
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        std::vector<uint8_t> bgra(static_cast<size_t>(size) * size * 4);
        HDC screen = GetDC(nullptr);
        EXPECT_EQ(GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(size), bgra.data(), &format,
                            DIB_RGB_COLORS),
                  size);
        ReleaseDC(nullptr, screen);
        int wrong = 0;
        for (size_t i = 0; i < bgra.size() / 4; ++i) {
            const uint8_t* got = &bgra[i * 4];
            const uint8_t* want = &art.rgba[i * 4];
            if (got[2] != want[0] || got[1] != want[1] || got[0] != want[2]) ++wrong;
        }
        EXPECT_EQ(wrong, 0) << size << " px: pixels differing from the artwork";
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

TEST(WindowsResources, VersionReads1006) {
    char path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_NE(size, 0u);
    std::vector<char> data(size);
    ASSERT_NE(GetFileVersionInfoA(path, 0, size, data.data()), 0);
    void* value = nullptr;
    UINT length = 0;
    ASSERT_NE(
        VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\FileVersion", &value, &length), 0);
    EXPECT_STREQ(static_cast<const char*>(value), "1.006");
}

}  // namespace
}  // namespace korvalis
