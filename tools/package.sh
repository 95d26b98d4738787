#!/bin/sh
# Builds the Debian package the way Debian builds its own (dpkg-buildpackage,
# tests included unless DEB_BUILD_OPTIONS=nocheck) in a temporary copy of the
# tree, so the work tree stays as it is; then runs lintian on the source and
# binary packages and, in CI (CI=true) as root, the package's own test
# (debian/tests) with autopkgtest, which installs the package into this
# system and so only there; it is removed again afterwards unless it was
# installed before. Prints the path of the .deb as the last line.
# Usage: tools/package.sh [output directory]   (default: a new one under /tmp)
set -eu
cd "$(dirname "$0")/.."
root="$(pwd)"
tools/setup.sh debhelper dpkg-dev lintian groff-base valgrind-if-available

version="$(dpkg-parsechangelog -S Version)"
cmake_version="$(sed -n 's/^project(quemblet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
if [ "$version" != "$cmake_version" ]; then
  echo "debian/changelog says $version but CMakeLists.txt says $cmake_version" >&2
  exit 1
fi

out="${1:-$(mktemp -d "${TMPDIR:-/tmp}/quemblet-deb.XXXXXX")}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/quemblet-build.XXXXXX")"
trap 'rm -rf "$work"' EXIT
src="$work/quemblet-$version"

# The copy leaves out version control and every build directory (build*/,
# as .gitignore has it), the same files debian/source/options keeps out of
# the source package.
mkdir "$src"
tar -C "$root" --exclude-vcs --exclude='./build*' --exclude=./fuzz-corpus-work -cf - . |
  tar -C "$src" -xf -

echo "== source package"
(cd "$work" && dpkg-source -b "quemblet-$version")
echo "== binary package (dpkg-buildpackage -us -uc -b)"
(cd "$src" && dpkg-buildpackage -us -uc -b -J"$(nproc)")

echo "== lintian"
(cd "$work" && lintian --fail-on error "quemblet_$version.dsc" \
  quemblet_"$version"_*.changes)

rm -rf "$src"
deb="$(basename "$(ls "$work"/quemblet_"$version"_*.deb)")"
dsc="quemblet_$version.dsc"
echo "== the package's own test (debian/tests)"
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
  tools/setup.sh autopkgtest
  installed_before=no
  dpkg-query -W -f='${Status}' quemblet 2>/dev/null | grep -q "ok installed" &&
    installed_before=yes
  # The null runner tests on this machine: it installs the .deb with apt-get
  # and runs debian/tests from the source package as they are.
  status=0
  (cd "$work" && autopkgtest "./$dsc" "./$deb" -- null) || status=$?
  if [ "$installed_before" = no ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quemblet >/dev/null
  fi
  [ "$status" -eq 0 ] || exit "$status"
else
  echo "Not run: autopkgtest installs the package into this system, so only CI (CI=true," \
    "as root) runs it here; by hand, as root: cd $out && autopkgtest ./$dsc ./$deb -- null"
fi

mv "$work"/* "$out"/
# apt-get install reads the .deb as the unprivileged user _apt.
chmod 755 "$out"
ls "$out"/quemblet_"$version"_*.deb
