#!/usr/bin/python3
"""The real krevlo-bridge with its window on an X display (scripts/x11-run),
driven by a browser session: the session authenticates with a pairing saved
beforehand, builds a chain with our CLAP and VST3 test gains, opens both
plug-ins' editors through the protocol (each appears as a window titled with
the track and slot, holding the plug-in's own child window), then closes them
by taking the slots out of the chain: the windows go, and no "editor closed"
push comes, since the browser closed them itself. Closing the status window
only hides it; launching the program again in the same desktop session (a
session bus, dbus-run-session) shows it again and ends at once. SIGTERM then
ends the program with 0.
    editor_e2e_test.py PROGRAM PLUGINS_DIR
"""
import asyncio
import ctypes
import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import hashlib
import hmac

import websockets

PORT = 47800
ORIGIN = "http://127.0.0.1:5173"
CLAP = "CLAP:org.krevlo.fx.gain"
VST3 = "VST3:4B525633465800010102030" "40A0B0C0D"
TOKEN = "5e" * 32
TIMEOUT = 30
checks = 0


def check(condition, what):
    global checks
    if not condition:
        raise AssertionError(what)
    checks += 1


def end_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def windows():
    """(id, name, children) of every top-level window, as xwininfo lists them."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=TIMEOUT).stdout
    found = []
    for line in tree.splitlines():
        m = re.match(r'^     (0x[0-9a-f]+) "(.*)": .*', line)
        if m:
            found.append([int(m.group(1), 16), m.group(2), 0])
        elif found and re.match(r"^\s+\d+ child", line) and line.startswith("        "):
            found[-1][2] = int(line.split()[0])
    return found


def map_state(window):
    info = subprocess.run(["xwininfo", "-id", hex(window)], capture_output=True, text=True, timeout=TIMEOUT).stdout
    m = re.search(r"Map State: (\w+)", info)
    return m.group(1) if m else ""


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5), ("pad", ctypes.c_long * 24)]


def close_from_window_manager(window):
    """WM_DELETE_WINDOW, as a window manager sends it for the close button."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    d = x.XOpenDisplay(None)
    check(d, "a display for the test")
    e = ClientMessage()
    e.type = 33  # ClientMessage
    e.window = window
    e.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
    e.format = 32
    e.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(d, window, 0, 0, ctypes.byref(e))
    x.XFlush(d)
    x.XCloseDisplay(d)


def titled(title):
    return [w for w in windows() if w[1] == title]


async def connect():
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            return await websockets.connect(f"ws://127.0.0.1:{PORT}/v1", origin=ORIGIN, max_size=None)
        except OSError:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.1)


async def recv(ws, wanted):
    deadline = time.monotonic() + TIMEOUT
    while True:
        m = await asyncio.wait_for(ws.recv(), max(0.01, deadline - time.monotonic()))
        if isinstance(m, str) and json.loads(m).get("t") in wanted:
            return json.loads(m)


async def wait_until(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        await asyncio.sleep(0.1)


async def session():
    ws = await connect()
    hello = await recv(ws, {"hello"})
    nonce = hello["nonce"]
    client = secrets.token_hex(16)
    mac = hmac.new(bytes.fromhex(TOKEN), f"client|{nonce}|{client}".encode(), hashlib.sha256).hexdigest()
    await ws.send(json.dumps({"t": "auth", "id": "e2e-editor", "nonce": client, "mac": mac}))
    check((await recv(ws, {"ready", "error"}))["t"] == "ready", "authenticated by the saved pairing")

    # The first scan may still run: ask until both slots load.
    chain = {"t": "chain", "track": "t1", "trackName": "Track 1", "rate": 48000,
             "slots": [{"key": "c", "plugin": CLAP}, {"key": "v", "plugin": VST3}]}
    deadline = time.monotonic() + TIMEOUT
    while True:
        await ws.send(json.dumps(chain))
        reply = await recv(ws, {"chain", "error"})
        while reply["t"] == "chain" and any(s["status"] == "loading" for s in reply["slots"]):
            reply = await recv(ws, {"chain", "error"})
        if reply["t"] == "chain" and all(s["status"] == "ok" for s in reply["slots"]):
            break
        check(time.monotonic() < deadline, f"both slots load: {reply}")
        await asyncio.sleep(0.5)
    names = {s["key"]: s.get("name", "") for s in reply["slots"]}

    for key in ("c", "v"):
        await ws.send(json.dumps({"t": "editor", "track": "t1", "key": key}))
        opened = await recv(ws, {"editor", "error"})
        check(opened == {"t": "editor", "track": "t1", "key": key, "open": True}, f"editor {key} opens: {opened}")
    # Both test gains carry the same name: two windows of one title.
    title = "Track 1 \u00b7 " + names["c"]
    check(names["v"] == names["c"], f"slot names {names}")
    await wait_until(lambda: len([w for w in titled(title) if w[2] >= 1]) == 2,
                     f"two windows {title!r} with the plug-ins' children in {windows()}")

    # Closed by the browser: the slots leave the chain.
    await ws.send(json.dumps({"t": "chain", "track": "t1", "rate": 48000, "slots": []}))
    await recv(ws, {"chain"})
    await wait_until(lambda: not titled(title), f"the windows {title!r} go")
    # Nothing reports the editors as closed by the user.
    try:
        while True:
            m = await asyncio.wait_for(ws.recv(), 1.0)
            if isinstance(m, str):
                check(json.loads(m).get("t") != "editor", f"no editor push after the browser's close: {m}")
    except asyncio.TimeoutError:
        pass
    await ws.close()


def main():
    exe, plugins = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="krevlo-editor-e2e-") as home:
        data = os.path.join(home, ".local", "share", "Quillet")
        os.makedirs(data)
        with open(os.path.join(data, "pairings.json"), "w") as f:
            json.dump([{"id": "e2e-editor", "token": TOKEN, "origin": ORIGIN, "name": "Python e2e",
                        "created": 0}], f)
        clap = os.path.join(home, "clap")
        os.makedirs(clap)
        shutil.copy(os.path.join(plugins, "clap_fx.clap"), clap)
        shutil.copytree(os.path.join(plugins, "vst3_fx.vst3"), os.path.join(home, ".vst3", "vst3_fx.vst3"))
        env = {k: v for k, v in os.environ.items() if k != "XDG_DATA_HOME"}
        env.update(HOME=home, QUILLET_ORIGINS=ORIGIN, CLAP_PATH=clap, QUILLET_RT="0", KREVLO_TEST_X11_EDITOR="1",
                   QUILLET_SCAN_TIMEOUT_MS="120000")
        proc = subprocess.Popen([exe], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, preexec_fn=end_with_parent)
        try:
            asyncio.run(session())

            status = titled("Krevlo Bridge")
            check(len(status) == 1 and map_state(status[0][0]) == "IsViewable", f"the status window: {windows()}")
            close_from_window_manager(status[0][0])
            asyncio.run(wait_until(lambda: map_state(status[0][0]) == "IsUnMapped", "closing hides the window"))
            check(proc.poll() is None, "closing the window does not end the program")
            if os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
                again = subprocess.run([exe], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                       timeout=TIMEOUT, preexec_fn=end_with_parent)
                check(again.returncode == 0, f"a second launch ends at once with 0: {again.stderr[-1000:]}")
                asyncio.run(wait_until(lambda: map_state(status[0][0]) == "IsViewable",
                                       "a second launch shows the running copy's window"))
            proc.send_signal(signal.SIGTERM)
            out, _ = proc.communicate(timeout=TIMEOUT)
            check(proc.returncode == 0, f"SIGTERM ends the program with 0: {proc.returncode} {out[-2000:]}")
            check("X Error" not in out and "BadWindow" not in out, f"no X error: {out[-2000:]}")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    print(f"editor_e2e_test: {checks} checks passed")


if __name__ == "__main__":
    main()
