#!/usr/bin/python3
"""The real krevlo-bridge in snapshot mode on an X display (scripts/x11-run).

Runs the program twice with QUILLET_SNAPSHOT: once as it starts (waiting for the
DAW, a pairing code) and once with QUILLET_SNAPSHOT_STATE=connected. Each run
must end by itself and leave a whole PNG; the pictures are checked by pixel
probes: the status dot's colour, and the code area, which differs between the
pairing code and the connected browser's name. A path that cannot be written
still ends the program.
    snapshot_test.py PROGRAM
"""
import ctypes
import os
import signal
import struct
import subprocess
import sys
import tempfile
import zlib

TIMEOUT = 60
GREEN = (52, 199, 89)
LINK_BLUE = (0, 104, 218)


def end_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def run(exe, home, path, state=None):
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_DATA_HOME", "QUILLET_SNAPSHOT_STATE")}
    env.update(HOME=home, QUILLET_RT="0", QUILLET_SNAPSHOT=path, CLAP_PATH=os.path.join(home, "clap"))
    if state:
        env["QUILLET_SNAPSHOT_STATE"] = state
    proc = subprocess.run([exe], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=TIMEOUT, preexec_fn=end_with_parent)
    return proc.returncode, proc.stderr.decode(errors="replace")


def read_png(path):
    """(width, height, rows of (r, g, b, a)) of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, header
    bpp = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * bpp:x * bpp + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def near(p, q, tolerance=6):
    return all(abs(a - b) <= tolerance for a, b in zip(p, q))


def count(rows, colour, top=0, bottom=None):
    return sum(1 for row in rows[top:bottom] for p in row if near(p, colour))


def ink_rows(rows, background):
    """Rows that hold anything but the background."""
    return [y for y, row in enumerate(rows) if any(not near(p, background, 10) for p in row)]


def main():
    exe = sys.argv[1]
    checks = 0
    with tempfile.TemporaryDirectory(prefix="krevlo-snapshot-") as home:
        pictures = {}
        for state in (None, "connected"):
            path = os.path.join(home, "%s.png" % (state or "waiting"))
            code, err = run(exe, home, path, state)
            assert code == 0, "exit %d: %s" % (code, err)
            assert os.path.exists(path), "no picture for %s: %s" % (state, err)
            left = [n for n in os.listdir(home) if n.startswith(os.path.basename(path) + ".")]
            assert not left, "temporary files left: %s" % left
            pictures[state] = read_png(path)
            print("snapshot %s: %d bytes, %dx%d" % (state or "waiting", os.path.getsize(path),
                                                   pictures[state][0], pictures[state][1]))
            checks += 3

        (w1, h1, waiting), (w2, h2, connected) = pictures[None], pictures["connected"]
        assert w1 == 280 and w2 == 280, (w1, w2)
        background = waiting[h1 - 1][0]
        # The dot: green only when connected; the waiting dot is grey.
        assert count(connected, GREEN) >= 9, "no green dot when connected"
        assert count(waiting, GREEN) == 0, "green dot while waiting"
        # Trusted in the connected state: no "Set up Safari" link.
        assert count(connected, LINK_BLUE) == 0, "Safari link shown although trusted"
        # The code area: the pairing code's 34-pixel digits stand taller than the
        # browser's name, so the two pictures differ there.
        waiting_ink, connected_ink = ink_rows(waiting, background), ink_rows(connected, background)
        assert waiting_ink and connected_ink
        band = range(min(waiting_ink), min(h1, h2))
        assert any(waiting[y] != connected[y] for y in band), "code area the same in both states"
        checks += 5

        # A path that cannot be written still ends the program.
        code, err = run(exe, home, os.path.join(home, "missing", "x.png"))
        assert code == 0, "exit %d: %s" % (code, err)
        assert not os.path.exists(os.path.join(home, "missing"))
        checks += 2
    print("snapshot_test: %d checks passed" % checks)


if __name__ == "__main__":
    main()
