// The window-system services of platform.h for Unix desktops. Under X11 the instrument talks to
// the X server and the window manager itself where SDL stops short: SDL places and reports the
// client area, the instrument stores the outer frame's corner; SDL offers one icon and no way to
// drop the minimise and maximise boxes. Other SDL video drivers (Wayland without X11) get the
// closest plain-SDL behaviour.
#include "display/platform.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

// After our own headers: Xlib defines macros (None, Bool, Status) that would clash with them.
#include <SDL_syswm.h>

#if defined(SDL_VIDEO_DRIVER_X11)
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#define KORVALIS_X11 1
#endif

namespace korvalis {

namespace {

// ---------------------------------------------------------------------------------------------
// Plain SDL, for video drivers without an X server behind them
// ---------------------------------------------------------------------------------------------
bool sdl_borders(SDL_Window* window, int* left, int* top) {
    int bottom = 0;
    int right = 0;
    *left = 0;
    *top = 0;
    return SDL_GetWindowBordersSize(window, top, left, &bottom, &right) == 0;
}

bool sdl_place_frame(SDL_Window* window, int32_t x, int32_t y) {
    int left = 0;
    int top = 0;
    sdl_borders(window, &left, &top);
    SDL_SetWindowPosition(window, x + left, y + top);
    return true;
}

bool sdl_frame_position(SDL_Window* window, int32_t* x, int32_t* y) {
    int left = 0;
    int top = 0;
    int client_x = 0;
    int client_y = 0;
    sdl_borders(window, &left, &top);
    SDL_GetWindowPosition(window, &client_x, &client_y);
    *x = client_x - left;
    *y = client_y - top;
    return true;
}

#if defined(KORVALIS_X11)
// ---------------------------------------------------------------------------------------------
// X11
// ---------------------------------------------------------------------------------------------
struct X11Window {
    Display* display = nullptr;
    Window window = 0;
    Window root = 0;
};

bool x11_window_of(SDL_Window* window, X11Window* out) {
    if (window == nullptr) return false;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) {
        return false;
    }
    out->display = info.info.x11.display;
    out->window = info.info.x11.window;
    out->root = DefaultRootWindow(out->display);
    return out->display != nullptr && out->window != 0;
}

// A window named by a property may be gone by the time we ask about it; Xlib's default handler
// would end the program for that.
int x11_error_seen = 0;
int ignore_x11_error(Display*, XErrorEvent*) {
    x11_error_seen = 1;
    return 0;
}

struct X11ErrorTrap {
    Display* display;
    int (*previous)(Display*, XErrorEvent*);
    explicit X11ErrorTrap(Display* d) : display(d) {
        XSync(display, False);
        x11_error_seen = 0;
        previous = XSetErrorHandler(ignore_x11_error);
    }
    ~X11ErrorTrap() {
        XSync(display, False);
        XSetErrorHandler(previous);
    }
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;
};

// Reads up to `count` 32-bit items of a property; returns how many were read.
size_t read_cardinals(Display* display, Window window, const char* name, Atom type, long* out,
                      size_t count) {
    const Atom property = XInternAtom(display, name, True);
    if (property == 0) return 0;
    Atom actual_type = 0;
    int actual_format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    size_t read = 0;
    if (XGetWindowProperty(display, window, property, 0, static_cast<long>(count), False, type,
                           &actual_type, &actual_format, &items, &remaining, &data) == Success &&
        actual_type == type && actual_format == 32) {
        read = std::min<size_t>(items, count);
        // Format-32 properties come back as an array of long, whatever the long's width.
        std::memcpy(out, data, read * sizeof(long));
    }
    if (data != nullptr) XFree(data);
    return read;
}

bool window_manager_running(const X11Window& x) {
    X11ErrorTrap trap(x.display);
    long wm = 0;
    if (read_cardinals(x.display, x.root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, &wm, 1) != 1) {
        return false;
    }
    long self = 0;
    const bool ok = read_cardinals(x.display, static_cast<Window>(wm), "_NET_SUPPORTING_WM_CHECK",
                                   XA_WINDOW, &self, 1) == 1;
    return ok && x11_error_seen == 0 && self == wm;
}

// left, right, top, bottom as the window manager announces them.
bool frame_extents(const X11Window& x, long extents[4]) {
    return read_cardinals(x.display, x.window, "_NET_FRAME_EXTENTS", XA_CARDINAL, extents, 4) == 4;
}

// The window manager's frame around the client: the ancestor right below the root window.
bool top_level_ancestor(const X11Window& x, Window* out) {
    Window current = x.window;
    for (int depth = 0; depth < 16; ++depth) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(x.display, current, &root, &parent, &children, &count) == 0) return false;
        if (children != nullptr) XFree(children);
        if (parent == root || parent == 0) {
            *out = current;
            return true;
        }
        current = parent;
    }
    return false;
}

bool x11_frame_position(const X11Window& x, int32_t* out_x, int32_t* out_y) {
    int client_x = 0;
    int client_y = 0;
    Window child = 0;
    if (XTranslateCoordinates(x.display, x.window, x.root, 0, 0, &client_x, &client_y, &child) ==
        0) {
        return false;
    }
    long extents[4] = {0, 0, 0, 0};
    if (frame_extents(x, extents)) {
        *out_x = client_x - static_cast<int32_t>(extents[0]);
        *out_y = client_y - static_cast<int32_t>(extents[2]);
        return true;
    }
    // A window manager that announces no extents: its frame window is the outer rectangle.
    Window frame = 0;
    XWindowAttributes attributes;
    if (top_level_ancestor(x, &frame) && frame != x.window &&
        XGetWindowAttributes(x.display, frame, &attributes) != 0) {
        *out_x = attributes.x;
        *out_y = attributes.y;
        return true;
    }
    *out_x = client_x;
    *out_y = client_y;
    return true;
}

// Asks the window manager to announce the frame it will put around the window, so that the first
// placement already knows the borders.
void request_frame_extents(const X11Window& x) {
    XEvent event;
    std::memset(&event, 0, sizeof(event));
    event.xclient.type = ClientMessage;
    event.xclient.window = x.window;
    event.xclient.message_type = XInternAtom(x.display, "_NET_REQUEST_FRAME_EXTENTS", False);
    event.xclient.format = 32;
    XSendEvent(x.display, x.root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

// Some window managers set the extents a while after mapping; wait for them, but not forever
// (a window manager may never set them).
void wait_for_frame(const X11Window& x) {
    constexpr Uint32 limit_ms = 500;
    const Uint32 start = SDL_GetTicks();
    long extents[4];
    while (!frame_extents(x, extents) && SDL_GetTicks() - start < limit_ms) {
        XSync(x.display, False);
        SDL_Delay(5);
    }
}

// Waits until the frame stands at (x, y) or stops moving; true when it reached (x, y).
bool wait_for_move(const X11Window& xw, int32_t x, int32_t y, int32_t from_x, int32_t from_y) {
    constexpr Uint32 limit_ms = 250;
    const Uint32 start = SDL_GetTicks();
    int32_t now_x = from_x;
    int32_t now_y = from_y;
    while (SDL_GetTicks() - start < limit_ms) {
        XSync(xw.display, False);
        if (!x11_frame_position(xw, &now_x, &now_y)) return false;
        if (now_x == x && now_y == y) return true;
        if (now_x != from_x || now_y != from_y) {
            // It moved somewhere else; give the window manager a moment to finish.
            SDL_Delay(20);
            XSync(xw.display, False);
            return x11_frame_position(xw, &now_x, &now_y) && now_x == x && now_y == y;
        }
        SDL_Delay(5);
    }
    return false;
}

bool x11_place_frame(const X11Window& xw, int32_t x, int32_t y) {
    if (window_manager_running(xw)) wait_for_frame(xw);
    // Window managers read a client's requested position with its gravity (north-west: the
    // frame's corner goes there), some as the client's own corner. Correcting by where the frame
    // actually landed settles both within a step or two.
    int64_t request_x = x;
    int64_t request_y = y;
    for (int attempt = 0; attempt < 4; ++attempt) {
        int32_t frame_x = 0;
        int32_t frame_y = 0;
        if (!x11_frame_position(xw, &frame_x, &frame_y)) return false;
        if (frame_x == x && frame_y == y) return true;
        if (attempt > 0) {
            request_x += static_cast<int64_t>(x) - frame_x;
            request_y += static_cast<int64_t>(y) - frame_y;
        }
        if (request_x < INT32_MIN || request_x > INT32_MAX || request_y < INT32_MIN ||
            request_y > INT32_MAX) {
            return false;
        }
        XMoveWindow(xw.display, xw.window, static_cast<int>(request_x),
                    static_cast<int>(request_y));
        if (wait_for_move(xw, x, y, frame_x, frame_y)) return true;
    }
    return false;
}

// Motif window-manager hints: the one widely understood way to ask for a frame without the
// minimise and maximise boxes.
struct MotifHints {
    unsigned long flags;
    unsigned long functions;
    unsigned long decorations;
    long input_mode;
    unsigned long status;
};
constexpr unsigned long motif_hints_functions = 1UL << 0;
constexpr unsigned long motif_hints_decorations = 1UL << 1;
constexpr unsigned long motif_function_move = 1UL << 2;
constexpr unsigned long motif_function_close = 1UL << 5;
constexpr unsigned long motif_decoration_border = 1UL << 1;
constexpr unsigned long motif_decoration_title = 1UL << 3;
constexpr unsigned long motif_decoration_menu = 1UL << 4;

void x11_prepare_window(const X11Window& x, bool system_places) {
    MotifHints hints{
        motif_hints_functions | motif_hints_decorations, motif_function_move | motif_function_close,
        motif_decoration_border | motif_decoration_title | motif_decoration_menu, 0, 0};
    const Atom motif = XInternAtom(x.display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(x.display, x.window, motif, motif, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&hints), 5);

    if (system_places) {
        XSizeHints* size_hints = XAllocSizeHints();
        if (size_hints != nullptr) {
            long supplied = 0;
            XGetWMNormalHints(x.display, x.window, size_hints, &supplied);
            size_hints->flags &= ~(USPosition | PPosition);
            XSetWMNormalHints(x.display, x.window, size_hints);
            XFree(size_hints);
        }
    }
    request_frame_extents(x);
    XFlush(x.display);
}

void x11_set_icons(const X11Window& x, std::span<const DecodedImage> icons) {
    // _NET_WM_ICON: width, height, then ARGB pixels, for every size; the window manager picks.
    std::vector<unsigned long> data;
    for (const DecodedImage& icon : icons) {
        const size_t pixels = static_cast<size_t>(icon.width) * static_cast<size_t>(icon.height);
        if (icon.width <= 0 || icon.height <= 0 || icon.bgra.size() != pixels * 4) continue;
        data.push_back(static_cast<unsigned long>(icon.width));
        data.push_back(static_cast<unsigned long>(icon.height));
        for (size_t i = 0; i < pixels; ++i) {
            const uint8_t* p = &icon.bgra[i * 4];
            data.push_back(static_cast<unsigned long>(p[3]) << 24 |
                           static_cast<unsigned long>(p[2]) << 16 |
                           static_cast<unsigned long>(p[1]) << 8 | p[0]);
        }
    }
    if (data.empty()) return;
    const Atom property = XInternAtom(x.display, "_NET_WM_ICON", False);
    XChangeProperty(x.display, x.window, property, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(data.data()), static_cast<int>(data.size()));
    XFlush(x.display);
}

// An 8-bit channel placed into the visual's mask for it.
unsigned long channel_bits(uint32_t value, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1UL) == 0)
        ++shift;
    const unsigned long max = mask >> shift;
    return ((value * max + 127) / 255) << shift;
}

void x11_set_background(const X11Window& x, std::optional<uint32_t> colour) {
    if (!colour) {
        XSetWindowBackgroundPixmap(x.display, x.window, 0);
        XFlush(x.display);
        return;
    }
    XWindowAttributes attributes;
    if (XGetWindowAttributes(x.display, x.window, &attributes) == 0) return;
    const Visual* visual = attributes.visual;
    const unsigned long colour_masks = visual->red_mask | visual->green_mask | visual->blue_mask;
    unsigned long pixel = channel_bits(*colour & 0xFF, visual->red_mask) |
                          channel_bits((*colour >> 8) & 0xFF, visual->green_mask) |
                          channel_bits((*colour >> 16) & 0xFF, visual->blue_mask);
    // A 32-bit visual carries alpha in the bits no colour uses: keep the fill opaque.
    if (attributes.depth == 32) pixel |= 0xFFFFFFFFUL & ~colour_masks;
    XSetWindowBackground(x.display, x.window, pixel);
    XClearWindow(x.display, x.window);
    XFlush(x.display);
}
#endif  // KORVALIS_X11

}  // namespace

void platform_prepare_window(SDL_Window* window, bool system_places) {
#if defined(KORVALIS_X11)
    X11Window x;
    if (x11_window_of(window, &x)) x11_prepare_window(x, system_places);
#else
    (void)window;
    (void)system_places;
#endif
}

void platform_set_icons(SDL_Window* window, std::span<const DecodedImage> icons) {
    if (window == nullptr || icons.empty()) return;
#if defined(KORVALIS_X11)
    X11Window x;
    if (x11_window_of(window, &x)) {
        x11_set_icons(x, icons);
        return;
    }
#endif
    set_sdl_window_icon(window, icons.front());
}

bool platform_place_frame(SDL_Window* window, int32_t x, int32_t y) {
    if (window == nullptr) return false;
#if defined(KORVALIS_X11)
    X11Window xw;
    if (x11_window_of(window, &xw)) return x11_place_frame(xw, x, y);
#endif
    return sdl_place_frame(window, x, y);
}

bool platform_frame_position(SDL_Window* window, int32_t* x, int32_t* y) {
    if (window == nullptr) return false;
#if defined(KORVALIS_X11)
    X11Window xw;
    if (x11_window_of(window, &xw)) return x11_frame_position(xw, x, y);
#endif
    return sdl_frame_position(window, x, y);
}

void platform_set_background(SDL_Window* window, std::optional<uint32_t> colour) {
#if defined(KORVALIS_X11)
    X11Window x;
    if (x11_window_of(window, &x)) x11_set_background(x, colour);
#else
    (void)window;
    (void)colour;
#endif
}

void platform_stop_erasing(SDL_Window* window) {
    platform_set_background(window, std::nullopt);
}

void platform_show_message_box(SDL_Window* owner, const char* caption, const char* text) {
    SDL_MessageBoxButtonData ok{};
    ok.flags = SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
    ok.buttonid = 1;
    ok.text = "OK";
    SDL_MessageBoxData box{};
    box.flags = 0;  // no icon
    box.window = owner;
    box.title = caption;
    box.message = text;
    box.numbuttons = 1;
    box.buttons = &ok;
    int pressed = 0;
    SDL_ShowMessageBox(&box, &pressed);
}

const char* platform_render_driver() {
    return "opengl";
}

uint32_t platform_window_flags() {
    return SDL_WINDOW_OPENGL;
}

}  // namespace korvalis
