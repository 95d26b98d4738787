#!/usr/bin/env python3
"""Plays quemblet through real sound servers, as on a desktop, and checks
what the server received.

Each server is private to this test: it runs from a runtime folder made
here, feeds a null sink whose monitor is recorded, has no D-Bus system bus
and no sound card (desktop/ beside this file), and is stopped by its process
ID at the end whatever happens. Servers it did not start are never touched.
PulseAudio plays on the devices pulse, default and plug:pulse; PipeWire on
pipewire and default.

Each device plays a 2 s 440 Hz tone at 25 % in direct mode and from a menu
session; the recording must hold 440 Hz within 0.5 Hz, a peak of 0.25 of
full scale within 1 %, identical channels, the tone less at most one
period, no hole, exit status 0 and a wall time within 0.5 s of the tone. A
run that broke up (an underrun, "RX"; a hole; frames lost by the recorder)
is played once more and fails if it breaks up again. aplay plays the same
tone through the same device for comparison. The program is then stopped
(SIGSTOP) for 5 s mid-tone and just before its end: it must play the rest
(one pause allowed in the recording) and end with status 0 and nothing on
standard error. A tone at the server's rate prints no rate warning: the
server converts exactly itself. The server is then stopped (SIGSTOP) in the
drain and left stopped, and the pulse device is opened with its server
stopped: each must end with status 1 and one line on standard error within
the stall limit (3 s and the 46 ms buffer, 0.5 s of slack). The server is
killed in the drain: status 1 and one line, or status 0 with the whole tone
recorded. Last, each server, started anew, is killed 1 s into an 8 s tone:
quemblet must exit with status 1 and one line "unable to play on pcm
device: ..." within 8 s of the kill, using under 1 s of CPU and at most
8 MiB more memory than a normal run.

Without --install the test changes nothing: it uses what is installed and
says what it skipped. --install installs what is missing (tools/setup.sh)
but never removes a package; --swap may also swap PulseAudio for PipeWire
(their ALSA plugins conflict), so the PulseAudio phase runs first. Either
changes the machine: `default` leads to that server for every user, and
PipeWire starts for every user at login. The undo is printed last.
Exit status 1 if any check fails, 2 on bad arguments.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.dont_write_bytecode = True  # no __pycache__ in the tree
import desktop_check as check  # noqa: E402  (beside this file)

TONE_S = 2
LEVEL = 25
HZ = 440
RUN_LIMIT_S = 20  # a run that takes longer is killed and fails: it would hang
KILL_TONE_S = 8
KILL_AFTER_S = 1
EXIT_AFTER_KILL_S = 8
KILL_CPU_S = 1.0
# An 8 s tone holds (8 - 2) s x 44100 x (8 + 3) bytes = 2.8 MiB more than
# the 2 s one it is compared with; what is left covers allocator noise.
KILL_EXTRA_RSS_KIB = 8 * 1024
HOLD_S = 5
STALL_LIMIT_S = 3.55  # the program's 3 s and its buffer's 46 ms, with slack
HOLD_AT_S = (1.0, 1.97)  # mid-tone, and in the last 30 ms of the 2 s tone
PACKAGES = {"pulseaudio": ["pulseaudio", "pulseaudio-utils", "libasound2-plugins", "alsa-utils"],
            "pipewire": ["pipewire", "pipewire-bin", "pipewire-alsa", "wireplumber",
                         "dbus-daemon", "alsa-utils"]}
SINK = "quemblet_sink"
LABEL = " " * 29  # indent of the second line of a result
# Plugins of WirePlumber's device monitors; loaded only when a monitor runs.
DEVICE_PLUGINS = ("/spa-0.2/alsa/", "/spa-0.2/bluez5/", "/spa-0.2/v4l2/", "/spa-0.2/libcamera/")
# Variables of a desktop session that would lead a client or server to it.
SESSION_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "PULSE_SINK",
                     "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR",
                     "WIREPLUMBER_CONFIG_DIR", "ALSA_CONFIG_PATH")


def name_of(device):
    return "".join(c if c.isalpha() else "_" for c in device)


def text_of(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


class DesktopTest:
    def __init__(self, binary, flags, work):
        self.binary = binary
        self.flags = flags  # given to tools/setup.sh: [], ["--install"] or ["--swap"]
        self.undo = []  # lines that undo what was installed, the latest first
        self.work = work
        self.passed = 0
        self.failed = 0
        self.skipped = []
        self.started = []  # servers and recorders not yet reaped, oldest first
        self.server = ""
        self.server_log = None
        self.base = (0.0, 0.0)  # wall and CPU seconds of a tone of no frames
        self.direct_runs = {}  # device -> check.Run of its direct-mode tone
        self.tone_wav = work / "tone.wav"

        # Only this test's folders: no user configuration, no user server,
        # no session or system bus of the desktop, no X11 property naming a
        # server.
        home = work / "home"
        (home / ".config").mkdir(parents=True)
        run = work / "run"
        run.mkdir(mode=0o700)
        self.runtime = run
        env = {k: v for k, v in os.environ.items() if k not in SESSION_VARIABLES}
        env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
                   XDG_RUNTIME_DIR=str(run), XDG_STATE_HOME=str(home / ".state"),
                   XDG_DATA_HOME=str(home / ".data"),
                   DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={run}/no-system-bus",
                   DBUS_SESSION_BUS_ADDRESS=f"unix:path={run}/no-session-bus",
                   PULSE_CLIENTCONFIG=str(work / "client.conf"))
        (work / "client.conf").write_text("autospawn = no\n")
        self.env = env

    # Processes

    def spawn(self, argv, out, err=None):
        """Starts a server or recorder, stopped by stop_all() at the latest."""
        with open(out, "wb") as out_file, open(err or os.devnull, "wb") as err_file:
            p = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=out_file,
                                 stderr=err_file if err else subprocess.STDOUT)
        self.started.append(p)
        return p

    def stop(self, p):
        """SIGTERM, then SIGKILL after 3 s. Popen signals only a child it has
        not reaped, so the number never names another process."""
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(3)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if p in self.started:
            self.started.remove(p)

    def stop_all(self):
        for p in reversed(list(self.started)):
            self.stop(p)

    def measure(self, argv, log, err=None, stdin_text=None, extra_s=0, act_at_s=None, act=None):
        """Runs argv to its end (RUN_LIMIT_S + extra_s at most): check.run()."""
        return check.run(argv, log, RUN_LIMIT_S + extra_s, err, stdin_text, self.env, act_at_s, act)

    def output(self, argv):
        try:
            return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=10).stdout
        except subprocess.TimeoutExpired:
            return ""

    @staticmethod
    def await_while(p, seconds, ready):
        """Waits up to seconds for ready() while process p lives."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ready():
                return True
            if p.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    # Results

    def fail(self, problems, log=None):
        for problem in problems:
            print(f"  FAIL: {problem}")
        if log and text_of(log):
            print("  program output:")
            for line in text_of(log).splitlines()[:40]:
                print(f"    | {line}")
        if self.server_log and text_of(self.server_log):
            print("  last lines of the server's log:")
            for line in text_of(self.server_log).splitlines()[-15:]:
                print(f"    | {line}")
        self.failed += 1

    def provide(self, phase, server):
        """Makes sure the packages of a phase are there; False (and noted
        why) when the phase must be skipped or installing failed."""
        r = subprocess.run([str(ROOT / "tools" / "setup.sh"), *self.flags,
                            "--no-install-recommends", *PACKAGES[server]],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        lines = r.stdout.splitlines() or [""]
        for line in lines:
            if line.startswith(("== installing", "== removing")):
                print(line)
        heads = [i for i, line in enumerate(lines) if line.startswith("# to undo what ")]
        if heads:  # the undo is the last thing setup.sh prints
            self.undo[:0] = [line for line in lines[heads[-1] + 1:] if line.strip()]
        if r.returncode == 0:
            return True
        if r.returncode == 77:  # not allowed to: the last line says why
            self.skipped.append(f"{phase} ({lines[-1].split(': ', 1)[-1]})")
        else:
            print("\n".join(lines[-30:]))
            self.fail([f"installing {' '.join(PACKAGES[server])} failed"])
        return False

    # Recording

    def start_recorder(self, cap):
        """Records the sink's monitor into cap; returns the recorder once it
        delivers (a monitor runs while the sink idles), None if it does not."""
        log = cap.with_suffix(".rec.log")
        if self.server == "pulseaudio":
            p = self.spawn(["parec", "-d", f"{SINK}.monitor", "--format=s24le", "--channels=2",
                            "--rate=44100", "--raw", "--latency-msec=20"], cap, log)
        else:
            p = self.spawn(["pw-record", "--target", SINK, "-P", "stream.capture.sink=true",
                            "--rate", "44100", "--channels", "2", "--format", "f32",
                            "--latency", "20ms", str(cap)], log)
        # Sound past a header's 44 bytes (0.1 s of parec's 24-bit frames,
        # 0.075 s of pw-record's float ones): the recorder is running.
        if self.await_while(p, 10, lambda: cap.exists() and cap.stat().st_size >= 44 + 26460):
            return p
        self.stop(p)
        return None

    def stop_recorder(self, p):
        time.sleep(0.5)  # let the server pass on the last frames
        p.send_signal(signal.SIGINT)  # the recorder finishes its file
        try:
            p.wait(3)
        except subprocess.TimeoutExpired:
            pass
        self.stop(p)

    # Checks

    def set_up_cost(self, device):
        """Times a tone of no frames (open, configure, drain, close), so that
        the CPU time of playing can be told from that of starting."""
        r = self.measure([self.binary, str(HZ), "0", device, str(LEVEL)], self.work / "base.log")
        self.base = (r.wall_s, r.cpu_s) if r.status == 0 else (0.0, 0.0)

    def play(self, device, mode, hold_at=None):
        """Plays the tone once (mode "direct" or "menu"; direct and held for
        HOLD_S from hold_at s on), records the sink and checks both. A busy machine breaks the sound up now and then: the
        program underruns when it is not scheduled in time to refill its
        46 ms buffer (it prints "RX", though a server's plugin may also let
        the stream run dry without telling: a hole in the recording), and a
        recorder scheduled late loses a quantum or more (a recording short
        of frames, its pitch a little high where the ends of the gap meet).
        Such a run is played once more and fails if it breaks up again (a
        held run underruns as it should: only its recording counts)."""
        if hold_at is not None:
            mode = f"held {hold_at:g}"
        log = self.work / f"{name_of(device)}_{name_of(mode)}.log"
        for attempt in (1, 2):
            problems = self.play_once(device, mode, log, hold_at)
            if not problems:
                self.passed += 1
                return
            broke_up = ("RX" in text_of(log).splitlines() and hold_at is None) or any(
                p.startswith(("a hole of", "tone lasts")) for p in problems)
            if not broke_up or attempt == 2:
                break
            print(f"{LABEL} broke up (underrun or dropout); playing once more")
        self.fail(problems, log)

    def play_once(self, device, mode, log, hold_at):
        cap = log.with_suffix(".cap")
        recorder = self.start_recorder(cap)
        if recorder is None:
            return [f"the recorder did not start: {text_of(cap.with_suffix('.rec.log')).strip()}"]
        argv = [self.binary, str(HZ), str(TONE_S), device, str(LEVEL)]
        problems, held_s = [], 0
        if mode == "direct":
            r = self.measure(argv, log)
            self.direct_runs[device] = r
        elif hold_at is not None:
            err = log.with_suffix(".err")
            r = self.measure(argv, log, err, extra_s=HOLD_S, act_at_s=hold_at, act=self.hold)
            held_s = HOLD_S
            if r.acted is None:
                problems.append(f"the program ended before it was held (status {r.status})")
            if text_of(err):
                problems.append(f"standard error: {' / '.join(text_of(err).splitlines()[:3])}")
        else:
            r = self.measure([self.binary], log, stdin_text=f"s {device}\nl {TONE_S}\np\nx\n")
        self.stop_recorder(recorder)
        if r.status != 0:
            problems.append(f"exit status {'timeout' if r.status is None else r.status}")
        if "Samplerate = " in text_of(log):
            problems.append("the rate changed: the server takes 44100 Hz and converts itself")
        if r.wall_s > TONE_S + held_s + 0.5:
            problems.append(f"wall time {r.wall_s:.2f} s for a {TONE_S} s tone "
                            f"(limit: tone + {held_s} s held + 0.5 s)")
        try:
            figures, failures = check.analyse(cap, TONE_S, HZ, LEVEL, pauses=int(held_s > 0))
        except check.CaptureError as e:
            figures, failures = "the recording could not be read", [str(e)]
        problems += failures
        print(f"{self.server:10} {device:11} {mode:6} {figures}")
        base_wall, base_cpu = self.base
        usage = f"{r.cpu_s:.3f} s ({100 * r.cpu_s / r.wall_s:.1f} % of one core"
        if r.wall_s - base_wall > 0.5:
            usage += (f"; {100 * (r.cpu_s - base_cpu) / (r.wall_s - base_wall):.1f} % while"
                      f" playing, past {base_cpu:.3f} s cpu in {base_wall:.2f} s of set-up")
        print(f"{LABEL} exit {r.status}, wall {r.wall_s:.2f} s, cpu {usage}), "
              f"max RSS {r.max_rss_kib / 1024:.1f} MiB")
        return problems

    @staticmethod
    def hold(pidfd):
        """Stops the program for HOLD_S, as Ctrl-Z then fg or a debugger do."""
        signal.pidfd_send_signal(pidfd, signal.SIGSTOP)
        time.sleep(HOLD_S)
        signal.pidfd_send_signal(pidfd, signal.SIGCONT)

    def compare_aplay(self, device, plugin):
        """Times aplay on the exported tone through the same device, three
        times (its drain through a server varies by a second), and prints
        the run of median wall time; the plugin it reports must be the
        server's (this checks where `default` leads)."""
        log = self.work / f"aplay_{name_of(device)}.log"
        runs, bad = [], ""
        for _ in range(3):
            r = self.measure(["aplay", "-v", "-D", device, str(self.tone_wav)], log)
            runs.append(r)
            if r.status != 0:
                bad = f"exit status {'timeout' if r.status is None else r.status}"
            elif plugin not in text_of(log):
                bad = f"the device is not the {plugin} plugin"
        r = sorted(runs, key=lambda run: run.wall_s)[1]
        direct = self.direct_runs.get(device)
        versus = f"; quemblet direct {direct.wall_s - r.wall_s:+.2f} s" if direct else ""
        print(f"{self.server:10} {device:11} {'aplay':6} exit {r.status}, wall {r.wall_s:.2f} s, "
              f"cpu {r.cpu_s:.3f} s ({100 * r.cpu_s / r.wall_s:.1f} % of one core){versus}")
        print(f"{LABEL} walls {' '.join(f'{run.wall_s:.2f}' for run in runs)}")
        if bad:
            self.fail([f"aplay -D {device}: {bad}"], log)
        else:
            self.passed += 1

    def test_devices(self, plugin, devices):
        for device in devices:
            self.set_up_cost(device)
            self.play(device, "direct")
            self.play(device, "menu")
            self.compare_aplay(device, plugin)

    def killed_server(self, device, server):
        """Plays an 8 s tone and kills the server 1 s in. The device then
        fails for good: the program must say so once and end, not spin on
        recovery attempts (each printing "RX") nor pile up memory."""
        out, err = self.work / "killed.out", self.work / "killed.err"
        r = self.measure([self.binary, str(HZ), str(KILL_TONE_S), device, str(LEVEL)], out, err,
                         extra_s=KILL_AFTER_S, act_at_s=KILL_AFTER_S, act=lambda _: server.kill())
        stdout = text_of(out).splitlines()
        stderr = text_of(err).splitlines()
        rx = stdout.count("RX")
        normal = self.direct_runs.get(device)
        problems = []
        if r.acted is None:
            problems.append(f"the program ended before the server was killed (status {r.status})")
            after_kill = 0.0
        else:
            after_kill = r.wall_s - r.acted
            if r.status is None:
                problems.append(f"still playing {after_kill:.1f} s after the kill (killed)")
            elif after_kill > EXIT_AFTER_KILL_S:
                problems.append(f"ended {after_kill:.2f} s after the kill "
                                f"(limit: {EXIT_AFTER_KILL_S} s)")
        if r.status not in (1, None):
            problems.append(f"exit status {r.status}, expected 1")
        if len(stderr) != 1 or not stderr[0].startswith("unable to play on pcm device: "):
            shown = " / ".join(stderr[:3]) + (" / ..." if len(stderr) > 3 else "")
            problems.append(f"{len(stderr)} lines on standard error, expected one "
                            f"\"unable to play on pcm device: ...\": {shown}")
        if r.cpu_s >= KILL_CPU_S:
            problems.append(f"{r.cpu_s:.2f} s of CPU (limit: {KILL_CPU_S:.0f} s)")
        if normal and r.max_rss_kib > normal.max_rss_kib + KILL_EXTRA_RSS_KIB:
            problems.append(f"max RSS {r.max_rss_kib / 1024:.1f} MiB, a normal run "
                            f"{normal.max_rss_kib / 1024:.1f} MiB "
                            f"(limit: {KILL_EXTRA_RSS_KIB // 1024} MiB more)")
        normal_rss = f"{normal.max_rss_kib / 1024:.1f} MiB" if normal else "not measured"
        print(f"{self.server:10} {device:11} killed {KILL_AFTER_S} s into an {KILL_TONE_S} s tone:"
              f" exit {r.status} {after_kill:.2f} s after the kill")
        print(f"{LABEL} cpu {r.cpu_s:.3f} s, max RSS {r.max_rss_kib / 1024:.1f} MiB "
              f"(normal run {normal_rss}), {rx} RX lines, {len(stderr)} line(s) on stderr")
        if problems:
            # The log of a spinning run can hold a million "RX": show the
            # other lines only.
            other = [line for line in stdout if line != "RX"]
            (self.work / "killed.log").write_text("\n".join(other + stderr[:10]) + "\n")
            self.fail(problems, self.work / "killed.log")
        else:
            self.passed += 1

    def ends_failing(self, what, r, out, err, expected, after_s, recording=None):
        """Checks a run whose device failed `after_s` s before it ended:
        status 1 and one line starting `expected` on standard error, within
        the stall limit. With a recording, status 0 passes too when the
        recording holds the whole tone."""
        stderr = text_of(err).splitlines()
        problems = []
        if r.status == 0 and recording is not None:
            try:
                figures, failures = check.analyse(recording, TONE_S, HZ, LEVEL)
            except check.CaptureError as e:
                figures, failures = "the recording could not be read", [str(e)]
            problems += [f"exit status 0, yet {failure}" for failure in failures]
        else:
            figures = f"{len(stderr)} line(s) on stderr"
            if r.status != 1:
                problems.append(f"exit status {'timeout' if r.status is None else r.status}, "
                                f"expected 1")
            if len(stderr) != 1 or not stderr[0].startswith(expected):
                problems.append(f"standard error: {' / '.join(stderr[:3]) or 'nothing'}, "
                                f"expected one line \"{expected}...\"")
            if after_s > STALL_LIMIT_S:
                problems.append(f"ended {after_s:.2f} s later (limit: {STALL_LIMIT_S} s)")
        print(f"{self.server:10} {what}: exit {r.status} {after_s:.2f} s later, {figures}")
        if problems:
            self.fail(problems, out)
        else:
            self.passed += 1

    def server_stopped(self, device, server, at_open):
        """The server stops answering (SIGSTOP) and stays stopped: in the
        drain of a 2 s tone, or before the program opens the device. The
        plugins wait for their server inside their own calls; the program
        must end anyway. The server goes on afterwards."""
        out, err = self.work / "stopped.out", self.work / "stopped.err"
        argv = [self.binary, str(HZ), str(TONE_S), device, str(LEVEL)]
        try:
            if at_open:
                server.send_signal(signal.SIGSTOP)
                r = self.measure(argv, out, err)
                after_s = r.wall_s
            else:
                r = self.measure(argv, out, err, act_at_s=HOLD_AT_S[-1],
                                 act=lambda _: server.send_signal(signal.SIGSTOP))
                after_s = r.wall_s - (r.acted if r.acted is not None else 0.0)
        finally:
            server.send_signal(signal.SIGCONT)
        what = f"{device} opened with its server stopped" if at_open else \
            f"{device} server stopped in the drain"
        expected = "unable to open pcm device: " if at_open else "unable to play on pcm device: "
        self.ends_failing(what, r, out, err, expected, after_s)

    def killed_in_drain(self, device, server):
        """The server is killed as the drain of a 2 s tone begins: the
        program must not say the tone was played unless it was."""
        out, err = self.work / "killed_drain.out", self.work / "killed_drain.err"
        cap = self.work / "killed_drain.cap"
        recorder = self.start_recorder(cap)
        if recorder is None:
            self.fail(["the recorder did not start"])
            return
        r = self.measure([self.binary, str(HZ), str(TONE_S), device, str(LEVEL)], out, err,
                         act_at_s=HOLD_AT_S[-1], act=lambda _: server.kill())
        self.stop(recorder)
        after_s = r.wall_s - (r.acted if r.acted is not None else 0.0)
        self.ends_failing(f"{device} server killed in the drain", r, out, err,
                          "unable to play on pcm device: ", after_s, cap)

    # Phases

    def phase_pulseaudio(self):
        if not self.provide("PulseAudio", "pulseaudio"):
            return
        self.server = "pulseaudio"
        self.server_log = self.work / "pulseaudio.log"
        socket = self.runtime / "native"
        # norewinds: the sink mixes ahead of time and rewinds to mix in a
        # stream that starts, but its monitor has already handed the first
        # mix (silence) to the recorder, which would then miss the first few
        # milliseconds of the tone. memfd off: with it, PulseAudio 16.1
        # aborts now and then on an assertion about imported memfd blocks
        # while a recorder and a player run.
        config = self.work / "pulseaudio.pa"
        config.write_text(
            f"load-module module-null-sink sink_name={SINK} rate=44100 channels=2"
            f" format=s24le norewinds=1\n"
            f"load-module module-native-protocol-unix auth-anonymous=1 socket={socket}\n"
            f"set-default-sink {SINK}\n")
        self.env.update(PULSE_RUNTIME_PATH=str(self.runtime / "pulse"),
                        PULSE_STATE_PATH=str(self.work / "home" / ".pulse-state"))
        self.env["PULSE_SERVER"] = f"unix:{socket}"

        def start():
            # The server itself is started as before any client was set up.
            client = self.env.pop("PULSE_SERVER")
            server = self.spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                 "--system=false", "--realtime=false", "--high-priority=false",
                                 "--enable-memfd=false", "--disallow-exit",
                                 "--log-target=stderr", "-F", str(config)], self.server_log)
            self.env["PULSE_SERVER"] = client
            if self.await_while(server, 10, lambda: self.output(["pactl", "info"])):
                return server
            self.fail(["PulseAudio did not start"])
            return None

        try:
            server = start()
            if server is None:
                return
            version = self.output(["pulseaudio", "--version"]).split()[-1:]
            print(f"== PulseAudio {' '.join(version)}, null sink {SINK}")
            self.test_devices("PulseAudio", ["pulse", "default", "plug:pulse"])
            for at in HOLD_AT_S:
                self.play("pulse", "direct", at)
            self.server_stopped("pulse", server, at_open=False)
            self.server_stopped("pulse", server, at_open=True)
            self.killed_in_drain("pulse", server)
            self.stop(server)
            server = start()
            if server is None:
                return
            self.killed_server("pulse", server)
        finally:
            self.stop_all()
            for variable in ("PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"):
                del self.env[variable]
            self.server_log = None

    def sink_is_default(self):
        """The session manager has taken the null sink as the default one."""
        info = self.output(["wpctl", "inspect", "@DEFAULT_AUDIO_SINK@"])
        return f'node.name = "{SINK}"' in info

    def check_no_devices(self, wireplumber):
        """WirePlumber loaded no device monitor's plugin and opened no sound
        device: it drives nothing but the null sink."""
        try:
            maps = Path(f"/proc/{wireplumber.pid}/maps").read_text()
            fds = [os.readlink(f) for f in Path(f"/proc/{wireplumber.pid}/fd").iterdir()]
        except OSError as e:
            self.fail([f"cannot inspect WirePlumber: {e}"])
            return
        plugins = sorted({line.split()[-1] for line in maps.splitlines()
                          if any(p in line for p in DEVICE_PLUGINS)})
        devices = sorted({fd for fd in fds if fd.startswith("/dev/snd/")})
        print(f"{self.server:10} {'wireplumber':18} device plugins loaded: "
              f"{', '.join(plugins) or 'none'}; sound devices open: {', '.join(devices) or 'none'}")
        if plugins or devices:
            self.fail(["WirePlumber's device monitors ran (see desktop/wireplumber/)"],
                      self.work / "wireplumber.log")
        else:
            self.passed += 1

    def phase_pipewire(self):
        if not self.provide("PipeWire", "pipewire"):
            return
        self.server = "pipewire"
        self.server_log = self.work / "pipewire.log"
        bus = self.runtime / "bus"
        try:
            # A private session bus; the session manager drives no card,
            # camera or Bluetooth device: only the null sink made below.
            dbus = self.spawn(["dbus-daemon", "--session", f"--address=unix:path={bus}",
                               "--nofork", "--nopidfile"], self.work / "dbus.log")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus}"
            self.await_while(dbus, 10, bus.exists)
            # PipeWire's and WirePlumber's settings for this test.
            shutil.copytree(HERE / "desktop", self.env["XDG_CONFIG_HOME"],
                            dirs_exist_ok=True)

            def start():
                # A server killed leaves its sockets behind.
                for stale in self.runtime.glob("pipewire-0*"):
                    stale.unlink()
                server = self.spawn(["pipewire"], self.server_log)
                if not self.await_while(server, 10, (self.runtime / "pipewire-0").exists):
                    self.fail(["PipeWire did not start"])
                    return None, None
                wireplumber = self.spawn(["wireplumber"], self.work / "wireplumber.log")
                with open(self.server_log, "ab") as log:
                    subprocess.run(["pw-cli", "create-node", "adapter",
                                    f"{{ factory.name=support.null-audio-sink node.name={SINK}"
                                    " media.class=Audio/Sink audio.position=[FL FR]"
                                    " audio.rate=44100 object.linger=1 }"],
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, timeout=10)
                if not self.await_while(wireplumber, 10, self.sink_is_default):
                    self.fail(["PipeWire's null sink did not become the default"],
                              self.work / "wireplumber.log")
                    return None, None
                return server, wireplumber

            server, wireplumber = start()
            if server is None:
                return
            version = self.output(["pipewire", "--version"]).split()[-1:]
            print(f"== PipeWire {' '.join(version)}, null sink {SINK}")
            self.check_no_devices(wireplumber)
            self.test_devices("PipeWire", ["pipewire", "default"])
            for at in HOLD_AT_S:
                self.play("pipewire", "direct", at)
            self.server_stopped("pipewire", server, at_open=False)
            self.killed_in_drain("pipewire", server)
            self.stop(wireplumber)
            self.stop(server)
            server, wireplumber = start()
            if server is None:
                return
            self.killed_server("pipewire", server)
        finally:
            self.stop_all()
            self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={self.runtime}/no-session-bus"
            self.server_log = None


def parse_args():
    parser = argparse.ArgumentParser(
        prog=".ci/suites/desktop_test.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--install", action="store_true",
                        help="install missing packages (never removes one). This changes "
                             "which server `default` uses, for every user")
    parser.add_argument("--swap", action="store_true",
                        help="as --install, and may remove PulseAudio for PipeWire")
    parser.add_argument("--only", choices=("pulseaudio", "pipewire"), help="test one server")
    parser.add_argument("binary", nargs="?", default=str(ROOT / "build" / "quemblet"),
                        help="the program to test (default: build/quemblet of this tree)")
    return parser.parse_args()


def main():
    sys.stdout.reconfigure(line_buffering=True)  # progress shows as it goes, in CI too
    args = parse_args()
    binary = Path(args.binary).resolve()
    if not os.access(binary, os.X_OK):
        print(f"desktop_test: no program at {binary} (build it first)", file=sys.stderr)
        return 2
    flags = ["--swap"] if args.swap else ["--install"] if args.install else []
    # SIGTERM and SIGHUP end the test as Ctrl-C does, through the clean-up.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda signum, frame: sys.exit(128 + signum))
    work = Path(tempfile.mkdtemp(prefix="quemblet-desktop."))
    test = DesktopTest(str(binary), flags, work)
    try:
        # The tone that aplay plays: 2 s of 440 Hz at 25 %, 24-bit, from the menu.
        made = test.measure([test.binary], work / "export.log",
                            stdin_text=f"s null\nl {TONE_S}\nexp {test.tone_wav}\nx\n")
        if made.status != 0 or not test.tone_wav.exists():
            test.fail([f"the menu did not export {test.tone_wav}"], work / "export.log")
        else:
            if args.only in (None, "pulseaudio"):
                test.phase_pulseaudio()
            if args.only in (None, "pipewire"):
                test.phase_pipewire()
    except KeyboardInterrupt:
        print("desktop_test: interrupted", file=sys.stderr)
        return 130
    finally:
        test.stop_all()
        shutil.rmtree(work, ignore_errors=True)
    if test.undo:
        print("# to undo what this test installed, run:\n" + "\n".join(test.undo))
    if test.skipped:
        print(f"desktop_test: skipped {', '.join(test.skipped)}")
    print(f"desktop: {test.passed} passed, {test.failed} failed, {len(test.skipped)} skipped")
    return 1 if test.failed else 0


if __name__ == "__main__":
    sys.exit(main())
