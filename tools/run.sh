#!/bin/sh
# Builds quemblet in this tree (build/) and runs it with the given arguments
# in the caller's working directory. Run it as yourself: it plays in your
# sound session. With --install it first installs what building needs
# (through sudo, tools/common.sh); without, it names what is missing.
# Usage: tools/run.sh [--install] 440 2        (no arguments: the menu)
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/tools/common.sh"
refuse_sudo
while take_flag "${1:-}"; do shift; done
install_packages $build_packages >&2
show_undo >&2
# Having installed, it prints the undo again as its last lines, on standard
# error like the rest of what it says; the program keeps standard output.
[ -z "$undo" ] || { exec 3>&1 1>&2; at_exit; }
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target quemblet >/dev/null
[ -n "$undo" ] || exec "$root/build/quemblet" "$@"
"$root/build/quemblet" "$@" 1>&3 3>&-
