#!/usr/bin/env python3
"""What a screen reader hears: the built portdeck binary under Xvfb, its window and controls read
through the accessibility bus (AT-SPI) as a screen reader reads them, with a real client in slot 1.

Run under an X server of its own and dbus-run-session, with Debian's python3 and its Atspi bindings (ctest does).
Every wait is bounded; nothing sleeps to synchronise.
"""
import os
import socket
import subprocess
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

from e2e import WINDOW_TITLE, Failure, binary_script, find_window, start_server, wait_for  # noqa: E402


def expected(label1):
    """Role and name of the window and of each control, in the window's order."""
    heard = [("frame", WINDOW_TITLE), ("check box", "Server"), ("text", "Local port"),
             ("push button", "Clear All"), ("push button", "Exit")]
    for i in range(1, 5):
        heard += [("label", f"Slot {i} " + (label1 if i == 1 else "Remote IP :")),
                  ("check box", f"Slot {i} echo"), ("check box", f"Slot {i} save capture to file"),
                  ("text", f"Slot {i} transcript")]
    return heard


def heard(pid):
    """Role and name of the program's window and its controls, read afresh from the bus."""
    desktop = Atspi.get_desktop(0)
    for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
        if app is None or app.get_process_id() != pid or app.get_child_count() == 0:
            continue
        window = app.get_child_at_index(0)
        window.clear_cache()
        controls = [window.get_child_at_index(i) for i in range(window.get_child_count())]
        return [(a.get_role_name(), a.get_name()) for a in [window] + controls]
    return None


def wait_to_hear(pid, names, what):
    last = [None]

    def hears():
        last[0] = heard(pid)
        return last[0] == names

    try:
        wait_for(what, hears)
    except Failure:
        raise Failure(f"timed out waiting for {what}; a screen reader hears {last[0]}")


def run(binary):
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    env.pop("QT_QPA_PLATFORM", None)
    portdeck = subprocess.Popen([binary], env=env)
    client = None
    try:
        wait_to_hear(portdeck.pid, expected("Remote IP : "), "the window's controls, each named with its slot")
        for role, name in heard(portdeck.pid):
            print(f"accessibility: {role:12} {name!r}")

        # A client in slot 1: its label's name follows the caption, address included.
        port = start_server(find_window())
        client = socket.create_connection(("127.0.0.1", port))
        wait_to_hear(portdeck.pid, expected("Remote IP :127.0.0.1"), "slot 1's label with its client's address")
        print("accessibility: with a client:", repr(heard(portdeck.pid)[5][1]))
        client.close()
        wait_to_hear(portdeck.pid, expected("Remote IP :"), "slot 1's label idle again")
        print("accessibility: all names heard as expected")
    finally:
        portdeck.kill()
        portdeck.wait()
        if client:
            client.close()


if __name__ == "__main__":
    sys.exit(binary_script("accessibility", run))
