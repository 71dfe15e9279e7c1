#!/usr/bin/env python3
"""Running out of descriptors under a real X server: the built portdeck binary as an X client under
Xvfb, its descriptor limit lowered from outside to the count in use + 3 while eight clients connect.

Showing the message needs descriptors of its own on X (the icon theme's files, a shared-memory
segment for the new window's backing store); without them the X connection breaks and the window
stops for good. This checks that the operator is told exactly once, that the window answers clicks
during and after the shortage, and that clients are served again once the limit is back.

Run under an X server of its own (ctest does, with tests/run-in-xvfb). Every wait is bounded.
"""
import os
import resource
import socket
import subprocess
import sys
import time

from e2e import SLOT1_LABEL, Failure, binary_script, find_window, px, start_server, wait_for, xdotool

MESSAGE_TITLE = "Portdeck"
SLOT_ROW_TOP = {1: 1100, 2: 2950}
WAITING_CLIENTS = 8
SLOTS = 4


def transcript(slot):
    return (px(200) + px(5800) // 2, px(SLOT_ROW_TOP[slot] + 250) + px(1400) // 2)


class Messages:
    """Every operator message shown so far: each is a window of its own, titled "Portdeck"."""

    def __init__(self):
        self.seen = set()

    def visible(self):
        shown = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + MESSAGE_TITLE + "$"],
                               capture_output=True, text=True).stdout.split()
        self.seen.update(shown)
        return shown


class Client:
    """A plain loopback client that reads without blocking the test. Its source address stands for
    a client machine: a client from an address that already holds a slot would replace it."""

    def __init__(self, port, machine):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=5,
                                               source_address=(f"127.0.0.{machine}", 0))
        self.socket.setblocking(False)
        self.received = bytearray()
        self.ended = False

    def poll(self):
        try:
            while not self.ended:
                chunk = self.socket.recv(4096)
                if not chunk:
                    self.ended = True
                self.received += chunk
        except BlockingIOError:
            pass
        except ConnectionResetError:
            self.ended = True
        return self

    def close(self):
        self.socket.close()


def answer_time(window, slot, client, key):
    """Clicks slot's transcript and types key; returns the seconds until the client has the key,
    which it only gets if the window handled the click (the focus was elsewhere) and the key."""
    start = time.monotonic()
    window.click(transcript(slot))
    xdotool("type", key)
    wait_for(f"the key typed into slot {slot} at its client",
             lambda: key.encode() in client.poll().received, timeout=10)
    return time.monotonic() - start


def close_time(messages, box):
    """Answers the message with Return; returns the seconds until it has gone."""
    start = time.monotonic()
    xdotool("windowfocus", "--sync", box)
    xdotool("key", "Return")
    wait_for("the message to close", lambda: box not in messages.visible(), timeout=10)
    return time.monotonic() - start


def run(binary):
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    portdeck = subprocess.Popen([binary], env=env)
    clients = []
    messages = Messages()
    try:
        window = find_window()
        port = start_server(window)  # leaves the focus on "Server"
        first = Client(port, 2)
        clients.append(first)
        wait_for("slot 1's label to turn red", lambda: window.red_pixels(SLOT1_LABEL) > 30)

        limit = resource.prlimit(portdeck.pid, resource.RLIMIT_NOFILE)
        open_now = [int(fd) for fd in os.listdir(f"/proc/{portdeck.pid}/fd")]
        low = max(len(open_now), max(open_now) + 1) + 3
        resource.prlimit(portdeck.pid, resource.RLIMIT_NOFILE, (low, limit[1]))
        try:
            waiting = [Client(port, 3 + i) for i in range(WAITING_CLIENTS)]
            clients += waiting
            box = wait_for("the message", messages.visible, timeout=10)[0]
            closed = close_time(messages, box)
            print(f"shortage: the message closed {closed * 1000:.0f} ms after Return, during the shortage")
            during = answer_time(window, 1, first, "k")
            print(f"shortage: the window answered a click in {during * 1000:.0f} ms during the shortage")
        finally:
            resource.prlimit(portdeck.pid, resource.RLIMIT_NOFILE, limit)

        # Back to the full limit: slots 2 to 4 hold three of the waiting clients, and the rest
        # are taken and closed at once for want of a slot.
        wait_for("the waiting clients to be taken",
                 lambda: sum(c.poll().ended for c in waiting) == WAITING_CLIENTS - (SLOTS - 1), timeout=10)
        after = answer_time(window, 2, next(c for c in waiting if not c.ended), "m")
        print(f"shortage: the window answered a click in {after * 1000:.0f} ms after the shortage")

        first.close()
        wait_for("slot 1 to be free", lambda: window.red_pixels(SLOT1_LABEL) == 0)
        late = Client(port, 3 + WAITING_CLIENTS)
        clients.append(late)
        answer_time(window, 1, late, "n")

        messages.visible()
        if len(messages.seen) != 1:
            raise Failure(f"{len(messages.seen)} messages for one shortage")
        if portdeck.poll() is not None:
            raise Failure(f"the program ended with status {portdeck.returncode}")
        print("shortage: told once; a new client was served once the limit was back")
    finally:
        for client in clients:
            client.close()
        if portdeck.poll() is None:
            portdeck.kill()
        portdeck.wait()


if __name__ == "__main__":
    sys.exit(binary_script("shortage", run))
