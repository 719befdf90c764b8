#!/usr/bin/python3
"""The real krevlo-bridge against hostile peers on ws://127.0.0.1:47800.

Each case floods the program from one peer while a well-behaved, paired peer
keeps asking for pongs and for processed audio on a live track:
  - 8 MiB text messages before pairing,
  - small text messages sent without pause for several seconds,
  - a render track fed as fast as loopback allows,
  - thousands of "chain" requests,
  - hundreds of sockets that never send a byte,
  - a close sent behind megabytes of unread output, after which the peer never reads.
For each case the program's peak resident memory (as the kernel keeps it, reset
at the start of the case) stays within the bound its design allows above the
figure at the start of the case, the well-behaved peer keeps
being served, and everything the flooding peer got accepted is answered. At the
end SIGTERM, sent in the middle of two floods, ends the program.
    hostile_test.py PROGRAM [asan|tsan]
Every wait is bounded and generous; nothing here measures speed.
"""
import hashlib
import hmac
import json
import os
import re
import secrets
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import ctypes
import queue
import shutil

PORT = 47800
ORIGIN = "http://127.0.0.1:5173"
TIMEOUT = 60  # a bound for each wait, generous for sanitizer builds on a busy machine
MiB = 1 << 20
checks = 0

# What the design lets one peer cost, above the resident figure at the start of
# the case: per connection 1 MiB of unhandled text plus the message in hand
# (read buffer, assembly, the copy handed over: a few copies of the largest
# message), 2 MiB of queued audio per chain, 64 chains per page; plus allocator
# slack. ASan keeps freed memory in quarantine and shadows what it hands out.
BOUND = {
    "8 MiB text flood before pairing": 96 * MiB,
    # Input held by the program is left in the kernel: what is read and not yet
    # handled is one message plus one read, and the peer takes its answers.
    "small text flood": 8 * MiB,
    "render-track flood": 64 * MiB,
    "thousands of chain requests": 96 * MiB,
    "hundreds of idle sockets": 64 * MiB,
    "close, then never reading": 96 * MiB,
}
# Sanitizer builds shadow what the program touches; AddressSanitizer also keeps
# up to 64 MiB of freed blocks in quarantine (see Program), which a flood of
# small messages fills with blocks that stay resident.
SANITIZER_EXTRA = {"asan": 160 * MiB, "tsan": 160 * MiB}
SANITIZER_EXTRA_FOR = {("small text flood", "asan"): 80 * MiB, ("small text flood", "tsan"): 48 * MiB}


def check(condition, what):
    global checks
    if not condition:
        raise AssertionError(what)
    checks += 1


def end_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def mac(token, message):
    return hmac.new(bytes.fromhex(token), message.encode(), hashlib.sha256).hexdigest()


def status_bytes(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak(pid):
    """Starts the kernel's peak resident figure (VmHWM) afresh from the current one."""
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def frame(opcode, payload):
    """A client frame: FIN, masked with the all-zero key (so no byte changes)."""
    n = len(payload)
    if n < 126:
        head = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
    elif n < 65536:
        head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
    else:
        head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
    return head + b"\0\0\0\0" + payload


def text_frame(message):
    return frame(1, (message if isinstance(message, str) else json.dumps(message)).encode())


def audio(stream, position, frames):
    head = struct.pack("<BBHiiiIiiidd", 1, 2, stream, 0, position, frames, 0, 4, 4, 0, 0.0, 120.0)
    return head + bytes(16) + bytes(8 * frames)


class Ws:
    """A blocking WebSocket client over a raw socket; reads give up after TIMEOUT."""

    def __init__(self, rcvbuf=None):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(("127.0.0.1", PORT))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()
        self.sock.sendall((f"GET /v1 HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                           f"Sec-WebSocket-Version: 13\r\nOrigin: {ORIGIN}\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        end = self.buf.index(b"\r\n\r\n") + 4
        status = bytes(self.buf[:end]).split(b"\r\n")[0]
        check(status == b"HTTP/1.1 101 Switching Protocols", f"upgrade answered {status}")
        del self.buf[:end]
        self.hello = self.recv_json()
        check(self.hello["t"] == "hello", f"hello first: {self.hello}")

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("the server closed the connection")
        self.buf += chunk

    def send(self, data):
        self.sock.sendall(data)

    def send_json(self, message):
        self.send(text_frame(message))

    def recv(self):
        """(opcode, payload) of the next frame."""
        while True:
            if len(self.buf) >= 2:
                code = self.buf[1] & 0x7F
                head = 2 + (2 if code == 126 else 8 if code == 127 else 0)
                if len(self.buf) >= head:
                    n = code
                    if code == 126:
                        n = struct.unpack_from("!H", self.buf, 2)[0]
                    elif code == 127:
                        n = struct.unpack_from("!Q", self.buf, 2)[0]
                    if len(self.buf) >= head + n:
                        opcode = self.buf[0] & 0x0F
                        payload = bytes(self.buf[head:head + n])
                        del self.buf[:head + n]
                        return opcode, payload
            self._fill()

    def recv_json(self):
        while True:
            opcode, payload = self.recv()
            if opcode == 1:
                return json.loads(payload)

    def recv_json_of(self, types):
        while True:
            m = self.recv_json()
            if m["t"] in types:
                return m

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Program:
    def __init__(self, exe, home, sanitizer):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME")}
        env.update(HOME=home, QUILLET_ORIGINS=ORIGIN, CLAP_PATH=os.path.join(home, "clap"), QUILLET_RT="0")
        if sanitizer == "asan":
            # A bounded quarantine, so freed floods do not count as held.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=64:detect_leaks=0"
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True,
                                     preexec_fn=end_with_parent)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, pattern, what):
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                line = None
            if line is None:
                raise AssertionError(f"{what}: not printed")
            m = re.search(pattern, line)
            if m:
                return m

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def authenticate(pid, token, rcvbuf=None):
    ws = Ws(rcvbuf)
    client = secrets.token_hex(16)
    ws.send_json({"t": "auth", "id": pid, "nonce": client, "mac": mac(token, f"client|{ws.hello['nonce']}|{client}")})
    ready = ws.recv_json_of({"ready", "error"})
    check(ready["t"] == "ready", f"auth {ready}")
    return ws


def chain(ws, track):
    ws.send_json({"t": "chain", "track": track, "slots": []})
    reply = ws.recv_json_of({"chain", "error"})
    check(reply["t"] == "chain", f"chain for {track}: {reply}")
    return reply["stream"]


class GoodPeer:
    """A paired page that keeps pinging and streaming a live track, one request
    at a time, on its own thread. Every answer must come within TIMEOUT."""

    def __init__(self, pid, token):
        self.ws = authenticate(pid, token)
        self.stream = chain(self.ws, "live")
        self.rounds = 0
        self.failure = None
        self.stop = threading.Event()
        self.cv = threading.Condition()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        position = 0
        try:
            while not self.stop.is_set():
                self.ws.send_json({"t": "ping", "at": self.rounds})
                pong = self.ws.recv_json_of({"pong"})
                check(pong["at"] == self.rounds, f"the good peer's pong {pong}")
                self.ws.send(frame(2, audio(self.stream, position, 256)))
                while True:
                    opcode, payload = self.ws.recv()
                    if opcode == 2:
                        break
                check(struct.unpack_from("<i", payload, 8)[0] == position, "the good peer's block comes back")
                position += 256
                with self.cv:
                    self.rounds += 1
                    self.cv.notify_all()
                time.sleep(0.01)
        except Exception as e:  # reported by wait_rounds
            self.failure = repr(e)
            with self.cv:
                self.cv.notify_all()

    def wait_rounds(self, n, what):
        with self.cv:
            target = self.rounds + n
            ok = self.cv.wait_for(lambda: self.rounds >= target or self.failure, TIMEOUT)
        check(self.failure is None, f"{what}: the good peer failed: {self.failure}")
        check(ok, f"{what}: the good peer got no answers")


def run_case(app, good, name, flood, sanitizer):
    """Runs flood() on a thread while the good peer must keep being served."""
    pid = app.proc.pid
    reset_peak(pid)
    start = status_bytes(pid, "VmRSS")
    errors = []

    def body():
        try:
            flood()
        except Exception as e:
            errors.append(repr(e))

    t = threading.Thread(target=body, daemon=True)
    t.start()
    good.wait_rounds(3, name)
    t.join(TIMEOUT * 10)
    check(not t.is_alive(), f"{name}: the flood did not finish")
    good.wait_rounds(2, name + " (after)")
    peak = status_bytes(pid, "VmHWM")
    bound = BOUND[name]
    if sanitizer:
        bound += SANITIZER_EXTRA_FOR.get((name, sanitizer), SANITIZER_EXTRA[sanitizer])
    grown = peak - start
    print(f"{name}: start {start / MiB:.1f} MiB, peak {peak / MiB:.1f} MiB, "
          f"+{grown / MiB:.1f} MiB (bound {bound / MiB:.0f} MiB)", flush=True)
    check(not errors, f"{name}: {errors}")
    check(grown <= bound, f"{name}: resident memory grew by {grown / MiB:.1f} MiB, more than {bound / MiB:.0f}")


def reader(ws, count, keep):
    """Reads `count` text replies that `keep` accepts on a thread; returns the thread and the list."""
    got = []

    def run():
        while len(got) < count:
            opcode, payload = ws.recv()
            if opcode == 1:
                m = json.loads(payload)
                if keep(m):
                    got.append(m)

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, got


def finish(t, got, count, what):
    t.join(TIMEOUT * 10)
    check(len(got) == count, f"{what}: {len(got)} of {count} answered")


def text_flood():
    ws = Ws()
    count = 48
    message = frame(1, b"x" * (8 * MiB))  # not JSON: answered "bad-json" each
    t, got = reader(ws, count, lambda m: m == {"t": "error", "code": "bad-json"})
    for _ in range(count):
        ws.send(message)
    finish(t, got, count, "8 MiB messages")
    ws.close()


def small_text_flood():
    """Pings (19 bytes each) sent without pause for several seconds, before
    pairing; every one is answered. The answers are counted straight from the
    bytes, so that reading them keeps up with the program."""
    ws = Ws()
    seconds, per_send = 5, 5000
    batch = text_frame('{"t":"ping"}') * per_send
    sent = 0
    answered = [bytes(ws.buf).count(b'"pong"')]
    done = threading.Event()
    target = [None]

    def count_answers():
        tail = b""
        try:
            while target[0] is None or answered[0] < target[0]:
                chunk = ws.sock.recv(1 << 20)
                if not chunk:
                    break
                joined = tail + chunk
                answered[0] += joined.count(b'"pong"')
                tail = joined[-5:]  # shorter than the word: never counted twice
        except OSError:
            pass
        done.set()

    t = threading.Thread(target=count_answers, daemon=True)
    t.start()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ws.send(batch)
        sent += per_send
    target[0] = sent
    done.wait(TIMEOUT * 10)
    check(answered[0] == sent, f"small messages: {answered[0]} of {sent} answered")
    ws.close()


def render_flood(pid, token):
    ws = authenticate(pid, token)
    stream = chain(ws, "render:bounce")
    count, frames = 4000, 1024
    positions = []

    def read():
        while len(positions) < count:
            opcode, payload = ws.recv()
            if opcode == 2:
                positions.append(struct.unpack_from("<i", payload, 8)[0])

    t = threading.Thread(target=read, daemon=True)
    t.start()
    for i in range(0, count, 100):
        ws.send(b"".join(frame(2, audio(stream, (i + k) * frames, frames)) for k in range(100)))
    t.join(TIMEOUT * 10)
    check(positions == [i * frames for i in range(count)], f"a render track loses nothing: {len(positions)}")
    ws.close()


def chain_flood(pid, token):
    ws = authenticate(pid, token)
    count = 3000
    t, got = reader(ws, count, lambda m: m["t"] in ("chain", "error"))
    for first in range(0, count, 500):
        ws.send(b"".join(text_frame({"t": "chain", "track": f"t{i}", "slots": []}) for i in range(first, first + 500)))
    finish(t, got, count, "chain requests")
    chains = [m for m in got if m["t"] == "chain"]
    refused = [m for m in got if m["t"] == "error"]
    check(len(chains) == 64, f"64 tracks for one page: {len(chains)}")
    check(all(m == {"t": "error", "code": "bad-request", "for": "chain"} for m in refused),
          f"the rest refused: {refused[:2]}")
    ws.close()


def idle_sockets(pid, token):
    idle = []
    try:
        for _ in range(300):
            idle.append(socket.create_connection(("127.0.0.1", PORT), timeout=TIMEOUT))
        # A new page still gets in, and is served.
        ws = authenticate(pid, token)
        ws.send_json({"t": "ping", "at": 7})
        check(ws.recv_json_of({"pong"})["at"] == 7, "a new page is served among idle sockets")
        ws.close()
    finally:
        for s in idle:
            s.close()


def server_side_state(client_port):
    """The TCP state of the program's end of our connection, or None when gone."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local, remote = fields[1], fields[2]
            if int(local.split(":")[1], 16) == PORT and int(remote.split(":")[1], 16) == client_port:
                return int(fields[3], 16)
    return None


def close_then_stall(pid, token):
    ws = authenticate(pid, token, rcvbuf=65536)
    stream = chain(ws, "render:unread")
    # More than the kernel buffers hold comes back, and is never read (but less
    # than the 8 MiB of unread output past which the program reads no more).
    frames = 4096
    for i in range(0, 200, 100):
        ws.send(b"".join(frame(2, audio(stream, (i + k) * frames, frames)) for k in range(100)))
    ws.send(frame(8, struct.pack("!H", 1000)))
    client_port = ws.sock.getsockname()[1]
    deadline = time.monotonic() + TIMEOUT
    while server_side_state(client_port) == 1 and time.monotonic() < deadline:  # 1: established
        time.sleep(0.05)
    check(server_side_state(client_port) != 1, "the program gives up a close the peer never lets finish")
    ws.close()


def term_mid_flood(app):
    floods = [Ws(), Ws()]
    stop = threading.Event()

    def pour(ws, data):
        try:
            while not stop.is_set():
                ws.send(data)
        except OSError:
            pass

    threads = [threading.Thread(target=pour, args=(floods[0], frame(1, b"x" * (8 * MiB))), daemon=True),
               threading.Thread(target=pour, args=(floods[1], b"".join(text_frame('{"t":"ping"}')
                                                                        for _ in range(5000))), daemon=True)]
    for t in threads:
        t.start()
    time.sleep(0.5)  # let the floods get going; the check below does not depend on it
    app.proc.send_signal(signal.SIGTERM)
    code = app.proc.wait(timeout=TIMEOUT)
    stop.set()
    for ws in floods:
        ws.close()
    check(code == 0, f"SIGTERM in the middle of floods ends the program with 0, not {code}")


def main(exe, sanitizer):
    home = tempfile.mkdtemp(prefix="krevlo-hostile-")
    os.makedirs(os.path.join(home, "clap"))
    app = Program(exe, home, sanitizer)
    try:
        code = app.expect(r"^Code: (\d{3}) (\d{3})  ", "a pairing code")
        ws = Ws()
        ws.send_json({"t": "pair", "code": code.group(1) + code.group(2), "name": "Hostile test"})
        paired = ws.recv_json_of({"paired", "error"})
        check(paired["t"] == "paired", f"paired: {paired}")
        ws.close()
        pid, token = paired["id"], paired["token"]
        good = GoodPeer(pid, token)
        good.wait_rounds(2, "before the floods")

        run_case(app, good, "8 MiB text flood before pairing", text_flood, sanitizer)
        run_case(app, good, "small text flood", small_text_flood, sanitizer)
        run_case(app, good, "render-track flood", lambda: render_flood(pid, token), sanitizer)
        run_case(app, good, "thousands of chain requests", lambda: chain_flood(pid, token), sanitizer)
        run_case(app, good, "hundreds of idle sockets", lambda: idle_sockets(pid, token), sanitizer)
        run_case(app, good, "close, then never reading", lambda: close_then_stall(pid, token), sanitizer)

        good.stop.set()
        term_mid_flood(app)
    finally:
        app.kill()
        shutil.rmtree(home, ignore_errors=True)
    print(f"hostile_test: {checks} checks passed")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "")
