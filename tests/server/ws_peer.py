#!/usr/bin/python3
"""An independent WebSocket peer (python3-websockets) for the server tests.

    ws_peer.py MODE URL ORIGIN [CA_FILE]

With CA_FILE the URL is wss:// and the server's chain and address are verified
against it. Exits 0 when every check passed; prints what failed otherwise.
"""
import asyncio
import ssl
import sys

import websockets

SIZES = [0, 125, 126, 65535, 65536, 1 << 20]
TIMEOUT = 20


def fail(message):
    print("ws_peer:", message, file=sys.stderr)
    sys.exit(1)


def context(ca_file):
    if not ca_file:
        return None
    ctx = ssl.create_default_context(cafile=ca_file)  # chain and IP address checked
    return ctx


def connect(url, origin, ca_file, **kwargs):
    return websockets.connect(url, ssl=context(ca_file), origin=origin, max_size=None,
                              compression=None, open_timeout=TIMEOUT, close_timeout=TIMEOUT,
                              ping_interval=None, **kwargs)


def sample(size, text):
    if text:
        return "".join(chr(ord("a") + i % 26) for i in range(size))
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


async def echo(url, origin, ca_file):
    async with connect(url, origin, ca_file) as ws:
        for size in SIZES:
            for text in (True, False):
                message = sample(size, text)
                await ws.send(message)
                got = await asyncio.wait_for(ws.recv(), TIMEOUT)
                if got != message:
                    fail(f"echo of {size} {'text' if text else 'binary'} differs")

        # Fragmented, with a ping after every fragment.
        for size in SIZES:
            for text in (True, False):
                message = sample(size, text)
                third = size // 3
                parts = [message[:third], message[third:2 * third], message[2 * third:]]
                pongs = []

                async def fragments():
                    for i, part in enumerate(parts):
                        yield part
                        pongs.append(await ws.ping(f"p{size}-{text}-{i}"))

                await ws.send(fragments())
                got = await asyncio.wait_for(ws.recv(), TIMEOUT)
                if got != message:
                    fail(f"fragmented echo of {size} differs")
                for pong in pongs:
                    await asyncio.wait_for(pong, TIMEOUT)

        await ws.close(code=1000)
        if ws.close_code != 1000:
            fail(f"close answered with {ws.close_code}")


async def close_first(url, origin, ca_file):
    async with connect(url, origin, ca_file) as ws:
        await ws.close(code=1001, reason="bye")
        if ws.close_code != 1001:
            fail(f"a close before anything else was answered with {ws.close_code}, not 1001")


async def refused(url, origin, ca_file):
    try:
        async with connect(url, origin or None, ca_file):
            pass
    except websockets.exceptions.InvalidStatusCode as e:
        if e.status_code != 403:
            fail(f"refused with {e.status_code}, not 403")
        return
    fail("the upgrade was accepted")


async def stall(url, origin, ca_file):
    # One connection asks for a flood and then never reads; the other keeps
    # working while the server gives up on the first one.
    stuck = await connect(url, origin, ca_file, max_queue=1, read_limit=1 << 16)
    await stuck.send("flood")
    async with connect(url, origin, ca_file) as ws:
        for i in range(20):
            await ws.send(f"still here {i}")
            got = await asyncio.wait_for(ws.recv(), TIMEOUT)
            if got != f"still here {i}":
                fail(f"healthy connection got {got!r}")
        await ws.send("wait-stuck")  # answered once the server has dropped the stuck one
        got = await asyncio.wait_for(ws.recv(), 60)
        if got != "stuck-closed":
            fail(f"healthy connection got {got!r} instead of stuck-closed")
    # Reading again: what reached the kernel arrives, then the end without a close frame.
    received = 0
    try:
        while True:
            received += len(await asyncio.wait_for(stuck.recv(), TIMEOUT))
    except websockets.exceptions.ConnectionClosed:
        pass
    if stuck.close_code != 1006:
        fail(f"stuck connection ended with {stuck.close_code}, expected no close frame (1006)")
    print(f"ws_peer: stuck connection received {received} bytes before the end")


MODES = {"echo": echo, "close-first": close_first, "refused": refused, "stall": stall}

if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[1] not in MODES:
        fail(__doc__)
    mode, url, origin = sys.argv[1:4]
    ca = sys.argv[4] if len(sys.argv) > 4 else None
    asyncio.run(asyncio.wait_for(MODES[mode](url, origin, ca), 120))
