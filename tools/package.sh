#!/bin/sh
# Builds the Debian package the way Debian builds its own (dpkg-buildpackage,
# tests included unless DEB_BUILD_OPTIONS=nocheck) in a temporary copy of the
# tree, so the work tree stays as it is, and runs lintian on the source and
# binary packages. It installs nothing but, with --install, the packaging
# tools. Prints the path of the .deb last (then the undo, when it installed
# something).
# Usage: tools/package.sh [--install] [output directory]   (default: a new one under /tmp)
#   apt-get reads the .deb as the user _apt: choose a directory it can
#   read (not below a home folder of mode 0700).
set -eu
cd "$(dirname "$0")/.."
. tools/common.sh
while take_flag "${1:-}"; do shift; done
root="$(pwd)"
install_packages $build_packages debhelper dpkg-dev lintian groff-base valgrind-if-available
show_undo

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
at_exit 'rm -rf "$work"'
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
mv "$work"/* "$out"/
chmod 755 "$out"  # apt-get install reads the .deb as the user _apt
ls "$out"/quemblet_"$version"_*.deb
