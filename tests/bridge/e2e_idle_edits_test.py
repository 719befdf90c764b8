#!/usr/bin/python3
"""An edit made while no audio flows belongs in the saved state. Over
python3-websockets, with the real host, the real helper and a copy of a test
plug-in whose audio side learns parameters only from the host's events (CLAP:
the strict plug-in, which aborts the driver on any thread or lifecycle
violation; VST3: the split effect with a separate controller): sets a
parameter, asks for "state" with no audio in between, restores it into a new
session's track, and reads the value back through "params".
    e2e_idle_edits_test.py clap|vst3 DRIVER HELPER PLUGIN
"""
import asyncio
import os
import shutil
import sys
import tempfile

import e2e_client
from e2e_client import Driver, Peer, check, pair
from e2e_plugins_test import build, catalog, install

CASES = {
    "clap": {"format": "CLAP", "plugin": "Strict Effect", "latency": 4},
    "vst3": {"format": "VST3", "plugin": "Split Effect", "latency": 4},
}
VALUE = 0.8


async def level_of(peer, track):
    await peer.send({"t": "params", "track": track, "key": "a"})
    listing = await peer.text(lambda m: m["t"] == "params" and m["track"] == track, f"params of {track}")
    level = next((p for p in listing["list"] if p["name"] == "Level"), None)
    check(level is not None, f"Level listed in {listing}")
    return level


async def session(uri, case):
    pid, token = await pair(uri)
    peer = await Peer.open(uri, None, pid, token)
    ids = await catalog(peer, case["format"])
    check(case["plugin"] in ids, f"{case['plugin']} in the catalog {sorted(ids)}")
    plugin = ids[case["plugin"]]
    await build(peer, "t1", [{"key": "a", "plugin": plugin}], case["latency"])
    level = await level_of(peer, "t1")
    check(abs(level["v"] - 0.25) < 1e-6, f"Level starts at 0.25: {level}")
    await peer.send({"t": "set", "track": "t1", "key": "a", "i": level["i"], "v": VALUE})
    await peer.text(lambda m: m["t"] == "param" and m.get("echo"), "echo of Level")
    # No audio between the edit and the state.
    await peer.send({"t": "state", "track": "t1", "key": "a"})
    state = await peer.text(lambda m: m["t"] == "state" and m["key"] == "a", "state")
    check(state["data"], f"state {state}")
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
        env = install(name, plugin, home)
        proc = Driver([driver, f"--{name}", helper, data, e2e_client.CODE], env)
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
