#!/bin/sh
# Sets up, builds and runs quemblet with the given arguments. Run it as
# yourself: it builds in this tree and plays in your sound session, and
# asks for sudo only when a package is missing (tools/setup.sh).
# Usage: tools/run.sh 440 2        (no arguments: the interactive menu)
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  echo "tools/run.sh: run it as $SUDO_USER, without sudo (it asks for sudo itself to install" \
    "a package): as root it would leave a root-owned build/ that breaks your next run," \
    "and root has no sound session." >&2
  exit 1
fi
tools/setup.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quemblet >/dev/null
exec build/quemblet "$@"
