#!/bin/bash
# Proves the README's path on a fresh Debian release: bootstraps a minimal
# system (debootstrap --variant=minbase, from the Debian mirror that this
# machine's apt uses) into memory (a tmpfs below a temporary folder), makes
# an ordinary user there who may use sudo without a password, as on a
# desktop, and as that user clones this repository's committed HEAD and runs
# the README's two commands:
#
#   tools/run.sh --install 440 2 null     (no sound card: null plays nothing)
#   tools/test.sh --install               (FUZZ_SECONDS=10 unless set)
#
# Both install what they need through sudo. Then, as root, the desktop test
# plays the built program through the release's own PulseAudio and PipeWire
# (with --swap there, so it may swap one server for the other: the system
# is thrown away). Prints the time of each phase and the total.
#
# Everything runs in private mount and PID namespaces: the mounts the system
# needs (/proc, /sys, a /dev of its own, /dev/pts, /dev/shm, /run) are never
# seen outside, and no process of this machine is seen inside. At the end,
# whatever happens, the system's processes are stopped by their PID, the
# mounts are undone in reverse order (the kernel ends whatever is left with
# the namespaces) and the folder is removed, but only once nothing is
# mounted below it. Killed outright, it leaves nothing running: unshare
# dies with it (a parent-death signal) and takes the namespaces along; the
# next run removes the folder it left.
#
# Usage: .ci/suites/distro_test.sh [--install] [RELEASE]      (default trixie)
#   Runs only with --install: it needs root, installs debootstrap here when
#   it is missing, downloads some 400 MB of Debian packages and takes some
#   2 GB of memory for the system, for about 5 minutes on two cores.
#   Otherwise it says so in one line and exits 77.
#   Exit status 1 if a step fails, 2 if it cannot start.
set -u -o pipefail

user=tester  # the ordinary user in the new system
fuzz_seconds="${FUZZ_SECONDS:-10}"

# PATH of root's commands in the new system, whose folder here is $root.
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# ---- inside the namespaces -------------------------------------------------
# distro_test.sh --in-namespaces WORK RELEASE MIRROR SECURITY runs as PID 1
# of a new PID namespace with its own /proc, in a private mount namespace;
# WORK is the folder made (and removed) by the outer run, SECURITY the
# mirror of RELEASE-security or "".

mounts=()  # mounted here, undone in reverse order

# Stops every process whose root is the new system, by PID: TERM, then
# KILL after 3 s. This namespace holds no process of the machine's.
stop_processes() {
  local pid pids=() i
  for pid in /proc/[0-9]*; do
    pid="${pid#/proc/}"
    case "$(readlink "/proc/$pid/root" 2>/dev/null)" in
      "$root" | "$root"/*) pids+=("$pid") ;;
    esac
  done
  [ ${#pids[@]} -eq 0 ] && return
  echo "stopping processes left in the system: ${pids[*]}"
  kill -TERM "${pids[@]}" 2>/dev/null
  for i in $(seq 30); do
    kill -0 "${pids[@]}" 2>/dev/null || return
    sleep 0.1
  done
  kill -KILL "${pids[@]}" 2>/dev/null
}

unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" ||
      echo "could not unmount ${mounts[i]}" >&2
  done
  mounts=()
}

inner_cleanup() {
  local start=$SECONDS
  [ ${#mounts[@]} -gt 0 ] &&
    echo "the system took $(df -m --output=used "$root" | tail -n 1 | tr -d ' ') MB of memory"
  stop_processes
  unmount_all
  echo "stop-and-unmount $((SECONDS - start))" >>"$work/times"
  echo "$passed $failed" >"$work/result"
}

# mount_fs TYPE OPTIONS TARGET (below $root)
mount_fs() {
  mkdir -p "$root$3"
  mount -t "$1" -o "$2" "$1" "$root$3" || return
  mounts+=("$root$3")
}

mount_system() {
  mount_fs proc nosuid,nodev,noexec /proc &&
    mount_fs sysfs ro,nosuid,nodev,noexec /sys &&
    mount_fs tmpfs nosuid,mode=755,size=16m /dev || return
  # A /dev of its own: the few devices a build, a test and a sound server
  # use, none of this machine's disks.
  local name major minor
  while read -r name major minor; do
    mknod -m 666 "$root/dev/$name" c "$major" "$minor" || return
  done <<EOF
null 1 3
zero 1 5
full 1 7
random 1 8
urandom 1 9
tty 5 0
EOF
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
  mount_fs devpts newinstance,ptmxmode=0666,mode=620,gid=5,nosuid,noexec /dev/pts &&
    ln -s pts/ptmx "$root/dev/ptmx" &&
    mount_fs tmpfs nosuid,nodev,mode=1777 /dev/shm &&
    mount_fs tmpfs nosuid,nodev,mode=755 /run
}

# stamp LOG SHOW: copies its input into LOG, each line after the seconds
# since the step began, and shows the lines that match the regex SHOW.
stamp() {
  local log="$1" show="$2" start=$SECONDS line
  while IFS= read -r line || [ -n "$line" ]; do
    printf '%4d %s\n' $((SECONDS - start)) "$line" >>"$log"
    [[ $line =~ $show ]] && printf '  %4ds  %s\n' $((SECONDS - start)) "$line"
  done
  return 0
}

passed=0
failed=0  # steps, noted for the outer run

# step NAME SHOW COMMAND...: runs COMMAND, shows what matches SHOW with its
# time, and on failure the rest of its output; notes the step's time.
step() {
  local name="$1" show="$2" start=$SECONDS status
  shift 2
  echo "== $name"
  # In the background, so that a signal is handled at once, not when the
  # step ends.
  # A step that ends without writing its status (killed) has failed.
  rm -f "$logs/status"
  { "$@" </dev/null 2>&1; echo $? >"$logs/status"; } | stamp "$logs/$name.log" "$show" &
  wait $!
  status="$(cat "$logs/status" 2>/dev/null || true)"
  status="${status:-1}"
  echo "${name%% *} $((SECONDS - start))" >>"$work/times"
  if [ "$status" != 0 ]; then
    echo "FAIL: $name: exit status $status"
    if [ "$show" != . ]; then
      # All but ctest's lines for a test that starts or passes.
      echo "its output:"
      grep -Ev '^ *[0-9]+ +( *Start +[0-9]+: |[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' \
        "$logs/$name.log" | tail -n 300 | sed 's/^/  | /'
    fi
    failed=$((failed + 1))
    return 1
  fi
  echo "   $name: $((SECONDS - start)) s"
  passed=$((passed + 1))
}

# in_system COMMAND...: as root in the new system, with a clean environment.
in_system() {
  chroot "$root" /usr/bin/env -i PATH="$path" HOME=/root LANG=C.UTF-8 "$@"
}

# as_user COMMAND: a login shell of the ordinary user runs COMMAND in its
# home, as after logging in: its own environment, nothing of this script's.
as_user() { chroot "$root" /usr/sbin/runuser -l "$user" -c "$1"; }

bootstrap() {
  # git and sudo as a desktop user has them; the README's scripts install
  # the rest.
  debootstrap --variant=minbase --include=git,sudo "$release" "$root" "$mirror"
}

# Sources as an installed system has them, the machine's apt settings on
# release dates carried over, the user and the clone's bundle.
configure() {
  {
    echo "deb $mirror $release main"
    echo "deb $mirror $release-updates main"
    [ -z "$security" ] || echo "deb $security $release-security main"
  } >"$root/etc/apt/sources.list"
  # Downloaded packages are not kept: the system lives in memory.
  echo 'APT::Keep-Downloaded-Packages "false";' >"$root/etc/apt/apt.conf.d/50distro-test"
  printf 'Acquire::Check-Valid-Until "%s";\nAcquire::Check-Date "%s";\n' \
    "$(apt-config dump --no-empty --format '%v' Acquire::Check-Valid-Until)" \
    "$(apt-config dump --no-empty --format '%v' Acquire::Check-Date)" |
    grep -v '""' >>"$root/etc/apt/apt.conf.d/50distro-test"
  printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n' "$(hostname)" >"$root/etc/hosts"
  # Packages start no services here, as in any chroot: the tests start
  # the servers they need themselves.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  in_system useradd --create-home --shell /bin/bash --groups sudo "$user" || return
  echo "$user ALL=(ALL:ALL) NOPASSWD: ALL" >"$root/etc/sudoers.d/$user"
  chmod 440 "$root/etc/sudoers.d/$user"
  in_system visudo -cq || return
  install -m 644 "$work/quemblet.bundle" "$root/tmp/quemblet.bundle"
}

inside() {
  work="$1" release="$2" mirror="$3" security="$4"
  root="$work/root"
  logs="$work/logs"
  trap inner_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM HUP
  mkdir -p "$root" "$logs"
  # The system lives in memory (some 2 GB at the end): no disk writes to
  # wait for, and nothing of it can outlive this namespace.
  mount_fs tmpfs size=6g,mode=755 "" || { echo "FAIL: could not mount a tmpfs on $root"; exit 1; }

  step "debootstrap $release" '^(E:|W: Failure)' bootstrap || exit 1
  step "set-up (sources, user $user with sudo)" '.' configure || exit 1
  mount_system || { echo "FAIL: could not mount the system's /proc, /sys, /dev, /run"; exit 1; }

  local clone="git clone -q /tmp/quemblet.bundle quemblet && cd quemblet"
  # The scripts' headings, what they install, the tone's settings (after a
  # tab), the summaries of ctest, the fuzzer and the skipped tests.
  local show='^(tools/|undo:|Need to get|After this operation|E:|==|Quemblet Direct|'$'\t''|[0-9]+% tests passed|The following tests FAILED|Done [0-9]+ runs|corpus:|fuzzing found|build[-a-z]*: |none: )'
  step "run.sh as $user" "$show" as_user "$clone && tools/run.sh --install 440 2 null" &&
    step "test.sh as $user" "$show" \
      as_user "cd quemblet && FUZZ_SECONDS=$fuzz_seconds tools/test.sh --install" &&
    step "desktop test as root" '.' in_system PYTHONUNBUFFERED=1 \
      "/home/$user/quemblet/.ci/suites/desktop_test.py" --install --swap \
      "/home/$user/quemblet/build/quemblet"
  [ "$failed" -eq 0 ]
}

if [ "${1:-}" = --in-namespaces ]; then
  shift
  inside "$@"
  exit
fi

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

allowed "bootstrap Debian $release in memory with debootstrap (as root; some 400 MB from" \
  "Debian's mirror, 2 GB of memory, 5 minutes) and run the README's commands there"
if [ "$(id -u)" -ne 0 ]; then
  echo "$me: debootstrap, chroot and mount need root: run it as root" >&2
  exit 77
fi
for tool in unshare setpriv flock chroot findmnt git apt-config; do
  command -v "$tool" >/dev/null || { echo "$me: $tool is missing" >&2; exit 2; }
done

# A folder left by a run that was killed outright: its lock is free once no
# process of that run lives, and its mounts went with its namespaces.
for old in "${TMPDIR:-/var/tmp}"/quemblet-distro.*/; do
  if [ -d "$old" ] && flock -n "${old}lock" true && ! findmnt -rn -o TARGET | grep -qF "$old"; then
    echo "== removing $old, left by a run that was killed"
    rm -rf --one-file-system "$old"
  fi
done

start=$SECONDS
work="$(mktemp -d "${TMPDIR:-/var/tmp}/quemblet-distro.XXXXXX")" || exit 2
exec 9>"$work/lock"  # held by every process of this run
flock 9
work="$(cd "$work" && pwd -P)"  # as /proc/PID/root names it
root="$work/root"
inner=""  # unshare's PID while the namespaces live

# Stops the namespaces (whose processes the kernel ends with them), checks
# that nothing is still mounted below the folder, and only then removes it.
cleanup() {
  local status=$? child i leftover cleanup_start=$SECONDS name seconds times="" passed failed
  trap - EXIT
  trap '' INT TERM HUP  # a second Ctrl-C must not leave the folder behind
  if [ -n "$inner" ] && kill -0 "$inner" 2>/dev/null; then
    # unshare ignores TERM: its child, PID 1 inside, unmounts and stops.
    child="$(cat "/proc/$inner/task/$inner/children" 2>/dev/null)"
    [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
    for i in $(seq 100); do
      kill -0 "$inner" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$inner" 2>/dev/null  # --kill-child: its child, and the namespaces, go too
    wait "$inner" 2>/dev/null
  fi
  while read -r name seconds; do
    times="$times$name $seconds s, "
  done <"$work/times" 2>/dev/null
  read -r passed failed <"$work/result" 2>/dev/null || passed=0 failed=0
  # Stopped before its steps were done (a signal, a set-up that failed).
  [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
  leftover="$(findmnt -rn -o TARGET | grep -F "$work/" | sort -r)"
  for i in $leftover; do umount "$i" 2>/dev/null || umount -l "$i"; done
  if findmnt -rn -o TARGET | grep -qF "$work/"; then
    echo "distro_test: still mounted below $work: not removed" >&2
    status=1
  else
    rm -rf --one-file-system "$work"
  fi
  echo "distro_test: $release times: ${times}cleanup $((SECONDS - cleanup_start)) s;" \
    "total $((SECONDS - start)) s"
  echo "distro: $passed passed, $failed failed"
  show_undo
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

if ! command -v debootstrap >/dev/null; then
  install_packages debootstrap || { echo "$me: could not install debootstrap" >&2; exit 2; }
  echo "debootstrap-install $((SECONDS - start))" >>"$work/times"
fi
# The machine's Debian mirror and security mirror, as its apt sources name
# them: a Debian mirror serves every current release and its updates.
. /etc/os-release
targets="$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | sort -u)"
mirror="$(sed -n "s|^$VERSION_CODENAME \(.*\)/\$|\1|p" <<<"$targets")"
security="$(sed -n "s|^$VERSION_CODENAME-security \(.*\)/\$|\1|p" <<<"$targets")"
[ -n "$mirror" ] || { echo "$me: no apt source of this machine names a Debian mirror" >&2; exit 2; }

commit="$(git rev-parse --short HEAD)"
echo "== Debian $release from $mirror${security:+ and $security}; clone of $commit"
git diff --quiet HEAD 2>/dev/null ||
  echo "   (uncommitted changes here are not part of the clone)"
# HEAD and the branch it is on, which the clone then checks out.
branch="$(git symbolic-ref -q HEAD)"
git bundle create "$work/quemblet.bundle" HEAD ${branch:+"$branch"} >/dev/null 2>&1 ||
  { echo "distro_test: git bundle failed" >&2; exit 2; }

# unshare dies with this script (a parent-death signal) and its child with it
# (--kill-child). Started in the background, a command ignores SIGINT: env
# gives the inner script the default back, so that its own trap can act.
setpriv --pdeathsig KILL env --default-signal=INT \
  unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
  "$PWD/.ci/suites/distro_test.sh" --in-namespaces "$work" "$release" "$mirror" "$security" &
inner=$!
wait "$inner"
status=$?
inner=""
exit "$status"
