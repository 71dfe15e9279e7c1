#!/usr/bin/env python3
"""At home on Wayland: the built portdeck binary as a native Wayland client of a headless weston,
with no X server at all, driven over the accessibility bus (headless weston has no keyboard or
mouse) and talking to a real client. Leaves weston's screenshot of it in the output folder.

Run under dbus-run-session with Debian's python3 and its Atspi bindings (ctest does).
Every wait is bounded; nothing sleeps to synchronise.
"""
import argparse
import ctypes
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from accessibility import Atspi, controls, do_action, expected, wait_to_hear  # noqa: E402
from e2e import Failure, expect_exit, file_bytes, free_port, listening, script, wait_for  # noqa: E402


def ends_with_us():
    """For a child process: it is ended when this script ends, even when the script is killed."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def run(binary, out_dir):
    # The compositor's XDG_RUNTIME_DIR (mode 0700) in the build folder, cleared of any earlier run.
    runtime = os.path.join(out_dir, "wayland-runtime")
    shutil.rmtree(runtime, ignore_errors=True)
    os.mkdir(runtime, 0o700)
    base = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    base.update(XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="portdeck-test")
    # No fading in of the screen or the window: the screenshot shows them as they are.
    config = os.path.join(runtime, "weston.ini")
    with open(config, "w") as f:
        f.write("[shell]\nstartup-animation=none\nanimation=none\n")
    # --debug offers the screenshot protocol; pixman, because the screenshooter reads its pixels.
    weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--use-pixman", "--debug",
                               f"--config={config}", "--socket=portdeck-test", "--width=640", "--height=700"],
                              env=base, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              preexec_fn=ends_with_us)
    portdeck = client = None
    protocol = os.path.join(runtime, "protocol.log")
    try:
        wait_for("weston's socket", lambda: os.path.exists(os.path.join(runtime, "portdeck-test")))
        env = dict(base, QT_QPA_PLATFORM="wayland", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", WAYLAND_DEBUG="client")
        with open(protocol, "w") as log:
            portdeck = subprocess.Popen([binary], env=env, stderr=log, preexec_fn=ends_with_us)
        wait_to_hear(portdeck.pid, expected("Remote IP : "), "the window's controls on Wayland")

        port = free_port()
        Atspi.EditableText.set_text_contents(controls(portdeck.pid)["Local port"], str(port))
        do_action(controls(portdeck.pid)["Server"], "Toggle")
        wait_for(f"a listener on port {port}", lambda: listening(port))
        do_action(controls(portdeck.pid)["Slot 1 echo"], "Toggle")
        wait_for("echo ticked", lambda: controls(portdeck.pid)["Slot 1 echo"].get_state_set().contains(
            Atspi.StateType.CHECKED))

        client = socket.create_connection(("127.0.0.1", port), timeout=15)
        client.sendall(b"hello Wayland\r")
        echoed = b""
        while not echoed.endswith(b"\r"):
            chunk = client.recv(100)  # bounded by the socket's timeout
            if not chunk:
                break
            echoed += chunk
        if echoed != b"hello Wayland\r":
            raise Failure(f"the client got {echoed!r} back, expected the line echoed")
        transcript = controls(portdeck.pid)["Slot 1 transcript"]
        wait_for("the client's line in the transcript",
                 lambda: "hello Wayland" in Atspi.Text.get_text(transcript, 0, -1))

        shot = os.path.join(out_dir, "portdeck-wayland.png")
        for old in glob.glob(os.path.join(runtime, "wayland-screenshot-*.png")):
            os.remove(old)
        subprocess.run(["weston-screenshooter"], env=base, cwd=runtime, check=True, timeout=30,
                       capture_output=True)
        taken = wait_for("weston's screenshot", lambda: glob.glob(os.path.join(runtime, "wayland-screenshot-*.png")))
        shutil.move(taken[0], shot)

        do_action(controls(portdeck.pid)["Exit"], "Press")
        try:
            expect_exit(portdeck, timeout=15)
        except Failure as failure:
            said = [line for line in file_bytes(protocol).decode(errors="replace").splitlines()
                    if not line.startswith("[") and line.strip()]  # all but the protocol's lines
            raise Failure(f"{failure}; it said:\n" + "\n".join(said[-40:]))

        # What the window told the compositor about its size and frame.
        said = file_bytes(protocol).decode(errors="replace")
        for request in ("set_min_size", "set_max_size", "set_window_geometry", "set_app_id"):
            found = re.findall(r"-> \S+\." + request + r"\(([^)]*)\)", said)
            print(f"wayland: {request}: {found[-1] if found else 'never sent'}")
        print("wayland: all steps passed natively on Wayland; screenshot in", shot)
    finally:
        if client:
            client.close()
        if portdeck and portdeck.poll() is None:
            portdeck.kill()
            portdeck.wait()
        weston.terminate()
        try:
            weston.wait(timeout=10)
        except subprocess.TimeoutExpired:
            weston.kill()
            weston.wait()
        shutil.rmtree(runtime, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", default=tempfile.gettempdir())
    return script("wayland", parser, lambda args: run(args.binary, os.path.abspath(args.out)))


if __name__ == "__main__":
    sys.exit(main())
