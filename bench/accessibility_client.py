#!/usr/bin/python3
"""A stand-in for a screen reader: follows one process's accessibility events over AT-SPI, as
a screen reader does, and reads a label's name every 100 ms, timing each answer.

usage: accessibility_client.py PID LABEL-PREFIX [--quiet]
  --quiet  registers for no events: only the name is read.
Prints "found NAME" once the label is found, then runs commands read from stdin, one a line:
  measure  forget the answers so far;
  report   print "answers N slowest MS median MS events N chars N texts N empty N" (chars:
           the text that text-change events carried; texts: those events; empty: those of
           them that carried no text);
  quit     end."""
import sys
import time

import pyatspi
from gi.repository import GLib

INTERVAL_MS = 100
# What a screen reader listens to; the program sends none of these while nobody listens.
EVENTS = ["object:text-changed", "object:text-caret-moved", "object:property-change",
          "object:state-changed", "object:children-changed", "object:visible-data-changed",
          "focus:", "window:"]


def say(line):
    print(line, flush=True)


def find_label(pid, prefix):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None or app.get_process_id() != pid:
            continue
        label = pyatspi.findDescendant(
            app, lambda node: node.getRole() == pyatspi.ROLE_LABEL and node.name.startswith(prefix))
        if label is not None:
            return label
    return None


class Client:
    def __init__(self, label):
        self.label = label
        self.answers = []
        self.events = 0
        self.chars = 0
        self.texts = 0
        self.empty = 0

    def on_event(self, event):
        self.events += 1
        if event.type.startswith("object:text-changed"):
            carried = event.any_data if isinstance(event.any_data, str) else ""
            self.texts += 1
            self.empty += 0 if carried else 1
            self.chars += len(carried)
        # A screen reader first asks the sender whether it is showing.
        event.source.getState()

    def query(self):
        # The cache would answer without asking the program; a screen reader's reads after an
        # event go to the program.
        self.label.clearCache()
        start = time.monotonic()
        self.label.name
        self.answers.append((time.monotonic() - start) * 1000)
        return True

    def command(self, source, _condition):
        line = source.readline().strip()
        if line == "measure":
            self.answers = []
            self.events = 0
            self.chars = 0
            self.texts = 0
            self.empty = 0
        elif line == "report":
            ordered = sorted(self.answers)
            median = ordered[len(ordered) // 2] if ordered else 0
            say("answers %d slowest %.0f median %.0f events %d chars %d texts %d empty %d"
                % (len(ordered), ordered[-1] if ordered else 0, median, self.events, self.chars,
                   self.texts, self.empty))
        else:
            pyatspi.Registry.stop()
            return False
        return True


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    pid, prefix = int(sys.argv[1]), sys.argv[2]
    label = None
    deadline = time.monotonic() + 60
    while label is None and time.monotonic() < deadline:
        label = find_label(pid, prefix)
        if label is None:
            time.sleep(0.2)
    if label is None:
        say("not found")
        return 1
    say("found " + label.name)

    client = Client(label)
    if "--quiet" not in sys.argv[3:]:
        pyatspi.Registry.registerEventListener(client.on_event, *EVENTS)
    GLib.timeout_add(INTERVAL_MS, client.query)
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, client.command)
    pyatspi.Registry.start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
