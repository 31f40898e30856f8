#!/usr/bin/env python3
"""Keystroke to speech with the real Orca (set up as tests/atspi/orca_test.py does): Tab and
Shift+Tab between the speed control and the tone box, from the key (xdotool) to the next control's
name reaching the speech server's output, idle and during Letters runs at the fastest speed, at the
default speed with Delay 5 and at the slowest speed with Delay 10. Then, in each run, a pointer
click on Stop (xdotool, from the button's release) to the run indicator showing stopped. Prints
median, 90th percentile and largest time [s] per case, and keys never spoken.

Usage: bench/atspi_orca_latency.py <program> [keys per case]   (default 12)"""

import os
import random
import statistics
import subprocess
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
        from gi.repository import Atspi

        sliders = [o for o in session.walk(s.app) if o.get_role_name() == "slider"]
        indicator = session.find(s.app, "status bar", "Run indicator")
        stop = session.find(s.app, "push button", "Stop")
        rows, stops = [("idle", measure(speech, count))], []
        for name, position, delay in (("fastest (165, Delay 1)", 165, 1), ("default (100, Delay 5)", 100, 5),
                                      ("slowest (30, Delay 10)", 30, 10)):
            Atspi.Value.set_current_value(sliders[0], position)
            Atspi.Value.set_current_value(sliders[1], delay)
            speech.tab_to("Letters push button", "shift+Tab")
            key("space")
            speech.until("Running")
            speech.tab_to("slider", "Tab")
            rows.append((name, measure(speech, count)))
            stops.append((name, click_to_stopped(s, stop, indicator)))
            speech.until("Stopped", timeout=60)
            speech.tab_to("slider", "Tab")
    print("Tab to speech            keys  median[s]  p90[s]  max[s]  not spoken")
    for name, (t, lost) in rows:
        print("%-24s %4d  %9.3f  %6.3f  %6.3f  %d" % (name, len(t) + lost, statistics.median(t),
                                                       t[max(0, int(len(t) * 0.9) - 1)], t[-1], lost))
    print("Stop click to the indicator stopped [s]: " +
          ", ".join("%s %.3f" % (name, t) for name, t in stops))
    return 0


def click_to_stopped(s, button, indicator):
    """A pointer click on Stop, from its release to the indicator no longer showing running. [s]"""
    from gi.repository import Atspi

    e = Atspi.Component.get_extents(button, Atspi.CoordType.SCREEN)
    env = dict(os.environ, DISPLAY=s.pulse_env["DISPLAY"])
    subprocess.run(["xdotool", "mousemove", str(e.x + e.width // 2), str(e.y + e.height // 2), "mousedown", "1"],
                   env=env, check=True)
    time.sleep(0.05)
    released = time.monotonic()
    subprocess.run(["xdotool", "mouseup", "1"], env=env, check=True)
    while indicator.get_state_set().contains(Atspi.StateType.CHECKED):
        if time.monotonic() - released > 30:
            return float("nan")
        time.sleep(0.002)
    return time.monotonic() - released


if __name__ == "__main__":
    sys.exit(main())
