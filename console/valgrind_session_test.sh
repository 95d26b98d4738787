#!/bin/sh
# One menu session that plays, exports and exits must run clean under
# valgrind memcheck: no invalid access, nothing left allocated. valgrind.supp
# beside this script excuses only what alsa-lib, its plugins and the sound
# servers' client libraries keep reachable until exit (loaded by alsa-lib's
# configuration hooks on desktops with PulseAudio or PipeWire installed).
# Usage: valgrind_session_test.sh path/to/quemblet [emulator]
#   An emulator (qemu, for a program built for another architecture) means
#   a skip: this machine's valgrind runs only this machine's programs.
set -eu
if [ $# -gt 1 ]; then
  echo "quemblet is built for another architecture and runs under $2:" \
    "valgrind cannot run it, skipping the memory check"
  exit 77
fi
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind not found: skipping the memory check"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# 48000 Hz asked of a device of 44100 Hz behind a plug, whose rate converter
# some alsa-lib releases run past the end of its buffers.
printf "s null\nl 0.2\na\nG5\nz 1000\np\nr 48000\ns plug:'qt_only:44100'\np\nexp %s/tone.wav\nh\nx\n" "$work" |
  valgrind --quiet --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --suppressions="$(dirname "$0")/valgrind.supp" --num-callers=50 \
    --error-exitcode=99 "$1" >"$work/out"
test "$(wc -c <"$work/tone.wav")" -eq 26504  # 44 + 0.2 s x 44100 x 3
echo "memcheck clean"
