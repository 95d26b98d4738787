#!/bin/sh
# Installs what quemblet needs to build and test on Debian, when missing.
# Usage: tools/setup.sh [extra Debian packages...]
set -eu

missing=""
for pkg in libasound2-dev cmake g++ libgtest-dev libgmock-dev python3 "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "quemblet needs:$missing. Install them as root with:"
  echo "  sudo apt-get update && sudo apt-get install -y$missing"
  exit 1
fi
echo "Installing:$missing"
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
