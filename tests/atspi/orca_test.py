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
        d = os.path.join(s.tmp.name, "speech")
        os.makedirs(os.path.join(d, "conf", "modules"))
        self.path, self.seen = os.path.join(d, "spoken.txt"), 0
        open(self.path, "w").close()
        with open(os.path.join(d, "conf", "speechd.conf"), "w") as f:
            f.write('AddModule "file" "sd_generic" "file.conf"\nDefaultModule file\nDefaultLanguage "en"\n')
        with open(os.path.join(d, "conf", "modules", "file.conf"), "w") as f:
            f.write('GenericExecuteSynth "printf \'%%s\\\\n\' \'$DATA\' >> %s"\n' % self.path
                    + 'AddVoice "en" "MALE1" "file"\nGenericLanguage "en" "en" "utf-8"\n')
        # The generic module opens the sound server even though its command only writes a file.
        env = dict(s.pulse_env, XDG_CONFIG_HOME=d, XDG_DATA_HOME=d, GSETTINGS_BACKEND="memory",
                   SPEECHD_ADDRESS="unix_socket:" + os.path.join(d, "sock"))
        s._start(["speech-dispatcher", "-s", "-t", "0", "-C", os.path.join(d, "conf"), "-c", "unix_socket",
                  "-S", os.path.join(d, "sock"), "-L", d], env=env)
        s._start(["orca", "-u", os.path.join(d, "orca")], env=env)

    def take(self):
        """What was spoken since the last take."""
        with open(self.path, encoding="utf-8", errors="replace") as f:
            now = [line.strip() for line in f if line.strip()]
        new, self.seen = now[self.seen:], len(now)
        return new

    def until(self, pattern, timeout=15.0):
        """Waits for an utterance matching pattern; returns everything spoken until then."""
        said, end = [], time.monotonic() + timeout
        while time.monotonic() < end:
            said += self.take()
            if any(re.search(pattern, line) for line in said):
                return said
            time.sleep(0.02)
        raise AssertionError("Orca did not say %r; it said %r" % (pattern, said))

    def tab_to(self, pattern, direction):
        """Presses direction (Tab or shift+Tab) until Orca says what matches pattern."""
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
    missing = session.missing_tools() + [t for t in ("orca", "speech-dispatcher", "pulseaudio") if not shutil.which(t)]
    if missing or not os.access(GENERIC, os.X_OK):
        print("SKIPPED: missing " + ", ".join(missing or [GENERIC]))
        return SKIP
    with session.Session(os.path.abspath(sys.argv[1]), pulse=True) as s:
        from gi.repository import Atspi

        memo = session.find(s.app, "text", "Text window")
        speech = Speech(s)
        os.system("xdotool search --name '^QuindleII$' windowfocus >/dev/null 2>&1")  # no window manager
        speech.until("QuindleII", timeout=40)

        # The speed in words per minute as keyed: 13.7 at the default position, 13.8 one step on.
        speech.tab_to(r"slider 13\.7", "Tab")
        key("Right")
        speech.until(r"13\.8")
        key("Left")

        # Letters by Space: Stop takes the focus and says that the run goes; Tab into the text
        # window during the run speaks nothing of the run; the end moves on to the indicator.
        speech.tab_to("Letters push button", "shift+Tab")
        key("space")
        said = speech.until("Running")
        key("shift+Tab")  # the run buttons are disabled: the text window is next
        said += speech.until("^Text window")
        time.sleep(3.0)  # the run goes on keying meanwhile
        key("Tab")
        said += speech.until("Stop")
        key("space")
        said += speech.until("Stopped")
        keyed = Atspi.Text.get_text(memo, 0, -1)
        groups = keyed.split()
        assert groups and all(len(g) == 5 for g in groups), "whole groups keyed: %r" % keyed
        spoken = [w for line in said for w in re.findall(r"[a-z]+", line.lower())]
        assert not any(len(w) == 1 or w in groups for w in spoken), "run spoken: %r (%r)" % (said, keyed)

        # File > Open after "Save Text?" No: the keyboard still reaches the window.
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
