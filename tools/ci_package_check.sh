#!/bin/sh
# Builds the Debian package (in CI tools/package.sh also runs the package's
# own test, debian/tests, installed), and in CI (CI=true) only, installs it
# into this system with apt-get, checks that the program and its manual page
# answer from the installed files, and removes it again.
# Usage: tools/ci_package_check.sh
set -eu
cd "$(dirname "$0")/.."
out="$(mktemp -d "${TMPDIR:-/tmp}/quemblet-deb.XXXXXX")"
trap 'rm -rf "$out"' EXIT
tools/package.sh "$out"

if [ "${CI:-}" != true ]; then
  echo "Not installing the package: that changes the system, so only CI (CI=true) does it."
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "The install check runs apt-get and must run as root." >&2
  exit 1
fi
version="$(dpkg-parsechangelog -S Version)"

echo "== install check"
cd "$out"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./quemblet_"$version"_*.deb
# Both must be the package's own files, not a copy elsewhere on the PATH or
# MANPATH (such as a cmake --install into /usr/local).
test "$(command -v quemblet)" = /usr/bin/quemblet
dpkg -S /usr/bin/quemblet
quemblet --version | grep "^quemblet $version\$"
test "$(man -w quemblet)" = /usr/share/man/man1/quemblet.1.gz
dpkg -S /usr/share/man/man1/quemblet.1.gz
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quemblet
if dpkg-query -W -f='${Status}\n' quemblet 2>/dev/null | grep -q "ok installed" ||
   [ -e /usr/bin/quemblet ] || [ -e /usr/share/man/man1/quemblet.1.gz ]; then
  echo "quemblet is still installed after apt-get purge" >&2
  exit 1
fi
echo "package installs, answers and removes cleanly"
