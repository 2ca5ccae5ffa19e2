# Sourced by the scripts: installs the Debian packages the project needs when they are missing.
# Runs apt-get as root, or through sudo otherwise.

korvalis_packages=(
  build-essential dpkg-dev cmake pkg-config git desktop-file-utils
  libsdl2-dev libx11-dev libpng-dev zlib1g-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth x11-utils xdotool wmctrl openbox imagemagick python3
  clang libclang-rt-dev
)

# Optional, for scripts/make-art only: the art generator draws with cairo and DejaVu Sans.
korvalis_art_packages=(libcairo2-dev libfreetype-dev fonts-dejavu-core)

# For scripts/flightgear and the real-simulator test: FlightGear (a large download), the session
# bus it expects, and Mesa's software OpenGL for it under Xvfb.
korvalis_flightgear_packages=(flightgear dbus-daemon libgl1-mesa-dri)

# For scripts/build-windows: the MinGW-w64 cross compiler (posix threads), zlib for Windows, what
# apt-get source needs to unpack SDL2 and libpng, Wine with Mesa for Direct3D under Xvfb, and zip.
korvalis_windows_packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
  dpkg-dev xz-utils wine wine64 libgl1 libgl1-mesa-dri zip
)

korvalis_install_packages() {
  local missing=()
  local package
  for package in "${korvalis_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
