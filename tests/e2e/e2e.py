#!/usr/bin/env python3
"""End to end: the built portdeck binary as a real X client under Xvfb, driven with xdotool
the way a person would, talking to a real nc client.

Run under an X server of its own (ctest does, with tests/run-in-xvfb). Every wait is bounded; nothing sleeps to synchronise.
"""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

WINDOW_TITLE = "Portdeck version 1.04"


def px(twips):
    return round(twips / 15)


# Control centres in window coordinates, from the fixed layout in twips.
SERVER_BOX = (px(200) + 8, px(383) + px(285) // 2)
PORT_BOX = (px(1400) + px(1000) // 2, px(350) + px(350) // 2)
EXIT_BUTTON = (px(4700) + px(1300) // 2, px(300) + px(450) // 2)
SLOT1_TRANSCRIPT = (px(200) + px(5800) // 2, px(1350) + px(1400) // 2)
SLOT1_CAPTURE_BOX = (px(3850) + 6, px(1100) + 6)
SLOT1_LABEL = (px(195), px(1095), 260, px(195))  # x, y, width, height: room for an address


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=15.0, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(step)  # polling interval of a bounded wait, like QTRY


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], check=True, capture_output=True, text=True).stdout


class Window:
    def __init__(self, window_id):
        self.id = window_id
        geometry = xdotool("getwindowgeometry", "--shell", window_id)
        values = dict(line.split("=", 1) for line in geometry.split())
        self.x, self.y = int(values["X"]), int(values["Y"])

    def click(self, point, clicks=1):
        xdotool("mousemove", "--sync", self.x + point[0], self.y + point[1])
        xdotool("click", "--repeat", clicks, "1")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", "-crop", f"414x570+{self.x}+{self.y}", "+repage", path],
                       check=True, capture_output=True)

    def red_pixels(self, area):
        """Counts pure red (255, 0, 0) pixels in an area of the window, read off the X screen."""
        x, y, w, h = area
        out = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{self.x + x}+{self.y + y}",
                              "+repage", "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout
        return sum(1 for i in range(0, len(out), 3) if out[i:i + 3] == b"\xff\x00\x00")


def listening(port):
    """True once something listens on the port (read from the kernel, without connecting)."""
    hex_port = f":{port:04X}"
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[1].endswith(hex_port) and fields[3] == "0A":
                        return True
        except FileNotFoundError:
            pass
    return False


def free_port():
    """A port that Portdeck can listen on: free on every address, as Portdeck binds all of them.
    A port free on 127.0.0.1 alone may still be held on 127.0.0.2 by a test client's old
    connection in TIME_WAIT, and then listening on it fails with "Address already in use"."""
    with socket.socket(socket.AF_INET6) as s:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        s.bind(("::", 0))
        return s.getsockname()[1]


class NcClient:
    """A real nc client; collects what it receives."""

    def __init__(self, port):
        self.process = subprocess.Popen(["nc", "127.0.0.1", str(port)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
        self.received = bytearray()
        self.ended = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                self.ended = True
                return
            self.received += chunk

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()


def find_window():
    """The program's window, once it shows."""
    return Window(wait_for("the window", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^" + WINDOW_TITLE + "$"],
        capture_output=True, text=True).stdout.split())[0])


def start_server(window):
    """Types a free port into the port box and ticks "Server" by clicking where they are; returns
    the port once something listens on it."""
    port = free_port()
    window.click(PORT_BOX)
    xdotool("key", "--clearmodifiers", "ctrl+a")
    xdotool("type", "--delay", "20", str(port))
    window.click(SERVER_BOX)
    wait_for(f"a listener on port {port}", lambda: listening(port))
    return port


def script(name, parser, run):
    """Runs a test script's run(args): exit status 0 when it passes, 1 with the failure told."""
    args = parser.parse_args()
    try:
        run(args)
    except Failure as failure:
        print(f"{name} FAILED:", failure, file=sys.stderr)
        return 1
    return 0


def binary_script(name, run):
    """Runs a test script whose one argument is the program to test: run(binary)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    return script(name, parser, lambda args: run(args.binary))


def expect_exit(program, timeout=10):
    """Waits for the program to end after Exit, with status 0."""
    try:
        code = program.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure("the program did not end after Exit")
    if code != 0:
        raise Failure(f"the program ended with status {code}")


def file_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def run(binary, out_dir):
    env = dict(os.environ)
    env.pop("QT_QPA_PLATFORM", None)
    portdeck = subprocess.Popen([binary], env=env)
    nc = None
    try:
        window = find_window()
        port = start_server(window)

        # A real client: slot 1's label turns red with its address.
        nc = NcClient(port)
        wait_for("slot 1's label to turn red", lambda: window.red_pixels(SLOT1_LABEL) > 30)

        # Keys typed into slot 1's box reach the client one byte each, as the real keyboard
        # gives them: Enter is 0D alone, Ctrl+C is 03, Delete sends nothing, é is E9.
        window.click(SLOT1_TRANSCRIPT)
        xdotool("type", "--delay", "30", "ab")
        xdotool("key", "--delay", "30", "Return", "ctrl+c", "Delete", "eacute", "z")
        expected = b"ab\r\x03\xe9z"
        wait_for("the typed bytes at the client", lambda: len(nc.received) >= len(expected))
        if bytes(nc.received) != expected:
            raise Failure(f"client received {bytes(nc.received)!r}, expected {expected!r}")

        # Capture: tick the box, type a path into the real file dialog.
        capture = os.path.join(out_dir, "e2e-capture.txt")
        if os.path.exists(capture):
            os.remove(capture)
        window.click(SLOT1_CAPTURE_BOX)
        dialog_id = wait_for("the file dialog", lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^Open Capture File$"],
            capture_output=True, text=True).stdout.split())[0]
        xdotool("windowfocus", "--sync", dialog_id)
        xdotool("type", "--delay", "10", capture)
        xdotool("key", "Return")
        wait_for("the capture file", lambda: file_bytes(capture) is not None)

        nc.send(b"hello\r\n")
        wait_for("the receive record", lambda: file_bytes(capture) == b"hello\r\n\n")
        window.click(SLOT1_TRANSCRIPT)
        xdotool("type", "x")
        wait_for("the key-press record", lambda: file_bytes(capture) == b"hello\r\n\nx")
        window.click(SLOT1_CAPTURE_BOX)  # untick: the file is closed
        window.click(SLOT1_TRANSCRIPT)
        xdotool("type", "y")
        wait_for("the key after unticking at the client", lambda: nc.received.endswith(b"xy"))
        if file_bytes(capture) != b"hello\r\n\nx":
            raise Failure(f"capture file holds {file_bytes(capture)!r}")

        window.screenshot(os.path.join(out_dir, "portdeck-e2e.png"))

        # Exit ends the program and the client's connection.
        window.click(EXIT_BUTTON)
        expect_exit(portdeck)
        # nc stays while its input is open; with its input closed it ends only once the
        # server has ended the connection.
        nc.process.stdin.close()
        wait_for("the client to see its connection end", lambda: nc.ended)
        print("e2e: all steps passed; screenshot in", os.path.join(out_dir, "portdeck-e2e.png"))
    finally:
        if portdeck.poll() is None:
            portdeck.kill()
        if nc:
            nc.process.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", default=tempfile.gettempdir())
    return script("e2e", parser, lambda args: run(args.binary, args.out))


if __name__ == "__main__":
    sys.exit(main())
