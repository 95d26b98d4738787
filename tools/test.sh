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

# suite DIR: runs the tests of the build in DIR, shown as they go and kept
# in DIR/ctest.out; returns ctest's status.
suite() {
  {
    status=0
    (cd "$1" && ctest -j"$jobs" --output-on-failure) 2>&1 || status=$?
    echo "$status" >"$1/ctest.status"
  } | tee "$1/ctest.out"
  return "$(cat "$1/ctest.status")"
}

# skipped DIR: one line naming the tests that skipped in DIR's last run,
# each with the last line it printed ("valgrind not found: skipping ...").
skipped() {
  names="$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$1/ctest.out")"
  [ -n "$names" ] || return 0
  count=0
  list=""
  # One name a line: test names may hold spaces.
  old_ifs="$IFS"
  IFS='
'
  for name in $names; do
    why="$(sed -n "\%^\"$name\" start time:%,\%^<end of output>%{\%^<end of output>%{x;p;q;};h;}" \
      "$1/Testing/Temporary/LastTest.log" | sed 's/: skipping.*//')"
    count=$((count + 1))
    list="${list:+$list, }$name${why:+ ($why)}"
  done
  IFS="$old_ifs"
  [ "$count" -eq 1 ] && tests=test || tests=tests
  echo "$1: $count $tests skipped: $list"
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
report="$(skipped build; skipped build-asan)"
echo "${report:-none: every test ran}"
