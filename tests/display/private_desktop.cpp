// The test's own X server and window manager, and the outside views of windows.
#include "tests/display/private_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

extern char** environ;

namespace korvalis::testing {

namespace {

// Every process group started here and not yet ended. Should the test process leave through
// exit() (a failed assertion in a helper, Xlib's fatal I/O error), no destructor runs; the
// groups are ended at exit instead, so that no server or window manager outlives the test and
// holds the runner's output pipe open.
std::mutex live_mutex;
std::set<pid_t>& live_groups() {
    static std::set<pid_t>* groups = new std::set<pid_t>;  // outlives every static destructor
    return *groups;
}

void end_live_groups() {
    std::lock_guard lock(live_mutex);
    for (const pid_t group : live_groups())
        kill(-group, SIGKILL);
    live_groups().clear();
}

void remember_group(pid_t group) {
    static const bool registered = std::atexit(end_live_groups) == 0;
    (void)registered;
    std::lock_guard lock(live_mutex);
    live_groups().insert(group);
}

void forget_group(pid_t group) {
    std::lock_guard lock(live_mutex);
    live_groups().erase(group);
}

// Windows come and go while a test walks the tree (a dialog closing, a frame being made);
// Xlib's default handler would end the whole process on the resulting BadWindow. The calls
// report failure through their return values, which the helpers below check.
int tolerate_x_error(Display*, XErrorEvent*) {
    return 0;
}

// The environment of this process with DISPLAY set to `display`.
std::vector<std::string> environment_with_display(const std::string& display) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) environment.emplace_back(*e);
    }
    environment.push_back("DISPLAY=" + display);
    return environment;
}

pid_t spawn_with(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // Each child leads a process group of its own, so that ending it also ends whatever it
    // started (SDL's message box runs in a forked child): a straggler would hold the test's
    // output pipe open and hang the test runner.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return -1;
    remember_group(pid);
    return pid;
}

// Asks the group to end, then forces it; the leader's exit status, -1 when it was killed or
// had been reaped already.
int end_child(pid_t* pid) {
    if (*pid <= 0) return -1;
    int status = 0;
    bool known = true;
    // A leader reaped already (ECHILD) counts as ended; its group may still hold stragglers.
    auto reaped = [&] {
        const pid_t got = waitpid(*pid, &status, WNOHANG);
        if (got < 0 && errno == ECHILD) known = false;
        return got == *pid || !known;
    };
    bool exited = reaped();
    if (!exited) kill(-*pid, SIGTERM);
    for (int i = 0; i < 200 && !exited; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        exited = reaped();
    }
    kill(-*pid, SIGKILL);  // the leader's stragglers, or the leader itself
    if (!exited) waitpid(*pid, &status, 0);
    forget_group(*pid);
    *pid = -1;
    return known && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool window_manager_announced(Display* x) {
    const std::vector<unsigned long> check =
        cardinal_property(x, DefaultRootWindow(x), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    return !check.empty();
}

// Openbox announces itself before it reads its first events, and a request that arrives while
// it starts up can sit in its queue until some later event wakes it: a window mapped then is
// never framed, and SDL waits for that without end. A probe window, mapped and nudged with
// root property changes until the window manager marks it managed, proves it serves requests.
bool window_manager_serves(Display* x) {
    const Window root = DefaultRootWindow(x);
    const Window probe = XCreateSimpleWindow(x, root, 0, 0, 16, 16, 0, 0, 0);
    const Atom wm_state = XInternAtom(x, "WM_STATE", False);
    const Atom nudge = XInternAtom(x, "KORVALIS_TEST_NUDGE", False);
    XMapWindow(x, probe);
    const bool managed = wait_for(
        [&] {
            const unsigned long tick = 1;
            XChangeProperty(x, root, nudge, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&tick), 1);
            XSync(x, False);
            return !cardinal_property(x, probe, "WM_STATE", wm_state).empty();
        },
        10000);
    XDestroyWindow(x, probe);
    XDeleteProperty(x, root, nudge);
    XSync(x, False);
    return managed;
}

}  // namespace

PrivateDesktop::~PrivateDesktop() {
    stop();
}

bool PrivateDesktop::start(bool window_manager, std::string* why, bool opengl) {
    // Xvfb picks a free display and writes its number on this pipe once it accepts clients.
    int ready[2];
    if (pipe(ready) != 0) {
        *why = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    std::vector<std::string> arguments{"Xvfb",      "-displayfd", std::to_string(ready[1]),
                                       "-screen",   "0",          "1280x1024x24",
                                       "-nolisten", "tcp"};
    if (!opengl) arguments.insert(arguments.end(), {"-extension", "GLX"});
    server_ = spawn_with(arguments, environment_with_display(""), &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    if (server_ <= 0) {
        close(ready[0]);
        *why = "cannot start Xvfb";
        return false;
    }
    std::string number;
    pollfd fd{ready[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&fd, 1, 10000) == 1) {
        char buffer[16];
        const ssize_t got = read(ready[0], buffer, sizeof(buffer));
        if (got <= 0) break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(ready[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        *why = "Xvfb did not start";
        return false;
    }
    name_ = ":" + number.substr(0, number.find('\n'));
    setenv("DISPLAY", name_.c_str(), 1);
    XSetErrorHandler(tolerate_x_error);
    display_ = XOpenDisplay(name_.c_str());
    if (display_ == nullptr) {
        *why = "cannot connect to " + name_;
        return false;
    }
    if (window_manager) {
        window_manager_ = spawn({"openbox"});
        if (window_manager_ <= 0 ||
            !wait_for([&] { return window_manager_announced(display_); }, 10000) ||
            !window_manager_serves(display_)) {
            *why = "openbox did not start";
            return false;
        }
    }
    return true;
}

void PrivateDesktop::stop() {
    end_child(&window_manager_);
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
    end_child(&server_);
}

int PrivateDesktop::end(pid_t* pid) {
    return end_child(pid);
}

pid_t PrivateDesktop::spawn(const std::vector<std::string>& arguments) const {
    return spawn_with(arguments, environment_with_display(name_), nullptr);
}

int PrivateDesktop::run(const std::vector<std::string>& arguments) const {
    // xdotool's --sync waits without end for a window that never gets there.
    std::vector<std::string> bounded{"timeout", "-s", "KILL", "20"};
    bounded.insert(bounded.end(), arguments.begin(), arguments.end());
    const pid_t pid = spawn(bounded);
    if (pid <= 0) return -1;
    int status = 0;
    const bool waited = waitpid(pid, &status, 0) == pid;
    kill(-pid, SIGKILL);  // whatever the command left behind in its group
    forget_group(pid);
    if (!waited || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// ---------------------------------------------------------------------------------------------
std::vector<unsigned long> cardinal_property(Display* x, Window w, const char* name, Atom type) {
    std::vector<unsigned long> values;
    const Atom property = XInternAtom(x, name, True);
    if (property == None) return values;
    Atom actual = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x, w, property, 0, 1 << 20, False, type, &actual, &format, &count,
                           &remaining, &data) == Success &&
        actual == type && format == 32) {
        const auto* longs = reinterpret_cast<const unsigned long*>(data);
        values.assign(longs, longs + count);
    }
    if (data != nullptr) XFree(data);
    return values;
}

namespace {
Window find_in(Display* x, Window w, const std::string& title) {
    // WM_NAME in whatever encoding the owner chose (SDL's dialogs use UTF8_STRING); the titles
    // looked for are ASCII, the same bytes in all of them.
    XTextProperty name{};
    if (XGetWMName(x, w, &name) != 0 && name.value != nullptr) {
        const bool match =
            title == std::string(reinterpret_cast<const char*>(name.value), name.nitems);
        XFree(name.value);
        if (match) return w;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(x, w, &root, &parent, &children, &count) == 0) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i)
        found = find_in(x, children[i], title);
    if (children != nullptr) XFree(children);
    return found;
}
}  // namespace

Window find_window(Display* x, const std::string& title) {
    XSync(x, False);
    return find_in(x, DefaultRootWindow(x), title);
}

bool client_position(Display* x, Window w, int* left, int* top) {
    Window child = 0;
    return XTranslateCoordinates(x, w, DefaultRootWindow(x), 0, 0, left, top, &child) != 0;
}

bool frame_extents(Display* x, Window w, long extents[4]) {
    const std::vector<unsigned long> values =
        cardinal_property(x, w, "_NET_FRAME_EXTENTS", XA_CARDINAL);
    if (values.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i)
        extents[i] = static_cast<long>(values[i]);
    return true;
}

bool viewable(Display* x, Window w) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(x, w, &attributes) != 0 && attributes.map_state == IsViewable;
}

bool screen_pixel(Display* x, int left, int top, int* red, int* green, int* blue) {
    XImage* image = XGetImage(x, DefaultRootWindow(x), left, top, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    const unsigned long value = XGetPixel(image, 0, 0);
    auto channel = [&](unsigned long mask) {
        int shift = 0;
        while (((mask >> shift) & 1UL) == 0)
            ++shift;
        return static_cast<int>((value & mask) >> shift);
    };
    *red = channel(image->red_mask);
    *green = channel(image->green_mask);
    *blue = channel(image->blue_mask);
    XDestroyImage(image);
    return true;
}

bool wait_for(const std::function<bool()>& condition, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace korvalis::testing
