// The instrument window on a desktop of the test's own: position rule (the outer frame's corner,
// with and without a window manager), read-back and reopen, moves and the event queue, every way
// of closing, always-on-top, the background colour, the repaint of the last frame after an
// expose, and the message box.
#include "display/display.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/display/display_testing.h"
#include "tests/display/private_desktop.h"

// Xlib's macro would turn WindowEvent::None into nonsense below; X's None is written as 0 here.
#undef None

namespace korvalis::testing {
namespace {

constexpr int32_t side = 266;
constexpr const char* title = "Korvalis - 1.006";

class WindowTest : public ::testing::Test {
protected:
    // Each case chooses whether a window manager frames its windows.
    void open_desktop(bool window_manager, bool opengl = true) {
        std::string why;
        ASSERT_TRUE(desktop.start(window_manager, &why, opengl)) << why;
        ASSERT_TRUE(init_window_system()) << SDL_GetError();
    }
    void TearDown() override {
        if (window != nullptr) {
            release_sprite_system();
            close_instrument_window(window);
        }
        shutdown_window_system();
        desktop.stop();
    }

    void open_at(int32_t x, int32_t y) {
        window = open_instrument_window(x, y, side, side, title);
        ASSERT_NE(window, nullptr) << SDL_GetError();
        keep_graphics_driver_loaded();
        client = find_window(desktop.x(), title);
        ASSERT_NE(client, 0u) << "no window titled " << title;
    }

    // Events arriving within `milliseconds`, polled the way the frame loop does.
    static std::vector<WindowEvent> events_for(int milliseconds) {
        std::vector<WindowEvent> events;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < end) {
            const WindowEvent event = poll_window_event();
            if (event != WindowEvent::None) events.push_back(event);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return events;
    }

    // Events until a close request has come and then `after` milliseconds more (to catch a
    // duplicate), or until `limit` milliseconds have passed without one.
    static std::vector<WindowEvent> events_until_close_and(int after, int limit) {
        std::vector<WindowEvent> events;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        bool closed = false;
        while (std::chrono::steady_clock::now() < end) {
            const WindowEvent event = poll_window_event();
            if (event != WindowEvent::None) events.push_back(event);
            if (event == WindowEvent::CloseRequested && !closed) {
                closed = true;
                end = std::chrono::steady_clock::now() + std::chrono::milliseconds(after);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return events;
    }

    static int count(const std::vector<WindowEvent>& events, WindowEvent which) {
        return static_cast<int>(std::count(events.begin(), events.end(), which));
    }

    // Where the outer frame really is, seen from outside.
    bool outer_frame(int* left, int* top) const {
        int x = 0;
        int y = 0;
        if (!client_position(desktop.x(), client, &x, &y)) return false;
        long extents[4] = {0, 0, 0, 0};
        frame_extents(desktop.x(), client, extents);
        *left = x - static_cast<int>(extents[0]);
        *top = y - static_cast<int>(extents[2]);
        return true;
    }

    void push_window_event(SDL_WindowEventID id) const {
        SDL_Event event{};
        event.type = SDL_WINDOWEVENT;
        event.window.event = static_cast<Uint8>(id);
        event.window.windowID =
            SDL_GetWindowID(static_cast<SDL_Window*>(native_window_handle(window)));
        ASSERT_EQ(SDL_PushEvent(&event), 1);
    }

    PrivateDesktop desktop;
    InstrumentWindow* window = nullptr;
    Window client = 0;
};

// ---------------------------------------------------------------------------------------------
// Without a window manager the client area is the whole window: the position is exact anywhere.
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, BareServerPlacesTheWindowExactlyAnywhere) {
    open_desktop(false);
    struct Case {
        int32_t x, y;
    };
    for (const Case c : {Case{0, 0}, Case{100, 80}, Case{5000, 5000}, Case{-2000, 10}}) {
        open_at(c.x, c.y);
        int left = 0;
        int top = 0;
        ASSERT_TRUE(client_position(desktop.x(), client, &left, &top));
        EXPECT_EQ(left, c.x) << "opened at " << c.x << ", " << c.y;
        EXPECT_EQ(top, c.y) << "opened at " << c.x << ", " << c.y;
        EXPECT_EQ(window_frame_left(window), c.x);
        EXPECT_EQ(window_frame_top(window), c.y);
        close_instrument_window(window);
        window = nullptr;
    }
}

TEST_F(WindowTest, ClientAreaTitleAndFixedSize) {
    open_desktop(true);
    open_at(40, 30);
    XWindowAttributes attributes;
    ASSERT_NE(XGetWindowAttributes(desktop.x(), client, &attributes), 0);
    EXPECT_EQ(attributes.width, side);
    EXPECT_EQ(attributes.height, side);
    XSizeHints hints;
    long supplied = 0;
    ASSERT_NE(XGetWMNormalHints(desktop.x(), client, &hints, &supplied), 0);
    EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize)) << "size is fixed";
    EXPECT_EQ(hints.min_width, side);
    EXPECT_EQ(hints.max_width, side);
    EXPECT_EQ(hints.min_height, side);
    EXPECT_EQ(hints.max_height, side);
    // Frame functions: move and close only (no resize, minimise or maximise).
    const std::vector<unsigned long> motif = cardinal_property(
        desktop.x(), client, "_MOTIF_WM_HINTS", XInternAtom(desktop.x(), "_MOTIF_WM_HINTS", False));
    ASSERT_EQ(motif.size(), 5u);
    EXPECT_EQ(motif[1], (1UL << 2) | (1UL << 5));
    // The window manager allows no resize and no maximise.
    const std::vector<unsigned long> actions =
        cardinal_property(desktop.x(), client, "_NET_WM_ALLOWED_ACTIONS", XA_ATOM);
    for (const char* forbidden : {"_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ",
                                  "_NET_WM_ACTION_MAXIMIZE_VERT"}) {
        const Atom atom = XInternAtom(desktop.x(), forbidden, False);
        EXPECT_EQ(std::count(actions.begin(), actions.end(), atom), 0) << forbidden;
    }
    // Three icon sizes for the window manager to choose from.
    const std::vector<unsigned long> icon =
        cardinal_property(desktop.x(), client, "_NET_WM_ICON", XA_CARDINAL);
    std::vector<unsigned long> sizes;
    for (size_t at = 0; at + 1 < icon.size(); at += 2 + icon[at] * icon[at + 1]) {
        sizes.push_back(icon[at]);
        EXPECT_EQ(icon[at], icon[at + 1]) << "square icons";
    }
    EXPECT_EQ(sizes, (std::vector<unsigned long>{48, 32, 16}));
}

// ---------------------------------------------------------------------------------------------
// With a window manager: the outer frame's corner is the position.
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, OuterFrameCornerIsThePosition) {
    open_desktop(true);
    struct Case {
        int32_t x, y;
    };
    for (const Case c : {Case{0, 0}, Case{100, 80}, Case{351, 222}}) {
        open_at(c.x, c.y);
        long extents[4] = {0, 0, 0, 0};
        ASSERT_TRUE(frame_extents(desktop.x(), client, extents));
        EXPECT_GT(extents[2], 0) << "the window manager draws a title bar";
        int left = 0;
        int top = 0;
        ASSERT_TRUE(client_position(desktop.x(), client, &left, &top));
        EXPECT_EQ(left, c.x + extents[0]) << "client area right of the border at " << c.x;
        EXPECT_EQ(top, c.y + extents[2]) << "client area below the title bar at " << c.y;
        EXPECT_EQ(window_frame_left(window), c.x);
        EXPECT_EQ(window_frame_top(window), c.y);
        EXPECT_EQ(count(events_for(300), WindowEvent::Moved), 0)
            << "moves while the window was created and placed are no events";
        close_instrument_window(window);
        window = nullptr;
    }
}

TEST_F(WindowTest, SystemChoosesWhenAskedTo) {
    open_desktop(true);
    open_at(window_position_default, 40);
    int left = 0;
    int top = 0;
    ASSERT_TRUE(outer_frame(&left, &top));
    EXPECT_EQ(window_frame_left(window), left);
    EXPECT_EQ(window_frame_top(window), top);
    EXPECT_NE(left, window_position_default);
    EXPECT_TRUE(viewable(desktop.x(), client));
}

TEST_F(WindowTest, DraggedWindowGivesOneMoveAndReopensOnTheSamePixels) {
    open_desktop(true);
    open_at(100, 80);
    // Drag by the title bar in several steps, at a pace the window manager follows even on a
    // loaded machine; nobody polls meanwhile.
    desktop.run({"xdotool", "windowactivate", "--sync", std::to_string(client)});
    ASSERT_EQ(
        desktop.run(
            {"xdotool", "mousemove", "--sync", "180",       "90",     "sleep",   "0.2", "mousedown",
             "1",       "sleep",     "0.2",    "mousemove", "--sync", "200",     "120", "sleep",
             "0.1",     "mousemove", "--sync", "260",       "170",    "sleep",   "0.1", "mousemove",
             "--sync",  "310",       "200",    "sleep",     "0.2",    "mouseup", "1"}),
        0);
    int left = 0;
    int top = 0;
    ASSERT_TRUE(
        wait_for([&] { return outer_frame(&left, &top) && left == 230 && top == 190; }, 3000))
        << "frame at " << left << ", " << top;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<WindowEvent> events = events_for(300);
    EXPECT_EQ(count(events, WindowEvent::Moved), 1) << "a burst of moves is one event";
    EXPECT_EQ(window_frame_left(window), 230);
    EXPECT_EQ(window_frame_top(window), 190);

    int client_left = 0;
    int client_top = 0;
    ASSERT_TRUE(client_position(desktop.x(), client, &client_left, &client_top));
    const int32_t saved_x = window_frame_left(window);
    const int32_t saved_y = window_frame_top(window);
    close_instrument_window(window);
    window = nullptr;
    open_at(saved_x, saved_y);
    int again_left = 0;
    int again_top = 0;
    ASSERT_TRUE(client_position(desktop.x(), client, &again_left, &again_top));
    EXPECT_EQ(again_left, client_left) << "reopened on the same pixels";
    EXPECT_EQ(again_top, client_top);
}

TEST_F(WindowTest, EveryWayOfClosingAsksAndNeverHides) {
    open_desktop(true);
    open_at(100, 80);
    set_window_topmost(window, true);
    long extents[4] = {0, 0, 0, 0};
    ASSERT_TRUE(frame_extents(desktop.x(), client, extents));
    // The close box: the rightmost button of openbox's title bar.
    const int close_x = 100 + static_cast<int>(extents[0] + side + extents[1]) - 10;
    const int close_y = 80 + static_cast<int>(extents[2]) / 2;
    const Atom close_window = XInternAtom(desktop.x(), "_NET_CLOSE_WINDOW", False);

    struct Way {
        const char* name;
        std::function<void()> act;
    };
    const Way ways[] = {
        {"Alt+F4",
         [&] {
             desktop.run({"xdotool", "key", "alt+F4"});
         }},
        {"close box",
         [&] {
             desktop.run({"xdotool", "mousemove", "--sync", std::to_string(close_x),
                          std::to_string(close_y), "sleep", "0.2", "click", "1"});
         }},
        {"task bar (_NET_CLOSE_WINDOW)",
         [&] {
             XEvent event{};
             event.xclient.type = ClientMessage;
             event.xclient.window = client;
             event.xclient.message_type = close_window;
             event.xclient.format = 32;
             event.xclient.data.l[0] = CurrentTime;
             event.xclient.data.l[1] = 2;  // a pager or task bar
             XSendEvent(desktop.x(), DefaultRootWindow(desktop.x()), False,
                        SubstructureRedirectMask | SubstructureNotifyMask, &event);
             XSync(desktop.x(), False);
         }},
        {"window menu",
         [&] {
             // Openbox opens the window menu on Alt+Space; Close is its last entry.
             desktop.run({"xdotool", "key", "alt+space"});
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             desktop.run({"xdotool", "key", "Up", "Return"});
         }},
    };
    for (const Way& way : ways) {
        desktop.run({"xdotool", "windowactivate", "--sync", std::to_string(client)});
        ASSERT_TRUE(wait_for(
            [&] {
                const std::vector<unsigned long> active = cardinal_property(
                    desktop.x(), DefaultRootWindow(desktop.x()), "_NET_ACTIVE_WINDOW", XA_WINDOW);
                return active.size() == 1 && active[0] == client;
            },
            10000))
            << way.name << ": the window never took the focus";
        // Give the window manager time to take its key grabs on a loaded machine.
        events_for(300);
        way.act();
        std::vector<WindowEvent> events = events_until_close_and(500, 6000);
        EXPECT_EQ(count(events, WindowEvent::CloseRequested), 1) << way.name;
        EXPECT_TRUE(viewable(desktop.x(), client)) << way.name << ": the window stays";
    }
}

TEST_F(WindowTest, QueueIsFirstInFirstOutAndFoldsRepeats) {
    open_desktop(false);
    open_at(10, 10);
    EXPECT_EQ(poll_window_event(), WindowEvent::None);
    push_window_event(SDL_WINDOWEVENT_MOVED);
    push_window_event(SDL_WINDOWEVENT_MOVED);
    push_window_event(SDL_WINDOWEVENT_MOVED);
    push_window_event(SDL_WINDOWEVENT_CLOSE);
    push_window_event(SDL_WINDOWEVENT_MOVED);
    push_window_event(SDL_WINDOWEVENT_CLOSE);
    push_window_event(SDL_WINDOWEVENT_CLOSE);
    const WindowEvent expected[] = {WindowEvent::Moved, WindowEvent::CloseRequested,
                                    WindowEvent::Moved, WindowEvent::CloseRequested,
                                    WindowEvent::None};
    for (const WindowEvent e : expected) {
        EXPECT_EQ(poll_window_event(), e) << "expected " << static_cast<int>(e);
    }
}

TEST_F(WindowTest, PollNeverWaits) {
    open_desktop(false);
    open_at(10, 10);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(poll_window_event(), WindowEvent::None);
    // A generous bound that only a blocking poll would break.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(WindowTest, AlwaysOnTopStaysAboveAnotherActivatedWindow) {
    open_desktop(true);
    open_at(100, 80);
    set_window_topmost(window, true);
    const Atom above = XInternAtom(desktop.x(), "_NET_WM_STATE_ABOVE", False);
    ASSERT_TRUE(wait_for(
        [&] {
            const std::vector<unsigned long> state =
                cardinal_property(desktop.x(), client, "_NET_WM_STATE", XA_ATOM);
            return std::count(state.begin(), state.end(), above) == 1;
        },
        2000));
    // Another window, opened and activated over the same place.
    Display* x = desktop.x();
    const Window other =
        XCreateSimpleWindow(x, DefaultRootWindow(x), 120, 100, 300, 300, 0, 0, 0xFF00FF);
    XStoreName(x, other, "other");
    XMapWindow(x, other);
    XSync(x, False);
    ASSERT_TRUE(wait_for([&] { return viewable(x, other); }, 2000));
    desktop.run({"xdotool", "windowactivate", "--sync", std::to_string(other)});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<unsigned long> stacking =
        cardinal_property(x, DefaultRootWindow(x), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    const auto ours = std::find(stacking.begin(), stacking.end(), client);
    const auto theirs = std::find(stacking.begin(), stacking.end(), other);
    ASSERT_TRUE(ours != stacking.end() && theirs != stacking.end());
    EXPECT_GT(ours, theirs) << "the instrument stays on top (stacking runs bottom to top)";
    XDestroyWindow(x, other);
    XSync(x, False);
}

TEST_F(WindowTest, BackgroundColourFillsTheClientArea) {
    open_desktop(false);
    open_at(50, 60);
    set_window_colour(window, 18 + 14 * 256 + 13 * 65536);
    int red = 0;
    int green = 0;
    int blue = 0;
    ASSERT_TRUE(wait_for(
        [&] {
            return screen_pixel(desktop.x(), 50 + 133, 60 + 133, &red, &green, &blue) &&
                   red == 18 && green == 14 && blue == 13;
        },
        2000))
        << "got " << red << ", " << green << ", " << blue;
    ASSERT_TRUE(screen_pixel(desktop.x(), 50, 60 + 265, &red, &green, &blue));
    EXPECT_EQ((Rgb{red, green, blue}), (Rgb{18, 14, 13})) << "the whole client rectangle";
}

TEST_F(WindowTest, ExposeShowsTheLastFrameAgainAtOnce) {
    open_desktop(false);
    open_at(50, 60);
    set_window_colour(window, 18 + 14 * 256 + 13 * 65536);
    ASSERT_TRUE(init_sprite_system());
    ASSERT_TRUE(open_surface(native_window_handle(window), 0, 0, side, side));
    keep_graphics_driver_loaded();
    clear_surface(30, 160, 90);
    begin_sprite_batch();
    end_sprite_batch();
    present_surface();
    int red = 0;
    int green = 0;
    int blue = 0;
    ASSERT_TRUE(wait_for(
        [&] {
            return screen_pixel(desktop.x(), 50 + 100, 60 + 100, &red, &green, &blue) &&
                   green == 160;
        },
        2000))
        << "the frame is shown";
    events_for(100);

    // Cover part of the window with another one, then uncover it: the server leaves the
    // uncovered part as it was (the cover's colour) until the instrument presents again.
    Display* x = desktop.x();
    XSetWindowAttributes cover_attributes{};
    cover_attributes.override_redirect = True;
    cover_attributes.background_pixel = 0xFF00FF;
    const Window cover =
        XCreateWindow(x, DefaultRootWindow(x), 100, 110, 150, 150, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &cover_attributes);
    XMapWindow(x, cover);
    XSync(x, False);
    ASSERT_TRUE(wait_for([&] { return viewable(x, cover); }, 2000));
    XUnmapWindow(x, cover);
    XSync(x, False);
    ASSERT_TRUE(screen_pixel(x, 150, 160, &red, &green, &blue));
    EXPECT_EQ((Rgb{red, green, blue}), (Rgb{255, 0, 255})) << "damage before the repaint";

    poll_window_event();  // handles the expose: the last frame again, with no new frame
    ASSERT_TRUE(wait_for(
        [&] {
            return screen_pixel(x, 150, 160, &red, &green, &blue) && red == 30 && green == 160 &&
                   blue == 90;
        },
        2000))
        << "got " << red << ", " << green << ", " << blue;
    XDestroyWindow(x, cover);
}

TEST_F(WindowTest, WithoutOpenGlTheWindowOpensAndTheSurfaceFails) {
    open_desktop(true, false);
    open_at(100, 80);
    const Window before = client;
    init_sprite_system();
    EXPECT_FALSE(open_surface(native_window_handle(window), 0, 0, side, side));
    // The window was neither destroyed nor made again: the message goes over it.
    EXPECT_EQ(find_window(desktop.x(), title), before);
    EXPECT_TRUE(viewable(desktop.x(), before));
    EXPECT_EQ(window_frame_left(window), 100);
    EXPECT_EQ(window_frame_top(window), 80);
    // Everything else stays harmless without a surface.
    clear_surface(1, 2, 3);
    EXPECT_FALSE(begin_sprite_batch());
    end_sprite_batch();
    EXPECT_FALSE(present_surface());
    draw_instrument_frame(true);
}

TEST_F(WindowTest, MessageBoxWaitsForOk) {
    open_desktop(true);
    const pid_t helper = desktop.spawn({KORVALIS_MESSAGE_BOX_HELPER});
    ASSERT_GT(helper, 0);
    // However the test ends, the helper and the dialog process it forked end with it.
    struct EndGroup {
        pid_t pid;
        ~EndGroup() { PrivateDesktop::end(&pid); }
    } end_group{helper};
    Window box = 0;
    ASSERT_TRUE(wait_for([&] { return (box = find_window(desktop.x(), "Erreur")) != 0; }, 10000))
        << "no dialog titled Erreur";
    ASSERT_TRUE(wait_for([&] { return viewable(desktop.x(), box); }, 5000));
    // Modal to the instrument window, which owns it.
    Window owner = 0;
    EXPECT_NE(XGetTransientForHint(desktop.x(), box, &owner), 0);
    EXPECT_EQ(owner, find_window(desktop.x(), title));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(helper, &status, WNOHANG), 0) << "the box waits for the user";

    desktop.run({"xdotool", "windowactivate", "--sync", std::to_string(box)});
    desktop.run({"xdotool", "key", "Return"});
    const bool ended = wait_for([&] { return waitpid(helper, &status, WNOHANG) == helper; }, 10000);
    ASSERT_TRUE(ended) << "OK dismisses the box";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace korvalis::testing
