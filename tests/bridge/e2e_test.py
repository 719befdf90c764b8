#!/usr/bin/python3
"""A real WebSocket client against the Bridge driver, over ws:// and wss://.

Checks "hello", pairing with the fixed code, authentication on a later
connection with macs computed here by Python's hmac module, the catalog, and
that forged, missing and unlisted origins are refused.
    e2e_test.py DRIVER
"""
import asyncio
import hashlib
import hmac
import json
import os
import secrets
import shutil
import ssl
import subprocess
import sys
import tempfile

import websockets

CODE = "314159"
ORIGIN = "https://daw.krevlo.example"
DEV_ORIGIN = "http://127.0.0.1:5173"
TIMEOUT = 10
checks = 0


def check(condition, what):
    global checks
    if not condition:
        raise AssertionError(what)
    checks += 1


def mac(token, message):
    return hmac.new(bytes.fromhex(token), message.encode(), hashlib.sha256).hexdigest()


async def recv(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))


async def ask(ws, message):
    await ws.send(json.dumps(message))
    return await recv(ws)


async def connect(uri, tls, origin):
    return await asyncio.wait_for(websockets.connect(uri, origin=origin, ssl=tls, max_size=None), TIMEOUT)


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
    check(hello["version"] == "0.1.128" and hello["formats"] == ["CLAP"], f"hello {hello}")
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
    check(places["t"] == "places" and places["list"] == [], f"places {places}")
    reply = await ask(ws, {"t": "plugins"})
    check(reply["t"] == "plugins" and [p["id"] for p in reply["list"]] == ["CLAP:Gain"], f"catalog {reply}")
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


async def main(port, data):
    await session(f"ws://127.0.0.1:{port}/v1", None, False)
    tls = ssl.create_default_context(cafile=os.path.join(data, "ca.pem"))
    await session(f"wss://127.0.0.1:{port}/v1", tls, True)


def run(driver):
    home = tempfile.mkdtemp(prefix="krevlo-e2e-")
    data = os.path.join(home, "data")
    env = dict(os.environ, HOME=home, QUILLET_ORIGINS=DEV_ORIGIN)
    proc = subprocess.Popen([driver, data, CODE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
    try:
        line = proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            raise AssertionError(f"driver did not start: {line}")
        asyncio.run(main(int(line[1]), data))
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
    print(f"{checks} passed, 0 failed")


if __name__ == "__main__":
    try:
        run(sys.argv[1])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {checks} checks: {e!r}")
        print(f"{checks} passed, 1 failed")
        sys.exit(1)
