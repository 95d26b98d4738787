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

# note_undo LINE: LINE reverts the change just made; show_undo prints them
# all, the latest first.
note_undo() {
  [ "$(id -u)" -eq 0 ] || set -- "sudo $1"
  undo="$1
$undo"
}

show_undo() {
  [ -z "$undo" ] || printf '== to undo what %s changed, run:\n%s' "$me" "$undo" | sed '2,$s/^/undo: /'
}

installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^ii'; }

missing() {
  for pkg; do installed "$pkg" || printf '%s ' "$pkg"; done
}

# installed_list: every installed package, foreign ones with their :ARCH
# (whether or not a foreign architecture was added between two calls).
installed_list() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' |
    sed -n 's/^ii *//p' | sed "s/:\(all\|$(dpkg --print-architecture)\)\$//" | sort
}

# install_packages PACKAGE...: installs the missing ones in one apt-get step
# after apt-get update, with $apt_options (such as --no-install-recommends),
# and notes the undo: purge what came, reinstall what went.
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
  gone="$(comm -23 "$lists/before" "$lists/after" | tr '\n' ' ')"
  [ -z "$gone" ] || note_undo "apt-get install -y ${gone% }"
  added="$(comm -13 "$lists/before" "$lists/after" | tr '\n' ' ')"
  # apt counts a foreign architecture's libc6 and libgcc-s1 as essential.
  case "$added" in *:*) added="--allow-remove-essential $added" ;; esac
  note_undo "apt-get purge -y $added"
  rm -rf "$lists"
  as_root_hint=""
}
