#!/bin/sh
# Installs the packages named (by default what building quemblet and its
# tests needs) when some are missing, in one apt-get step: as root directly,
# otherwise through sudo (tools/common.sh). Without --install it installs
# nothing: it names what is missing in one line and exits 77.
# Usage: tools/setup.sh [--install] [--swap] [--no-install-recommends] [PACKAGE...]
#   --swap lets apt-get remove a package that conflicts with one installed.
# Exit status: 0 all there, 1 apt-get failed, 77 not installed.
set -eu
. "$(dirname "$0")/common.sh"
apt_options=""
while [ $# -gt 0 ] && { take_flag "$1" || [ "$1" = --no-install-recommends ]; }; do
  [ "$1" = --no-install-recommends ] && apt_options="$1"
  shift
done
[ $# -gt 0 ] || set -- $build_packages
install_packages "$@"
show_undo
