// The display: the instrument window, the sprite surface that draws into it, the decoded images
// and the composition of one frame. Everything here runs on the main thread. Platform types
// (SDL, libpng) stay inside the implementation files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvalis {

// ---------------------------------------------------------------------------------------------
// Instrument window (window.cpp)
// ---------------------------------------------------------------------------------------------
enum class WindowEvent : int32_t {
    None = 0,             // nothing pending
    Moved = 3,            // the window's position changed
    CloseRequested = 16,  // the user asked to close (close box, Alt+F4, window menu, task bar)
    Control = 13100,      // a control reported an action; this window has none
};

struct InstrumentWindow;  // opaque; one per program

bool init_window_system();      // window system and event queue; before any other call here
void shutdown_window_system();  // after the window is closed

// Outer position of -65535 in x or y lets the window system choose.
inline constexpr int32_t window_position_default = -65535;

InstrumentWindow* open_instrument_window(int32_t x, int32_t y, int32_t width, int32_t height,
                                         const char* title);  // none on refusal
void set_window_colour(InstrumentWindow* window,
                       std::optional<uint32_t> colour);      // r+g*256+b*65536
void* native_window_handle(InstrumentWindow* window);        // null for a missing window
void set_window_topmost(InstrumentWindow* window, bool on);  // z-order only
WindowEvent poll_window_event();                             // never blocks; one per call
int32_t window_frame_left(InstrumentWindow* window);         // outer frame, screen pixels
int32_t window_frame_top(InstrumentWindow* window);
void show_message_box(const char* caption, const char* text);         // modal, one OK button
void close_instrument_window(InstrumentWindow* window);               // destroys it at shut-down
InstrumentWindow* open_hidden_window(int32_t width, int32_t height);  // never shown: off-screen
                                                                      // frames for tools, tests

// ---------------------------------------------------------------------------------------------
// Sprite surface (surface.cpp)
// ---------------------------------------------------------------------------------------------
enum class BlendFactor : uint8_t {
    Zero = 1,         // 0
    SrcAlpha = 5,     // source alpha
    InvSrcAlpha = 6,  // 1 - source alpha
    DestColor = 9,    // destination colour, channel by channel
};

struct SpriteImage;      // a decoded image held as a texture of exactly its size
struct RotatableSprite;  // a textured quad with an angle; shares its image's texture

bool init_sprite_system();  // PNG decoder and graphics ready; failure shows at open_surface
bool open_surface(void* native_window, int32_t x, int32_t y, int32_t width, int32_t height);
void clear_surface(uint8_t red, uint8_t green, uint8_t blue);  // every pixel, opaque
bool begin_sprite_batch();                                     // false: draws have no effect
void end_sprite_batch();
bool present_surface();  // shows the back buffer, in step with the vertical retrace
SpriteImage* load_sprite_image(std::span<const uint8_t> png_data);  // none on any failure
RotatableSprite* make_rotatable_sprite(SpriteImage* image);         // none for a missing image
void set_sprite_quality(int32_t quality);                           // 0 nearest, 1 bilinear
void rotate_sprite_to(RotatableSprite* sprite, float degrees);      // absolute, clockwise
void set_blend_factors(BlendFactor source, BlendFactor destination);
void draw_sprite(RotatableSprite* sprite, int32_t x, int32_t y, uint8_t alpha);
void release_sprite_system();  // sprites, images, surface and graphics system

// ---------------------------------------------------------------------------------------------
// Pixels in and out (png_codec.cpp, surface.cpp): the decoder behind load_sprite_image, and what
// tools and tests need to make images and look at frames.
// ---------------------------------------------------------------------------------------------
struct DecodedImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;  // width x height x 4: blue, green, red, straight alpha; top row 1st
};

inline constexpr size_t png_read_limit = 10'000'000;    // bytes the decoder may consume
inline constexpr int32_t png_max_side = 16384;          // wider or taller images are refused,
inline constexpr int64_t png_max_pixels = 4096 * 4096;  // and so are absurd areas

std::optional<DecodedImage> decode_png(std::span<const uint8_t> png_data);  // none on any failure
std::vector<uint8_t> encode_png(const DecodedImage& image);  // 8-bit RGBA PNG; empty on failure
SpriteImage* make_sprite_image(const DecodedImage& image);   // a texture; none on failure
bool read_back_buffer(std::span<uint8_t> bgra);  // the surface's pixels, width x height x 4, opaque

// ---------------------------------------------------------------------------------------------
// The six instrument images (images.cpp); a pair whose image failed to load is absent (null).
// ---------------------------------------------------------------------------------------------
struct InstrumentImages {
    SpriteImage* dial_face_image = nullptr;
    SpriteImage* airspeed_needle_image = nullptr;
    SpriteImage* max_speed_needle_image = nullptr;
    SpriteImage* offline_dot_image = nullptr;
    SpriteImage* light_overlay_image = nullptr;
    SpriteImage* offline_halo_image = nullptr;
    RotatableSprite* dial_face = nullptr;         // 246 x 246
    RotatableSprite* airspeed_needle = nullptr;   // 246 x 246, points up, pivot at centre
    RotatableSprite* max_speed_needle = nullptr;  // 246 x 246, striped blade
    RotatableSprite* offline_dot = nullptr;       // 30 x 30
    RotatableSprite* light_overlay = nullptr;     // 300 x 300
    RotatableSprite* offline_halo = nullptr;      // 30 x 30
};

extern InstrumentImages instrument_images;

void load_instrument_images();  // decodes the embedded images into instrument_images

// ---------------------------------------------------------------------------------------------
// Frame composition (composition.cpp)
// ---------------------------------------------------------------------------------------------
void draw_instrument_frame(bool offline);  // composes and presents one whole frame

}  // namespace korvalis
