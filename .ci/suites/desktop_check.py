"""Runs and times programs, and checks recordings of a sound server's
monitor (raw S24_3LE stereo at 44100 Hz from parec, or a 32-bit float WAV
file from pw-record): the measuring half of desktop_test.py."""
import os
import select
import signal
import struct
import subprocess
import time
from typing import NamedTuple, Optional

RATE = 44100
PERIOD_FRAMES = 1024  # what the program asks of a device; it may leave one unsent
# The recorder and the server may smear the ends of the tone by a few frames;
# 64 frames (1.5 ms) is far below what a lost period (23 ms) would take.
EDGE_SLACK_FRAMES = 64
EDGE_FRAMES = 441  # 10 ms
# A sine at 440 Hz and 25 % moves by about 0.0157 of full scale per frame
# near its zero crossings, so more than this many consecutive frames below
# QUIET inside the tone is a hole in the sound, not a crossing.
QUIET = 1e-3
MAX_QUIET_RUN = 8


class Run(NamedTuple):
    status: Optional[int]  # exit status; None when killed at the time limit
    wall_s: float
    cpu_s: float  # user + system time of the program alone, from wait4
    max_rss_kib: int  # peak resident memory of the program alone, see finish()
    acted: Optional[float] = None  # see finish()


def peak_rss_kib(pid):
    """The high-water mark of a live process's resident memory, 0 when it
    has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run(argv, out_path, limit_s, err_path=None, stdin_text=None, env=None,
        act_at_s=None, act=None):
    """Runs argv with standard output into out_path and standard error into
    err_path (None: into out_path too), standard input stdin_text (empty
    when None); kills it limit_s after its start, reaps it and returns how it
    ended and what it used. With act, calls act(pidfd) once act_at_s after
    the start if the child still runs then; Run.acted tells when (seconds
    after the start), or None.

    The peak memory is read from /proc while the child runs, every 20 ms:
    wait4's ru_maxrss would not do, as Linux counts in it the memory of the
    process image that exec replaced, here a copy of this Python (some 15 to
    30 MiB, more than the program itself takes). A child that ends within
    20 ms of a last burst of allocation is under-reported by that burst."""
    with open(out_path, "wb") as out, open(err_path or os.devnull, "wb") as err:
        started = time.monotonic()
        popen = subprocess.Popen(
            argv, env=env, stdout=out, stderr=err if err_path else subprocess.STDOUT,
            stdin=subprocess.DEVNULL if stdin_text is None else subprocess.PIPE)
    # The pidfd names this child, never a process that took over its number.
    pidfd = os.pidfd_open(popen.pid)
    peak, acted, reaped = 0, None, False
    try:
        if stdin_text is not None:
            # A menu session is a few dozen bytes: the pipe holds it all at once.
            try:
                popen.stdin.write(stdin_text.encode())
                popen.stdin.close()
            except BrokenPipeError:
                pass  # the program ended without reading: its status tells how
        deadline = started + limit_s
        while True:
            now = time.monotonic()
            if now >= deadline:
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
                killed = True
                break
            if act and acted is None and now >= started + act_at_s:
                act(pidfd)
                acted = time.monotonic() - started
            if select.select([pidfd], [], [], min(deadline - now, 0.02))[0]:
                killed = False
                break
            # Until it is reaped the number is the child's, alive or not.
            peak = max(peak, peak_rss_kib(popen.pid))
        # wait4 gives the CPU time of this child alone, not of this Python.
        _, status, usage = os.wait4(popen.pid, 0)
        reaped = True
        wall = time.monotonic() - started
    finally:
        if not reaped:
            # Interrupted (Ctrl-C, SIGTERM): the child goes with this run.
            try:
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
            except ProcessLookupError:
                pass  # it had ended: reaping is all that is left
            os.wait4(popen.pid, 0)
        os.close(pidfd)
        popen.returncode = -1  # reaped above; keeps Popen from waiting again
    return Run(None if killed else os.waitstatus_to_exitcode(status), wall,
               usage.ru_utime + usage.ru_stime, peak, acted)


class CaptureError(Exception):
    """A recording that cannot be read."""


def read_capture(path):
    """Returns (left, right) as lists of floats, full scale 1.0."""
    with open(path, "rb") as f:
        data = f.read()
    bits, fmt, channels = 24, 1, 2
    if data[:4] == b"RIFF" and data[8:12] == b"WAVE":
        pos, body = 12, None
        while pos + 8 <= len(data):
            cid, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
            if cid == b"fmt ":
                fmt, channels = struct.unpack_from("<HH", data, pos + 8)
                bits = struct.unpack_from("<H", data, pos + 22)[0]
                if fmt == 0xFFFE:  # WAVE_FORMAT_EXTENSIBLE: the sub-format's first word
                    fmt = struct.unpack_from("<H", data, pos + 32)[0]
            elif cid == b"data":
                # A recorder stopped by a signal may leave the size unset: read to the end.
                body = data[pos + 8:]
                break
            pos += 8 + size + (size & 1)
        if body is None:
            raise CaptureError(f"{path}: no data chunk")
        data = body
    if channels != 2:
        raise CaptureError(f"{path}: {channels} channels, expected 2")
    width = bits // 8
    count = len(data) // width
    if fmt == 3 and bits == 32:
        values = list(struct.unpack(f"<{count}f", data[:count * 4]))
    elif fmt == 1 and bits == 24:
        values = [int.from_bytes(data[i:i + 3], "little", signed=True) / 8388608.0
                  for i in range(0, count * 3, 3)]
    else:
        raise CaptureError(f"{path}: unsupported sample format {fmt}/{bits} bits")
    return values[0:count - count % 2:2], values[1:count - count % 2:2]


def analyse(path, tone_s, want_hz=440.0, level_percent=25.0, pauses=0):
    """Checks the one tone in a recording. Returns (figures, failures): one
    line of what was measured and a list of what is wrong (empty: all
    right). Up to `pauses` of the longest silences inside the tone (the
    program was held) split it into parts and are not counted as its
    frames. Raises CaptureError when the file cannot be read."""
    want_peak = level_percent / 100
    left, right = read_capture(path)
    loud = [i for i, v in enumerate(left) if abs(v) > QUIET or abs(right[i]) > QUIET]
    if not loud:
        return f"{len(left) / RATE:.2f} s recorded, all silent", ["no sound received"]
    first, last = loud[0], loud[-1]
    # Silences inside the tone, as (start, frames).
    quiet, run = [], 0
    for i in range(first, last + 2):
        if i <= last and abs(left[i]) <= QUIET and abs(right[i]) <= QUIET:
            run += 1
        elif run:
            quiet.append((i - run, run))
            run = 0
    quiet.sort(key=lambda q: q[1])
    held = sorted(q for q in quiet[-pauses:] if q[1] > MAX_QUIET_RUN) if pauses else []
    longest = max((q[1] for q in quiet if q not in held), default=0)
    starts = [first] + [start + length for start, length in held]
    ends = [start for start, _ in held] + [last + 1]
    frames = sum(end - start for start, end in zip(starts, ends))
    # The tone may be cut off in mid-cycle (the last period is not sent); a
    # server that resamples rings for a few milliseconds after such a cut.
    # Frequency and peak are measured away from the ends of each part.
    count = span = 0.0
    peak = 0.0
    for start, end in zip(starts, ends):
        inner = slice(min(start + EDGE_FRAMES, end - 1), max(end - EDGE_FRAMES, start + 1))
        middle_l, middle_r = left[inner], right[inner]
        # Rising zero crossings, placed between frames by linear interpolation.
        crossings = [i - 1 + middle_l[i - 1] / (middle_l[i - 1] - middle_l[i])
                     for i in range(1, len(middle_l)) if middle_l[i - 1] < 0 <= middle_l[i]]
        if len(crossings) > 1:
            count, span = count + len(crossings) - 1, span + crossings[-1] - crossings[0]
        # A part of a frame or two (the rest of a tone held just before its
        # end) has no middle.
        peak = max([peak, *map(abs, middle_l), *map(abs, middle_r)])
    hz = RATE * count / span if span else 0.0
    channel_diff = max(abs(a - b) for a, b in zip(left, right))
    tone_frames = round(tone_s * RATE)

    failures = []
    if abs(hz - want_hz) > 0.5:
        failures.append(f"frequency {hz:.3f} Hz, expected {want_hz:.3f} within 0.5")
    # The sampled peak of a 440 Hz sine at 44100 Hz is within 0.05 % of the
    # true one; servers at unity volume convert through 32-bit floats (error
    # below 1e-6). 1 % (0.09 dB) is far below any volume step a server
    # would apply, so a larger deviation is a real change of gain.
    if abs(peak - want_peak) > 0.01 * want_peak:
        failures.append(f"peak {peak:.5f}, expected {want_peak:.5f} within 1 %")
    # Both channels come from one block: they must agree to the last bit
    # (2 ** -23 allows a float round trip to move one step).
    if channel_diff > 2.0 ** -23:
        failures.append(f"channels differ by up to {channel_diff:.6f} of full scale")
    slack = EDGE_SLACK_FRAMES * (1 + len(held))
    low, high = tone_frames - PERIOD_FRAMES - slack, tone_frames + slack
    if not low <= frames <= high:
        failures.append(f"tone lasts {frames} frames, expected {low} to {high}")
    if longest > MAX_QUIET_RUN:
        failures.append(f"a hole of {longest} silent frames inside the tone")
    channels = "identical" if channel_diff == 0 else f"differ by {channel_diff:.2e}"
    figures = (f"{hz:.3f} Hz, peak {peak:.5f}, channels {channels}, "
               f"{frames} frames = {frames / RATE:.4f} s (tone {tone_frames}), "
               f"longest quiet run {longest} frames"
               + "".join(f", held {length / RATE:.2f} s" for _, length in held))
    return figures, failures

