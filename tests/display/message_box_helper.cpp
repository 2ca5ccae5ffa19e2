// Opens the instrument window and shows the program's one message over it, as the start-up does
// when the drawing surface cannot be opened; exits 0 once the user has dismissed it.
#include "display/display.h"
#include "tests/display/display_testing.h"

int main() {
    using namespace korvalis;
    if (!init_window_system()) return 1;
    InstrumentWindow* window = open_instrument_window(100, 80, 266, 266, "Korvalis - 1.006");
    if (window == nullptr) return 1;
    korvalis::testing::keep_graphics_driver_loaded();
    set_window_colour(window, 18 + 14 * 256 + 13 * 65536);
    show_message_box("Erreur", "Impossible d'ouvrir un \u00e9cran dans la fen\u00eatre!");
    close_instrument_window(window);
    shutdown_window_system();
    return 0;
}
