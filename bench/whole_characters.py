#!/usr/bin/env python3
"""Characters heard altered during a run, while the machine is busy and, optionally, while the
whole program is stopped now and then (SIGSTOP, SIGCONT).

Usage: bench/whole_characters.py <program> [seconds] [stop ms] [every s] [options]
       bench/whole_characters.py <program> --clicks=N [--load] [--position=N]
(defaults 60, 0, 3: a Letters run of 60 s, no stops; stops of a fixed length every few seconds)
  --stops=N --seed=S   N stops of 30 to 1,500 ms instead, at random moments of the middle 60 %
                       of the run, drawn from seed S (12, 1)
  --position=N         the speed control's position (165, the fastest; 160 keys 60 words a minute)
  --delay=N            the delay control's position (1)
  --text=TEXT          a Text run of TEXT from its start instead, ended early after [seconds]
  --pipewire           PipeWire and its PulseAudio server instead of PulseAudio
  --load               a -j3 build of the project and four busy loops beside the run

The program plays into a null sink (tests/atspi/session.py), whose monitor is recorded and
decoded back into Morse characters after Stop; the text window's characters are compared with
them. The window is polled every few ms: its AT-SPI text, which stays as it was when the run began
until the run has returned, and its pixels on the X server, whose changes mark when each character
is written (Letters) or highlighted (Text). Run it without real-time rights, as an ordinary login
has them:
    prlimit --rtprio=0:0 capsh --drop=cap_sys_nice -- -c \
        "/usr/bin/python3 bench/whole_characters.py build/quindle2 60 --stops=12 --seed=1"
    ... build/quindle2 120 --stops=12 --position=100 --delay=10 --text="THE QUICK BROWN FOX 0123456789"
Prints the characters shown and those heard altered; the time from the click to the first sound
in the recording (to about 10 ms, the recorder's latency); the program's CPU per second of keying;
for each stop, how much longer the silence that holds or follows its start is than the untouched
silences of its kind (letter or word gap), and how many exceed the stop by more than one period of
the stream (512 frames); and the time from each character's change on the screen (within one
poll) to its first sound, p50 and max, before the first stop and after the last.
--clicks=N instead clicks Letters N times with the pointer (xdotool: a real X button release, which
is what starts the run), stops each run after a second, and prints the time from each release to
the first sound after it in the recording (p50, max): the click as a user makes it, the stream
already open."""

import ctypes
import difflib
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
from statistics import median

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "atspi"))
import atspi_recording  # noqa: E402
import session  # noqa: E402

RATE = atspi_recording.RATE
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
PERIOD = 512 / RATE  # the stream's period [s]


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


class XImage(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int) for n in ("width", "height", "xoffset", "format")] + [("data", ctypes.c_void_p)] + [
        (n, ctypes.c_int) for n in ("byte_order", "bitmap_unit", "bitmap_bit_order", "bitmap_pad", "depth",
                                    "bytes_per_line")]


class Screen:
    """The text window's pixels, read from the X server: while a run keys, the program shows a
    screen reader the text only as it was when the run began, so its screen is where a character's
    appearance can be seen."""

    def __init__(self, memo):
        from gi.repository import Atspi

        x = self.x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype, x.XOpenDisplay.argtypes = ctypes.c_void_p, [ctypes.c_char_p]
        x.XDefaultRootWindow.restype, x.XDefaultRootWindow.argtypes = ctypes.c_ulong, [ctypes.c_void_p]
        x.XGetImage.restype = ctypes.POINTER(XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + [ctypes.c_uint] * 2 + [
            ctypes.c_ulong, ctypes.c_int]
        x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
        self.display = x.XOpenDisplay(os.environ["DISPLAY"].encode())
        e = Atspi.Component.get_extents(memo, Atspi.CoordType.SCREEN)
        self.area = (x.XDefaultRootWindow(self.display), e.x, e.y, e.width, e.height)

    def grab(self):
        image = self.x.XGetImage(self.display, *self.area, 0xFFFFFFFF, 2)  # ZPixmap
        data = ctypes.string_at(image.contents.data, image.contents.bytes_per_line * image.contents.height)
        self.x.XDestroyImage(image)
        return data


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


def option(name, default, kind=int):
    return next((kind(a.split("=", 1)[1]) for a in sys.argv if a.startswith("--%s=" % name)), default)


def set_speed(s, position):
    """Moves the speed control to a position with the keyboard: its AT-SPI value is a speed in
    words per minute, which depends on the delay."""
    from gi.repository import Atspi

    slider = session.find(s.app, "slider", "Words per minute (approx)")
    e = Atspi.Component.get_extents(slider, Atspi.CoordType.SCREEN)
    subprocess.run(["xdotool", "mousemove", str(e.x + e.width // 2), str(e.y + e.height // 2)], check=True)
    Atspi.Component.grab_focus(slider)  # also keeps the text window's caret from blinking
    subprocess.run(["xdotool", "key", "--delay", "5", "End"] + ["Left"] * (165 - position), check=True)


def appearance_to_sound(changes, found, heard_of):
    """For each character heard as shown: the last change of the text window at or before its
    first sound (and after the one taken for the character before), and that sound's time."""
    pairs, j, taken = [], 0, float("-inf")
    for k, i in sorted(heard_of.items()):
        sound = found[i][1]
        while j < len(changes) and changes[j] <= sound:
            j += 1
        if j and changes[j - 1] > taken:
            taken = changes[j - 1]
            pairs.append((taken, sound))
    return pairs


def stretched_gaps(stops, found, word_after, word_extra):
    """For each silence that holds or follows a stop's start: the stops' length, and how much
    longer than it should be it is, against the median of the untouched silences of its kind
    (letter or word gap; a word gap is a letter gap and word_extra when none is untouched)."""
    gaps = [(found[i][2], found[i + 1][1], word_after(i)) for i in range(len(found) - 1)]
    hit = {}  # gap: the stops in it, together
    for t0, t1 in stops:
        i = min((i for i, g in enumerate(gaps) if g[1] > t0), default=None)
        hit[i] = hit.get(i, 0) + t1 - t0
    hit.pop(None, None)
    untouched = {kind: [e - b for i, (b, e, k) in enumerate(gaps) if k == kind and i not in hit] for kind in (0, 1)}
    normal = {0: median(untouched[0])}
    normal[1] = median(untouched[1]) if untouched[1] else normal[0] + word_extra
    return [(length, gaps[i][1] - gaps[i][0] - normal[gaps[i][2]]) for i, length in sorted(hit.items())]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    position, clicks, delay = option("position", 165), option("clicks", 0), option("delay", 1)
    text = option("text", None, str)
    if not args:
        print(__doc__)
        return 2
    seconds = float(args[1]) if len(args) > 1 else 60.0
    stop_ms = float(args[2]) if len(args) > 2 else 0.0
    every = float(args[3]) if len(args) > 3 else 3.0
    if "--stops" in " ".join(sys.argv):  # random stops, seeded, in the middle 60 % of the run
        rng = random.Random(option("seed", 1))
        plan = sorted((rng.uniform(0.2, 0.8) * seconds, rng.uniform(0.03, 1.5)) for _ in range(option("stops", 12)))
    else:
        plan = [(every * k, stop_ms / 1000) for k in range(1, int(seconds / every) + 1) if stop_ms]
    import gi

    gi.require_version("Atspi", "2.0")
    with tempfile.TemporaryDirectory() as tmp, session.Session(os.path.abspath(args[0]), pulse=True,
                                                                 pipewire="--pipewire" in sys.argv) as s:
        from gi.repository import Atspi

        load = start_load(tmp) if "--load" in sys.argv else []
        try:
            Atspi.Value.set_current_value(session.find(s.app, "slider", "Delay"), delay)
            set_speed(s, position)
            memo = session.find(s.app, "text", "Text window")
            indicator = session.find(s.app, "status bar", "Run indicator")
            if text is not None:
                Atspi.EditableText.set_text_contents(memo, text)
                Atspi.Text.set_caret_offset(memo, 0)
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
            screen = Screen(memo)
            image = screen.grab()
            changes, told, stops, polls, began = [], set(), [], 0, False  # told: the texts seen over AT-SPI
            cpu0 = cpu_ms(pid)
            clicked = time.monotonic()
            Atspi.Action.do_action(session.find(s.app, "push button", "Letters" if text is None else "Text"), 0)
            end = clicked + seconds
            while time.monotonic() < end:
                if plan and time.monotonic() >= clicked + plan[0][0]:
                    os.kill(pid, signal.SIGSTOP)
                    stopped = time.monotonic()
                    time.sleep(plan.pop(0)[1])
                    os.kill(pid, signal.SIGCONT)
                    stops.append((stopped, time.monotonic()))
                polled = time.monotonic()
                grabbed, now_text = screen.grab(), Atspi.Text.get_text(memo, 0, -1)
                changes += [polled] if grabbed != image else []
                told.add(now_text)
                image, polls = grabbed, polls + 1
                running = Atspi.StateSet.contains(indicator.get_state_set(), Atspi.StateType.CHECKED)
                if text is not None and began and not running:
                    break  # the text has been keyed to its end
                began = began or running
                time.sleep(0.003)
            keyed = time.monotonic() - clicked
            cpu = cpu_ms(pid) - cpu0
            Atspi.Action.do_action(session.find(s.app, "push button", "Stop"), 0)
            # The run completes its group after Stop; the text shows once the run has returned.
            shown, still = "", 0.0
            while still < 1.5:
                time.sleep(0.1)
                now_text = Atspi.Text.get_text(memo, 0, -1)
                still = still + 0.1 if now_text == shown and now_text.strip() else 0.0
                shown = now_text
            recorder.stop(recording)
        finally:
            for p in load:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        found = [(c, recorder.time_of(first), recorder.time_of(after))
                 for c, first, after in atspi_recording.characters(recording, 180 - position)]
    letters = [k for k, c in enumerate(shown) if not c.isspace()]
    a, b = "".join(shown[k] for k in letters).lower(), "".join(c for c, _, _ in found)
    opcodes = difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()
    altered = sum(max(i2 - i1, j2 - j1) for op, i1, i2, j1, j2 in opcodes if op != "equal")
    heard_of = {k: j1 + k - i1 for op, i1, i2, j1, j2 in opcodes if op == "equal" for k in range(i1, i2)}  # shown: heard
    print("%s at speed position %d, delay %d, on %s: keyed %.1f s, %d stops of %s ms" % (
        "Letters" if text is None else "Text", position, delay, "PipeWire" if "--pipewire" in sys.argv else "PulseAudio",
        keyed, len(stops), " ".join("%.0f" % ((t1 - t0) * 1000) for t0, t1 in stops)))
    print("characters shown %d, heard altered %d" % (len(a), altered))
    if found:
        print("click to first sound: %.0f ms" % ((found[0][1] - clicked) * 1000))
    print("CPU per second of keying: %.1f ms" % (cpu / keyed))
    # A word gap follows a heard character when a space follows it in the text window.
    shown_of = {i: letters[k] for k, i in heard_of.items()}
    word_after = lambda i: i in shown_of and shown[shown_of[i] + 1:shown_of[i] + 2].isspace()  # noqa: E731
    stretch = stretched_gaps(stops, found, word_after, 5 * (180 - position) * delay / 1000)
    beyond = [x - length for length, x in stretch]
    print("gaps (holding or after a stop) stretched beyond their stops + one period (%.0f ms): %d of %d, largest excess %.0f ms (%s)" % (
        PERIOD * 1000, sum(e > PERIOD for e in beyond), len(stretch), max(beyond, default=0) * 1000,
        " ".join("%.0f/%.0f" % (length * 1000, x * 1000) for length, x in stretch)))
    pairs = appearance_to_sound(changes, found, heard_of)
    for name, part in (("before the first stop", [p for p in pairs if not stops or p[1] < stops[0][0]]),
                       ("after the last stop", [p for p in pairs if stops and p[0] > stops[-1][1]])):
        lags = sorted(sound - seen for seen, sound in part)
        if lags:
            print("appearance to sound %s: %d characters, p50 %.0f ms, max %.0f ms" % (
                name, len(lags), lags[len(lags) // 2] * 1000, lags[-1] * 1000))
    print("text window: %d changes on the screen for %d characters heard as shown, polled every %.1f ms; "
          "its AT-SPI text during the run: %s" % (len(changes), len(heard_of), keyed / max(polls, 1) * 1000,
                                                  " or ".join(sorted(repr(t[:20]) for t in told))))
    return 0 if altered == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
