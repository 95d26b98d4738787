#!/usr/bin/env python3
"""Times whole processes: quemblet exporting a 440 Hz tone through its menu
against sox writing the same 24-bit mono WAV file, alternating, several
repetitions; reports medians, ratios and peak resident memory, then the bare
sin floor from tone_bench and the time from process start to the first
frames handed to the sound device.

Usage: bench/compare_sox.py [--install] [build directory] [repetitions]
Needs sox: with --install, tools/setup.sh installs it when it is missing
(and prints the undo); without, a missing sox ends the run with status 77."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALL = sys.argv[1:2] == ["--install"]
ARGS = sys.argv[2:] if INSTALL else sys.argv[1:]
BUILD = os.path.abspath(ARGS[0]) if ARGS else os.path.join(ROOT, "build")
REPS = int(ARGS[1]) if len(ARGS) > 1 else 5
RATE = 44100
FRAME_BYTES = 11  # sample array + packed block


def ensure_sox():
    """The install step of the project's scripts: it says what it would
    change, changes it only with --install, and prints the undo."""
    if shutil.which("sox"):
        return
    flags = ["--install"] if INSTALL else []
    status = subprocess.run([os.path.join(ROOT, "tools", "setup.sh"), *flags, "sox"]).returncode
    if status != 0:
        sys.exit(status)


def run(argv, stdin_path):
    """Runs argv to completion; returns (wall seconds, peak RSS in bytes).

    GNU time reports the peak RSS: a child forked straight from this Python
    process would count Python's own pages in its peak."""
    with tempfile.NamedTemporaryFile("r") as report, open(stdin_path) as stdin:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdin=stdin, stdout=subprocess.DEVNULL, check=True)
        wall = time.perf_counter() - start
        return wall, int(report.read().split()[-1]) * 1024


def bare_sin_seconds(seconds):
    bench = os.path.join(BUILD, "bench", "tone_bench")
    out = subprocess.run(
        [bench, f"--benchmark_filter=BM_(BareSin|MakeToneAndPack)/{seconds}$",
         "--benchmark_format=csv", "--benchmark_repetitions=3",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for line in out.splitlines():
        if "_median" in line:
            name, _, real, _, unit = line.split(",")[:5]
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[unit.strip('"')]
            times[name.strip('"').split("/")[0]] = float(real) * scale
    return times


def first_sound_ms(quemblet, reps):
    """Direct mode, 8 s tone, on the test device that stamps its first write."""
    env = dict(os.environ, ALSA_CONFIG_PATH=os.path.join(BUILD, "alsa_test", "alsa.conf"))
    delays = []
    with tempfile.TemporaryDirectory() as tmp:
        stamp = os.path.join(tmp, "stamp")
        env["QUEMBLET_TEST_STAMP"] = stamp
        for _ in range(reps):
            start = time.time_ns()
            subprocess.run([quemblet, "440", "8", "qt_fast"], env=env, check=True,
                           stdout=subprocess.DEVNULL)
            with open(stamp) as f:
                delays.append((int(f.read()) - start) / 1e6)
    return statistics.median(delays)


def main():
    ensure_sox()
    quemblet = os.path.join(BUILD, "quemblet")
    print(f"{REPS} alternating runs each; medians")
    with tempfile.TemporaryDirectory() as tmp:
        for seconds in (8, 600):
            frames = RATE * seconds
            q_out, s_out = os.path.join(tmp, "q.wav"), os.path.join(tmp, "s.wav")
            script = os.path.join(tmp, "menu.txt")
            with open(script, "w") as f:
                f.write(f"l {seconds}\nexp {q_out}\nx\n")
            q_runs, s_runs = [], []
            for _ in range(REPS):
                q_runs.append(run([quemblet], script))
                s_runs.append(run(["sox", "-n", "-b", "24", "-r", str(RATE), "-c", "1",
                                   s_out, "synth", str(seconds), "sine", "440"], os.devnull))
            # sox writes a longer (extensible) header; the samples are the same size.
            if (os.path.getsize(q_out) != 44 + 3 * frames
                    or os.path.getsize(s_out) < 44 + 3 * frames):
                sys.exit("the files do not hold the tone")
            q_wall = statistics.median(w for w, _ in q_runs)
            s_wall = statistics.median(w for w, _ in s_runs)
            q_rss = max(r for _, r in q_runs)
            s_rss = max(r for _, r in s_runs)
            bound = frames * FRAME_BYTES + 8 * 2**20
            floor = bare_sin_seconds(seconds)
            print(f"{seconds:4d} s tone: quemblet {q_wall * 1e3:8.1f} ms, sox {s_wall * 1e3:8.1f} ms,"
                  f" ratio {q_wall / s_wall:.3f}")
            print(f"           bare sin loop {floor['BM_BareSin'] * 1e3:8.1f} ms,"
                  f" synthesis+packing {floor['BM_MakeToneAndPack'] * 1e3:8.1f} ms"
                  f" ({floor['BM_MakeToneAndPack'] / floor['BM_BareSin']:.2f}x),"
                  f" export {q_wall / floor['BM_BareSin']:.2f}x the bare loop")
            print(f"           peak RSS quemblet {q_rss / 2**20:7.1f} MiB"
                  f" (bound {bound / 2**20:.1f} MiB), sox {s_rss / 2**20:7.1f} MiB")
    print(f"first frames reach the device {first_sound_ms(quemblet, REPS):.2f} ms after start"
          " (8 s tone, direct mode)")


if __name__ == "__main__":
    main()
