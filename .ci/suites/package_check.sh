#!/bin/sh
# The Debian package as a user gets it: builds it (tools/package.sh), runs
# its own test (debian/tests) with autopkgtest, which installs it into this
# system, installs it with apt-get, checks that the program and its manual
# page answer from the installed files, and purges it again.
# Usage: .ci/suites/package_check.sh [--install]
#   It installs a package, so it runs only as root and with --install;
#   otherwise it says so in one line and exits 77. A quemblet installed
#   before is left as it is: then only the build is checked.
set -eu
cd "$(dirname "$0")/../.."
. tools/common.sh
for arg; do take_flag "$arg" || { echo "usage: $me [--install]" >&2; exit 2; }; done
allowed "install autopkgtest and the quemblet package built here, test it and purge it"
if [ "$(id -u)" -ne 0 ]; then
  echo "$me: autopkgtest and apt-get install the package as root: run it as root" >&2
  exit 77
fi
out="$(mktemp -d "${TMPDIR:-/tmp}/quemblet-deb.XXXXXX")"
trap 'rm -rf "$out"' EXIT
tools/package.sh --install "$out"
if installed quemblet; then
  echo "package_check: SKIPPED the install checks: quemblet" \
    "$(dpkg-query -W -f='${Version}' quemblet) is installed here, and they would replace it"
  exit 0
fi
install_packages autopkgtest
version="$(dpkg-parsechangelog -S Version)"
cd "$out"
# Whatever happens, the package goes again.
trap 'status=$?; ! installed quemblet || DEBIAN_FRONTEND=noninteractive apt-get purge -y -q \
  quemblet >/dev/null; rm -rf "$out"; show_undo; exit $status' EXIT

echo "== the package's own test (debian/tests)"
# The null runner tests on this machine: it installs the .deb with apt-get
# and runs debian/tests from the source package as they are.
autopkgtest "./quemblet_$version.dsc" ./quemblet_"$version"_*.deb -- null

echo "== install check"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./quemblet_"$version"_*.deb
# Both must be the package's own files, not a copy elsewhere on the PATH or
# MANPATH (such as a cmake --install into /usr/local).
test "$(command -v quemblet)" = /usr/bin/quemblet
dpkg -S /usr/bin/quemblet
quemblet --version | grep "^quemblet $version\$"
test "$(man -w quemblet)" = /usr/share/man/man1/quemblet.1.gz
dpkg -S /usr/share/man/man1/quemblet.1.gz
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quemblet
if installed quemblet || [ -e /usr/bin/quemblet ] || [ -e /usr/share/man/man1/quemblet.1.gz ]; then
  echo "quemblet is still installed after apt-get purge" >&2
  exit 1
fi
echo "package installs, answers and removes cleanly"
