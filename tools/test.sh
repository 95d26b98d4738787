#!/bin/sh
# Sets up, builds and runs every test: the normal build, then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a
# short fuzzing pass over the menu.
# Usage: tools/test.sh     (FUZZ_SECONDS=0 skips the fuzzing pass)
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
jobs="$(nproc)"

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest -j"$jobs" --output-on-failure)

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUEMBLET_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest -j"$jobs" --output-on-failure)

if [ "${FUZZ_SECONDS:-60}" -gt 0 ]; then
  tools/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
