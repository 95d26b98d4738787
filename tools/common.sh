# shellcheck shell=sh
# Sourced by the scripts in tools/ and .ci/suites/: the one place that decides
# whether a script may change this machine, and how it becomes root.
#
# A script changes the machine (installs or removes packages, adds a dpkg
# architecture, registers binfmt_misc entries, writes under /etc) only when
# its own command line says so: --install, and --swap when a package must
# go. It says what it will change first and prints the undo afterwards
# (show_undo). Nothing in the environment counts as consent, and packages
# that were there before are left as they were.

me="$0"
install=no swap=no sudo=unknown undo="" as_root_hint=""
# What building quemblet and its tests needs.
build_packages="libasound2-dev cmake g++ libgtest-dev libgmock-dev python3"

# take_flag ARG: notes --install or --swap (which implies --install).
take_flag() {
  case "${1:-}" in
    --install) install=yes ;;
    --swap) install=yes swap=yes ;;
    *) return 1 ;;
  esac
}

# allowed WHAT...: the consent check. Returns when the command line gave
# --install; otherwise says in one line what would change and exits 77.
allowed() {
  [ "$install" = yes ] && return 0
  echo "$me: would $*; run it with --install to let it (through sudo when not root)" >&2
  exit 77
}

# refuse_sudo: for scripts that build in this tree, as the caller: through
# sudo they would leave root-owned build folders behind.
refuse_sudo() {
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    echo "$me: run it as $SUDO_USER, without sudo: it uses sudo itself for the install step" \
      "alone, and as root it would leave root-owned build folders behind" >&2
    exit 1
  fi
}

# as_root COMMAND...: runs COMMAND as root, through sudo when not root:
# sudo -n first, a password only when sudo wants one and there is a
# terminal. Without a way to become root it says so in one line, with the
# command to run as root instead (as_root_hint, or COMMAND), and exits 77.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
    return
  fi
  if [ "$sudo" = unknown ]; then
    sudo=no
    if ! command -v sudo >/dev/null 2>&1; then
      :
    elif sudo -n true 2>/dev/null; then
      sudo=yes
    elif [ -t 0 ]; then
      echo "$me: sudo asks for the password of $(id -un) (yours) to run as root:" \
        "${as_root_hint:-$*}"
      sudo true && sudo=yes
    fi
  fi
  if [ "$sudo" = no ]; then
    echo "$me: sudo cannot be used here (not installed, not allowed, or it wants a password" \
      "and there is no terminal); as root, run: ${as_root_hint:-$*}" >&2
    exit 77
  fi
  sudo "$@"
}

# note_undo LINE: LINE reverts the change just made (through sudo when not
# root; a LINE starting with # is a comment); show_undo prints them all, the
# latest first, under a heading that is a comment, so that the whole block
# can be pasted into a shell.
note_undo() {
  case "$1" in
    '#'*) ;;
    *) [ "$(id -u)" -eq 0 ] || set -- "sudo $1" ;;
  esac
  undo="$1
$undo"
}

show_undo() {
  [ -z "$undo" ] || printf '# to undo what %s changed, run:\n%s' "$me" "$undo"
}

# at_exit [COMMAND]: when the script ends, however it ends (a failed step,
# Ctrl-C), runs COMMAND and prints the undo again as its last words, keeping
# its exit status.
at_exit() {
  at_exit_command="${1:-:}"
  trap 'status=$?; eval "$at_exit_command"; show_undo; exit $status' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^ii'; }

missing() {
  for pkg; do installed "$pkg" || printf '%s ' "$pkg"; done
}

# installed_list: every installed package and its version, one
# "NAME VERSION" a line, sorted by name; foreign ones with their :ARCH
# (whether or not a foreign architecture was added between two calls).
installed_list() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' |
    sed -n 's/^ii *//p' | sed "s/:\(all\|$(dpkg --print-architecture)\) / /" | LC_ALL=C sort
}

# on_mirror NAME[:ARCH] VERSION: whether apt can download VERSION of NAME.
on_mirror() {
  apt-cache madison "${1%%:*}" | awk -F'|' -v v="$2" '{ gsub(/ /, "", $2) } $2 == v { f = 1 } END { exit !f }'
}

# note_put_back NAME VERSION...: notes the undo for packages that were
# there at VERSION and went or changed: one apt-get install of exactly
# those versions, where the mirror still has them. apt cannot go back to a
# version the mirror no longer has (a point release or a security update
# replaced it): a comment says so, and a package that went is put back at
# the mirror's version.
note_put_back() {
  back=""
  while [ $# -ge 2 ]; do
    if on_mirror "$1" "$2"; then
      back="$back $1=$2"
    elif installed "$1"; then
      note_undo "# $1 was $2 before; Debian's mirror no longer has that version, so apt cannot go back to it"
    else
      back="$back $1"
      note_undo "# $1 was $2 before; Debian's mirror no longer has that version, so the line above puts back the mirror's"
    fi
    shift 2
  done
  [ -z "$back" ] || note_undo "apt-get install -y --allow-downgrades$back"
}

# install_packages PACKAGE...: installs the missing ones in one apt-get step
# after apt-get update, with $apt_options (such as --no-install-recommends),
# and notes the undo: purge what came, put back what went or was upgraded,
# at the version it had.
install_packages() {
  set -- $(missing "$@")
  [ $# -gt 0 ] || return 0
  allowed "install $*"
  echo "== installing $*"
  apt="apt-get -o DPkg::Lock::Timeout=600"  # waits for an unattended upgrade
  as_root_hint="apt-get update && apt-get install -y ${apt_options:+$apt_options }$*"
  as_root $apt -qq update
  gone="$($apt -s install ${apt_options:-} "$@" | sed -n 's/^Remv \([^ ]*\).*/\1/p' | tr '\n' ' ')"
  if [ -n "$gone" ] && [ "$swap" = no ]; then
    echo "$me: installing $* would remove ${gone% }; run it with --swap to let it" >&2
    exit 77
  fi
  [ -z "$gone" ] || echo "== removing ${gone% } (--swap)"
  lists="$(mktemp -d "${TMPDIR:-/tmp}/quemblet-packages.XXXXXX")"
  installed_list >"$lists/before"
  as_root env DEBIAN_FRONTEND=noninteractive $apt -q install -y ${apt_options:-} "$@" || return
  installed_list >"$lists/after"
  # NAME VERSION-BEFORE VERSION-AFTER, "-" where it was or is not installed.
  LC_ALL=C join -a 1 -a 2 -e - -o 0,1.2,2.2 "$lists/before" "$lists/after" |
    awk '$2 != $3' >"$lists/changed"
  # Put back after the purge: what went or changed may be needed at the
  # old version by nothing that stays.
  note_put_back $(awk '$2 != "-" { print $1, $2 }' "$lists/changed")
  added="$(awk '$2 == "-" { printf "%s ", $1 }' "$lists/changed")"
  # apt counts a foreign architecture's libc6 and libgcc-s1 as essential.
  case "$added" in *:*) added="--allow-remove-essential $added" ;; esac
  [ -z "$added" ] || note_undo "apt-get purge -y ${added% }"
  rm -rf "$lists"
  as_root_hint=""
}
