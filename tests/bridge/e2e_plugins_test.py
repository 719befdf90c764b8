#!/usr/bin/python3
"""The Bridge driver with a real plug-in host and our test plug-ins, loaded
from a copy in a temporary folder: CLAP_PATH for CLAP, ~/.vst3 of a temporary
HOME for VST3. Over python3-websockets: pairs, waits for the helper's scan,
builds a chain of test effects, sets a parameter (its echo, then the pushed
"param" and "dirty"), streams audio through the chain and checks the samples
with the latency swallowed, then carries the state into a new session's chain.
    e2e_plugins_test.py clap|vst3 DRIVER HELPER PLUGIN
"""
import asyncio
import base64
import os
import shutil
import struct
import sys
import tempfile

import e2e_client
from e2e_client import Driver, Peer, check, frame, is_chain, pair, read_output

BLOCK = 128
BLOCKS = 24

# What each format's chain holds and what it should do. "set": the slot, the
# parameter's name, the value sent, and the text of its echo. "audio": the gain
# of the whole chain. "state": the slots carried into the new session, and
# whether the restored state is heard (a gain) or only read back. "counted":
# slots whose separate controller counts its saves in the last four bytes of
# the state, so the next save of a restored one is one further on.
FORMATS = {
    "clap": {
        "format": "CLAP",
        "slots": [("g", "Fx Gain", 0), ("l", "Fx Latency", 8), ("s", "Fx State", 0)],
        "set": [("g", "Gain", 0.25, "0.50 x"), ("s", "Level", 0.75, "0.750")],
        "audio": 0.5,
        "state": ["s"],
        "heard": False,
        "counted": [],
    },
    "vst3": {
        "format": "VST3",
        "slots": [("g", "Fx Gain", 0), ("d", "Fx Delay", 64)],
        "set": [("g", "Gain", 0.25, "0.50")],
        "audio": 0.5,
        "state": ["g", "d"],
        "heard": True,
        "counted": ["d"],
    },
}


async def catalog(peer, fmt):
    """Plug-in ids by name, once the scan is over."""
    await peer.send({"t": "plugins"})
    reply = await peer.text(lambda m: m["t"] == "plugins", "plugins")
    if reply["scanning"]:
        reply = await peer.text(lambda m: m["t"] == "plugins" and not m["scanning"], "plugins after the scan")
    ids = {p["name"]: p["id"] for p in reply["list"] if p["format"] == fmt}
    return ids


async def play(peer, stream, gain, latency):
    """Streams a ramp through the chain; the output is the input times gain,
    on the input's timeline, the latency swallowed at the start."""
    total = BLOCK * BLOCKS
    left = [(i % 512) / 512.0 for i in range(total)]
    right = [-v for v in left]
    peer.binaries.clear()
    for b in range(BLOCKS):
        at = b * BLOCK
        await peer.ws.send(frame(stream, at, left[at:at + BLOCK], right[at:at + BLOCK]))
    await peer.samples(total - latency)
    out_left, out_right, expected_at = [], [], 0
    for b in peer.binaries:
        s, position, l, r = read_output(b)
        check(s == stream and position == expected_at, f"output at {position}, wanted {expected_at}")
        expected_at += len(l)
        out_left += l
        out_right += r
    check(len(out_left) == total - latency, f"{len(out_left)} samples out of {total} with latency {latency}")
    check(out_left == [v * gain for v in left[:len(out_left)]], f"left samples times {gain}, latency swallowed")
    check(out_right == [v * gain for v in right[:len(out_right)]], f"right samples times {gain}")
    peer.binaries.clear()


async def build(peer, track, slots, fmt_latency):
    await peer.send({"t": "chain", "track": track, "rate": 48000, "slots": slots})
    done = await peer.text(is_chain(track, "ok"), f"chain {track} with every slot loaded")
    check(done["latency"] == fmt_latency, f"chain latency {done}")
    return done


async def session(uri, name, case):
    pid, token = await pair(uri)
    peer = await Peer.open(uri, None, pid, token)
    ids = await catalog(peer, case["format"])
    for _, plugin, _ in case["slots"]:
        check(plugin in ids, f"{plugin} in the catalog {sorted(ids)}")
    if name == "clap":
        check(ids["Fx Gain"] == "CLAP:org.krevlo.fx.gain", f"CLAP id {ids['Fx Gain']}")
    else:
        check(ids["Fx Gain"].startswith("VST3:") and len(ids["Fx Gain"]) == 37, f"VST3 id {ids['Fx Gain']}")
    plugin_of = {key: ids[plugin] for key, plugin, _ in case["slots"]}

    latency = sum(lat for _, _, lat in case["slots"])
    slots = [{"key": key, "plugin": plugin_of[key]} for key, _, _ in case["slots"]]
    done = await build(peer, "t1", slots, latency)
    check([s["latency"] for s in done["slots"]] == [lat for _, _, lat in case["slots"]], f"slot latencies {done}")
    stream = done["stream"]

    for key, param, value, text in case["set"]:
        await peer.send({"t": "params", "track": "t1", "key": key})
        listing = await peer.text(lambda m: m["t"] == "params" and m["key"] == key, f"params of {key}")
        index = next((p["i"] for p in listing["list"] if p["name"] == param), None)
        check(index is not None, f"{param} listed in {listing}")
        await peer.send({"t": "set", "track": "t1", "key": key, "i": index, "v": value})
        echo = await peer.text(lambda m: m["t"] == "param" and m.get("echo"), f"echo of {param}")
        check(echo["key"] == key and echo["i"] == index and echo["v"] == value and echo["text"] == text,
              f"echo {echo}")
        pushed = await peer.text(lambda m: m["t"] == "param" and "echo" not in m and m["key"] == key
                                 and m["i"] == index, f"pushed {param}")
        check(pushed["v"] == value and pushed["text"] == text, f"pushed {pushed}")
        dirty = await peer.text(lambda m: m["t"] == "dirty" and m["key"] == key, f"dirty {key}")
        check(dirty["track"] == "t1", f"dirty {dirty}")

    await play(peer, stream, case["audio"], latency)

    states = {}
    for key in case["state"]:
        await peer.send({"t": "state", "track": "t1", "key": key})
        states[key] = await peer.text(lambda m: m["t"] == "state" and m["key"] == key, f"state of {key}")
        check(states[key]["plugin"] == plugin_of[key] and states[key]["data"], f"state {states[key]}")
    for key, param, value, _ in case["set"]:
        if key in states:
            got = next(p["v"] for p in states[key]["params"] if p["name"] == param)
            check(got == value, f"{param} in the state of {key}: {got}")
    await peer.close()

    # Only the state goes into the new session's plug-ins: no values beside it.
    peer = await Peer.open(uri, None, pid, token)
    keys = case["state"]
    slots = [{"key": key, "plugin": plugin_of[key], "state": states[key]["data"]} for key in keys]
    latency = sum(lat for key, _, lat in case["slots"] if key in keys)
    loaded = await build(peer, "t2", slots, latency)
    check(all("warning" not in s for s in loaded["slots"]), f"state accepted {loaded}")
    for key in keys:
        await peer.send({"t": "state", "track": "t2", "key": key})
        again = await peer.text(lambda m: m["t"] == "state" and m["key"] == key, f"restored state of {key}")
        before, after = base64.b64decode(states[key]["data"]), base64.b64decode(again["data"])
        if key in case["counted"]:
            count = struct.unpack_from("<i", before, len(before) - 4)[0]
            before = before[:-4] + struct.pack("<i", count + 1)
        check(after == before and again["params"] == states[key]["params"],
              f"round trip of {key}: {again} against {states[key]}")
    if case["heard"]:
        await play(peer, loaded["stream"], case["audio"], latency)
    await peer.close()


def install(name, plugin, home):
    """The environment that finds a copy of the plug-in, and nothing else."""
    env = {k: v for k, v in os.environ.items() if k != "CLAP_PATH"}
    env.update(HOME=home, QUILLET_RT="0")
    if name == "clap":
        folder = os.path.join(home, "clap-path")
        os.makedirs(folder)
        shutil.copy(plugin, os.path.join(folder, os.path.basename(plugin)))
        env["CLAP_PATH"] = folder
    else:
        folder = os.path.join(home, ".vst3")
        os.makedirs(folder)
        shutil.copytree(plugin, os.path.join(folder, os.path.basename(plugin.rstrip("/"))))
    return env


def run(name, driver, helper, plugin):
    case = FORMATS[name]
    home = tempfile.mkdtemp(prefix=f"krevlo-e2e-{name}-")
    data = os.path.join(home, "data")
    proc = None
    try:
        env = install(name, plugin, home)
        proc = Driver([driver, f"--{name}", helper, data, e2e_client.CODE], env)
        asyncio.run(session(f"ws://127.0.0.1:{proc.port}/v1", name, case))
        check(proc.stop() == 0, "the driver shuts down cleanly")
    finally:
        if proc:
            proc.kill()
        shutil.rmtree(home, ignore_errors=True)
    print(f"{e2e_client.checks} passed, 0 failed")


if __name__ == "__main__":
    try:
        run(*sys.argv[1:5])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {e2e_client.checks} checks: {e!r}")
        print(f"{e2e_client.checks} passed, 1 failed")
        sys.exit(1)
