// Linked into every program of the AddressSanitizer build. Mesa's software renderer compiles
// shaders with LLVM, which registers unwind tables while holding the unwinder's lock; a slow
// (unwinder-based) stack trace taken by malloc at that moment deadlocks the process. Frame
// pointers are kept in this build, so the fast unwinder loses nothing of ours.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=1";
}
