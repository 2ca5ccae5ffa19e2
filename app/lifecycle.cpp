// The main thread: start-up in a fixed order, the frame loop, shut-down. run_instrument() reads
// as the outline of the program; each step is a call into the subsystem that owns it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "display/display.h"
#include "settings/settings.h"
#include "simlink/simlink.h"

namespace korvalis {

namespace {

constexpr uint32_t window_colour = 18 + 14 * 256 + 13 * 65536;  // red 18, green 14, blue 13
constexpr const char* error_caption = "Erreur";
// UTF-8, which the window layer shows with its accents on every platform.
constexpr const char* error_text = "Impossible d'ouvrir un \u00e9cran dans la fen\u00eatre!";

// Workers may still be inside an exchange with a hung module; ending the process at once is the
// only way to honour the one-second close. They touch nothing that shut-down released.
[[noreturn]] void end_process(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

void shut_down(InstrumentWindow* window) {
    release_sprite_system();
    close_instrument_window(window);
    shutdown_window_system();
}

}  // namespace

void run_instrument() {
    reset_instrument_state();
    FrameLoop loop;
    init_window_system();

    create_link_lock();
    start_connection_worker();  // the link may come up while the window is still opening
    init_sprite_system();
    load_settings();

    const std::string title = std::string(window_title_prefix) + program_version;
    loop.window = open_instrument_window(instrument_state.window_x, instrument_state.window_y,
                                         client_width, client_height, title.c_str());
    // Without a window nothing can be drawn and no close request can ever arrive: end the way
    // a surface failure does, but silently, since no message was ever promised for it.
    if (loop.window == nullptr) {
        shut_down(loop.window);
        end_process(0);
    }
    set_window_colour(loop.window, window_colour);
    if (!open_surface(native_window_handle(loop.window), 0, 0, client_width, client_height)) {
        show_message_box(error_caption, error_text);
        shut_down(loop.window);  // the settings file stays as it was
        end_process(0);
    }
    set_window_topmost(loop.window, true);
    load_instrument_images();
    set_sprite_quality(1);

    while (run_frame_loop_iteration(loop)) {
    }

    save_settings();
    shut_down(loop.window);
    end_process(0);
}

}  // namespace korvalis
