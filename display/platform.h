// Inside the display module only: what crosses between the SDL-based window and surface code and
// the window system underneath. SDL gives windows, events and drawing everywhere, but not the
// instrument's position rule (the outer frame's corner), its frame style, several icon sizes or
// the background erase; each window system implements those here: platform_x11.cpp (X11, with
// a plain-SDL fallback for other Unix video drivers) and platform_win32.cpp.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <optional>
#include <span>

#include "display/display.h"

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Window system (platform_x11.cpp, platform_win32.cpp)
// ---------------------------------------------------------------------------------------------
// Before the window is first shown: frame style (title bar with window menu and close box, no
// minimise or maximise box, no sizing border) and, when system_places, no position of our own.
void platform_prepare_window(SDL_Window* window, bool system_places);
void platform_set_icons(SDL_Window* window, std::span<const DecodedImage> icons);  // largest first
// After the window is shown: waits (briefly, bounded) until the window manager has framed it,
// then moves it so that the outer frame's top-left corner is at (x, y). False if it could not.
bool platform_place_frame(SDL_Window* window, int32_t x, int32_t y);
// The outer frame's top-left corner now, in screen pixels; false when it cannot be told.
bool platform_frame_position(SDL_Window* window, int32_t* x, int32_t* y);
// Background fill for exposed parts of the window (r + g*256 + b*65536); none removes it. Once
// the drawing surface covers the window, platform_stop_erasing keeps the system from painting
// over the last frame before the surface presents it again.
void platform_set_background(SDL_Window* window, std::optional<uint32_t> colour);
void platform_stop_erasing(SDL_Window* window);
// Modal message with one OK button and no icon; text and caption in UTF-8.
void platform_show_message_box(SDL_Window* owner, const char* caption, const char* text);
// Render driver to ask SDL for: the platform's accelerated one.
const char* platform_render_driver();
uint32_t platform_window_flags();  // extra SDL window flags the render driver needs

// ---------------------------------------------------------------------------------------------
// Shared by the window-system layers (window.cpp)
// ---------------------------------------------------------------------------------------------
// SDL's own single icon, where the window system offers no better way: one decoded image.
void set_sdl_window_icon(SDL_Window* window, const DecodedImage& icon);

// ---------------------------------------------------------------------------------------------
// Surface hooks for the window's event handling (surface.cpp)
// ---------------------------------------------------------------------------------------------
void surface_repaint();                           // expose or size change: present the last frame
void surface_handle_render_event(uint32_t type);  // SDL_RENDER_TARGETS_RESET / DEVICE_RESET
void surface_detach_window(SDL_Window* window);   // the window goes: close a surface on it

}  // namespace korvalis
