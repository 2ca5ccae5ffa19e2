// korvalis-make-icon: packs PNG images into one .ico file of opaque 256-colour bitmaps.
//
//   korvalis-make-icon OUT.ico IN.png...      e.g. windows/korvalis.ico from assets/icon_48.png,
//                                             icon_32.png and icon_16.png, largest first
#include <cstdio>
#include <vector>

#include "windows/icon.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: korvalis-make-icon OUT.ico IN.png...\n");
        return 2;
    }
    std::vector<korvalis::IconImage> images(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
        if (!korvalis::read_png_rgba(argv[i], images[static_cast<size_t>(i - 2)])) {
            std::fprintf(stderr,
                         "korvalis-make-icon: cannot read %s as a PNG of at most 256 x 256\n",
                         argv[i]);
            return 1;
        }
    }
    const std::vector<uint8_t> icon = korvalis::make_icon_file(images);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (icon.empty() || out == nullptr) {
        std::fprintf(stderr, "korvalis-make-icon: cannot write %s\n", argv[1]);
        if (out != nullptr) std::fclose(out);
        return 1;
    }
    const bool written = std::fwrite(icon.data(), 1, icon.size(), out) == icon.size();
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "korvalis-make-icon: writing %s failed\n", argv[1]);
        return 1;
    }
    return 0;
}
