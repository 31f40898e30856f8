#!/usr/bin/env python3
"""The real Orca on the private desktop of session.py, driven with keys only (xdotool): what it
speaks, as speech-dispatcher's generic module writes each utterance to a file. Checks the speed
control, a run's start and end with Tab into the text window meanwhile, File > Open after "Save
Text?" and Help. Exit code 77: skipped."""

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
        self.s = s
        self.dir = os.path.join(s.tmp.name, "speech")
        os.makedirs(os.path.join(self.dir, "conf", "modules"))
        self.path = os.path.join(self.dir, "spoken.txt")
        open(self.path, "w").close()
        with open(os.path.join(self.dir, "conf", "speechd.conf"), "w") as f:
            f.write('AddModule "file" "sd_generic" "file.conf"\nDefaultModule file\nDefaultLanguage "en"\n')
        with open(os.path.join(self.dir, "conf", "modules", "file.conf"), "w") as f:
            f.write('GenericExecuteSynth "printf \'%%s\\\\n\' \'$DATA\' >> %s"\n' % self.path)
            f.write('AddVoice "en" "MALE1" "file"\nGenericLanguage "en" "en" "utf-8"\n')
        # The generic module opens the sound server even though its command only writes a file.
        env = dict(s.pulse_env, XDG_CONFIG_HOME=self.dir, XDG_DATA_HOME=self.dir, GSETTINGS_BACKEND="memory",
                   SPEECHD_ADDRESS="unix_socket:" + os.path.join(self.dir, "sock"))
        s._start(["speech-dispatcher", "-s", "-t", "0", "-C", os.path.join(self.dir, "conf"), "-c", "unix_socket",
                  "-S", os.path.join(self.dir, "sock"), "-L", self.dir], env=env)
        s._start(["orca", "-u", os.path.join(self.dir, "orca"), "--debug-file", os.path.join(self.dir, "orca.log")],
                 env=env)
        self.seen = 0

    def lines(self):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            return [line.strip() for line in f if line.strip()]

    def take(self):
        """What was spoken since the last take."""
        now = self.lines()
        new, self.seen = now[self.seen:], len(now)
        return new

    def until(self, pattern, what, timeout=15.0):
        """Waits for an utterance matching pattern; returns everything spoken until then."""
        said = []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            said += self.take()
            if any(re.search(pattern, line, re.I) for line in said):
                return said
            time.sleep(0.05)
        raise AssertionError("Orca did not say %s (%r); it said %r" % (what, pattern, said))


    def tab_to(self, pattern, direction):
        """Presses direction (Tab or shift+Tab) until Orca says what matches pattern."""
        for _ in range(14):
            key(direction)
            try:
                return self.until(pattern, pattern, timeout=2.0)
            except AssertionError:
                pass
        raise AssertionError("%s never reached %r" % (direction, pattern))


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "150"] + list(keys), check=True)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    if len(sys.argv) != 2:
        print("usage: orca_test.py <program>")
        return 2
    missing = session.missing_tools() + [t for t in ("orca", "speech-dispatcher", "pulseaudio") if not shutil.which(t)]
    if missing or not os.access(GENERIC, os.X_OK):
        print("SKIPPED: missing " + ", ".join(missing or [GENERIC]))
        return SKIP
    with session.Session(os.path.abspath(sys.argv[1]), pulse=True) as s:
        from gi.repository import Atspi

        memo = session.find(s.app, "text", "Text window")
        speech = Speech(s)
        subprocess.run(["xdotool", "search", "--name", "^QuindleII$", "windowfocus"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        speech.until("QuindleII", "the window's name", timeout=40)

        # The speed in words per minute as keyed: 13.7 at the default position, 13.8 one step on.
        speech.tab_to(r"slider 13\.7", "Tab")
        key("Right")
        speech.until(r"13\.8", "the new speed")
        key("Left")

        # Letters by Space: Stop takes the focus and says that the run goes; Tab into the text
        # window during the run speaks nothing of the run; the end moves on to the indicator.
        speech.tab_to("Letters push button", "shift+Tab")
        key("space")
        said = speech.until("Running", "the run's start")
        key("shift+Tab")  # the run buttons are disabled: the text window is next
        said += speech.until("^Text window", "the text window")
        time.sleep(3.0)  # the run goes on keying meanwhile
        key("Tab")
        said += speech.until("Stop", "the Stop button")
        key("space")
        said += speech.until("Stopped", "the run's end")
        keyed = Atspi.Text.get_text(memo, 0, -1)
        groups = keyed.split()
        check(groups and all(len(g) == 5 for g in groups), "whole groups keyed: %r" % keyed)
        for line in said:
            words = re.findall(r"[a-z]+", line.lower())
            check(not any(len(w) == 1 or w in groups for w in words),
                  "nothing of the run spoken: %r in %r (keyed %r)" % (line, said, keyed))

        # File > Open after "Save Text?" No: the keyboard still reaches the window.
        path = os.path.join(s.tmp.name, "open.txt")
        with open(path, "w") as f:
            f.write("paris report\n")
        speech.tab_to("^Text window", "shift+Tab")
        key("x", "ctrl+o")
        speech.until("Save Text", "the question")
        key("n")
        speech.until("File name|Look in|Open", "the Open dialog")
        subprocess.run(["xdotool", "type", "--delay", "30", path], check=True)
        key("Return")
        speech.until("^Text window", "the text window again")
        key("ctrl+End", "y")
        speech.until("^y$", "the typed letter")
        check(Atspi.Text.get_text(memo, 0, -1) == "paris report\ny", "typing reaches the text window after Open")

        # Help: read line by line with the arrows; Esc closes it.
        speech.take()
        key("alt+h", "h")
        speech.until("OK", "the Help window's OK")
        key("Tab", "Down", "Down")
        speech.until("Most functions are self-explanatory", "the third line of Help")
        key("Escape")
        speech.until("^Text window", "the focus back in the main window")
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
