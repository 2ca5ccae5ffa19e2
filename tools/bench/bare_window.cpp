// The floor for the instrument's whole-process cost: a bare SDL window of the same size, with the
// same accelerated renderer and retrace wait, that clears and presents at the instrument's pace
// (FRAMES presents, then a 10 ms sleep, per iteration) and does nothing else: no images, no
// link, no worker threads. scripts/bench measures its CPU time and peak memory beside the
// instrument's.
//
// usage: bare_window [FRAMES_PER_ITERATION] [SECONDS]   (2 and 40 by default)
#include <SDL.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 2;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 40;
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "bare_window: %s\n", SDL_GetError());
        return 1;
    }
    SDL_Window* window = SDL_CreateWindow("bare window", 0, 0, 266, 266, SDL_WINDOW_OPENGL);
    SDL_Renderer* renderer =
        window != nullptr
            ? SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC)
            : nullptr;
    if (renderer == nullptr) {
        std::fprintf(stderr, "bare_window: %s\n", SDL_GetError());
        return 1;
    }
    const Uint64 start = SDL_GetTicks64();
    const Uint64 end = start + static_cast<Uint64>(seconds) * 1000;
    long presents = 0;
    bool running = true;
    while (running && SDL_GetTicks64() < end) {
        for (int i = 0; i < frames; ++i) {
            SDL_SetRenderDrawColor(renderer, 15, 15, 15, 255);
            SDL_RenderClear(renderer);
            SDL_RenderPresent(renderer);
            ++presents;
        }
        SDL_Event event;
        if (SDL_PollEvent(&event) != 0 && event.type == SDL_QUIT) running = false;
        timespec pause{0, 10'000'000};  // the frame loop's 10 ms
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    std::printf(
        "bare_window: %.1f presents per second\n",
        static_cast<double>(presents) * 1000.0 / static_cast<double>(SDL_GetTicks64() - start));
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
