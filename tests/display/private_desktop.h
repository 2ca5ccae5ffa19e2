// A desktop of the test's own: an Xvfb server on a free display, optionally with the openbox
// window manager, so that window tests see real frames, moves and close requests without
// disturbing (or being disturbed by) other tests on the shared display. The test talks to the
// server through its own Xlib connection and drives input with xdotool.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace korvalis::testing {

class PrivateDesktop {
public:
    PrivateDesktop() = default;
    ~PrivateDesktop();
    PrivateDesktop(const PrivateDesktop&) = delete;
    PrivateDesktop& operator=(const PrivateDesktop&) = delete;

    // Starts the server (and the window manager) and points DISPLAY at it for this process.
    // Without `opengl` the server offers no GLX: no accelerated drawing is possible on it.
    bool start(bool window_manager, std::string* why, bool opengl = true);
    void stop();
    Display* x() const { return display_; }
    const std::string& name() const { return name_; }

    // Runs a program on this desktop (xdotool) and waits for it, 20 s at most; its exit code.
    int run(const std::vector<std::string>& arguments) const;
    pid_t spawn(const std::vector<std::string>& arguments) const;  // without waiting
    // Ends a spawned program with everything it started; its exit status, -1 when killed.
    static int end(pid_t* pid);

private:
    pid_t server_ = -1;
    pid_t window_manager_ = -1;
    Display* display_ = nullptr;
    std::string name_;
};

// ---------------------------------------------------------------------------------------------
// Looking at windows from outside
// ---------------------------------------------------------------------------------------------
Window find_window(Display* x, const std::string& title);         // by WM_NAME, 0 when none
bool client_position(Display* x, Window w, int* left, int* top);  // client area on the screen
bool frame_extents(Display* x, Window w, long extents[4]);        // left, right, top, bottom
bool viewable(Display* x, Window w);
std::vector<unsigned long> cardinal_property(Display* x, Window w, const char* name, Atom type);
// The screen's pixel at (x, y) as red, green, blue.
bool screen_pixel(Display* x, int left, int top, int* red, int* green, int* blue);
bool wait_for(const std::function<bool()>& condition, int milliseconds);

}  // namespace korvalis::testing
