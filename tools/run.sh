#!/bin/sh
# Sets up, builds and runs quemblet with the given arguments.
# Usage: tools/run.sh 440 2        (no arguments: the interactive menu)
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quemblet >/dev/null
exec build/quemblet "$@"
