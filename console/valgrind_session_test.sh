#!/bin/sh
# One menu session that plays, exports and exits must run clean under
# valgrind memcheck: no invalid access, nothing left allocated.
# Usage: valgrind_session_test.sh path/to/quemblet
set -eu
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind not found: skipping the memory check"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf 's null\nl 0.2\na\nG5\nz 1000\np\nexp %s/tone.wav\nh\nx\n' "$work" |
  valgrind --quiet --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=99 "$1" >"$work/out"
test "$(wc -c <"$work/tone.wav")" -eq 26504  # 44 + 0.2 s x 44100 x 3
echo "memcheck clean"
