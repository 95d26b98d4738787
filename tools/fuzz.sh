#!/bin/sh
# Builds the menu fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes for a bounded time, starting from the
# committed seeds. Findings are written to build-fuzz/findings/ and fail the
# run. New corpus entries stay in build-fuzz/corpus/ (add good ones to
# fuzz/corpus by hand).
# Inputs are at most 128 bytes, a menu session of some 20 to 40 words: enough
# to combine any few commands, while the time an input takes grows with the
# tones its words play.
# Usage: tools/fuzz.sh [--install] [seconds]      (default 60; e.g. 3600 for an hour)
set -eu
cd "$(dirname "$0")/.."
. tools/common.sh
while take_flag "${1:-}"; do shift; done
seconds="${1:-60}"
root="$(pwd)"
# libclang-rt-dev: the sanitizer and libFuzzer runtimes of the default clang.
install_packages $build_packages clang libclang-rt-dev
show_undo
at_exit
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUEMBLET_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target menu_fuzz
mkdir -p build-fuzz/corpus build-fuzz/findings
echo "== fuzzing the menu for ${seconds} s"
build-fuzz/fuzz/menu_fuzz -max_total_time="$seconds" -max_len=128 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$root/build-fuzz/findings/" \
  "$root/build-fuzz/corpus" "$root/fuzz/corpus" 2>build-fuzz/fuzz.log || {
  tail -40 build-fuzz/fuzz.log
  echo "fuzzing found a failure: see build-fuzz/findings/"
  exit 1
}
grep -E "^Done|number_of_executed_units|peak_rss_mb" build-fuzz/fuzz.log
echo "corpus: $(ls build-fuzz/corpus | wc -l) entries"
