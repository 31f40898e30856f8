#!/usr/bin/env python3
"""Time a screen reader's requests to the window while a Letters run is keying.

Usage: bench/atspi_latency.py <program> [speed position ...]   (default positions: 30 165)

For each speed the program is started on a private desktop (tests/atspi/session.py), the speed
control is set through its value interface, Letters is pressed through its action, and for a few
seconds the speed control's extents are asked for over and over (a request that no client caches),
and, where the text window has a text interface, its length after each answer. Prints the median, 90th
percentile and largest time per request [ms], and how often the shown text grew by more than one
character between two answers (a screen reader would see it jump)."""

import json
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "atspi"))
import session  # noqa: E402

SECONDS = 6.0


def measure(program, position):
    with session.Session(program) as s:
        from gi.repository import Atspi

        speed = session.find(s.app, "slider")  # the first: the speed
        Atspi.Value.set_current_value(speed, position)
        try:
            memo = session.find(s.app, "text", "Text window")
        except LookupError:
            memo = None  # a build without the text interface
        letters = session.find(s.app, "push button", "Letters")
        Atspi.Action.do_action(letters, 0)
        times = []
        jumps = 0
        last = Atspi.Text.get_character_count(memo) if memo else 0
        end = time.monotonic() + SECONDS
        while time.monotonic() < end:
            # A pause of its own between requests, as a screen reader's come: one request right
            # after another's answer would find the window still processing messages.
            time.sleep(random.uniform(0.0, 0.05))
            t0 = time.perf_counter()
            Atspi.Component.get_extents(speed, Atspi.CoordType.SCREEN)
            times.append((time.perf_counter() - t0) * 1000.0)
            if memo:
                count = Atspi.Text.get_character_count(memo)
                jumps += count > last + 1
                last = count
        stop = session.find(s.app, "push button", "Stop")
        Atspi.Action.do_action(stop, 0)
        times.sort()
        return {
            "requests": len(times),
            "median": statistics.median(times),
            "p90": times[int(len(times) * 0.9)],
            "max": times[-1],
            "chars": last,
            "jumps": jumps,
        }


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    missing = session.missing_tools()
    if missing:
        print("missing: " + ", ".join(missing))
        return 1
    if sys.argv[2:3] == ["--one"]:
        print(json.dumps(measure(os.path.abspath(sys.argv[1]), int(sys.argv[3]))))
        return 0
    positions = [int(p) for p in sys.argv[2:]] or [30, 165]
    print("position  DotTime[ms]  requests  median[ms]  p90[ms]  max[ms]  chars  jumps>1")
    for position in positions:
        # One process per desktop: the client library keeps its first bus for the process's life.
        out = subprocess.run([sys.executable, __file__, sys.argv[1], "--one", str(position)],
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        print("%8d  %11d  %8d  %10.1f  %7.1f  %7.1f  %5d  %7d" % (
            position, 180 - position, r["requests"], r["median"], r["p90"], r["max"], r["chars"], r["jumps"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
