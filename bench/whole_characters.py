#!/usr/bin/env python3
"""Characters heard altered during a Letters run at the fastest speed, while the machine is busy
and, optionally, while the whole program is stopped now and then (SIGSTOP, SIGCONT).

Usage: bench/whole_characters.py <program> [seconds] [stop ms] [every s] [--load] [--position=N]
       bench/whole_characters.py <program> --clicks=N [--load] [--position=N]
(defaults 60, 0, 3, the fastest speed position 165; 160 keys 60 words a minute)

The program plays into a PulseAudio null sink (tests/atspi/session.py), whose monitor is recorded
and decoded back into Morse letters after Stop; the text window's letters are compared with them.
--load runs a -j3 build of the project and four busy loops beside it. Run it without real-time
rights, as an ordinary login has them:
    prlimit --rtprio=0:0 capsh --drop=cap_sys_nice -- -c "bench/whole_characters.py build/quindle2"
Prints the characters shown, those heard altered, the time from the click to the first sound in
the recording (to about 10 ms, the recorder's latency), and the program's CPU per
second of keying.
--clicks=N instead clicks Letters N times with the pointer (xdotool: a real X button release, which
is what starts the run), stops each run after a second, and prints the time from each release to
the first sound after it in the recording (p50, max): the click as a user makes it, the stream
already open."""

import difflib
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "atspi"))
import atspi_recording  # noqa: E402
import session  # noqa: E402

RATE = atspi_recording.RATE
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def cpu_ms(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


class Recorder:
    """The null sink's monitor through a pipe, each chunk noted with when it arrived, so that a
    sample's time is known to the recorder's latency (10 ms)."""

    def __init__(self, s):
        self.proc = s._start(["parec", "-d", "q.monitor", "--format=s16le", "--rate=%d" % RATE, "--channels=1",
                              "--latency-msec=10", "--raw"], env=s.pulse_env, stdout=subprocess.PIPE)
        self.data, self.marks = bytearray(), []  # (bytes so far, arrival)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while chunk := os.read(self.proc.stdout.fileno(), 4096):
            self.data += chunk
            self.marks.append((len(self.data), time.monotonic()))

    def stop(self, path):
        self.proc.terminate()
        self.thread.join()
        with open(path, "wb") as f:
            f.write(self.data)

    def time_of(self, sample):
        total, arrived = next(m for m in self.marks if m[0] > 2 * sample)
        return arrived - (total / 2 - sample) / RATE


def start_load(tmp):
    build = os.path.join(tmp, "load-build")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    procs = [subprocess.Popen(["cmake", "--build", build, "-j3"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)]
    procs += [subprocess.Popen([sys.executable, "-c", "while True: pass"], start_new_session=True)
              for _ in range(4)]
    return procs


def click_latency(s, recorder, clicks):
    """The times from a pointer click on Letters to the first sound after it. [s]"""
    from gi.repository import Atspi

    def press(name):
        e = Atspi.Component.get_extents(session.find(s.app, "push button", name), Atspi.CoordType.SCREEN)
        env = dict(os.environ, DISPLAY=s.pulse_env["DISPLAY"])
        subprocess.run(["xdotool", "mousemove", str(e.x + e.width // 2), str(e.y + e.height // 2),
                        "mousedown", "1"], env=env, check=True)
        time.sleep(0.05)
        released = time.monotonic()  # xdotool's own start (a few ms) counts against the program
        subprocess.run(["xdotool", "mouseup", "1"], env=env, check=True)
        return released

    times = []
    for _ in range(clicks):
        times.append(press("Letters"))
        time.sleep(1.0)
        press("Stop")
        time.sleep(1.5)
    samples = bytes(recorder.data)
    found = []
    for t in times:
        first = next((i // 2 for i in range(0, len(samples) - 1, 2)
                      if abs(int.from_bytes(samples[i:i + 2], "little", signed=True)) > 2000
                      and recorder.time_of(i // 2) > t), None)
        found.append(recorder.time_of(first) - t if first is not None else float("nan"))
    return found


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    position = next((int(a.split("=")[1]) for a in sys.argv if a.startswith("--position=")), 165)
    clicks = next((int(a.split("=")[1]) for a in sys.argv if a.startswith("--clicks=")), 0)
    if not args:
        print(__doc__)
        return 2
    seconds = float(args[1]) if len(args) > 1 else 60.0
    stop_ms = float(args[2]) if len(args) > 2 else 0.0
    every = float(args[3]) if len(args) > 3 else 3.0
    import gi

    gi.require_version("Atspi", "2.0")
    with tempfile.TemporaryDirectory() as tmp, session.Session(os.path.abspath(args[0]), pulse=True) as s:
        from gi.repository import Atspi

        load = start_load(tmp) if "--load" in sys.argv else []
        try:
            Atspi.Value.set_current_value(session.find(s.app, "slider"), position)
            memo = session.find(s.app, "text", "Text window")
            recording = os.path.join(tmp, "run.raw")
            recorder = Recorder(s)
            time.sleep(1.0)
            pid = s.app_process.pid
            if clicks:
                found = sorted(click_latency(s, recorder, clicks))
                recorder.stop(recording)
                print("click to first sound, %d clicks: p50 %.0f ms, max %.0f ms (%s)" % (
                    clicks, found[len(found) // 2] * 1000, found[-1] * 1000,
                    " ".join("%.0f" % (f * 1000) for f in found)))
                return 0
            cpu0 = cpu_ms(pid)
            clicked = time.monotonic()
            Atspi.Action.do_action(session.find(s.app, "push button", "Letters"), 0)
            stops = 0
            end = clicked + seconds
            next_stop = clicked + every
            while time.monotonic() < end:
                if stop_ms and time.monotonic() >= next_stop:
                    os.kill(pid, signal.SIGSTOP)
                    time.sleep(stop_ms / 1000)
                    os.kill(pid, signal.SIGCONT)
                    stops += 1
                    next_stop += every
                time.sleep(0.01)
            keyed = time.monotonic() - clicked
            cpu = cpu_ms(pid) - cpu0
            Atspi.Action.do_action(session.find(s.app, "push button", "Stop"), 0)
            shown, still = "", 0.0
            while still < 1.5:
                time.sleep(0.1)
                text = Atspi.Text.get_text(memo, 0, -1)
                still = still + 0.1 if text == shown and text.endswith(" ") else 0.0
                shown = text
            recorder.stop(recording)
        finally:
            for p in load:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        with open(recording, "rb") as f:
            samples = f.read()
        first = next((i // 2 for i in range(0, len(samples) - 1, 2)
                      if abs(int.from_bytes(samples[i:i + 2], "little", signed=True)) > 2000), None)
        heard = atspi_recording.decode(recording, 180 - position)
    a, b = shown.replace(" ", ""), heard.replace(" ", "")
    altered = sum(max(i2 - i1, j2 - j1) for op, i1, i2, j1, j2 in
                  difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes() if op != "equal")
    print("stops of %d ms: %d; keyed %.1f s" % (stop_ms, stops, keyed))
    print("characters shown %d, heard altered %d" % (len(a), altered))
    if first is not None:
        print("click to first sound: %.0f ms" % ((recorder.time_of(first) - clicked) * 1000))
    print("CPU per second of keying: %.1f ms" % (cpu / keyed))
    return 0 if altered == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
