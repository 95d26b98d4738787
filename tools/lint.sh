#!/bin/sh
# Checks the format (clang-format) and runs clang-tidy (.clang-tidy) over the
# program, its tests and the test device.
# Usage: tools/lint.sh          (tools/lint.sh --fix reformats in place first)
set -eu
cd "$(dirname "$0")/.."
sources="$(git ls-files '*.cpp' '*.h' '*.c')"
if [ "${1:-}" = "--fix" ]; then
  clang-format -i $sources
fi
clang-format --dry-run -Werror $sources
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null  # the tests' generated configuration
# The fuzz target and the benchmarks need other build settings.
git ls-files '*.cpp' | grep -v -e '^fuzz/' -e '^bench/' |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build --quiet 2>/dev/null
echo "lint clean"
