#!/bin/sh
# Checks the format (clang-format) and runs clang-tidy (.clang-tidy) over the
# program, its tests and the test device.
# Usage: tools/lint.sh [--install] [--fix]    (--fix reformats in place first)
set -eu
cd "$(dirname "$0")/.."
. tools/common.sh
while take_flag "${1:-}"; do shift; done
install_packages $build_packages clang-format clang-tidy
show_undo
at_exit
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
