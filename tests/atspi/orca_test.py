#!/usr/bin/env python3
"""The real Orca on the private desktop of session.py, with a window manager (openbox), driven with
keys only (xdotool): what it speaks, as speech-dispatcher's generic module writes each utterance to a
file. Checks the speed control, a run's start and end with Tab into the text window meanwhile, Enter
on a run button and the Options menu during a run, F10, File > Open after "Save Text?" with the
file-name completer open, and Help. Every wait is on what Orca says, scaled to the machine's load.
Exit code 77: skipped."""

import fcntl
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import session  # noqa: E402

SKIP = 77
GENERIC = "/usr/lib/speech-dispatcher-modules/sd_generic"


class Speech:
    """Orca with its own preferences and a speech-dispatcher that writes what it is given to say."""

    def __init__(self, s):
        d = os.path.join(s.tmp.name, "speech")
        os.makedirs(os.path.join(d, "conf", "modules"))
        self.path, self.seen = os.path.join(d, "spoken.txt"), 0
        open(self.path, "w").close()
        with open(os.path.join(d, "conf", "speechd.conf"), "w") as f:
            f.write('AddModule "file" "sd_generic" "file.conf"\nDefaultModule file\nDefaultLanguage "en"\n')
        with open(os.path.join(d, "conf", "modules", "file.conf"), "w") as f:
            f.write('GenericExecuteSynth "printf \'%%s\\\\n\' \'$DATA\' >> %s"\n' % self.path
                    + 'AddVoice "en" "MALE1" "file"\nGenericLanguage "en" "en" "utf-8"\n')
        # Orca ends at once when another Orca of the same user runs (another test, in any tree):
        # one at a time, by a lock, and after any Orca that was started without it has ended.
        self.lock = open("/tmp/quindle-orca-%d.lock" % os.getuid(), "w")
        end = time.monotonic() + 600 * session.time_scale()
        while True:
            try:
                fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                others = subprocess.run(["pgrep", "-u", str(os.getuid()), "-x", "orca"], stdout=subprocess.DEVNULL)
                if others.returncode != 0:
                    break
                fcntl.flock(self.lock, fcntl.LOCK_UN)
            except BlockingIOError:
                pass
            assert time.monotonic() < end, "another Orca of this user kept running"
            time.sleep(0.5)
        # The generic module opens the sound server even though its command only writes a file.
        env = dict(s.pulse_env, XDG_CONFIG_HOME=d, XDG_DATA_HOME=d, GSETTINGS_BACKEND="memory",
                   SPEECHD_ADDRESS="unix_socket:" + os.path.join(d, "sock"))
        s._start(["speech-dispatcher", "-s", "-t", "0", "-C", os.path.join(d, "conf"), "-c", "unix_socket",
                  "-S", os.path.join(d, "sock"), "-L", d], env=env)
        self.orca = s._start(["orca", "-u", os.path.join(d, "orca")], env=env)

    def take(self):
        """What was spoken since the last take."""
        with open(self.path, encoding="utf-8", errors="replace") as f:
            now = [line.strip() for line in f if line.strip()]
        new, self.seen = now[self.seen:], len(now)
        return new

    def until(self, pattern, timeout=15.0):
        """Waits for an utterance matching pattern; returns everything spoken until then."""
        said, end = [], time.monotonic() + timeout * session.time_scale()
        while time.monotonic() < end:
            said += self.take()
            if any(re.search(pattern, line) for line in said):
                return said
            assert self.orca.poll() is None, "Orca ended (%s)" % self.orca.returncode
            time.sleep(0.02)
        raise AssertionError("Orca did not say %r; it said %r" % (pattern, said))

    def tab_to(self, pattern, direction):
        """Presses direction (Tab, shift+Tab, Escape) until Orca says what matches pattern."""
        for _ in range(14):
            key(direction)
            try:
                return self.until(pattern, timeout=2.0)
            except AssertionError:
                pass
        raise AssertionError("%s never reached %r" % (direction, pattern))


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "150"] + list(keys), check=True)


def main():
    missing = session.missing_tools() + [t for t in ("orca", "speech-dispatcher", "pulseaudio", "openbox")
                                         if not shutil.which(t)]
    if missing or not os.access(GENERIC, os.X_OK):
        print("SKIPPED: missing " + ", ".join(missing or [GENERIC]))
        return SKIP
    spoken = {}

    def start_orca(s):
        # Orca first, so that it hears the window come up whenever the machine lets it start.
        spoken["speech"] = Speech(s)
        spoken["speech"].until("Screen reader on", timeout=40)

    with session.Session(os.path.abspath(sys.argv[1]), pulse=True, wm=True, before_app=start_orca) as s:
        from gi.repository import Atspi

        speech = spoken["speech"]
        memo = session.find(s.app, "text", "Text window")
        speed = session.find(s.app, "slider", "Words per minute (approx)")
        speech.until("QuindleII", timeout=40)

        # The speed in words per minute as keyed: 13.7 at the default position, 13.8 one step on;
        # positions 31 and 32, the same to a tenth, are heard apart.
        speech.tab_to(r"slider 13\.7", "Tab")
        key("Right")
        speech.until(r"13\.8")
        values = []
        for k in ("Home", "Right", "Right"):
            key(k)
            values.append(speech.until(r"^\d+\.\d+$")[-1])
        assert len(set(values)) == 3, "every step heard as another value: %r" % values
        Atspi.Value.set_current_value(speed, 13.7)

        # Letters by Space: Stop takes the focus and "Running" is the last thing said before the
        # run's lead-in ends; Tab into the text window during the run speaks nothing of the run;
        # Space on Stop says "Stopping" at once, "Stopped" when the group has been completed.
        speech.tab_to("Letters push button", "shift+Tab")
        key("space")
        said = speech.until("^Running")
        assert said[-1].rstrip(".") == "Running", "the start announced in one word: %r" % said
        key("shift+Tab")  # the run buttons are disabled: the text window is next
        said += speech.until("^Text window")
        time.sleep(3.0)  # the run goes on keying meanwhile
        key("Tab")
        said += speech.until("Stop")
        key("space")
        said += speech.until("^Stopping")
        after_stop = speech.until("^Stopped")
        said += after_stop
        keyed = Atspi.Text.get_text(memo, 0, -1)
        groups = keyed.split()
        assert groups and all(len(g) == 5 for g in groups), "whole groups keyed: %r" % keyed
        words = [w for line in said for w in re.findall(r"[a-z]+", line.lower())]
        assert not any(len(w) == 1 or w in groups for w in words), "run spoken: %r (%r)" % (said, keyed)
        assert after_stop[-1].rstrip(".") == "Stopped", "nothing after the run's end: %r" % after_stop

        # Enter on a focused button starts its run. Stopped at once, it completes its group; a run
        # asked for meanwhile is announced as it starts. Alt+O during that run opens Options.
        speech.tab_to("Numbers push button", "shift+Tab")
        key("Return")
        speech.until("^Running")
        time.sleep(1.5)  # into the group, past the lead-in
        key("space")
        speech.until("^Stopping")
        speech.tab_to("Mixed push button", "shift+Tab")
        key("Return")
        speech.until("^Running", timeout=30)
        key("alt+o")
        speech.until("Lower Case")
        time.sleep(2.0)  # the run keys on beside the open menu
        options = next(o for o in session.walk(s.app) if o.get_name() == "Options").get_child_at_index(0)
        assert options.get_state_set().contains(Atspi.StateType.SHOWING), "the Options menu closed during a run"
        speech.tab_to("Stop push button", "Escape")  # the focus back where the run put it
        key("space")
        speech.until("^Stopped", timeout=30)

        # F10 opens the first menu; an option is read with its tick, and a toggle is confirmed, both ways.
        speech.take()
        key("F10")
        speech.until("^New")
        key("Right")  # the next menu, without the window announced between the two
        said = speech.until("^Lower Case")
        assert not any(line.startswith("Text window") for line in said), "Right from F10's menu: %r" % said
        speech.tab_to("Stop push button", "Escape")  # closed, back where it was opened
        for before, after in (("checked", "not checked"), ("not checked", "checked")):
            key("alt+o")
            speech.until(r"^Lower Case check box %s\.?$" % before)
            key("Return")
            speech.until(r"^Lower Case %s\.?$" % after)

        # File > Open after "Save Text?" No, a full path typed (the completer lists the names that
        # match as it is typed), then Return: the keyboard still reaches the text window.
        path = os.path.join(s.tmp.name, "open.txt")
        with open(path, "w") as f:
            f.write("paris report\n")
        speech.tab_to("^Text window", "shift+Tab")
        key("x", "ctrl+o")
        speech.until("Save Text")
        key("n")
        speech.until("File name|Look in|Open")
        subprocess.run(["xdotool", "type", "--delay", "30", path], check=True)
        key("Return")
        speech.until("^Text window")
        key("ctrl+End", "y")
        speech.until("^y$")
        assert Atspi.Text.get_text(memo, 0, -1) == "paris report\ny", "typing reaches the text window after Open"

        # Help: read line by line with the arrows; Esc closes it.
        speech.take()
        key("alt+h", "h")
        speech.until("OK")
        key("Tab", "Down", "Down")
        speech.until("Most functions are self-explanatory")
        key("Escape")
        speech.until("^Text window")
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
