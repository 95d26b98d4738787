#!/bin/sh
# Builds and runs every test: the normal build, then the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing
# pass over the menu; the last lines name any test that was skipped, and
# why. Run it as yourself. With --install it first installs everything it
# needs, in one step (through sudo, tools/common.sh); without, it names what
# is missing and stops.
# Usage: tools/test.sh [--install]     (FUZZ_SECONDS=0 skips the fuzzing pass)
set -eu
cd "$(dirname "$0")/.."
. tools/common.sh
refuse_sudo
while take_flag "${1:-}"; do shift; done
fuzz_seconds="${FUZZ_SECONDS:-60}"
# groff-base: the manual page check; valgrind (where it exists): the memory
# check of a menu session; clang with its sanitizer and libFuzzer runtimes:
# the fuzzing pass.
packages="$build_packages groff-base valgrind"
[ "$fuzz_seconds" -le 0 ] || packages="$packages clang libclang-rt-dev"
install_packages $packages
show_undo
at_exit  # and again after the summary
jobs="$(nproc)"

# suite DIR: runs the tests of the build in DIR; its JUnit report says which
# skipped, and why (tools/skipped_tests.py).
suite() {
  (cd "$1" && ctest -j"$jobs" --output-on-failure --output-junit junit.xml)
}

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
suite build

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUEMBLET_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
suite build-asan

[ "$fuzz_seconds" -le 0 ] || tools/fuzz.sh "$fuzz_seconds"

echo "== skipped tests"
report="$(python3 tools/skipped_tests.py build build-asan)"
echo "${report:-none: every test ran}"
