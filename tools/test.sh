#!/bin/sh
# Sets up, builds and runs every test: the normal build, then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a
# short fuzzing pass over the menu; the last lines name any test that was
# skipped, and why. Run it as yourself: it asks for sudo only when a
# package is missing (tools/setup.sh). CI runs it as root.
# Usage: tools/test.sh     (FUZZ_SECONDS=0 skips the fuzzing pass)
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  echo "tools/test.sh: run it as $SUDO_USER, without sudo (it asks for sudo itself to install" \
    "a package): as root it would leave root-owned build folders that break your next run." >&2
  exit 1
fi
# groff-base: the manual page check; valgrind (where it exists): the
# memory check of a menu session. Without them those tests skip.
tools/setup.sh groff-base valgrind-if-available
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

if [ "${FUZZ_SECONDS:-60}" -gt 0 ]; then
  tools/fuzz.sh "${FUZZ_SECONDS:-60}"
fi

echo "== skipped tests"
report="$(python3 tools/skipped_tests.py build build-asan)"
echo "${report:-none: every test ran}"
