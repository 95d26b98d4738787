#!/bin/sh
# Installs what is missing on Debian, with apt-get: as root directly,
# otherwise through sudo for the apt-get step alone. When sudo cannot be
# used (not installed, not allowed, or a password is needed without a
# terminal) it prints the exact line to run instead and exits 77.
#
# Usage: tools/setup.sh [PACKAGE...]
#          the build and test tools, and the packages named
#        tools/setup.sh --desktop pulseaudio|pipewire [--check | --swap]
#          a sound server with its tools, its ALSA plugin, and aplay, for
#          tools/desktop_test.py. --check installs nothing: it prints
#          "missing PACKAGE..." and exits 1 when something is missing.
#          PipeWire's ALSA plugin and PulseAudio exclude each other, so
#          installing one server may remove the other: only --swap lets
#          apt-get remove a package, otherwise it says what would go and
#          exits 77. Installing a server makes it the one the machine's
#          `default` ALSA device leads to while it runs.
# Exit status: 0 everything is there, 1 apt-get failed, 77 not installed
# (no way to become root, or it would remove a package).
set -eu

check=no
swap=no
desktop=""
if [ "${1:-}" = --desktop ]; then
  case "${2:-}" in
    pulseaudio) desktop="pulseaudio pulseaudio-utils libasound2-plugins alsa-utils" ;;
    pipewire) desktop="pipewire pipewire-bin pipewire-alsa wireplumber dbus-daemon alsa-utils" ;;
    *) desktop="" ;;
  esac
  [ $# -ge 2 ] && shift 2
  for arg in "$@"; do
    case "$arg" in
      --check) check=yes ;;
      --swap) swap=yes ;;
      *) desktop="" ;;
    esac
  done
  if [ -z "$desktop" ]; then
    echo "usage: tools/setup.sh --desktop pulseaudio|pipewire [--check | --swap]" >&2
    exit 2
  fi
  set -- $desktop
else
  set -- libasound2-dev cmake g++ libgtest-dev libgmock-dev python3 "$@"
fi

missing=""
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$check" = yes ]; then
  echo "missing$missing"
  exit 1
fi

# Another apt-get or dpkg (an unattended upgrade, a software centre) may
# hold the lock for a while: wait for it rather than fail.
apt="apt-get -q -o DPkg::Lock::Timeout=600"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
  echo "Missing:$missing; installing through sudo."
  # With a terminal sudo may ask for the password; without one it must not.
  if ! command -v sudo >/dev/null 2>&1 ||
    ! if [ -t 0 ]; then sudo -v; else sudo -n true 2>/dev/null; fi; then
    echo "sudo cannot do that here (not allowed, or a password is needed and there is no terminal)."
    echo "Install them as root with:"
    if command -v sudo >/dev/null 2>&1; then
      echo "  sudo apt-get update && sudo apt-get install -y$missing"
    else
      echo "  su -c 'apt-get update && apt-get install -y$missing'"
    fi
    exit 77
  fi
fi

$sudo $apt update
options=""
if [ -n "$desktop" ]; then
  options=--no-install-recommends
  removed="$($apt -s install $options $missing | sed -n 's/^Remv \([^ ]*\).*/\1/p' | tr '\n' ' ')"
  if [ -n "$removed" ] && [ "$swap" = no ]; then
    echo "installing$missing would remove ${removed% }: not without --swap"
    exit 77
  fi
fi
echo "Installing:$missing"
$sudo env DEBIAN_FRONTEND=noninteractive $apt install -y $options $missing
