#!/bin/bash
# Cross-builds quemblet and its tests for another Debian architecture and runs
# the whole test suite there under qemu user-mode emulation: s390x is
# big-endian, armhf has 32-bit pointers and longs, arm64 is a plain second
# 64-bit machine. Test binaries run through qemu; test scripts, and the
# python3 a test starts, are this machine's, and a cross-built program they
# start is handed to qemu by the kernel (binfmt_misc). A test that cannot
# run emulated skips and says why.
#
# Usage: .ci/suites/cross_test.sh [--install] s390x|armhf|arm64
#   Builds into build-cross-ARCH/ (-O2, no sanitizers) and runs ctest there.
#   Needs Debian's cross compiler, the target's libasound2-dev, libgtest-dev
#   and libgmock-dev (multiarch), qemu-user-static and its binfmt_misc entry.
#   Without --install it changes nothing: it names what is missing and exits
#   77. With it, it adds the architecture to dpkg, installs the packages and
#   registers qemu with binfmt_misc (kernel-wide, through sudo when not
#   root), then prints how to undo that. Prints how long installing,
#   building and testing took; exit status is ctest's.
set -u -o pipefail
cd "$(dirname "$0")/../.." || exit 2
. tools/common.sh

arch=""
for arg; do
  case "$arg" in
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) take_flag "$arg" || arch="$arg" ;;
  esac
done
case "$arch" in
  s390x) triplet=s390x-linux-gnu qemu_cpu=s390x ;;
  armhf) triplet=arm-linux-gnueabihf qemu_cpu=arm ;;
  arm64) triplet=aarch64-linux-gnu qemu_cpu=aarch64 ;;
  *) echo "usage: $me [--install] s390x|armhf|arm64" >&2; exit 2 ;;
esac
build="build-cross-$arch"
binfmt=/proc/sys/fs/binfmt_misc
entry="$binfmt/qemu-$qemu_cpu"

packages=(cmake python3 qemu-user-static "g++-$triplet" "libstdc++6:$arch"
  "libasound2-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch")

binfmt_ready() { grep -qx enabled "$entry" 2>/dev/null; }

now() { date +%s.%N; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }'; }

start="$(now)"
need="$(missing "${packages[@]}")"
what=""
dpkg --print-foreign-architectures | grep -qx "$arch" || { add_arch=yes what="add the dpkg architecture $arch"; }
[ -z "$need" ] || what="${what:+$what, }install ${need% }"
binfmt_ready || { register=yes what="${what:+$what, }register qemu-$qemu_cpu with binfmt_misc"; }
if [ -n "$what" ]; then
  allowed "$what"
  if [ -n "${add_arch:-}" ]; then
    echo "== adding the dpkg architecture $arch"
    as_root dpkg --add-architecture "$arch" || exit 1
    note_undo "dpkg --remove-architecture $arch"
  fi
  install_packages "${packages[@]}" || exit 1
  if [ -n "${register:-}" ]; then
    # qemu-user-static's entries are loaded at boot by systemd-binfmt; on a
    # machine without it (a container, a CI runner) they are written here.
    echo "== registering qemu-$qemu_cpu with binfmt_misc"
    if [ ! -e "$binfmt/register" ]; then
      as_root mount -t binfmt_misc binfmt_misc "$binfmt" || exit 1
      note_undo "umount $binfmt"
    fi
    if [ -e "$entry" ]; then
      as_root sh -c "echo 1 >$entry"
      note_undo "sh -c 'echo 0 >$entry'"
    else
      grep -v '^#' "/usr/lib/binfmt.d/qemu-$qemu_cpu.conf" | as_root tee "$binfmt/register" >/dev/null
      note_undo "sh -c 'echo -1 >$entry'"
    fi
    binfmt_ready || { echo "$me: could not register qemu-$qemu_cpu with binfmt_misc" >&2; exit 1; }
  fi
  show_undo
fi
install_s="$(seconds_since "$start")"

echo "== build for $arch ($triplet, run by qemu-$qemu_cpu-static)"
start="$(now)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/.ci/suites/cross/$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-O2 -DCMAKE_CXX_FLAGS_RELEASE=-O2 \
  >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" || exit 1
build_s="$(seconds_since "$start")"

echo "== test on $arch"
start="$(now)"
(cd "$build" && ctest -j2 --output-on-failure --output-junit junit.xml)
status=$?
python3 tools/skipped_tests.py "$build"
test_s="$(seconds_since "$start")"
echo "cross_test $arch: install ${install_s} s, build ${build_s} s, test ${test_s} s"
exit "$status"
