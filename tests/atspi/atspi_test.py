#!/usr/bin/env python3
"""The program as a screen reader reaches it over AT-SPI, on a private desktop (session.py): the
controls' names, the text window's text and caret, edits through the editable-text interface, and
the events of a run (text inserted, the run indicator's checked state). Exit code 77: skipped."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import session  # noqa: E402

SKIP = 77
CONTROLS = [
    ("text", "Text window"), ("push button", "Letters"), ("push button", "Numbers"),
    ("push button", "Mixed"), ("push button", "Text"), ("push button", "Stop"),
    ("slider", "Words per minute (approx)"), ("spin button", "Tone (Hz)"), ("slider", "Delay"),
    ("push button", "Clear Screen"), ("push button", "Close"), ("status bar", "Run indicator"),
    ("alert", "Closing. Please wait..."),
    # The speed's label, read for the trackbar, has the name, not its misspelt caption.
    ("label", "Words per minute (approx)"),
]


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    if len(sys.argv) != 2:
        print("usage: atspi_test.py <program>")
        return 2
    missing = session.missing_tools()
    if missing:
        print("SKIPPED: missing " + ", ".join(missing))
        return SKIP
    import gi

    gi.require_version("Atspi", "2.0")
    with session.Session(os.path.abspath(sys.argv[1])) as s:
        from gi.repository import Atspi, GLib

        found = {(o.get_role_name(), o.get_name()): o for o in session.walk(s.app)}
        for control in CONTROLS:
            check(control in found, "%s %r has that name" % control)
            description = found[control].get_description()
            check(description or control[0] in ("alert", "label"), "%s %r has a description" % control)
            check(len(description.split()) <= 3, "%s %r: a description of a few words: %r" % (control + (description,)))
        memo = found[("text", "Text window")]
        indicator = found[("status bar", "Run indicator")]
        spin = found[("spin button", "Tone (Hz)")]
        check((Atspi.Value.get_minimum_value(spin), Atspi.Value.get_maximum_value(spin)) == (100, 20000),
              "the tone's range")

        events = []
        listener = Atspi.EventListener.new(lambda e: events.append((e.type, e.source, e.detail1, e.detail2)))
        for kind in ("object:text-changed:insert", "object:text-changed:delete", "object:state-changed:checked",
                     "object:state-changed:focused"):
            listener.register(kind)

        def pump(until, what, timeout=20.0):
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                while GLib.MainContext.default().iteration(False):
                    pass
                if until():
                    return
                time.sleep(0.02)
            raise AssertionError("timed out waiting for " + what)

        Atspi.EditableText.insert_text(memo, 0, "ab\r\ncd\u00e9", 7)
        check(Atspi.Text.get_text(memo, 0, -1) == "ab\ncd\u00e9", "the text with a \\n line end")
        check(Atspi.Text.get_character_count(memo) == 6, "CR LF counts as one")
        check(Atspi.Text.get_caret_offset(memo) == 6, "the caret after the inserted text")
        pump(lambda: any(e[0] == "object:text-changed:insert" and e[2] == 0 for e in events), "the insertion's event")

        Atspi.EditableText.delete_text(memo, 0, 6)
        check(Atspi.Text.get_character_count(memo) == 0, "the text deleted")
        frame = found[("frame", "QuindleII")]
        events.clear()
        Atspi.Action.do_action(found[("push button", "Letters")], 0)
        pump(lambda: indicator.get_state_set().contains(Atspi.StateType.CHECKED), "the indicator to show running")
        announcer = next(o for o in session.walk(s.app) if o.get_role_name() == "notification")
        pump(lambda: announcer.get_name() == "Running", "the run announced")
        # A second of the run: nothing of it reaches a screen reader while it keys.
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            pump(lambda: True, "events")
            check(Atspi.Text.get_character_count(memo) == 0, "the run's characters hidden while keyed")
        Atspi.Action.do_action(found[("push button", "Stop")], 0)
        pump(lambda: not indicator.get_state_set().contains(Atspi.StateType.CHECKED), "the indicator to show stopped")
        # The group under way is completed; then the run has ended.
        pump(lambda: announcer.get_name() == "Stopped", "the run's end")
        shown = Atspi.Text.get_text(memo, 0, -1)
        check(not any(e[0] == "object:text-changed:insert" and e[1] == memo for e in events),
              "no insertion reported for the run's characters")
        check(shown[:5].isalpha() and shown[:5].islower(), "five lower-case letters first: %r" % shown)
        check(any(e[0] == "object:state-changed:checked" and e[1] == indicator for e in events),
              "the indicator's state change")
        # Cleared, after declining to save the run's text: the whole text goes, in one event.
        Atspi.Action.do_action(found[("push button", "Clear Screen")], 0)
        no = lambda: [o for o in session.walk(s.app) if (o.get_role_name(), o.get_name()) == ("push button", "No")]
        pump(no, "the offer to save")
        Atspi.Action.do_action(no()[0], 0)
        pump(lambda: any(e[0] == "object:text-changed:delete" and e[1] == memo and e[3] == len(shown) for e in events),
             "the clearing's event")

        # Closed during a run, the window announces its notice and ends once the run has returned.
        # The notice takes the focus of an active window: without a window manager, the test gives
        # the window the input focus itself.
        subprocess.run(["xdotool", "search", "--name", "^QuindleII$", "windowfocus"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pump(lambda: frame.get_state_set().contains(Atspi.StateType.ACTIVE), "the window to be active")
        alert = found[("alert", "Closing. Please wait...")]
        Atspi.Action.do_action(found[("push button", "Letters")], 0)
        pump(lambda: indicator.get_state_set().contains(Atspi.StateType.CHECKED), "a second run")
        Atspi.Action.do_action(found[("push button", "Close")], 0)
        pump(lambda: any(e[0] == "object:state-changed:focused" and e[1] == alert and e[2] for e in events),
             "the closing notice to take the focus")
        check(s.app_process.wait(timeout=60) == 0, "the program ends with code 0")
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
