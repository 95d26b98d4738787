#!/bin/bash
# Cross-builds quemblet and its tests for another Debian architecture and runs
# the whole test suite there under qemu user-mode emulation: s390x is
# big-endian, armhf has 32-bit pointers and longs, arm64 is a plain second
# 64-bit machine. Test binaries run through qemu; test scripts, and the
# python3 a test starts, are this machine's, and a cross-built program they
# start is handed to qemu by the kernel (binfmt_misc). A test that cannot
# run emulated skips and says why.
#
# Usage: tools/cross_test.sh [--install] s390x|armhf|arm64
#   Builds into build-cross-ARCH/ (-O2, no sanitizers) and runs ctest there.
#   Needs Debian's cross compiler, the target's libasound2-dev, libgtest-dev
#   and libgmock-dev (multiarch), qemu-user-static and its binfmt_misc entry.
#   Without --install (or CI=true) it installs nothing: when something is
#   missing it says what in one line and exits 0 as a skip. With either it
#   adds the architecture to dpkg, installs the packages (through sudo when
#   not root) and registers qemu with binfmt_misc. Prints how long
#   installing, building and testing took; exit status is ctest's.
set -u -o pipefail
cd "$(dirname "$0")/.."

install=no
[ "${CI:-}" = true ] && install=yes
arch=""
while [ $# -gt 0 ]; do
  case "$1" in
    --install) install=yes ;;
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) arch="$1" ;;
  esac
  shift
done
case "$arch" in
  s390x) triplet=s390x-linux-gnu qemu_cpu=s390x ;;
  armhf) triplet=arm-linux-gnueabihf qemu_cpu=arm ;;
  arm64) triplet=aarch64-linux-gnu qemu_cpu=aarch64 ;;
  *) echo "usage: tools/cross_test.sh [--install] s390x|armhf|arm64" >&2; exit 2 ;;
esac
build="build-cross-$arch"
binfmt=/proc/sys/fs/binfmt_misc

packages=(cmake python3 qemu-user-static "g++-$triplet" "libstdc++6:$arch"
  "libasound2-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch")

missing_packages() {
  local pkg out=""
  for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || out="$out $pkg"
  done
  echo "${out# }"
}

binfmt_ready() { grep -qx enabled "$binfmt/qemu-$qemu_cpu" 2>/dev/null; }

now() { date +%s.%N; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }'; }

# Runs one command as root: directly, or through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

install_s=0
need="$(missing_packages)"
if [ -n "$need" ] || ! binfmt_ready; then
  what="${need:-}"
  binfmt_ready || what="${what:+$what, }qemu-$qemu_cpu binfmt_misc entry"
  if [ "$install" = no ]; then
    echo "cross_test: SKIPPED $arch: missing $what" \
      "(tools/cross_test.sh --install $arch, or CI=true, installs)"
    exit 0
  fi
  if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
    echo "cross_test: missing $what; as root, run: tools/cross_test.sh --install $arch" >&2
    exit 1
  fi
  start="$(now)"
  echo "== installing for $arch: $what"
  if [ -n "$need" ]; then
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
      as_root dpkg --add-architecture "$arch" || exit 1
    tools/setup.sh "${packages[@]}" || exit 1
  fi
  if ! binfmt_ready; then
    # qemu-user-static's entries are loaded at boot by systemd-binfmt; on a
    # machine without it (a container, a CI runner) they are written here.
    [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt" || exit 1
    [ -e "$binfmt/qemu-$qemu_cpu" ] && as_root sh -c "echo 1 >$binfmt/qemu-$qemu_cpu"
    [ -e "$binfmt/qemu-$qemu_cpu" ] ||
      grep -v '^#' "/usr/lib/binfmt.d/qemu-$qemu_cpu.conf" | as_root tee "$binfmt/register" >/dev/null
    if ! binfmt_ready; then
      echo "cross_test: could not register qemu-$qemu_cpu with binfmt_misc" >&2
      exit 1
    fi
  fi
  install_s="$(seconds_since "$start")"
fi

echo "== build for $arch ($triplet, run by qemu-$qemu_cpu-static)"
start="$(now)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/cross/$arch.cmake" \
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
