#!/usr/bin/python3
"""An edit made while no audio flows belongs in the saved state. Over
python3-websockets, with the real host, the real helper and a copy of a test
plug-in whose audio side learns parameters only from the host's events (CLAP:
the strict plug-in, which aborts the driver on any thread or lifecycle
violation; VST3: the split effect with a separate controller): sets a
parameter, asks for "state" with no audio in between, restores it into a new
session's track, and reads the value back through "params". clap-smooth: the
strict plug-in that glides toward an edit only with audio while it processes;
audio streams through it first and stops, then the edit, and the state holds
the new value once the quiet chain has stopped the plug-in's processing.
    e2e_idle_edits_test.py clap|vst3|clap-smooth DRIVER HELPER PLUGIN
"""
import asyncio
import base64
import os
import shutil
import struct
import sys
import tempfile
import time

import e2e_client
from e2e_client import Driver, Peer, check, frame, pair
from e2e_plugins_test import build, catalog, install

# "kind": the driver's host and the plug-in's install; "audio": blocks streamed
# through the plug-in before the edit.
CASES = {
    "clap": {"kind": "clap", "format": "CLAP", "plugin": "Strict Effect", "latency": 4, "audio": 0},
    "vst3": {"kind": "vst3", "format": "VST3", "plugin": "Split Effect", "latency": 4, "audio": 0},
    "clap-smooth": {"kind": "clap", "format": "CLAP", "plugin": "Strict Smooth", "latency": 4, "audio": 8},
}
VALUE = 0.8
# Far beyond the chain's quiet time; only a lost edit waits this long.
STATE_BOUND_S = 10.0
BLOCK = 128


async def stream_blocks(peer, stream, blocks, latency):
    """Streams `blocks` blocks and waits until all of their audio came back."""
    peer.binaries.clear()
    for b in range(blocks):
        await peer.ws.send(frame(stream, b * BLOCK, [0.5] * BLOCK, [-0.5] * BLOCK))
    await peer.samples(blocks * BLOCK - latency)
    peer.binaries.clear()


async def level_of(peer, track):
    await peer.send({"t": "params", "track": track, "key": "a"})
    listing = await peer.text(lambda m: m["t"] == "params" and m["track"] == track, f"params of {track}")
    level = next((p for p in listing["list"] if p["name"] == "Level"), None)
    check(level is not None, f"Level listed in {listing}")
    return level


async def saved_state(peer):
    await peer.send({"t": "state", "track": "t1", "key": "a"})
    state = await peer.text(lambda m: m["t"] == "state" and m["key"] == "a", "state")
    check(state["data"], f"state {state}")
    return state


def strict_level(state):
    """The level the strict plug-in saved, after its four-byte mark."""
    return struct.unpack_from("<d", base64.b64decode(state["data"]), 4)[0]


def is_value(level):
    return abs(level - VALUE) < 1e-6


async def session(uri, case):
    pid, token = await pair(uri)
    peer = await Peer.open(uri, None, pid, token)
    ids = await catalog(peer, case["format"])
    check(case["plugin"] in ids, f"{case['plugin']} in the catalog {sorted(ids)}")
    plugin = ids[case["plugin"]]
    done = await build(peer, "t1", [{"key": "a", "plugin": plugin}], case["latency"])
    if case["audio"]:
        await stream_blocks(peer, done["stream"], case["audio"], case["latency"])
    level = await level_of(peer, "t1")
    check(abs(level["v"] - 0.25) < 1e-6, f"Level starts at 0.25: {level}")
    await peer.send({"t": "set", "track": "t1", "key": "a", "i": level["i"], "v": VALUE})
    await peer.text(lambda m: m["t"] == "param" and m.get("echo"), "echo of Level")
    # No audio between the edit and the state.
    state = await saved_state(peer)
    if case["audio"]:
        # The plug-in was processing when the edit came: it lands once the
        # chain, quiet, stops the plug-in's processing.
        limit = time.monotonic() + STATE_BOUND_S
        while not is_value(strict_level(state)) and time.monotonic() < limit:
            await asyncio.sleep(0.05)
            state = await saved_state(peer)
        check(is_value(strict_level(state)), f"Level in the saved state: {strict_level(state)}")
    await peer.close()

    peer = await Peer.open(uri, None, pid, token)
    loaded = await build(peer, "t2", [{"key": "a", "plugin": plugin, "state": state["data"]}], case["latency"])
    check(all("warning" not in s for s in loaded["slots"]), f"state accepted {loaded}")
    restored = await level_of(peer, "t2")
    check(abs(restored["v"] - VALUE) < 1e-6, f"Level restored from the state: {restored}")
    await peer.close()


def run(name, driver, helper, plugin):
    home = tempfile.mkdtemp(prefix=f"krevlo-e2e-idle-{name}-")
    data = os.path.join(home, "data")
    proc = None
    try:
        kind = CASES[name]["kind"]
        env = install(kind, plugin, home)
        proc = Driver([driver, f"--{kind}", helper, data, e2e_client.CODE], env)
        asyncio.run(session(f"ws://127.0.0.1:{proc.port}/v1", CASES[name]))
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
