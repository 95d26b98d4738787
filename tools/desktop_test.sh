#!/bin/bash
# Plays quemblet through real sound servers, as on a desktop, and checks what
# the server received. Each server is private to this script: it runs from a
# runtime folder made here, feeds a null sink whose monitor is recorded, has
# no D-Bus system bus and no sound card, and is stopped by its PID at the end
# whatever happens. Servers that this script did not start are never touched.
#
#   PulseAudio:  devices pulse, default (routed to pulse while a server runs)
#                and plug:pulse
#   PipeWire:    devices pipewire and default
#
# Each device plays a 2 s 440 Hz tone at 25 % in direct mode and from a menu
# session; the recording must hold 440 Hz within 0.5 Hz, a peak of 0.25 of
# full scale within 1 %, identical channels, the tone less at most one period,
# no hole, exit status 0 and a wall time within 0.5 s of the tone. aplay plays
# the same tone (exported by the menu) through the same device for
# comparison; wall and CPU times of both are printed.
#
# Usage: tools/desktop_test.sh [--install] [--only pulseaudio|pipewire] [path/to/quemblet]
#   The binary defaults to build/quemblet. Without --install (or CI=true) it
#   uses what is installed and says in one line what it skipped. --install
#   installs missing Debian packages but never removes one; CI=true may also
#   swap PulseAudio for PipeWire (pipewire-alsa conflicts with pulseaudio),
#   so the PulseAudio phase runs first. Exit status 1 if any check fails.
set -u -o pipefail
cd "$(dirname "$0")/.."
root_dir="$PWD"

install=no
[ "${CI:-}" = true ] && install=ci
only=""
bin=build/quemblet
while [ $# -gt 0 ]; do
  case "$1" in
    --install) [ "$install" = no ] && install=yes ;;
    --only)
      only="${2:-}"
      shift
      case "$only" in pulseaudio | pipewire) ;; *) echo "desktop_test: --only pulseaudio|pipewire" >&2; exit 2 ;; esac
      ;;
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) bin="$1" ;;
  esac
  shift
done
bin="$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")"
if [ ! -x "$bin" ]; then
  echo "desktop_test: no program at $bin (build it first)" >&2
  exit 2
fi

tone_s=2
run_limit_s=20  # a run that takes longer is killed and fails: it would hang
check=(python3 "$root_dir/tools/desktop_check.py")
sink=quemblet_sink
passed=0
failed=0
skipped=()
problems=()  # what the last play_once found wrong
pids=()  # everything started here, stopped in reverse order

work="$(mktemp -d "${TMPDIR:-/tmp}/quemblet-desktop.XXXXXX")"

stop_pid() {
  local pid="$1" i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 30); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  pids=()
}

cleanup() {
  stop_all
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Only this script's folders: no user configuration, no user server, no
# session or system bus of the desktop, no X11 property naming a server.
mkdir -p "$work/home/.config" "$work/run"
chmod 700 "$work/run"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
export XDG_STATE_HOME="$work/home/.state" XDG_DATA_HOME="$work/home/.data"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/run/no-system-bus"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/no-session-bus"
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_SINK PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR \
  ALSA_CONFIG_PATH
printf 'autospawn = no\n' >"$work/client.conf"
export PULSE_CLIENTCONFIG="$work/client.conf"

missing() {
  local pkg out=""
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || out="$out $pkg"
  done
  echo "${out# }"
}

installed() { [ -z "$(missing "$1")" ]; }

updated=no
# Makes sure the packages of one phase are there; returns 1 (and notes why)
# when the phase must be skipped. $1 names the phase, $2 a package it must
# not remove, the rest are the packages it needs.
provide() {
  local phase="$1" rival="$2" need
  shift 2
  need="$(missing "$@")"
  [ -z "$need" ] && return 0
  if [ "$install" = no ]; then
    skipped+=("$phase (missing $need; --install or CI=true installs)")
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    skipped+=("$phase (missing $need; run as root to install)")
    return 1
  fi
  if [ "$install" != ci ] && installed "$rival"; then
    skipped+=("$phase (installing $need would remove $rival; only CI=true does that)")
    return 1
  fi
  echo "== installing $need"
  if [ "$updated" = no ]; then
    if ! apt-get update -q >"$work/apt.log" 2>&1; then
      cat "$work/apt.log"
      echo "FAIL: apt-get update"
      failed=$((failed + 1))
      return 1
    fi
    updated=yes
  fi
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need \
    >"$work/apt.log" 2>&1; then
    cat "$work/apt.log"
    echo "FAIL: could not install $need"
    failed=$((failed + 1))
    return 1
  fi
  grep -E "^(Remv|Removing) " "$work/apt.log" || true
}

# Waits up to $2 seconds for the command in $3... to succeed while the
# process $1 lives.
await() {
  local pid="$1" seconds="$2" i
  shift 2
  for i in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

size_at_least() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge "$2" ]; }

server_log=""
fail_with() {
  local log="$1"
  shift
  printf '  FAIL: %s\n' "$@"
  if [ -s "$log" ]; then
    echo "  program output:"
    sed 's/^/    | /' "$log"
  fi
  if [ -n "$server_log" ] && [ -s "$server_log" ]; then
    echo "  last lines of the server's log:"
    tail -n 15 "$server_log" | sed 's/^/    | /'
  fi
  failed=$((failed + 1))
}

# start_recorder FILE: records the sink's monitor into FILE; sets rec_pid.
# Returns once the recorder delivers (a monitor runs while the sink idles).
start_recorder() {
  local file="$1"
  case "$server" in
    pulseaudio)
      parec -d "$sink.monitor" --format=s24le --channels=2 --rate=44100 --raw \
        --latency-msec=20 >"$file" 2>"$file.log" &
      ;;
    pipewire)
      pw-record --target "$sink" -P stream.capture.sink=true --rate 44100 --channels 2 \
        --format f32 --latency 20ms "$file" >"$file.log" 2>&1 &
      ;;
  esac
  rec_pid=$!
  pids+=("$rec_pid")
  # 0.1 s of sound past a WAV header: the recorder is running.
  await "$rec_pid" 10 size_at_least "$file" $((44 + 26460))
}

stop_recorder() {
  sleep 0.5  # let the server pass on the last frames
  kill -INT "$rec_pid" 2>/dev/null
  local i
  for i in $(seq 30); do
    kill -0 "$rec_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_pid "$rec_pid"
  unset 'pids[${#pids[@]}-1]'
}

# play DEVICE MODE: plays the tone once (MODE direct or menu), records the
# sink and checks both the recording and the run. An underrun leaves a hole
# in the sound: the program prints "RX" when it was not scheduled in time to
# refill its 46 ms buffer, as happens on a busy machine, while PipeWire's
# plugin may also let its stream run dry without telling (a 10 ms hole,
# seen once in about thirty runs on an idle machine). Such a run is
# played once more and fails if it breaks up again.
play() {
  local attempt log="$work/${1//[^a-z]/_}_$2.log"
  for attempt in 1 2; do
    play_once "$@" && return
    grep -qx RX "$log" || [[ "${problems[*]}" == *"a hole of"* ]] || break
    [ "$attempt" = 1 ] && printf '%-29s underrun or dropout; playing once more\n' ""
  done
  fail_with "$log" "${problems[@]}"
}

play_once() {
  local device="$1" mode="$2" name="${1//[^a-z]/_}_$2"
  local cap="$work/$name.cap" log="$work/$name.log" timing status wall user sys verdict
  problems=()
  if ! start_recorder "$cap"; then
    stop_recorder
    problems+=("the recorder did not start: $(cat "$cap.log")")
    return 1
  fi
  if [ "$mode" = direct ]; then
    timing="$("${check[@]}" run "$run_limit_s" "$log" "$bin" 440 "$tone_s" "$device" 25 </dev/null)"
  else
    timing="$(printf 's %s\nl %s\np\nx\n' "$device" "$tone_s" |
      "${check[@]}" run "$run_limit_s" "$log" "$bin")"
  fi
  stop_recorder
  read -r status wall user sys <<<"$timing"
  verdict="$("${check[@]}" analyse "$cap" "$tone_s" 440 25 2>&1)" ||
    grep -q '^FAIL' <<<"$verdict" || problems+=("the recording could not be read")
  [ "$status" = 0 ] || problems+=("exit status $status")
  awk -v w="$wall" -v t="$tone_s" 'BEGIN { exit !(w > t + 0.5) }' &&
    problems+=("wall time $wall s for a $tone_s s tone (limit: tone + 0.5 s)")
  while IFS= read -r line; do
    case "$line" in FAIL:*) problems+=("${line#FAIL: }") ;; esac
  done <<<"$verdict"
  eval "wall_${name}=$wall"
  printf '%-10s %-11s %-6s %s\n' "$server" "$device" "$mode" "$(head -n1 <<<"$verdict")"
  printf '%-29s exit %s, wall %.2f s, cpu %s\n' "" "$status" "$wall" \
    "$(awk -v u="$user" -v s="$sys" -v w="$wall" -v bc="$base_cpu" -v bw="$base_wall" 'BEGIN {
      printf "%.3f s (%.1f %% of one core", u + s, 100 * (u + s) / w
      if (w - bw > 0.5)
        printf "; %.1f %% while playing, past %.3f s cpu in %.2f s of set-up", \
          100 * (u + s - bc) / (w - bw), bc, bw
      printf ")" }')"
  [ ${#problems[@]} -eq 0 ] || return 1
  passed=$((passed + 1))
}

# compare_aplay DEVICE PLUGIN: times aplay on the exported tone through the
# same device, three times (its drain through a server varies by a second),
# and prints the run of median wall time; the plugin it reports must be the
# server's (this checks where `default` leads).
compare_aplay() {
  local device="$1" plugin="$2" name="${1//[^a-z]/_}"
  command -v aplay >/dev/null || return
  local log="$work/aplay_$name.log" status wall user sys runs=() i bad=""
  for i in 1 2 3; do
    runs+=("$("${check[@]}" run "$run_limit_s" "$log" aplay -v -D "$device" "$work/tone.wav" \
      </dev/null)")
    read -r status wall user sys <<<"${runs[-1]}"
    if [ "$status" != 0 ]; then
      bad="exit status $status"
    elif ! grep -q "$plugin" "$log"; then
      bad="the device is not the $plugin plugin"
    fi
  done
  read -r status wall user sys < <(printf '%s\n' "${runs[@]}" | sort -k2 -n | sed -n 2p)
  local direct_var="wall_${name}_direct"
  printf '%-10s %-11s %-6s exit %s, wall %.2f s, cpu %.3f s (%s %% of one core); quemblet direct %+.2f s\n' \
    "$server" "$device" aplay "$status" "$wall" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" \
    "$(awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%.1f", 100 * (u + s) / w }')" \
    "$(awk -v q="${!direct_var:-0}" -v a="$wall" 'BEGIN { print q - a }')"
  printf '%-29s walls %s\n' "" "$(printf '%s\n' "${runs[@]}" | awk '{ printf "%.2f ", $2 }')"
  if [ -n "$bad" ]; then
    fail_with "$log" "aplay -D $device: $bad"
  else
    passed=$((passed + 1))
  fi
}

# set_up_cost DEVICE: times a tone of no frames (open, configure, drain,
# close) so that the CPU time of playing can be told from that of starting.
set_up_cost() {
  local status user sys
  read -r status base_wall user sys <<<"$("${check[@]}" run "$run_limit_s" /dev/null \
    "$bin" 440 0 "$1" 25 </dev/null)"
  base_cpu="$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')"
  [ "$status" = 0 ] || base_wall=0 base_cpu=0
}

test_devices() {
  local plugin="$1" device
  shift
  for device in "$@"; do
    set_up_cost "$device"
    play "$device" direct
    play "$device" menu
    compare_aplay "$device" "$plugin"
  done
}

phase_pulseaudio() {
  provide PulseAudio pipewire-alsa pulseaudio pulseaudio-utils libasound2-plugins || return
  server=pulseaudio
  server_log="$work/pulseaudio.log"
  # norewinds: the sink mixes ahead of time and rewinds to mix in a stream
  # that starts, but its monitor has already handed the first mix (silence)
  # to the recorder, which would then miss the first few milliseconds of the
  # tone. memfd off: with it, PulseAudio 16.1 aborts now and then on an
  # assertion about imported memfd blocks while a recorder and a player run.
  cat >"$work/pulseaudio.pa" <<EOF
load-module module-null-sink sink_name=$sink rate=44100 channels=2 format=s24le norewinds=1
load-module module-native-protocol-unix auth-anonymous=1 socket=$XDG_RUNTIME_DIR/native
set-default-sink $sink
EOF
  PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse" PULSE_STATE_PATH="$work/home/.pulse-state" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false --realtime=false \
    --high-priority=false --enable-memfd=false --disallow-exit --log-target=stderr -F "$work/pulseaudio.pa" \
    >"$server_log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/native"
  if ! await "${pids[-1]}" 10 pactl info; then
    fail_with /dev/null "PulseAudio did not start"
    stop_all
    return
  fi
  echo "== PulseAudio $(pulseaudio --version | awk '{ print $2 }'), null sink $sink"
  test_devices PulseAudio pulse default plug:pulse
  stop_all
  unset PULSE_SERVER
  server_log=""
}

# The session manager has taken the null sink as the default one.
pipewire_sink_ready() { wpctl inspect @DEFAULT_AUDIO_SINK@ | grep -q "node.name = \"$sink\""; }

phase_pipewire() {
  provide PipeWire pulseaudio pipewire pipewire-bin pipewire-alsa wireplumber dbus-daemon ||
    return
  server=pipewire
  server_log="$work/pipewire.log"
  # A private session bus; the session manager drives no card, camera or
  # Bluetooth device: only the null sink made below.
  dbus-daemon --session --address="unix:path=$XDG_RUNTIME_DIR/bus" --nofork --nopidfile \
    >"$work/dbus.log" 2>&1 &
  pids+=($!)
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  await "${pids[-1]}" 10 test -S "$XDG_RUNTIME_DIR/bus"
  mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
  printf 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n' \
    >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-no-devices.lua"
  printf 'bluez_monitor.enabled = false\n' \
    >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/51-no-devices.lua"
  pipewire >"$server_log" 2>&1 &
  pids+=($!)
  if ! await "${pids[-1]}" 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"; then
    fail_with /dev/null "PipeWire did not start"
    stop_all
    return
  fi
  wireplumber >"$work/wireplumber.log" 2>&1 &
  pids+=($!)
  pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=$sink
    media.class=Audio/Sink audio.position=[FL FR] audio.rate=44100 object.linger=1 }" \
    >>"$server_log" 2>&1
  if ! await "${pids[-1]}" 10 pipewire_sink_ready; then
    fail_with "$work/wireplumber.log" "PipeWire's null sink did not become the default"
    stop_all
    return
  fi
  echo "== PipeWire $(pipewire --version | awk '/Linked/ { print $NF }'), null sink $sink"
  test_devices PipeWire pipewire default
  stop_all
  server_log=""
}

if ! command -v python3 >/dev/null; then
  echo "desktop_test: python3 is needed" >&2
  exit 2
fi
# The tone that aplay plays: 2 s of 440 Hz at 25 %, 24-bit, from the menu.
printf 's null\nl %s\nexp %s\nx\n' "$tone_s" "$work/tone.wav" | "$bin" >/dev/null

provide "aplay comparison" none alsa-utils || true
[ -z "$only" ] || [ "$only" = pulseaudio ] && phase_pulseaudio
[ -z "$only" ] || [ "$only" = pipewire ] && phase_pipewire

if [ ${#skipped[@]} -gt 0 ]; then
  line=""
  for s in "${skipped[@]}"; do line="${line:+$line, }$s"; done
  echo "desktop_test: skipped $line"
fi
echo "desktop: $passed passed, $failed failed, ${#skipped[@]} skipped"
[ "$failed" -eq 0 ]
