#!/usr/bin/env python3
"""Helper of tools/desktop_test.sh (standard library only).

  desktop_check.py run SECONDS LOG COMMAND [ARGS...]
      Runs COMMAND with this process's standard input, its standard output
      and error into LOG, killed after SECONDS. Prints one line
      "STATUS WALL USER SYS": the exit status ("timeout" when killed), the
      wall time and the CPU times of COMMAND alone, in seconds.

  desktop_check.py analyse CAPTURE TONE_SECONDS [FREQUENCY_HZ LEVEL]
      Reads a recording of a sound server's monitor (raw S24_3LE stereo at
      44100 Hz, or a WAV file of 16, 24 or 32-bit PCM or 32-bit float) and
      checks the one tone in it: frequency, peak, channels, length, gaps.
      Prints the figures on one line; exit status 1 when a check fails.
"""
import os
import signal
import struct
import subprocess
import sys
import threading
import time

RATE = 44100
PERIOD_FRAMES = 1024  # what the program asks of a device; it may leave one unsent
# The recorder and the server may smear the ends of the tone by a few frames;
# 64 frames (1.5 ms) is far below what a lost period (23 ms) would take.
EDGE_SLACK_FRAMES = 64
EDGE_FRAMES = 441  # 10 ms
# A sine at 440 Hz and 25 % moves by about 0.0157 of full scale per frame
# near its zero crossings, so more than this many consecutive frames below
# kQuiet inside the tone is a hole in the sound, not a crossing.
QUIET = 1e-3
MAX_QUIET_RUN = 8


def run(argv):
    seconds, log = float(argv[0]), argv[1]
    with open(log, "wb") as out:
        start = time.monotonic()
        child = subprocess.Popen(argv[2:], stdout=out, stderr=subprocess.STDOUT)
        killed = []

        def kill():
            killed.append(True)
            child.send_signal(signal.SIGKILL)

        timer = threading.Timer(seconds, kill)
        timer.start()
        # wait4 gives the CPU time of this child alone (not of this Python).
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        timer.cancel()
        child.returncode = 0  # reaped above; keeps Popen from waiting again
    code = "timeout" if killed else str(os.waitstatus_to_exitcode(status))
    print(f"{code} {wall:.3f} {usage.ru_utime:.3f} {usage.ru_stime:.3f}")


def read_capture(path):
    """Returns (left, right) as lists of floats, full scale 1.0."""
    data = open(path, "rb").read()
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
            sys.exit(f"{path}: no data chunk")
        data = body
    if channels != 2:
        sys.exit(f"{path}: {channels} channels, expected 2")
    width = bits // 8
    count = len(data) // width
    if fmt == 3 and bits == 32:
        values = list(struct.unpack(f"<{count}f", data[:count * 4]))
    elif fmt == 1 and bits in (16, 24, 32):
        full = float(1 << (bits - 1))
        if bits == 24:
            # Sign-extend each 3-byte sample through a 4-byte little-endian word.
            ints = [int.from_bytes(data[i:i + 3], "little", signed=True)
                    for i in range(0, count * 3, 3)]
        else:
            ints = struct.unpack(f"<{count}{'h' if bits == 16 else 'i'}", data[:count * width])
        values = [v / full for v in ints]
    else:
        sys.exit(f"{path}: unsupported sample format {fmt}/{bits} bits")
    return values[0:count - count % 2:2], values[1:count - count % 2:2]


def analyse(argv):
    path, tone_s = argv[0], float(argv[1])
    want_hz = float(argv[2]) if len(argv) > 2 else 440.0
    want_peak = float(argv[3]) / 100 if len(argv) > 3 else 0.25
    left, right = read_capture(path)
    loud = [i for i, v in enumerate(left) if abs(v) > QUIET or abs(right[i]) > QUIET]
    if not loud:
        print(f"{len(left) / RATE:.2f} s recorded, all silent")
        print("FAIL: no sound received")
        return 1
    first, last = loud[0], loud[-1]
    tone = left[first:last + 1]
    # The tone may be cut off in mid-cycle (the last period is not sent); a
    # server that resamples rings for a few milliseconds after such a cut.
    # Frequency and peak are measured away from both ends.
    inner = slice(min(first + EDGE_FRAMES, last), max(last + 1 - EDGE_FRAMES, first + 1))
    middle_l, middle_r = left[inner], right[inner]

    # Rising zero crossings, placed between frames by linear interpolation.
    crossings = [i - 1 + middle_l[i - 1] / (middle_l[i - 1] - middle_l[i])
                 for i in range(1, len(middle_l)) if middle_l[i - 1] < 0 <= middle_l[i]]
    hz = (RATE * (len(crossings) - 1) / (crossings[-1] - crossings[0])
          if len(crossings) > 1 else 0.0)
    peak = max(max(map(abs, middle_l)), max(map(abs, middle_r)))
    channel_diff = max(abs(a - b) for a, b in zip(left, right))
    quiet_run = longest = 0
    for a, b in zip(tone, right[first:last + 1]):
        quiet_run = quiet_run + 1 if abs(a) <= QUIET and abs(b) <= QUIET else 0
        longest = max(longest, quiet_run)
    frames = last - first + 1
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
    low = tone_frames - PERIOD_FRAMES - EDGE_SLACK_FRAMES
    high = tone_frames + EDGE_SLACK_FRAMES
    if not low <= frames <= high:
        failures.append(f"tone lasts {frames} frames, expected {low} to {high}")
    if longest > MAX_QUIET_RUN:
        failures.append(f"a hole of {longest} silent frames inside the tone")
    print(f"{hz:.3f} Hz, peak {peak:.5f}, channels "
          f"{'identical' if channel_diff == 0 else f'differ by {channel_diff:.2e}'}, "
          f"{frames} frames = {frames / RATE:.4f} s (tone {tone_frames}), "
          f"longest quiet run {longest} frames")
    for f in failures:
        print(f"FAIL: {f}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "run":
        run(sys.argv[2:])
    elif len(sys.argv) > 3 and sys.argv[1] == "analyse":
        sys.exit(analyse(sys.argv[2:]))
    else:
        sys.exit(__doc__)
