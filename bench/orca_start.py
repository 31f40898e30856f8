#!/usr/bin/env python3
"""From Space on Letters to the run's first tone, with the real Orca and without a screen reader,
and what Orca says at the start (set up as tests/atspi/orca_test.py, with openbox).

Usage: bench/orca_start.py <program> [runs]   (default 5)

The key is pressed with xdotool on the private desktop; the first tone is found in a recording of the
sound server's null sink (bench/whole_characters.py's recorder, 10 ms latency). The announcement's
length is estimated at Orca's default rate, 0.47 s a word (7 words took 3.3 s when measured by ear)."""

import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "atspi"))
sys.path.insert(0, HERE)
from orca_test import Speech, key  # noqa: E402
from whole_characters import Recorder  # noqa: E402
import session  # noqa: E402

SECONDS_PER_WORD = 3.3 / 7


def first_tone_after(recorder, t):
    samples = bytes(recorder.data)
    for i in range(0, len(samples) - 1, 2):
        if abs(int.from_bytes(samples[i:i + 2], "little", signed=True)) > 2000 and recorder.time_of(i // 2) > t:
            return recorder.time_of(i // 2) - t
    return float("nan")


def measure(program, runs, orca):
    spoken = {}

    def start(s):
        spoken["speech"] = Speech(s)
        spoken["speech"].until("Screen reader on", timeout=40)
    with session.Session(program, pulse=True, wm=True, before_app=start if orca else None, a11y=orca) as s:
        from gi.repository import Atspi

        letters = session.find(s.app, "push button", "Letters")
        stop = session.find(s.app, "push button", "Stop")
        recorder = Recorder(s)
        times, said = [], []
        for _ in range(runs):
            Atspi.Component.grab_focus(letters)
            time.sleep(1.0)
            if orca:
                spoken["speech"].take()
            t = time.monotonic()
            key("space")
            if orca:
                said.append(spoken["speech"].until("^Running") + ["%.0f" % ((time.monotonic() - t) * 1000)])
            time.sleep(3.0)
            times.append(first_tone_after(recorder, t))
            Atspi.Action.do_action(stop, 0)
            # The stopped run completes its group (at most about 7.6 s at the default speed): the
            # next Space must start a run afresh, not queue one behind it.
            time.sleep(8.0)
        recorder.stop(os.devnull)
        return sorted(times), said


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    program = os.path.abspath(sys.argv[1])
    if sys.argv[3:4] in (["--orca"], ["--none"]):
        times, said = measure(program, runs, sys.argv[3] == "--orca")
        print(json.dumps([times, said]))
        return 0
    for flag in ("--none", "--orca"):
        # One process per desktop: the client library keeps its first bus for the process's life.
        out = subprocess.run([sys.executable, __file__, program, str(runs), flag], stdout=subprocess.PIPE,
                             text=True, check=True).stdout.strip().splitlines()[-1]
        times, said = json.loads(out)
        print("%s: Space to first tone p50 %.0f ms, max %.0f ms (%d runs)" % (
            "Orca" if flag == "--orca" else "no screen reader", statistics.median(times) * 1000, times[-1] * 1000,
            len(times)))
        if said:
            print("  Running reached the speech server %s ms after the key (polled every 20 ms)"
                  % ", ".join(u.pop() for u in said))
        for utterances in said[:1]:
            words = [w for line in utterances for w in re.findall(r"[A-Za-z]+", line)
                     if line.lower() not in ("space",)]
            last = re.findall(r"[A-Za-z]+", utterances[-1])
            print("  Orca said %r: %d words (about %.1f s); the last, %r, about %.1f s" % (
                utterances, len(words), len(words) * SECONDS_PER_WORD, utterances[-1], len(last) * SECONDS_PER_WORD))
    return 0


if __name__ == "__main__":
    sys.exit(main())
