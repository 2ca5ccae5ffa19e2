#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks what it holds and declares.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
fail=0
for path in ./usr/bin/korvalis-asi ./usr/bin/korvalis-sim \
            ./usr/share/applications/korvalis-asi.desktop \
            ./usr/share/icons/hicolor/48x48/apps/korvalis-asi.png \
            ./usr/share/icons/hicolor/16x16/apps/korvalis-asi.png \
            ./usr/share/doc/korvalis-asi/README.md; do
  grep -q " $path\$" <<<"$contents" || { echo "missing from the package: $path"; fail=1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsdl2 libpng16 libstdc++6 libc6; do
  grep -q "$library" <<<"$depends" || { echo "Depends lacks $library: $depends"; fail=1; }
done
[ "$(dpkg-deb -f "$deb" Version)" = "1.006" ] || { echo "wrong version"; fail=1; }
[ "$(dpkg-deb -f "$deb" Package)" = "korvalis-asi" ] || { echo "wrong package name"; fail=1; }
# The desktop entry must be valid where the validator exists.
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$(dirname "$0")/../../packaging/korvalis-asi.desktop" || fail=1
fi
[ $fail -eq 0 ] && echo "package contents and dependencies as expected"
exit $fail
