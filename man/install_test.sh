#!/bin/sh
# Installs the build into a scratch prefix and checks the tree: the program
# runs from it, and the manual page renders without a single warning.
# Usage: install_test.sh build-directory
set -eu
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/quemblet"
test -f "$prefix/share/man/man1/quemblet.1"
"$prefix/bin/quemblet" --version | grep -q "^quemblet [0-9]"
if ! command -v groff >/dev/null 2>&1; then
  echo "groff not found: skipping the manual page check"
  exit 77
fi
warnings="$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/quemblet.1" 2>&1)"
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
echo "install tree and manual page fine"
