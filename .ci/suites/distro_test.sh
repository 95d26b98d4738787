#!/bin/bash
# Proves the README's path on a fresh Debian release. mmdebstrap builds a
# minimal system in memory (minbase with git and sudo, from the Debian
# mirror this machine's apt uses); in its last hook an ordinary user who may
# use sudo without a password, as on a desktop, clones this repository's
# committed HEAD and runs the README's two commands, which install what they
# need through sudo:
#
#   tools/run.sh --install 440 2 null     (no sound card: null plays nothing)
#   tools/test.sh --install               (FUZZ_SECONDS=10 unless set)
#
# Then, as root, the desktop test plays the built program through the
# release's PulseAudio and PipeWire (--swap: the system is thrown away).
# Prints each step's time, the lines that matter and a failing step's output.
#
# It runs as PID 1 of new PID and mount namespaces (unshare --kill-child),
# on a /tmp and a /dev/shm of their own in memory; mmdebstrap mounts and
# unmounts the system's /proc, /sys and /dev, and removes it. The kernel ends
# whatever is left with the namespaces, also on Ctrl-C or when this is killed
# outright. Nothing of it is written to disk.
#
# Usage: .ci/suites/distro_test.sh [--install] [RELEASE]  (default trixie)
#   Runs only with --install: it needs root, installs mmdebstrap here when
#   it is missing, downloads some 400 MB of Debian packages and takes some
#   2.5 GB of memory, for 5 to 8 minutes on two cores.
#   Otherwise it says so in one line and exits 77.
#   Exit status 1 if a step fails, 2 if it cannot start.
set -u -o pipefail
user=tester  # the ordinary user in the new system
tmp=/tmp/quemblet-distro  # logs, times and results, in the private /tmp
# The scripts' headings, what they install and its undo (the lines after
# a heading "# to undo" too), the tone's settings ("\tName:\tvalue"), the
# summaries of ctest, the fuzzer and the skipped tests.
show='^(tools/|undo:|Need to get|After this operation|E:|==|Quemblet Direct|'$'\t''[A-Za-z]+:'$'\t''|[0-9]+% tests passed|The following tests FAILED|Done [0-9]+ runs|corpus:|fuzzing found|build[-a-z]*: |none: )'
undo_heading='^# to undo' undo_line='^((sudo )?[a-z][-a-z0-9.+_]* |# )'

# stamp LOG SHOW: copies its input into LOG, each line after the seconds
# since the step began, and shows the lines that match the regex SHOW.
stamp() {
  local start=$SECONDS line undo=no
  while IFS= read -r line || [ -n "$line" ]; do
    printf '%4d %s\n' $((SECONDS - start)) "$line" >>"$1"
    [[ $undo = yes && $line =~ $undo_line ]] || undo=no
    [[ $line =~ $undo_heading ]] && undo=yes
    [[ $undo = yes || $line =~ $2 ]] && printf '  %4ds  %s\n' $((SECONDS - start)) "$line"
  done
  return 0
}

# step NAME SHOW COMMAND...: runs COMMAND, shows what matches SHOW with its
# time, and on failure the rest of its output; notes its time and result.
step() {
  local name="$1" show="$2" start=$SECONDS status
  shift 2
  echo "== $name"
  { "$@" </dev/null 2>&1; echo $? >"$tmp/status"; } | stamp "$tmp/$name.log" "$show"
  status="$(cat "$tmp/status" 2>/dev/null)" && rm "$tmp/status"
  echo "${name%% *} $((SECONDS - start)) s" >>"$tmp/times"
  if [ "${status:-1}" = 0 ]; then
    echo "   $name: $((SECONDS - start)) s"
    echo passed >>"$tmp/results"
    return
  fi
  echo "FAIL: $name: exit status ${status:-none (killed)}"
  echo failed >>"$tmp/results"
  [ "$show" = . ] && return 1
  # All but ctest's lines for a test that starts or passes.
  echo "its output:"
  grep -Ev '^ *[0-9]+ +( *Start +[0-9]+: |[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' \
    "$tmp/$name.log" | tail -n 300 | sed 's/^/  | /'
  return 1
}

# as_user COMMAND: a login shell of the ordinary user runs COMMAND in its
# home, as after logging in: its own environment, nothing of this script's.
as_user() { chroot "$root" /usr/sbin/runuser -l "$user" -c "$1"; }

# mmdebstrap's last customize hook, given the new system's folder (its
# environment has bootstrap_start, when mmdebstrap began).
steps() {
  root="$1"
  echo "mmdebstrap $(($(date +%s) - bootstrap_start)) s" >>"$tmp/times"
  echo "   mmdebstrap $release (with the user $user): $(($(date +%s) - bootstrap_start)) s"
  echo passed >>"$tmp/results"
  step "run.sh as $user" "$show" as_user \
    "git clone -q /tmp/quemblet.bundle quemblet && cd quemblet && tools/run.sh --install 440 2 null" &&
    step "test.sh as $user" "$show" \
      as_user "cd quemblet && FUZZ_SECONDS=${FUZZ_SECONDS:-10} tools/test.sh --install" &&
    step "desktop test as root" . chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin \
      HOME=/root LANG=C.UTF-8 PYTHONUNBUFFERED=1 "/home/$user/quemblet/.ci/suites/desktop_test.py" \
      --install --swap "/home/$user/quemblet/build/quemblet"
  local status=$?
  echo "the system took $(df -m --output=used /tmp | tail -n 1 | tr -d ' ') MB of memory"
  date +%s >"$tmp/steps-end"
  return $status
}

# PID 1 of the new namespaces, in this repository. Signals other than
# SIGKILL reach it only through handlers, and it sets none: on Ctrl-C it
# reports once mmdebstrap has stopped.
inside() {
  . tools/common.sh
  undo="$install_undo"
  case "$release" in  # unstable has no updates and no security support
    sid | unstable) sources=("deb $mirror $release main") security="" ;;
    *) sources=("deb $mirror $release main" "deb $mirror $release-updates main"
      ${security:+"deb $security $release-security main"}) ;;
  esac
  # git first: the repository may be below /tmp, hidden once it is mounted.
  mount -t tmpfs -o nosuid,nodev,mode=1777 tmpfs /dev/shm ||
    { echo "$me: could not mount a /dev/shm of its own" >&2; exit 2; }
  echo "== Debian $release from $mirror${security:+ and $security}; clone of $(git rev-parse --short HEAD)"
  git diff --quiet HEAD 2>/dev/null || echo "   (uncommitted changes here are not part of the clone)"
  # HEAD and the branch it is on, which the clone then checks out.
  branch="$(git symbolic-ref -q HEAD)"
  git bundle create /dev/shm/quemblet.bundle HEAD ${branch:+"$branch"} >/dev/null 2>&1 ||
    { echo "$me: git bundle failed" >&2; exit 2; }
  mount -t tmpfs -o mode=1777 tmpfs /tmp && mkdir "$tmp" && mv /dev/shm/quemblet.bundle "$tmp" &&
    : >"$tmp/results" && echo "$install_time" >"$tmp/times" ||
    { echo "$me: could not mount a /tmp of its own" >&2; exit 2; }
  # This machine's apt settings on release dates (a frozen mirror's are old).
  dates="$(apt-config dump --no-empty Acquire::Check-Valid-Until Acquire::Check-Date)"
  echo "== mmdebstrap $release"
  # Its messages go to a log; the hooks write to this script's output (fd 3).
  # apt installs recommended packages, as on an installed system (mmdebstrap
  # leaves them out), and keeps no downloaded ones (they would take memory).
  bootstrap_start="$(date +%s)" mmdebstrap --mode=root --variant=minbase --include=git,sudo ${dates:+--aptopt="$dates"} \
    --customize-hook="chroot \"\$1\" useradd --create-home --shell /bin/bash --groups sudo $user" \
    --customize-hook="echo '$user ALL=(ALL:ALL) NOPASSWD: ALL' >\"\$1/etc/sudoers.d/$user\"" \
    --customize-hook='printf "APT::%s;\n" "Install-Recommends \"true\"" "Keep-Downloaded-Packages \"false\"" >"$1/etc/apt/apt.conf.d/50distro-test"' \
    --customize-hook='printf "127.0.0.1\tlocalhost\n127.0.1.1\t%s\n" "$(hostname)" >"$1/etc/hosts"' \
    --customize-hook="copy-in $tmp/quemblet.bundle /tmp" \
    --customize-hook='.ci/suites/distro_test.sh --steps "$1"' \
    "$release" /dev/null "${sources[@]}" 3>&1 2>"$tmp/mmdebstrap.log" && status=0 || status=1
  # A step that failed said so; otherwise mmdebstrap's first error says why.
  [ $status = 0 ] || grep -q failed "$tmp/results" || echo "FAIL: mmdebstrap $release: $(sed -n \
    's/.*received signal \([A-Z]*\).*/stopped by SIG\1/p; s/^E: //p' "$tmp/mmdebstrap.log" | head -n 1)"
  [ -f "$tmp/steps-end" ] && echo "clean-up $(($(date +%s) - $(cat "$tmp/steps-end"))) s" >>"$tmp/times"
  times="$(grep . "$tmp/times" | paste -sd ';' | sed 's/;/, /g')"
  echo "distro_test: $release times: $times${times:+; }total $(($(date +%s) - begin)) s"
  # Stopped before its steps were done: a signal, or mmdebstrap failed.
  failed="$(grep -c failed "$tmp/results")"
  [ $status != 0 ] && [ "$failed" = 0 ] && failed=1
  echo "distro: $(grep -c passed "$tmp/results") passed, $failed failed"
  show_undo
  exit $status
}

case "${1:-}" in
  --steps) exec >&3 2>&1; steps "$2"; exit ;;  # fd 3: the output of inside()
  --inside) inside ;;
esac

# ---- on this machine --------------------------------------------------------

cd "$(dirname "$0")/../.." || exit 2
. tools/common.sh
release=trixie
for arg; do
  case "$arg" in
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) take_flag "$arg" || { echo "usage: $me [--install] [RELEASE]" >&2; exit 2; } ;;
    *) release="$arg" ;;
  esac
done
allowed "build Debian $release in memory with mmdebstrap (as root; some 400 MB from" \
  "Debian's mirror, 2.5 GB of memory, 5 to 8 minutes) and run the README's commands there"
[ "$(id -u)" = 0 ] || { echo "$me: mmdebstrap, chroot and mount need root: run it as root" >&2; exit 77; }

begin="$(date +%s)" install_time=""
if ! command -v mmdebstrap >/dev/null; then
  apt_options=--no-install-recommends install_packages mmdebstrap ||
    { echo "$me: could not install mmdebstrap" >&2; exit 2; }
  install_time="mmdebstrap-install $(($(date +%s) - begin)) s"
fi
# The machine's Debian mirror and security mirror, as its apt sources name
# them: a Debian mirror serves every current release and its updates.
. /etc/os-release
targets="$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | sort -u)"
mirror="$(sed -n "s|^$VERSION_CODENAME \(.*\)/\$|\1|p" <<<"$targets")"
security="$(sed -n "s|^$VERSION_CODENAME-security \(.*\)/\$|\1|p" <<<"$targets")"
[ -n "$mirror" ] || { echo "$me: no apt source of this machine names a Debian mirror" >&2; exit 2; }

# unshare replaces this script and dies with it, and its child, PID 1 of the
# new namespaces, with unshare (--kill-child); the kernel ends the rest. It
# holds SIGTERM: Ctrl-C, or a signal to the process group, stops the run.
export release mirror security begin install_time install_undo="$undo"
exec unshare --pid --fork --kill-child --mount-proc .ci/suites/distro_test.sh --inside
