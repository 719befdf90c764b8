#!/usr/bin/python3
"""The real krevlo-bridge with its built-in Audio Unit effects, driven by a
python3-websockets browser: the catalog lists AU:aufx entries first, a chain
of the Audio Unit gain and the CLAP test gain takes "params" and "set" and
streams exact audio, and the Audio Unit's "state" goes into a new track.
    e2e_au_test.py PROGRAM PLUGINS_DIR
"""
import asyncio
import os
import shutil
import signal
import struct
import sys
import tempfile

import websockets

# The shared client lives beside the Bridge scripts; this folder comes first.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge"))
import e2e_client  # noqa: E402
from e2e_client import Peer, check, frame, is_chain, read_output  # noqa: E402
from e2e_test import ORIGIN, PORT, TIMEOUT, Program, port_free  # noqa: E402

AU_GAIN = "AU:aufx:gain:Krvl"
CLAP_GAIN = "CLAP:org.krevlo.fx.gain"
BLOCK = 128


async def catalog(peer):
    await peer.send({"t": "plugins"})
    reply = await peer.text(lambda m: m["t"] == "plugins", "plugins")
    if reply["scanning"]:
        reply = await peer.text(lambda m: m["t"] == "plugins" and not m["scanning"], "plugins after the scan")
    return reply["list"]


async def chain(peer, track, slots):
    await peer.send({"t": "chain", "track": track, "rate": 48000, "slots": slots})
    done = await peer.text(is_chain(track, "ok"), f"chain {track} with every slot loaded")
    check(all("warning" not in s for s in done["slots"]), f"slots without warnings {done}")
    return done


async def param_list(peer, track, key):
    await peer.send({"t": "params", "track": track, "key": key})
    listing = await peer.text(lambda m: m["t"] == "params" and m["track"] == track and m["key"] == key,
                              f"params of {track}/{key}")
    return {p["name"]: p for p in listing["list"]}


async def set_param(peer, track, key, index, value, text):
    await peer.send({"t": "set", "track": track, "key": key, "i": index, "v": value})
    echo = await peer.text(lambda m: m["t"] == "param" and m.get("echo") and m["key"] == key, f"echo of {key}")
    check(echo["i"] == index and echo["v"] == value and echo["text"] == text, f"echo {echo}")
    pushed = await peer.text(lambda m: m["t"] == "param" and "echo" not in m and m["key"] == key
                             and m["i"] == index, f"pushed {key}")
    check(pushed["v"] == value and pushed["text"] == text, f"pushed {pushed}")
    dirty = await peer.text(lambda m: m["t"] == "dirty" and m["key"] == key, f"dirty {key}")
    check(dirty["track"] == track, f"dirty {dirty}")


def f32(values):
    return list(struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *values)))


async def play(peer, stream, gain):
    left = f32([(i % 64) / 64.0 - 0.5 for i in range(BLOCK * 4)])
    right = [-v for v in left]
    peer.binaries.clear()
    for b in range(4):
        at = b * BLOCK
        await peer.ws.send(frame(stream, at, left[at:at + BLOCK], right[at:at + BLOCK]))
    await peer.samples(len(left))
    out_left, out_right = [], []
    for b in peer.binaries:
        s, _, l, r = read_output(b)
        check(s == stream, f"output of stream {s}")
        out_left += l
        out_right += r
    check(out_left == [v * gain for v in left], f"left samples exactly times {gain}")
    check(out_right == [v * gain for v in right], f"right samples exactly times {gain}")


async def browser(code):
    ws = await asyncio.wait_for(websockets.connect(f"ws://127.0.0.1:{PORT}/v1", origin=ORIGIN, max_size=None),
                                TIMEOUT)
    peer = Peer(ws)
    hello = await peer.text(lambda m: m["t"] == "hello", "hello")
    check(hello["formats"] == ["AU", "VST3", "CLAP"], f"formats {hello}")
    await peer.send({"t": "pair", "code": code, "name": "Python AU e2e"})
    paired = await peer.text(lambda m: m["t"] in ("paired", "error"), "paired")
    check(paired["t"] == "paired", f"paired {paired}")
    await peer.text(lambda m: m["t"] == "ready", "ready")

    listed = await catalog(peer)
    au = [p for p in listed if p["format"] == "AU"]
    check(sorted(p["id"] for p in au if p["id"].startswith("AU:aufx:")) ==
          ["AU:aufx:comp:Krvl", "AU:aufx:dely:Krvl", "AU:aufx:gain:Krvl"], f"AU:aufx entries {au}")
    check(all(p["category"] == "Effect" for p in au if p["id"].startswith("AU:aufx:")), "effects")
    check(any(p["id"] == "AU:aumf:bgat:Krvl" and p["category"] == "Music Effect" for p in au), "the music effect")
    entry = next(p for p in au if p["id"] == AU_GAIN)
    check((entry["name"], entry["vendor"], entry["version"]) == ("Krevlo Gain", "Krevlo", "1.0.0"), f"{entry}")
    check(any(p["id"] == CLAP_GAIN for p in listed), "the CLAP test gain")

    done = await chain(peer, "t1", [{"key": "a", "plugin": AU_GAIN}, {"key": "c", "plugin": CLAP_GAIN}])
    check(done["latency"] == 0, f"no latency {done}")
    gain = (await param_list(peer, "t1", "a"))["Gain"]
    check((gain["id"], gain["unit"], gain["v"], gain["text"], gain["steps"], gain["def"]) ==
          ("0", "dB", 0.5, "0 dB", 0, 0.5), f"the Audio Unit gain {gain}")
    clap = (await param_list(peer, "t1", "c"))["Gain"]

    await set_param(peer, "t1", "a", gain["i"], 0.75, "12 dB")
    await set_param(peer, "t1", "a", gain["i"], 0.5, "0 dB")
    await set_param(peer, "t1", "c", clap["i"], 0.25, "0.50 x")
    await play(peer, done["stream"], 0.5)

    await set_param(peer, "t1", "a", gain["i"], 0.75, "12 dB")
    await peer.send({"t": "state", "track": "t1", "key": "a"})
    state = await peer.text(lambda m: m["t"] == "state" and m["key"] == "a", "state of the Audio Unit")
    check(state["plugin"] == AU_GAIN and state["data"], f"state {state}")
    check([(p["name"], p["v"], p["text"]) for p in state["params"]] == [("Gain", 0.75, "12 dB")],
          f"state params {state['params']}")

    await chain(peer, "t2", [{"key": "a", "plugin": AU_GAIN, "state": state["data"]}])
    restored = (await param_list(peer, "t2", "a"))["Gain"]
    check((restored["v"], restored["text"]) == (0.75, "12 dB"), f"restored from the state {restored}")
    await peer.close()


def run(exe, plugins):
    home = tempfile.mkdtemp(prefix="krevlo-au-e2e-")
    app = None
    try:
        check(port_free(), f"port {PORT} is free before the test")
        os.makedirs(os.path.join(home, "clap"))
        shutil.copy(os.path.join(plugins, "clap_fx.clap"), os.path.join(home, "clap"))
        app = Program(exe, home)
        code = app.expect(r"^Code: (\d{3}) (\d{3})  ", "a pairing code")
        app.expect(r"^[1-9]\d* plug-ins · CPU", "the first scan is over")
        asyncio.run(browser(code.group(1) + code.group(2)))
        app.proc.send_signal(signal.SIGTERM)
        check(app.wait() == 0, "SIGTERM ends the program with 0")
        check(port_free(), "the port is free")
    finally:
        if app:
            app.kill()
        shutil.rmtree(home, ignore_errors=True)
    print(f"{e2e_client.checks} passed, 0 failed")


if __name__ == "__main__":
    try:
        run(sys.argv[1], sys.argv[2])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {e2e_client.checks} checks: {e!r}")
        print(f"{e2e_client.checks} passed, 1 failed")
        sys.exit(1)
