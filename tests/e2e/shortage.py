#!/usr/bin/env python3
"""Running out of descriptors under a real X server: the built portdeck binary as an X client under
Xvfb, its descriptor limit lowered from outside to the count in use plus a margin (before "Server"
is ticked, or once clients wait, or lowered again during a shortage) while eight clients connect.

Showing the message needs descriptors of its own on X (the icon theme's files, a shared-memory
segment for the new window's backing store); without them the X connection breaks and the window
stops for good. This checks, for each limit, that a shortage is told exactly once, that the window
answers clicks throughout, and that every waiting client is taken as soon as a descriptor allows.

Run under an X server of its own (ctest does, with tests/run-in-xvfb). Every wait is bounded.
"""
import argparse
import os
import resource
import socket
import subprocess
import sys
import time

from e2e import SLOT1_LABEL, Failure, find_window, px, script, start_server, wait_for, xdotool

MESSAGE_TITLE = "Portdeck"
SLOT_ROW_TOP = {1: 1100, 2: 2950}
WAITING_CLIENTS = 8
SLOTS = 4
# Each row: the margin above the descriptors in use, when the limit is lowered (before listening,
# or once clients wait), a lower margin it falls to during the shortage, and the messages expected.
LIMITS = [
    ("in use + 3 once clients wait", 3, "waiting", None, 1),
    ("in use + 5 before listening", 5, "listening", None, 1),
    ("in use + 20 before listening", 20, "listening", None, 0),
    ("in use + 33 before listening", 33, "listening", None, 0),
    ("in use + 3, lowered to + 0 during the shortage", 3, "waiting", 0, 1),
]


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
        if self.ended:
            self.close()  # as a client does when the server ends the connection
        return self

    def close(self):
        if self.socket.fileno() >= 0:
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


def lower_limit(pid, margin):
    """Sets the soft descriptor limit to the descriptors pid has open plus margin."""
    limit = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    open_now = [int(fd) for fd in os.listdir(f"/proc/{pid}/fd")]
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (max(len(open_now), max(open_now) + 1) + margin, limit[1]))
    return limit


def run_limit(binary, name, margin, when, lowered, told):
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    portdeck = subprocess.Popen([binary], env=env)
    clients = []
    messages = Messages()
    try:
        window = find_window()
        limit = lower_limit(portdeck.pid, margin) if when == "listening" else None
        port = start_server(window)  # leaves the focus on "Server"
        first = Client(port, 2)
        clients.append(first)
        wait_for("slot 1's label to turn red", lambda: window.red_pixels(SLOT1_LABEL) > 30)
        limit = limit or lower_limit(portdeck.pid, margin)
        try:
            waiting = [Client(port, 3 + i) for i in range(WAITING_CLIENTS)]
            clients += waiting
            if told:
                box = wait_for("the message", messages.visible, timeout=10)[0]
                if lowered is not None:
                    lower_limit(portdeck.pid, lowered)
                closed = close_time(messages, box)
                print(f"shortage, {name}: the message closed {closed * 1000:.0f} ms after Return")
            during = answer_time(window, 1, first, "k")
            print(f"shortage, {name}: the window answered a click in {during * 1000:.0f} ms with the limit low")
        finally:
            resource.prlimit(portdeck.pid, resource.RLIMIT_NOFILE, limit)

        # Slots 2 to 4 hold three of the waiting clients; the rest are taken and closed at once
        # for want of a slot.
        wait_for("the waiting clients to be taken",
                 lambda: sum(c.poll().ended for c in waiting) == WAITING_CLIENTS - (SLOTS - 1), timeout=10)
        after = answer_time(window, 2, next(c for c in waiting if not c.ended), "m")
        print(f"shortage, {name}: the window answered a click in {after * 1000:.0f} ms after")

        first.close()
        wait_for("slot 1 to be free", lambda: window.red_pixels(SLOT1_LABEL) == 0)
        late = Client(port, 3 + WAITING_CLIENTS)
        clients.append(late)
        answer_time(window, 1, late, "n")

        messages.visible()
        if len(messages.seen) != told:
            raise Failure(f"{name}: {len(messages.seen)} messages, expected {told}")
        if portdeck.poll() is not None:
            raise Failure(f"{name}: the program ended with status {portdeck.returncode}")
    finally:
        for client in clients:
            client.close()
        if portdeck.poll() is None:
            portdeck.kill()
        portdeck.wait()


def run(binary, sanitized):
    for row in LIMITS:
        if sanitized and row is not LIMITS[0]:
            # UndefinedBehaviorSanitizer reads memory through a pipe of its own whenever it first
            # meets a class, and aborts when it finds no descriptor for it: only the first row
            # leaves the program time to meet every class before it runs short.
            print(f"shortage, {row[0]}: skipped under the sanitizers")
            continue
        run_limit(binary, *row)
    print("shortage: each shortage told once; waiting clients served as soon as descriptors allowed")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--sanitized", action="store_true")
    return script("shortage", parser, lambda args: run(args.binary, args.sanitized))


if __name__ == "__main__":
    sys.exit(main())
