#!/usr/bin/python3
"""A real WebSocket client against the Bridge driver, over ws:// and wss://.

Checks "hello", pairing with the fixed code, authentication on a later
connection with macs computed here by Python's hmac module, the catalog, and
that forged, missing and unlisted origins are refused. Then builds a chain of
the test host's gain and latency plug-ins, streams binary frames through it and
checks the samples, "levels", "stats", a parameter echo, state carried into a
new session, a Place read back in chunks, and a socket cut mid-stream while the
gain plug-in reports parameter changes from its audio thread.
    e2e_test.py DRIVER
"""
import asyncio
import base64
import hashlib
import json
import os
import secrets
import shutil
import ssl
import subprocess
import sys
import tempfile

import websockets

import e2e_client
from e2e_client import CODE, ORIGIN, TIMEOUT, Peer, ask, check, connect, frame, is_chain, mac, read_output, recv

DEV_ORIGIN = "http://127.0.0.1:5173"


async def refused(uri, tls, origin):
    """True when the upgrade is answered 403 Forbidden."""
    try:
        ws = await connect(uri, tls, origin)
    except websockets.exceptions.InvalidStatusCode as e:
        return e.status_code == 403
    await ws.close()
    return False


async def session(uri, tls, encrypted):
    # First visit: hello, refused before pairing, one wrong code, then pairing.
    ws = await connect(uri, tls, ORIGIN)
    hello = await recv(ws)
    check(hello["t"] == "hello" and hello["v"] == 1 and hello["app"] == "Krevlo Bridge", f"hello {hello}")
    check(hello["version"] == "0.1.128" and hello["formats"] == ["Test"], f"hello {hello}")
    check(len(hello["nonce"]) == 32 and int(hello["nonce"], 16) >= 0, "nonce is 32 hex digits")
    check(hello["tls"] is encrypted, f"tls flag {hello['tls']}")
    reply = await ask(ws, {"t": "plugins"})
    check(reply == {"t": "error", "code": "unauthenticated", "for": "plugins"}, f"before pairing {reply}")
    reply = await ask(ws, {"t": "pair", "code": "000000", "name": "e2e"})
    check(reply["code"] == "bad-code", f"wrong code {reply}")
    paired = await ask(ws, {"t": "pair", "code": CODE, "name": "Python e2e"})
    check(paired["t"] == "paired" and len(paired["id"]) == 16 and len(paired["token"]) == 64, f"paired {paired}")
    check(await recv(ws) == {"t": "ready"}, "ready after pairing")
    places = await recv(ws)
    check(places["t"] == "places" and places["canAdd"] is True, f"places {places}")
    reply = await ask(ws, {"t": "plugins"})
    ids = [p["id"] for p in reply["list"]]
    check(reply["t"] == "plugins" and ids == ["Test:Gain", "Test:Latency"], f"catalog {reply}")
    reply = await ask(ws, {"t": "ping", "at": 7})
    check(reply == {"t": "pong", "at": 7.0}, f"pong {reply}")
    await ws.close()
    pid, token = paired["id"], paired["token"]

    # Later visit: authenticate with the token, and check the Bridge's own mac.
    ws = await connect(uri, tls, ORIGIN)
    nonce = (await recv(ws))["nonce"]
    client = secrets.token_hex(16)
    ready = await ask(ws, {"t": "auth", "id": pid, "nonce": client, "mac": mac(token, f"client|{nonce}|{client}")})
    check(ready["t"] == "ready", f"auth {ready}")
    check(ready["mac"] == mac(token, f"bridge|{client}|{nonce}"), "the Bridge proves it holds the token")
    check((await recv(ws))["t"] == "places", "places after auth")
    reply = await ask(ws, {"t": "plugins"})
    check(reply["t"] == "plugins", f"ready after auth {reply}")
    await ws.close()

    # A wrong mac, an upper-case mac and another origin are all unknown browsers.
    for origin, make in [
        (ORIGIN, lambda n, c: mac(token, f"client|{n}|{c}x")),
        (ORIGIN, lambda n, c: mac(token, f"client|{n}|{c}").upper()),
        ("https://staging.daw.krevlo.example", lambda n, c: mac(token, f"client|{n}|{c}")),
    ]:
        ws = await connect(uri, tls, origin)
        nonce = (await recv(ws))["nonce"]
        reply = await ask(ws, {"t": "auth", "id": pid, "nonce": client, "mac": make(nonce, client)})
        check(reply["t"] == "error" and reply["code"] == "unpaired", f"bad auth {reply}")
        await ws.close()

    # Origins: forged, missing, and the extra one from QUILLET_ORIGINS.
    check(await refused(uri, tls, "https://evil.example"), "a forged origin is refused")
    check(await refused(uri, tls, ORIGIN + "/"), "an origin with a trailing slash is refused")
    check(await refused(uri, tls, None), "a missing origin is refused")
    check(await refused(uri, tls, "http://127.0.0.1:5174"), "an unlisted port is refused")
    ws = await connect(uri, tls, DEV_ORIGIN)
    check((await recv(ws))["t"] == "hello", "the QUILLET_ORIGINS origin is allowed")
    await ws.close()
    return pid, token


BLOCK = 128
BLOCKS = 40


async def audio(uri, tls, pid, token, place_dir):
    peer = await Peer.open(uri, tls, pid, token)
    await peer.text(lambda m: m["t"] == "places", "places after auth")
    await peer.send({"t": "chain", "track": "t1", "rate": 48000, "trackName": "Drums",
                     "slots": [{"key": "g", "plugin": "Test:Gain"}, {"key": "l", "plugin": "Test:Latency"}]})
    first = await peer.text(is_chain("t1"), "first chain reply")
    check([s["status"] for s in first["slots"]] == ["loading", "loading"], f"first reply {first}")
    done = await peer.text(is_chain("t1", "ok"), "chain with every slot loaded")
    check(done["latency"] == 32 and done["slots"][1]["latency"] == 32, f"latency {done}")
    stream = done["stream"]
    await peer.send({"t": "meter", "track": "t1", "key": "g", "on": True})
    # Text requests run on the main thread, binary frames go straight to the
    # chain; the pong proves the meter is on before the first block arrives.
    await peer.send({"t": "ping", "at": 2.0})
    check(await peer.text(lambda m: m["t"] == "pong", "pong after meter") == {"t": "pong", "at": 2.0}, "meter applied")

    # Samples that halve exactly in float32; the latency is swallowed at the
    # start and the output timeline lines up with the input's.
    total = BLOCK * BLOCKS
    left = [(i % 512) / 512.0 for i in range(total)]
    right = [-v for v in left]
    for b in range(BLOCKS):
        at = b * BLOCK
        await peer.ws.send(frame(stream, at, left[at:at + BLOCK], right[at:at + BLOCK]))
    await peer.samples(total - 32)
    out_left, out_right, expected_at = [], [], 0
    for b in peer.binaries:
        s, position, l, r = read_output(b)
        check(s == stream and position == expected_at, f"output at {position}, wanted {expected_at}")
        expected_at += len(l)
        out_left += l
        out_right += r
    check(out_left == [v * 0.5 for v in left[:len(out_left)]], "left samples halved, latency swallowed")
    check(out_right == [v * 0.5 for v in right[:len(out_right)]], "right samples halved")
    peer.binaries.clear()

    levels = await peer.text(lambda m: m["t"] == "levels" and m["track"] == "t1", "levels")
    check(levels["slots"][0]["key"] == "g" and len(levels["slots"][0]["w"][0]) == 6, f"levels {levels}")
    stats = await peer.text(lambda m: m["t"] == "stats" and m["tracks"], "stats with the track")
    check(stats["tracks"][0]["track"] == "t1" and stats["tracks"][0]["latency"] == 32, f"stats {stats}")
    # The gain plug-in reports changes from its audio thread: pushed as "param".
    pushed = await peer.text(lambda m: m["t"] == "param" and "echo" not in m, "a pushed param")
    check(pushed["key"] == "g" and pushed["i"] == 0, f"pushed param {pushed}")

    await peer.send({"t": "set", "track": "t1", "key": "g", "i": 0, "v": 0.25})
    echo = await peer.text(lambda m: m["t"] == "param" and m.get("echo"), "parameter echo")
    check(echo["v"] == 0.25 and echo["id"] == "0" and echo["text"] == "0.25", f"echo {echo}")
    await peer.send({"t": "state", "track": "t1", "key": "g"})
    state = await peer.text(lambda m: m["t"] == "state", "state")
    check(state["plugin"] == "Test:Gain" and state["params"][0]["v"] == 0.25, f"state {state}")
    await peer.close()

    # The saved state and values go into a new session's new plug-in.
    peer = await Peer.open(uri, tls, pid, token)
    await peer.send({"t": "chain", "track": "t2", "slots": [
        {"key": "g", "plugin": "Test:Gain", "state": state["data"], "params": {"0": 0.25}}]})
    loaded = await peer.text(is_chain("t2", "ok"), "restored chain")
    check("warning" not in loaded["slots"][0], f"state accepted {loaded}")
    await peer.send({"t": "state", "track": "t2", "key": "g"})
    again = await peer.text(lambda m: m["t"] == "state", "restored state")
    check(again["data"] == state["data"] and again["params"] == state["params"], f"round trip {again}")

    # A Place, listed and read back in chunks.
    await peer.send({"t": "addPlace"})
    places = await peer.text(lambda m: m["t"] == "places" and "added" in m, "places with the new id")
    place = places["added"]
    await peer.send({"t": "list", "place": place, "path": "", "req": 3})
    listing = await peer.text(lambda m: m["t"] == "listing", "listing")
    size = os.path.getsize(os.path.join(place_dir, "song.wav"))
    check(listing["req"] == 3 and listing["entries"] == [{"name": "sub", "dir": True},
                                                         {"name": "song.wav", "size": size}], f"listing {listing}")
    digest, offset, chunks = hashlib.sha256(), 0, 0
    while True:
        await peer.send({"t": "read", "place": place, "path": "song.wav", "offset": offset, "req": chunks})
        got = await peer.text(lambda m: m["t"] == "file" and m["req"] == chunks, f"chunk {chunks}")
        data = base64.b64decode(got["data"])
        check(got["offset"] == offset and got["size"] == size, f"chunk header {got['offset']} {got['size']}")
        digest.update(data)
        offset += len(data)
        chunks += 1
        if offset >= size or not data:
            break
    with open(os.path.join(place_dir, "song.wav"), "rb") as f:
        check(digest.hexdigest() == hashlib.sha256(f.read()).hexdigest(), "the file reads back whole")
    check(chunks == 2, f"read in {chunks} chunks")
    await peer.send({"t": "read", "place": place, "path": "../secret.wav"})
    refused = await peer.text(lambda m: m["t"] == "error", "refusal")
    check(refused["code"] == "not-found", f"outside the place {refused}")
    await peer.close()

    # The socket goes away mid-stream, without a close frame, while the plug-in
    # keeps reporting from its audio thread.
    peer = await Peer.open(uri, tls, pid, token)
    await peer.send({"t": "chain", "track": "cut", "slots": [{"key": "g", "plugin": "Test:Gain"}]})
    cut = (await peer.text(is_chain("cut", "ok"), "chain to cut"))["stream"]
    block = [0.25] * BLOCK
    for b in range(400):
        await peer.ws.send(frame(cut, b * BLOCK, block, block))
        if b == 100:
            await peer.samples(BLOCK)
    peer.ws.transport.abort()
    peer = await Peer.open(uri, tls, pid, token)
    await peer.send({"t": "ping", "at": 1})
    check(await peer.text(lambda m: m["t"] == "pong", "pong") == {"t": "pong", "at": 1.0}, "alive after the cut")
    await peer.close()


async def main(port, data, place_dir):
    pid, token = await session(f"ws://127.0.0.1:{port}/v1", None, False)
    await audio(f"ws://127.0.0.1:{port}/v1", None, pid, token, place_dir)
    tls = ssl.create_default_context(cafile=os.path.join(data, "ca.pem"))
    pid, token = await session(f"wss://127.0.0.1:{port}/v1", tls, True)
    await audio(f"wss://127.0.0.1:{port}/v1", tls, pid, token, place_dir)


def make_place(home):
    place_dir = os.path.join(home, "media")
    os.makedirs(os.path.join(place_dir, "sub"))
    with open(os.path.join(place_dir, "song.wav"), "wb") as f:
        f.write(os.urandom((5 << 20) + 12345))
    with open(os.path.join(place_dir, "notes.txt"), "w") as f:
        f.write("not audio")
    with open(os.path.join(home, "secret.wav"), "wb") as f:
        f.write(b"outside")
    return place_dir


def run(driver):
    home = tempfile.mkdtemp(prefix="krevlo-e2e-")
    data = os.path.join(home, "data")
    place_dir = make_place(home)
    env = dict(os.environ, HOME=home, QUILLET_ORIGINS=DEV_ORIGIN, QUILLET_RT="0")
    proc = subprocess.Popen([driver, data, CODE, place_dir], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                            text=True)
    try:
        line = proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            raise AssertionError(f"driver did not start: {line}")
        asyncio.run(main(int(line[1]), data, place_dir))
        proc.stdin.close()
        check(proc.wait(timeout=TIMEOUT) == 0, "the driver shuts down cleanly")
        pairings = json.load(open(os.path.join(data, "pairings.json")))
        check(len(pairings) == 2 and pairings[0]["name"] == "Python e2e", "both pairings were saved")
        check(oct(os.stat(os.path.join(data, "pairings.json")).st_mode & 0o777) == "0o600", "pairings.json is private")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(home, ignore_errors=True)
    print(f"{e2e_client.checks} passed, 0 failed")


if __name__ == "__main__":
    try:
        run(sys.argv[1])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {e2e_client.checks} checks: {e!r}")
        print(f"{e2e_client.checks} passed, 1 failed")
        sys.exit(1)
