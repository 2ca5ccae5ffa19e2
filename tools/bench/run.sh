#!/usr/bin/env bash
# Builds the benchmarks (optimised, no sanitizer) and runs each one. Extra arguments go to every
# benchmark, e.g. tools/bench/run.sh --benchmark_repetitions=5
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKORVALIS_BUILD_TESTS=OFF >/dev/null
targets=$(sed -n 's/^ *add_executable(\([A-Za-z0-9_-]*\).*/\1/p' "$root/tools/bench/CMakeLists.txt")
for target in $targets; do
  cmake --build "$dir" --target "$target" -j2 >/dev/null
  echo "=== $target"
  "$dir/tools/bench/$target" "$@"
done
