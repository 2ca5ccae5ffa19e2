// The instrument window over SDL: opening at the stored outer position, the background colour,
// always-on-top, the non-blocking event poll with its first-in first-out queue, the position
// read-back and the one message box. Window-system details the SDL API lacks go through
// display/platform.h.
#include <SDL.h>

#include <array>
#include <utility>

#include "display/embedded_assets.h"
#include "display/platform.h"

namespace korvalis {

struct InstrumentWindow {
    SDL_Window* sdl = nullptr;
    uint32_t id = 0;                 // SDL's window id, to tell our notifications from others'
    std::optional<uint32_t> colour;  // background fill, r + g*256 + b*65536
};

namespace {

// One window event waiting in the queue. The instrument's events carry no data of their own.
struct QueuedEvent {
    WindowEvent code = WindowEvent::None;
    uint32_t window_id = 0;
};

// Fixed capacity: polling allocates nothing. Repeats fold, so only alternating events could
// fill it; when full, further events are dropped, except a close request, which takes the
// newest event's place.
constexpr size_t queue_capacity = 64;

// Notifications handled per poll at most, so that a flood cannot hold the frame loop.
constexpr int notifications_per_poll = 64;

struct WindowSystem {
    bool initialised = false;
    InstrumentWindow* window = nullptr;  // the one open window
    SDL_Cursor* arrow = nullptr;
    std::array<QueuedEvent, queue_capacity> queue{};
    size_t queue_head = 0;  // oldest
    size_t queue_size = 0;
};

WindowSystem windows;

void queue_event(WindowEvent code, uint32_t window_id) {
    WindowSystem& ws = windows;
    if (ws.queue_size > 0) {
        const QueuedEvent& newest = ws.queue[(ws.queue_head + ws.queue_size - 1) % queue_capacity];
        // A burst of the same event that nobody has fetched yet stays one event.
        if (newest.code == code && newest.window_id == window_id) return;
    }
    if (ws.queue_size == queue_capacity) {
        if (code != WindowEvent::CloseRequested) return;
        --ws.queue_size;  // make room for the close request in place of the newest event
    }
    ws.queue[(ws.queue_head + ws.queue_size) % queue_capacity] = QueuedEvent{code, window_id};
    ++ws.queue_size;
}

bool pop_event(QueuedEvent* out) {
    WindowSystem& ws = windows;
    if (ws.queue_size == 0) return false;
    *out = ws.queue[ws.queue_head];
    ws.queue_head = (ws.queue_head + 1) % queue_capacity;
    --ws.queue_size;
    return true;
}

void clear_queue() {
    windows.queue_head = 0;
    windows.queue_size = 0;
}

// What each SDL window notification means to the instrument.
enum class Reaction { Ignore, Moved, Close, Repaint };

struct WindowEventRule {
    SDL_WindowEventID sdl;
    Reaction reaction;
};

constexpr std::array<WindowEventRule, 5> window_event_rules{{
    {SDL_WINDOWEVENT_MOVED, Reaction::Moved},
    {SDL_WINDOWEVENT_CLOSE, Reaction::Close},
    {SDL_WINDOWEVENT_EXPOSED, Reaction::Repaint},
    {SDL_WINDOWEVENT_SIZE_CHANGED, Reaction::Repaint},
    {SDL_WINDOWEVENT_RESTORED, Reaction::Repaint},
}};

Reaction reaction_to(uint8_t sdl_window_event) {
    for (const WindowEventRule& rule : window_event_rules) {
        if (rule.sdl == sdl_window_event) return rule.reaction;
    }
    return Reaction::Ignore;
}

void handle_notification(const SDL_Event& event) {
    const InstrumentWindow* window = windows.window;
    switch (event.type) {
        case SDL_WINDOWEVENT: {
            if (window == nullptr || event.window.windowID != window->id) return;
            switch (reaction_to(event.window.event)) {
                case Reaction::Moved:
                    queue_event(WindowEvent::Moved, window->id);
                    break;
                case Reaction::Close:
                    queue_event(WindowEvent::CloseRequested, window->id);
                    break;
                case Reaction::Repaint:
                    surface_repaint();
                    break;
                case Reaction::Ignore:
                    break;
            }
            break;
        }
        case SDL_QUIT:
            // The session or a signal asks the program to end: a close like any other, so that
            // the position is saved.
            if (window != nullptr) queue_event(WindowEvent::CloseRequested, window->id);
            break;
        case SDL_RENDER_TARGETS_RESET:
        case SDL_RENDER_DEVICE_RESET:
            surface_handle_render_event(event.type);
            break;
        default:
            break;
    }
}

// Let the window settle after opening: moves reported while it was being created and placed are
// not the user's and produce no event.
void discard_creation_notifications() {
    const Uint32 start = SDL_GetTicks();
    while (SDL_GetTicks() - start < 30) {
        SDL_PumpEvents();
        SDL_Delay(5);
    }
    SDL_FlushEvent(SDL_WINDOWEVENT);
    clear_queue();
}

std::array<DecodedImage, 3> decode_icons() {
    std::array<DecodedImage, 3> icons{};
    const std::array<std::span<const uint8_t>, 3> sources{assets::icon_48, assets::icon_32,
                                                          assets::icon_16};
    for (size_t i = 0; i < sources.size(); ++i) {
        if (auto decoded = decode_png(sources[i])) icons[i] = std::move(*decoded);
    }
    return icons;
}

InstrumentWindow* open_window(int32_t x, int32_t y, int32_t width, int32_t height,
                              const char* title, bool shown) {
    WindowSystem& ws = windows;
    if (!ws.initialised || ws.window != nullptr || width <= 0 || height <= 0) return nullptr;
    const bool system_places = x == window_position_default || y == window_position_default;
    // The first position is only a guess: the outer frame is placed once the window is framed.
    const int first_x = system_places ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : x;
    const int first_y = system_places ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : y;
    const char* text = title != nullptr ? title : "";
    SDL_Window* sdl = SDL_CreateWindow(text, first_x, first_y, width, height,
                                       SDL_WINDOW_HIDDEN | platform_window_flags());
    // Without accelerated graphics the window still opens, so that the surface's failure can be
    // told to the user over it.
    if (sdl == nullptr) {
        sdl = SDL_CreateWindow(text, first_x, first_y, width, height, SDL_WINDOW_HIDDEN);
    }
    if (sdl == nullptr) return nullptr;
    int client_width = 0;
    int client_height = 0;
    SDL_GetWindowSize(sdl, &client_width, &client_height);
    if (client_width != width || client_height != height) {
        SDL_DestroyWindow(sdl);
        return nullptr;
    }

    auto* window = new InstrumentWindow{sdl, SDL_GetWindowID(sdl), std::nullopt};
    ws.window = window;
    platform_prepare_window(sdl, system_places);
    const std::array<DecodedImage, 3> icons = decode_icons();
    platform_set_icons(sdl, icons);
    if (ws.arrow != nullptr) SDL_SetCursor(ws.arrow);

    if (shown) {
        SDL_ShowWindow(sdl);
        SDL_RaiseWindow(sdl);
        if (!system_places) platform_place_frame(sdl, x, y);
        discard_creation_notifications();
    }
    return window;
}

}  // namespace

void set_sdl_window_icon(SDL_Window* window, const DecodedImage& icon) {
    // SDL only reads the pixels while it converts them.
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(
        const_cast<uint8_t*>(icon.bgra.data()), icon.width, icon.height, 32, icon.width * 4,
        SDL_PIXELFORMAT_ARGB8888);
    if (surface == nullptr) return;
    SDL_SetWindowIcon(window, surface);
    SDL_FreeSurface(surface);
}

bool init_window_system() {
    WindowSystem& ws = windows;
    if (ws.initialised) return true;
        // Window positions are part of the product, and only X11 lets a client place its window:
        // prefer it wherever both it and Wayland exist.
#if !defined(_WIN32)
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "x11", SDL_HINT_OVERRIDE);
#endif
    // A cockpit instrument must not keep the screen saver away, and closing the window is a
    // request the frame loop answers, not an end of the program by itself.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
#if defined(_WIN32)
    // SDL's window class takes icon resource 1 as well, for whatever size the system asks it.
    SDL_SetHint(SDL_HINT_WINDOWS_INTRESOURCE_ICON, "1");
    SDL_SetHint(SDL_HINT_WINDOWS_INTRESOURCE_ICON_SMALL, "1");
#endif
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
#if !defined(_WIN32)
        // No X server: take whatever video driver there is.
        SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "", SDL_HINT_OVERRIDE);
        if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) return false;
#else
        return false;
#endif
    }
    ws.arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
    clear_queue();
    ws.initialised = true;
    return true;
}

void shutdown_window_system() {
    WindowSystem& ws = windows;
    if (!ws.initialised) return;
    if (ws.window != nullptr) close_instrument_window(ws.window);
    if (ws.arrow != nullptr) SDL_FreeCursor(ws.arrow);
    ws.arrow = nullptr;
    SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
    SDL_Quit();
    clear_queue();
    ws.initialised = false;
}

InstrumentWindow* open_instrument_window(int32_t x, int32_t y, int32_t width, int32_t height,
                                         const char* title) {
    return open_window(x, y, width, height, title, true);
}

InstrumentWindow* open_hidden_window(int32_t width, int32_t height) {
    return open_window(0, 0, width, height, "", false);
}

void set_window_colour(InstrumentWindow* window, std::optional<uint32_t> colour) {
    if (window == nullptr || window->colour == colour) return;
    window->colour = colour;
    platform_set_background(window->sdl, colour);
}

void* native_window_handle(InstrumentWindow* window) {
    return window != nullptr ? window->sdl : nullptr;
}

void set_window_topmost(InstrumentWindow* window, bool on) {
    if (window == nullptr) return;
    SDL_SetWindowAlwaysOnTop(window->sdl, on ? SDL_TRUE : SDL_FALSE);
    SDL_RaiseWindow(window->sdl);
}

WindowEvent poll_window_event() {
    QueuedEvent queued;
    if (pop_event(&queued)) return queued.code;
    if (!windows.initialised) return WindowEvent::None;
    // Every notification pending now is handled, so that a burst of moves collapses into one
    // event by the queue's duplicate rule; the call still returns at most one event.
    SDL_Event event;
    for (int handled = 0; handled < notifications_per_poll && SDL_PollEvent(&event) == 1;
         ++handled) {
        handle_notification(event);
    }
    return pop_event(&queued) ? queued.code : WindowEvent::None;
}

int32_t window_frame_left(InstrumentWindow* window) {
    int32_t x = 0;
    int32_t y = 0;
    if (window == nullptr || !platform_frame_position(window->sdl, &x, &y)) return 0;
    return x;
}

int32_t window_frame_top(InstrumentWindow* window) {
    int32_t x = 0;
    int32_t y = 0;
    if (window == nullptr || !platform_frame_position(window->sdl, &x, &y)) return 0;
    return y;
}

void show_message_box(const char* caption, const char* text) {
    SDL_Window* owner = windows.window != nullptr ? windows.window->sdl : nullptr;
    // The box must not be hidden behind an always-on-top owner; the owner goes back on top after.
    const bool owner_on_top =
        owner != nullptr && (SDL_GetWindowFlags(owner) & SDL_WINDOW_ALWAYS_ON_TOP) != 0;
    if (owner_on_top) SDL_SetWindowAlwaysOnTop(owner, SDL_FALSE);
    platform_show_message_box(owner, caption != nullptr ? caption : "",
                              text != nullptr ? text : "");
    if (owner_on_top) SDL_SetWindowAlwaysOnTop(owner, SDL_TRUE);
}

void close_instrument_window(InstrumentWindow* window) {
    if (window == nullptr) return;
    if (windows.window == window) {
        windows.window = nullptr;
        clear_queue();
    }
    surface_detach_window(window->sdl);  // SDL takes the window's renderer with it
    SDL_DestroyWindow(window->sdl);
    delete window;
}

}  // namespace korvalis
