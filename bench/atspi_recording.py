#!/usr/bin/env python3
"""Checks that every character shown in the text window during a run is sounded, while an AT-SPI
client walks the whole accessibility tree over and over.

Usage: bench/atspi_recording.py <program> [speed position] [seconds]   (defaults: 120, 8)

The program plays into a PulseAudio null sink (tests/atspi/session.py), whose monitor is recorded.
Letters runs on the sound card while the client walks the tree; after Stop the recording is decoded
back into Morse letters and compared with the text window. Prints the walks made, the requests per
walk, the shown and the decoded text, and whether they agree."""

import array
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "atspi"))
import session  # noqa: E402

RATE = 22540  # [Hz]
MORSE = {".-": "a", "-...": "b", "-.-.": "c", "-..": "d", ".": "e", "..-.": "f", "--.": "g",
         "....": "h", "..": "i", ".---": "j", "-.-": "k", ".-..": "l", "--": "m", "-.": "n",
         "---": "o", ".--.": "p", "--.-": "q", ".-.": "r", "...": "s", "-": "t", "..-": "u",
         "...-": "v", ".--": "w", "-..-": "x", "-.--": "y", "--..": "z", "-----": "0", ".----": "1",
         "..---": "2", "...--": "3", "....-": "4", ".....": "5", "-....": "6", "--...": "7", "---..": "8",
         "----.": "9"}


def characters(path, dot_ms):
    """The characters keyed in a recording: (character, its first sample, the sample after its
    last tone)."""
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    window = RATE // 1000  # 1 ms
    on = [max(abs(v) for v in samples[i:i + window]) > 2000 for i in range(0, len(samples) - window, window)]
    runs = []  # (tone?, length [ms])
    for state in on:
        if runs and runs[-1][0] == state:
            runs[-1][1] += 1
        else:
            runs.append([state, 1])
    found, letter, at, start = [], "", 0, 0
    for tone, ms in runs:
        if tone:
            start = at if not letter else start
            letter += "." if ms < 2 * dot_ms else "-"
        elif ms > 2 * dot_ms and letter:
            found.append((MORSE.get(letter, "?"), start * window, at * window))
            letter = ""
        at += ms
    if letter:
        found.append((MORSE.get(letter, "?"), start * window, at * window))
    return found


def decode(path, dot_ms):
    """The letters keyed in a recording, a space at every silence longer than a letter gap."""
    text, end = "", None
    for c, first, after in characters(path, dot_ms):
        text += (" " if end is not None and first - end > 5 * dot_ms * (RATE // 1000) else "") + c
        end = after
    return text


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    position = int(sys.argv[2]) if len(sys.argv) > 2 else 120
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 8.0
    import gi

    gi.require_version("Atspi", "2.0")
    with tempfile.TemporaryDirectory() as tmp, session.Session(os.path.abspath(sys.argv[1]), pulse=True) as s:
        from gi.repository import Atspi

        Atspi.Value.set_current_value(session.find(s.app, "slider"), position)
        memo = session.find(s.app, "text", "Text window")
        recording = os.path.join(tmp, "run.raw")
        recorder = s.record(recording)
        time.sleep(0.5)
        Atspi.Action.do_action(session.find(s.app, "push button", "Letters"), 0)
        walks, requests = 0, 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for obj in session.walk(s.app):
                obj.get_role_name(), obj.get_name(), obj.get_description(), obj.get_state_set()
                requests += 4
            Atspi.Text.get_text(memo, 0, -1)
            walks += 1
        Atspi.Action.do_action(session.find(s.app, "push button", "Stop"), 0)
        # The run completes its group after Stop: wait until the text ends in the group's space and
        # has stood still for a while, so that its last sound has been recorded too.
        shown, still = "", 0.0
        while still < 1.5:
            time.sleep(0.1)
            text = Atspi.Text.get_text(memo, 0, -1)
            still = still + 0.1 if text == shown and text.endswith(" ") else 0.0
            shown = text
        shown = shown.strip()
        recorder.terminate()
        recorder.wait()
        heard = decode(recording, 180 - position)
    print("walks %d, requests per walk %d" % (walks, requests // max(walks, 1)))
    print("shown: %r" % shown)
    print("heard: %r" % heard)
    print("every shown character sounded: %s" % ("yes" if shown == heard else "NO"))
    return 0 if shown == heard else 1


if __name__ == "__main__":
    sys.exit(main())
