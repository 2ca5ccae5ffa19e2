# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads model, so that
# std::thread and std::mutex work), against the SDL2 and libpng prefix that scripts/windows-deps
# builds, and run under Wine (tests/windows/wine-run) by ctest.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The prefix defaults to build/windows-prefix of this tree; KORVALIS_WINDOWS_PREFIX (a cache
# variable or an environment variable) names another one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(korvalis_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${korvalis_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${korvalis_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${korvalis_mingw}-windres)

if(NOT KORVALIS_WINDOWS_PREFIX)
  if(DEFINED ENV{KORVALIS_WINDOWS_PREFIX})
    set(KORVALIS_WINDOWS_PREFIX $ENV{KORVALIS_WINDOWS_PREFIX})
  else()
    get_filename_component(KORVALIS_WINDOWS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build/windows-prefix"
                           ABSOLUTE)
  endif()
endif()
# try_compile projects read this file again: hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVALIS_WINDOWS_PREFIX)

# Headers, libraries and package files come from the MinGW sysroot and our prefix only, never
# from the host; programs (the compiler, windres, pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${korvalis_mingw} ${KORVALIS_WINDOWS_PREFIX})
set(CMAKE_PREFIX_PATH ${KORVALIS_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A self-contained program: libgcc, libstdc++, winpthread and zlib linked in, so that nothing
# but the system's own DLLs is needed beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

# ctest runs the test programs under Wine, in a Wine prefix inside the build directory.
get_filename_component(korvalis_wine_run "${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run"
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${korvalis_wine_run})
