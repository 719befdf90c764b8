"""What the end-to-end scripts share: the checks counter, the WebSocket
helpers, a connection that keeps pushes for later, binary audio frames, and
starting and stopping the driver."""
import asyncio
import hashlib
import hmac
import json
import secrets
import struct
import subprocess
import time

import websockets

CODE = "314159"
ORIGIN = "https://daw.krevlo.example"
TIMEOUT = 30  # a bound for each wait, generous for sanitizer builds on a busy machine
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


async def pair(uri, tls=None):
    """Pairs with the fixed code; answers the pairing's id and token."""
    ws = await connect(uri, tls, ORIGIN)
    check((await recv(ws))["t"] == "hello", "hello")
    paired = await ask(ws, {"t": "pair", "code": CODE, "name": "Python e2e"})
    check(paired["t"] == "paired" and len(paired["token"]) == 64, f"paired {paired}")
    check(await recv(ws) == {"t": "ready"}, "ready after pairing")
    await ws.close()
    return paired["id"], paired["token"]


class Peer:
    """One authenticated connection that keeps text pushes it was not waiting
    for and every binary frame, so the checks can take them in any order."""

    def __init__(self, ws):
        self.ws = ws
        self.texts = []
        self.binaries = []

    @classmethod
    async def open(cls, uri, tls, pid, token):
        ws = await connect(uri, tls, ORIGIN)
        nonce = (await recv(ws))["nonce"]
        client = secrets.token_hex(16)
        ready = await ask(ws, {"t": "auth", "id": pid, "nonce": client, "mac": mac(token, f"client|{nonce}|{client}")})
        check(ready["t"] == "ready", f"auth {ready}")
        return cls(ws)

    async def send(self, message):
        await self.ws.send(json.dumps(message))

    async def pump(self, deadline):
        m = await asyncio.wait_for(self.ws.recv(), max(0.01, deadline - time.monotonic()))
        if isinstance(m, bytes):
            self.binaries.append(m)
        else:
            self.texts.append(json.loads(m))

    async def text(self, want, what):
        """The first text message, kept or new, for which want() holds."""
        deadline = time.monotonic() + TIMEOUT
        seen = 0
        while True:
            for i in range(seen, len(self.texts)):
                if want(self.texts[i]):
                    return self.texts.pop(i)
            seen = len(self.texts)
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} among {self.texts[-5:]}")
            await self.pump(deadline)

    async def samples(self, count):
        """Binary frames until they hold `count` samples per channel."""
        deadline = time.monotonic() + TIMEOUT
        while sum(struct.unpack_from("<i", b, 12)[0] for b in self.binaries) < count:
            await self.pump(deadline)

    async def close(self):
        await self.ws.close()


OPAQUE = bytes(range(16))


def frame(stream, position, left, right):
    head = struct.pack("<BBHiiiIiiidd", 1, 2, stream, 0, position, len(left), 0, 4, 4, 0, float(position), 120.0)
    return head + OPAQUE + struct.pack(f"<{len(left)}f", *left) + struct.pack(f"<{len(right)}f", *right)


def read_output(b):
    kind, channels, stream, epoch, position, frames = struct.unpack_from("<BBHiii", b, 0)
    check(len(b) == 64 + 8 * frames and kind == 2 and channels == 2, f"output frame of {len(b)} bytes")
    check(b[48:64] == OPAQUE, "the header's opaque bytes come back")
    left = struct.unpack_from(f"<{frames}f", b, 64)
    right = struct.unpack_from(f"<{frames}f", b, 64 + 4 * frames)
    return stream, position, left, right


def is_chain(track, status=None):
    def want(m):
        return m["t"] == "chain" and m["track"] == track and (
            status is None or all(s["status"] == status for s in m["slots"]))
    return want


class Driver:
    """The driver process: started with its arguments and environment, its port
    read from its first line; stopped by closing its standard input."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            self.kill()
            raise AssertionError(f"driver did not start: {line}")
        self.port = int(line[1])

    def stop(self):
        """The driver's exit status once it has shut down."""
        self.proc.stdin.close()
        return self.proc.wait(timeout=TIMEOUT)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
