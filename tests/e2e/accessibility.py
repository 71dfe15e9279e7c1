#!/usr/bin/env python3
"""What a screen reader hears: the built portdeck binary under Xvfb, its window and controls read
through the accessibility bus (AT-SPI) as a screen reader reads them, with a real client in slot 1.

Run under an X server of its own and dbus-run-session, with Debian's python3 and its Atspi bindings (ctest does).
Every wait is bounded; nothing sleeps to synchronise.
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

from e2e import WINDOW_TITLE, Failure, find_window, script, start_server, wait_for, xdotool  # noqa: E402


# Roles by their enum: the words a library version shows for a role may change ("push button" has
# become "button"), what a screen reader is told does not.
FRAME, CHECK_BOX, TEXT, BUTTON, LABEL = (Atspi.Role.FRAME, Atspi.Role.CHECK_BOX, Atspi.Role.TEXT,
                                         Atspi.Role.PUSH_BUTTON, Atspi.Role.LABEL)


def expected(label1):
    """Role and name of the window and of each control, in the window's order."""
    heard = [(FRAME, WINDOW_TITLE), (CHECK_BOX, "Server"), (TEXT, "Local port"), (BUTTON, "Clear All"),
             (BUTTON, "Exit")]
    for i in range(1, 5):
        heard += [(LABEL, f"Slot {i} " + (label1 if i == 1 else "Remote IP :")),
                  (CHECK_BOX, f"Slot {i} echo"), (CHECK_BOX, f"Slot {i} save capture to file"),
                  (TEXT, f"Slot {i} transcript")]
    return heard


def window_and_controls(pid):
    """The program's window and its controls, read afresh from the bus."""
    window = find_accessible_window(pid)
    if window is None:
        return []
    window.clear_cache()
    return [window] + [window.get_child_at_index(i) for i in range(window.get_child_count())]


def heard(pid):
    """Role and name of the program's window and its controls."""
    return [(a.get_role(), a.get_name()) for a in window_and_controls(pid)] or None


def controls(pid):
    return {a.get_name(): a for a in window_and_controls(pid)[1:]}


def wait_to_hear(pid, names, what):
    last = [None]

    def hears():
        last[0] = heard(pid)
        return last[0] == names

    try:
        wait_for(what, hears)
    except Failure:
        raise Failure(f"timed out waiting for {what}; a screen reader hears {last[0]}")


def find_accessible_window(pid, name=WINDOW_TITLE):
    desktop = Atspi.get_desktop(0)
    for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
        if app is None or app.get_process_id() != pid:
            continue
        app.clear_cache()
        for window in (app.get_child_at_index(i) for i in range(app.get_child_count())):
            if window is not None and window.get_name() == name:
                return window
    return None


def action_names(accessible):
    return [Atspi.Action.get_action_name(accessible, i) for i in range(Atspi.Action.get_n_actions(accessible))]


def do_action(accessible, name):
    """Runs an accessible action by name; returns how long the call took to return, in seconds."""
    offered = action_names(accessible)
    if name not in offered:
        raise Failure(f"{accessible.get_name()!r} offers no {name!r}, only {offered}")
    index = offered.index(name)
    start = time.monotonic()
    try:
        Atspi.Action.do_action(accessible, index)
    except GLib.Error as error:
        raise Failure(f"{name!r} on {accessible.get_name()!r} returned no reply after "
                      f"{time.monotonic() - start:.1f} s: {error.message}")
    return time.monotonic() - start


class Listener:
    """What a screen reader hears from the bus. Events arrive as the GLib main loop runs, which the
    bounded waits and the calls through the bus drive."""

    KINDS = ("object:state-changed:showing", "object:property-change:accessible-name", "object:announcement")

    def __init__(self):
        self.events = []
        self.roles = {}
        self.quiet = False
        self.listener = Atspi.EventListener.new(self._note)
        for kind in self.KINDS:
            self.listener.register(kind)

    def _note(self, event):
        # The new name is read at once, through the bus: it changes with the next message. While
        # a call is timed, nothing is read (the call would wait for it).
        named = event.type.endswith("accessible-name") and not self.quiet
        said = event.any_data if event.type == "object:announcement" else None
        self.events.append((event.type, event.source, event.detail1, event.source.get_name() if named else said))

    def notifications(self, sources=False):
        """What a screen reader presents away from the focus: an announcement (Qt 6.8), or a
        notification's name when it shows (Qt 6.4)."""
        names, heard = {}, []
        for kind, source, shown, data in self.events:
            if kind.endswith("accessible-name"):
                names[source] = data
            elif kind == "object:announcement":
                heard.append((None, data) if sources else data)
            elif shown and self.role(source) == Atspi.Role.NOTIFICATION:
                heard.append((source, names.get(source)) if sources else names.get(source))
        return heard

    def role(self, source):
        if source not in self.roles:
            try:
                self.roles[source] = source.get_role()
            except GLib.Error:
                self.roles[source] = None  # gone before it was read: a dialog's part
        return self.roles[source]

    def wait_to_hear(self, message):
        context = GLib.MainContext.default()

        def heard():
            while context.iteration(False):
                pass
            return message in self.notifications()

        try:
            wait_for(f"{message!r} heard", heard)
        except Failure:
            raise Failure(f"timed out waiting for {message!r}; notifications heard: {self.notifications()}")


def focused(pid, name):
    return controls(pid)[name].get_state_set().contains(Atspi.StateType.FOCUSED)


def tab_to(pid, window_id, name, tabs):
    """Gives the window the keyboard, starts from "Server" and presses Tab, as a keyboard user does."""
    xdotool("windowfocus", "--sync", window_id)
    Atspi.Component.grab_focus(controls(pid)["Server"])
    wait_for("the focus on Server", lambda: focused(pid, "Server"))
    xdotool("key", "--delay", "30", *(["Tab"] * tabs))
    wait_for(f"the focus on {name!r}", lambda: focused(pid, name))


def rest_of(client):
    """What a client receives until its connection ends; bounded by the client's timeout."""
    received = b""
    try:
        while chunk := client.recv(65536):
            received += chunk
    except TimeoutError:
        raise Failure(f"the client's connection did not end; it received {received!r}")
    return received


def drop_by_label_action(pid, window_id, slot, listener):
    label = controls(pid)[f"Slot {slot} Remote IP :127.0.0.{slot + 1}"]
    print(f"accessibility: slot {slot} label actions {action_names(label)}")
    return do_action(label, "Drop client")


def drop_by_menu(key):
    def drop(pid, window_id, slot, listener):
        # Tab goes from "Server" past three controls to the transcripts in the order 4, 1, 2, 3.
        tab_to(pid, window_id, f"Slot {slot} transcript", 4 + [4, 1, 2, 3].index(slot))
        # Keys typed while the menu is open go to the menu; Up from no entry chosen goes to the
        # last entry.
        xdotool("key", "--delay", "30", key, "Up", "Return")
    return drop


# Ways to drop one client without a mouse; each must do what a double-click on the label does.
DROPS = [
    ("label action", drop_by_label_action),
    ("transcript menu, Menu key", drop_by_menu("Menu")),
    ("transcript menu, Shift+F10", drop_by_menu("shift+F10")),
]


def check_drops(pid, window_id, port, listener):
    """One client per way, in slots 1 to 3; each way drops its own slot's client alone."""
    clients = {}
    try:
        for slot in range(1, len(DROPS) + 1):
            clients[slot] = socket.create_connection(("127.0.0.1", port), timeout=15,
                                                     source_address=(f"127.0.0.{slot + 1}", 0))
            wait_to_hear(pid, expected_with({s: f"Remote IP :127.0.0.{s + 1}" for s in clients}),
                         f"slot {slot}'s label with its client's address")
        for slot, (how, drop) in enumerate(DROPS, start=1):
            address, client = f"127.0.0.{slot + 1}", clients[slot]
            arrival = f"Slot {slot}: client {address} connected"
            listener.wait_to_hear(arrival)
            took = drop(pid, window_id, slot, listener)
            left = {s: f"Remote IP :127.0.0.{s + 1}" for s in clients if s > slot}
            wait_to_hear(pid, expected_with(left), f"slot {slot}'s label idle after a drop by {how}")
            received = rest_of(client)
            if received:
                raise Failure(f"{how}: the client received {received!r}, expected nothing")
            departure = f"Slot {slot}: client {address} disconnected"
            listener.wait_to_hear(departure)
            print(f"accessibility: dropped slot {slot} by {how}" +
                  (f"; the action returned in {took * 1000:.1f} ms" if took is not None else ""))
    finally:
        for client in clients.values():
            client.close()
    print("accessibility: notifications heard:", *listener.notifications(), sep="\n  ")
    # A screen reader skips a showing that the same notification shows again soon after, and then
    # reads its name as it is by then: messages in quick succession must not share one.
    heard = listener.notifications(sources=True)
    shared = [(a[1], b[1]) for a, b in zip(heard, heard[1:]) if a[0] is not None and a[0] == b[0]]
    if shared:
        raise Failure(f"messages one after another on the same notification: {shared}")


def expected_with(labels):
    """The window's names with the given slots' label captions, the other labels idle."""
    names = expected("Remote IP :")
    for slot, caption in labels.items():
        names[1 + 4 * slot] = (LABEL, f"Slot {slot} {caption}")
    return names


# Actions that open a dialog return to the caller at once; the dialog then opens.
QUICK_ACTIONS = [
    ("Slot 1 save capture to file", "Toggle", "Open Capture File"),
    ("Slot 4 save capture to file", "Toggle", "Open Capture File"),
]
QUICK_ENOUGH = 0.1


def check_quick_actions(pid, listener):
    for name, action, dialog in QUICK_ACTIONS:
        listener.quiet = True
        took = do_action(controls(pid)[name], action)
        listener.quiet = False
        print(f"accessibility: {action} on {name!r} returned in {took * 1000:.1f} ms")
        if took > QUICK_ENOUGH:
            raise Failure(f"{action} on {name!r} took {took:.3f} s to return")
        opened = wait_for(f"the dialog {dialog!r}", lambda: find_accessible_window(pid, dialog))
        # Behind the dialog the window takes no action, as it takes no click; the state is read
        # after the action's turn has come.
        echo = controls(pid)["Slot 2 echo"]
        do_action(echo, "Toggle")
        echo.clear_cache()
        if echo.get_state_set().contains(Atspi.StateType.CHECKED):
            raise Failure(f"Toggle on 'Slot 2 echo' worked behind the dialog {dialog!r}")
        cancel = [c for c in descendants(opened) if c.get_role() == BUTTON and c.get_name() == "Cancel"]
        do_action(cancel[0], "Press")
        wait_for(f"the dialog {dialog!r} to close", lambda: find_accessible_window(pid, dialog) is None)
        # Cancelled: the box stays ticked with no file; unticking opens nothing.
        do_action(controls(pid)[name], action)
        wait_for(f"{name!r} unticked", lambda: not controls(pid)[name].get_state_set().contains(
            Atspi.StateType.CHECKED))


def descendants(accessible):
    found = []
    for child in (accessible.get_child_at_index(i) for i in range(accessible.get_child_count())):
        if child is not None:
            found += [child] + descendants(child)
    return found


def check_frame_on_x(window_id):
    """A window of fixed size: the window manager is offered no maximise and no other size."""
    said = command_output(["xprop", "-id", str(window_id), "_MOTIF_WM_HINTS", "WM_NORMAL_HINTS"])
    print("accessibility: the window tells the window manager:", " ".join(said.split()))
    hints = [int(v, 16) for v in re.search(r"_MOTIF_WM_HINTS\(_MOTIF_WM_HINTS\) = (.*)", said).group(1).split(", ")]
    maximise_function, maximise_decoration = 0x10, 0x40
    if hints[1] & maximise_function or hints[2] & maximise_decoration:
        raise Failure(f"the window offers maximise: _MOTIF_WM_HINTS {hints}")
    sizes = re.findall(r"program specified (?:minimum|maximum) size: (\d+ by \d+)", said)
    if sizes != ["414 by 570"] * 2:
        raise Failure(f"the window's minimum and maximum sizes are {sizes}")


def command_output(command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


# The palette's highlight colour, and slot 1's transcript in the window's pixels at scale 1.
HIGHLIGHT = b"\x30\x8c\xc6"
SLOT1_TRANSCRIPT = (200 / 15, 1350 / 15, 5800 / 15, 1400 / 15)


def check_focus_shows(binary, out_dir, scale):
    """Slot 1's transcript, focused from the keyboard, is framed in the highlight colour all round."""
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_SCALE_FACTOR=str(scale))
    env.pop("QT_QPA_PLATFORM", None)
    portdeck = subprocess.Popen([binary], env=env)
    try:
        wait_to_hear(portdeck.pid, expected("Remote IP : "), f"the window at scale {scale}")
        window = find_window()
        tab_to(portdeck.pid, window.id, "Slot 1 transcript", 5)
        x, y, w, h = (round(v * scale) for v in SLOT1_TRANSCRIPT)
        crop = ["-crop", f"{w}x{h}+{window.x + x}+{window.y + y}", "+repage"]

        def framed():
            pixels = subprocess.run(["import", "-window", "root", *crop, "-depth", "8", "rgb:-"],
                                    check=True, capture_output=True).stdout
            rows = [pixels[r * w * 3:(r + 1) * w * 3] for r in range(h)]
            sides = {"top": rows[:2], "bottom": rows[-2:],
                     "left": [b"".join(row[c * 3:c * 3 + 3] for row in rows) for c in (0, 1)],
                     "right": [b"".join(row[c * 3:c * 3 + 3] for row in rows) for c in (w - 2, w - 1)]}
            # Along the middle of each side, one of its two outermost lines is highlight all through.
            return all(any(line[len(line) // 5 // 3 * 3:len(line) * 4 // 5 // 3 * 3] ==
                           HIGHLIGHT * (len(line) * 4 // 5 // 3 - len(line) // 5 // 3) for line in lines)
                       for lines in sides.values())

        wait_for(f"the focused transcript's frame in the highlight colour at scale {scale}", framed)
        shot = os.path.join(out_dir, f"portdeck-focus-{scale}.png")
        subprocess.run(["import", "-window", "root", "-crop",
                        f"{round(414 * scale)}x{round(570 * scale)}+{window.x}+{window.y}", "+repage", shot],
                       check=True, capture_output=True)
        print(f"accessibility: focused transcript framed in the highlight colour at scale {scale}; see {shot}")
    finally:
        portdeck.kill()
        portdeck.wait()


def run(binary, out_dir):
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    env.pop("QT_QPA_PLATFORM", None)
    listener = Listener()  # before the program starts, so that it knows someone listens
    portdeck = subprocess.Popen([binary], env=env)
    client = None
    try:
        wait_to_hear(portdeck.pid, expected("Remote IP : "), "the window's controls, each named with its slot")
        for role, name in heard(portdeck.pid):
            print(f"accessibility: {Atspi.role_get_name(role):12} {name!r}")

        # A client in slot 1: its label's name follows the caption, address included.
        window = find_window()
        check_frame_on_x(window.id)
        port = start_server(window)
        client = socket.create_connection(("127.0.0.1", port))
        wait_to_hear(portdeck.pid, expected("Remote IP :127.0.0.1"), "slot 1's label with its client's address")
        print("accessibility: with a client:", repr(heard(portdeck.pid)[5][1]))
        client.close()
        wait_to_hear(portdeck.pid, expected("Remote IP :"), "slot 1's label idle again")
        print("accessibility: all names heard as expected")

        check_quick_actions(portdeck.pid, listener)
        check_drops(portdeck.pid, window.id, port, listener)
    finally:
        portdeck.kill()
        portdeck.wait()
        if client:
            client.close()
    check_focus_shows(binary, out_dir, 1.5)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", default=tempfile.gettempdir())
    return script("accessibility", parser, lambda args: run(args.binary, args.out))


if __name__ == "__main__":
    sys.exit(main())
