#!/usr/bin/env python3
"""Keystroke to speech with the real Orca (set up as tests/atspi/orca_test.py does): Tab and
Shift+Tab between the speed control and the tone box, from the key (xdotool) to the next control's
name reaching the speech server's output, idle and during Letters runs at the slowest and fastest
speeds. Prints median, 90th percentile and largest time [s] per case, and keys never spoken.

Usage: bench/atspi_orca_latency.py <program> [keys per case]   (default 12)"""

import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "atspi"))
from orca_test import Speech, key  # noqa: E402
import session  # noqa: E402


def measure(speech, count):
    times, lost = [], 0
    for i in range(count):
        time.sleep(random.uniform(0.4, 0.8))  # the last utterance ends; no fixed phase to the run
        speech.take()
        t0 = time.monotonic()
        key("shift+Tab" if i % 2 else "Tab")
        try:
            speech.until("slider" if i % 2 else "Tone", timeout=3.0)
            times.append(time.monotonic() - t0)
        except AssertionError:
            lost += 1
    return sorted(times), lost


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 12
    with session.Session(os.path.abspath(sys.argv[1]), pulse=True) as s:
        speech = Speech(s)
        os.system("xdotool search --name '^QuindleII$' windowfocus >/dev/null 2>&1")
        speech.until("QuindleII", timeout=40)
        speech.tab_to("slider", "Tab")
        rows = [("idle", measure(speech, count))]
        for name, end_key in (("slowest (position 30)", "Home"), ("fastest (position 165)", "End")):
            key(end_key)
            speech.tab_to("Letters push button", "shift+Tab")
            key("space")
            speech.until("Running")
            speech.tab_to("slider", "Tab")
            rows.append((name, measure(speech, count)))
            speech.tab_to("Stop push button", "shift+Tab")
            key("space")
            speech.until("Stopped", timeout=30)
            speech.tab_to("slider", "Tab")
    print("case                     keys  median[s]  p90[s]  max[s]  not spoken")
    for name, (t, lost) in rows:
        print("%-24s %4d  %9.3f  %6.3f  %6.3f  %d" % (name, len(t) + lost, statistics.median(t),
                                                       t[max(0, int(len(t) * 0.9) - 1)], t[-1], lost))
    return 0


if __name__ == "__main__":
    sys.exit(main())
