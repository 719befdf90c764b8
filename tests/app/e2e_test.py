#!/usr/bin/python3
"""The real krevlo-bridge without a display, driven like a user and a browser.

Starts the program with a temporary HOME, reads the pairing code from what it
prints, pairs over ws://127.0.0.1:47800, builds a chain with the CLAP test gain
and streams a block through it, then rescans onto a plug-in that hangs while
it is examined and sends SIGTERM while its helper runs: the program must exit
0, free the port and leave no helper behind. Also: the scan command line, a
Ctrl-C to the whole process group in the middle of a scan, a taken port,
SIGINT, and "quit" typed after a restart.
    e2e_test.py PROGRAM PLUGINS_DIR
"""
import asyncio
import ctypes
import json
import math
import os
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import websockets

PORT = 47800
ORIGIN = "http://127.0.0.1:5173"
GAIN = "CLAP:org.krevlo.fx.gain"
TIMEOUT = 30
checks = 0


def check(condition, what):
    global checks
    if not condition:
        raise AssertionError(what)
    checks += 1


def end_with_parent():
    """In the child: SIGTERM when this test dies, so no program keeps the port."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Program:
    """krevlo-bridge with its output read line by line on a thread."""

    def __init__(self, exe, home, extra_env=None, own_group=False):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME")}
        env.update(HOME=home, QUILLET_ORIGINS=ORIGIN, CLAP_PATH=os.path.join(home, "clap"),
                   QUILLET_SCAN_TIMEOUT_MS="120000", QUILLET_RT="0")
        env.update(extra_env or {})
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True,
                                     preexec_fn=end_with_parent, start_new_session=own_group)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, pattern, what):
        """The first line from now on that matches, within TIMEOUT."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.01))
            except queue.Empty:
                line = None
                left = 0
            if line is None:
                raise AssertionError(f"{what}: not printed; last lines {self.seen[-12:]}")
            self.seen.append(line)
            m = re.search(pattern, line)
            if m:
                return m

    def type(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def wait(self):
        return self.proc.wait(timeout=TIMEOUT)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def scan_helpers(pid):
    """Running children of pid started with the scan command line."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if fields[0] != "Z" and int(fields[1]) == pid and b"--scan" in argv:
            found.append(int(entry))
    return found


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def port_free():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", PORT))
        return True
    except OSError:
        return False
    finally:
        s.close()


def audio_frame(stream, samples):
    n = len(samples)
    header = struct.pack("<BBHiiiIiii", 1, 2, stream, 0, 0, n, 1, 4, 4, 0)
    header += struct.pack("<dd", 0.0, 120.0) + bytes(16)
    return header + struct.pack(f"<{n}f", *samples) + struct.pack(f"<{n}f", *[-s for s in samples])


async def recv_until(ws, keep, what):
    """The first message that `keep` accepts, skipping pushes, within TIMEOUT."""
    deadline = time.monotonic() + TIMEOUT
    skipped = []
    while True:
        left = deadline - time.monotonic()
        try:
            message = await asyncio.wait_for(ws.recv(), max(left, 0.01))
        except asyncio.TimeoutError:
            raise AssertionError(f"{what}: nothing came; skipped {skipped[-6:]}") from None
        if keep(message):
            return message
        skipped.append(message if isinstance(message, str) else f"<{len(message)} bytes>")


async def recv_json(ws, wanted):
    """The next text message whose "t" is wanted."""
    message = await recv_until(ws, lambda m: isinstance(m, str) and json.loads(m).get("t") in wanted,
                               f"a message of {wanted}")
    return json.loads(message)


async def expect(app, pattern, what):
    """Program.expect without stopping the client's event loop."""
    return await asyncio.to_thread(app.expect, pattern, what)


async def browser(app, code):
    ws = await asyncio.wait_for(websockets.connect(f"ws://127.0.0.1:{PORT}/v1", origin=ORIGIN, max_size=None),
                                TIMEOUT)
    hello = await recv_json(ws, {"hello"})
    check(hello["formats"] == ["AU", "VST3", "CLAP"], f"the built hosts in order: {hello}")
    await ws.send(json.dumps({"t": "pair", "code": code, "name": "Python e2e"}))
    paired = await recv_json(ws, {"paired", "error"})
    check(paired["t"] == "paired", f"paired with the printed code: {paired}")
    await recv_json(ws, {"ready"})
    await expect(app, r"^Status: Connected$", "the window shows the connection")
    await expect(app, r"^Python e2e$", "the browser's name replaces the code")
    await expect(app, r"^127\.0\.0\.1:5173$", "the browser's host")

    await ws.send(json.dumps({"t": "chain", "track": "t1", "rate": 48000,
                              "slots": [{"key": "a", "plugin": GAIN}]}))
    while True:
        reply = await recv_json(ws, {"chain", "error"})
        check(reply["t"] == "chain", f"chain reply {reply}")
        status = reply["slots"][0]["status"]
        check(status in ("loading", "ok"), f"slot status {reply}")
        if status == "ok":
            break
    samples = [math.sin(i / 10.0) * 0.5 for i in range(128)]
    await ws.send(audio_frame(reply["stream"], samples))
    out = await recv_until(ws, lambda m: isinstance(m, bytes), "the processed block")
    kind, channels, stream, _, position, frames = struct.unpack_from("<BBHiii", out)
    check((kind, channels, stream, position, frames) == (2, 2, reply["stream"], 0, 128),
          f"output header {(kind, channels, stream, position, frames)}")
    left = struct.unpack_from("<128f", out, 64)
    right = struct.unpack_from("<128f", out, 64 + 4 * 128)
    check(len(out) == 64 + 8 * 128 and all(abs(a - b) < 1e-6 and abs(r + b) < 1e-6
                                            for a, r, b in zip(left, right, samples)),
          "unity gain gives both channels back")
    await expect(app, r"^1 plug-in running$", "the window counts the running plug-in")
    await ws.close()
    await expect(app, r"^Status: Waiting for the DAW$", "the window shows the browser left")


def scan_command(exe, home):
    listing = os.path.join(home, "list")
    output = os.path.join(home, "out")
    open(listing, "wb").close()
    run = subprocess.run([exe, "--scan", "CLAP", listing, output], capture_output=True, text=True,
                         env=dict(os.environ, HOME=home), timeout=TIMEOUT)
    check(run.returncode == 0, f"the scan command exits 0: {run.returncode} {run.stderr}")
    check(run.stdout == "", "a scan command shows no window")


def main_run(exe, plugins, home):
    clap = os.path.join(home, "clap")
    os.makedirs(clap)
    shutil.copy(os.path.join(plugins, "clap_fx.clap"), clap)
    app = Program(exe, home)
    try:
        code = app.expect(r"^Code: (\d{3}) (\d{3})  ", "a pairing code")
        app.expect(r"^[1-9]\d* plug-ins · CPU", "the first scan found the test plug-ins")
        asyncio.run(browser(app, code.group(1) + code.group(2)))

        # A plug-in that hangs while it is examined keeps a helper busy.
        shutil.copy(os.path.join(plugins, "scan_hang.clap"), clap)
        app.type("rescan")
        app.expect(r"looking for more", "the rescan runs")
        helpers = wait_for_helpers(app)

        app.proc.send_signal(signal.SIGTERM)
        check(app.wait() == 0, "SIGTERM ends the program with 0")
        check(not any(running(p) for p in helpers), f"no helper is left: {helpers}")
        check(port_free(), "the port is free")
    finally:
        app.kill()
    pairings = json.load(open(os.path.join(home, ".local/share/Quillet/pairings.json")))
    check([p["name"] for p in pairings] == ["Python e2e"], "the pairing was saved in the data folder")


def wait_for_helpers(app):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        helpers = scan_helpers(app.proc.pid)
        if helpers:
            return helpers
        time.sleep(0.05)
    raise AssertionError("no helper examines the hanging plug-in")


def ctrl_c(exe, home):
    """A terminal's Ctrl-C reaches the whole process group, helpers included."""
    app = Program(exe, home, own_group=True)
    try:
        app.expect(r"looking for more", "the scan at start examines the hanging plug-in again")
        helpers = wait_for_helpers(app)
        os.killpg(app.proc.pid, signal.SIGINT)
        check(app.wait() == 0, "Ctrl-C ends the program with 0")
        check(not any(running(p) for p in helpers), f"no helper is left after Ctrl-C: {helpers}")
    finally:
        app.kill()
    cache = json.load(open(os.path.join(home, ".local/share/Quillet/clap-cache.json")))
    check(cache["blocked"] == [] and cache["hung"] == [],
          f"a scan stopped by Ctrl-C blames no plug-in: {cache['blocked']} {cache['hung']}")


def taken_port(exe, home):
    blocker = socket.socket()
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    blocker.bind(("127.0.0.1", PORT))
    blocker.listen(1)
    app = Program(exe, home)
    try:
        app.expect(r"^Status: Port 47800 is in use\. Is Krevlo Bridge already running\?$", "the port error")
        app.proc.send_signal(signal.SIGINT)
        check(app.wait() == 0, "SIGINT ends the program with 0")
    finally:
        app.kill()
        blocker.close()


def typed_quit(exe, home):
    app = Program(exe, home)
    try:
        app.expect(r"^Code: \d{3} \d{3}  ", "a pairing code after the restart")
        app.type("quit")
        check(app.wait() == 0, "\"quit\" ends the program with 0")
        check(port_free(), "the port is free after quit")
    finally:
        app.kill()


def run(exe, plugins):
    home = tempfile.mkdtemp(prefix="krevlo-app-e2e-")
    try:
        check(port_free(), f"port {PORT} is free before the test")
        scan_command(exe, home)
        main_run(exe, plugins, home)
        ctrl_c(exe, home)
        taken_port(exe, home)
        typed_quit(exe, home)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print(f"{checks} passed, 0 failed")


if __name__ == "__main__":
    try:
        run(sys.argv[1], sys.argv[2])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {checks} checks: {e!r}")
        print(f"{checks} passed, 1 failed")
        sys.exit(1)
