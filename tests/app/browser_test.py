#!/usr/bin/python3
"""The real krevlo-bridge and Debian's headless Chromium, with our test DAW page.

The program runs with a temporary HOME, the CLAP test plug-ins and the page's
origin in QUILLET_ORIGINS; Chromium runs with the same HOME, so it trusts what
that HOME's NSS database holds. In the page, over ws:// and over wss://:
hello, pairing with the code the program prints, a new connection with HMAC
authentication (checking the bridge's own mac), the catalog, a chain of the
CLAP gain and delay, audio checked sample by sample, levels and stats.

1. Page from http://127.0.0.1:PORT: ws:// works; wss:// is refused while the
   HOME's database lacks the program's authority (the negative control).
2. The program's own set-up ("safari", which runs its trust function) adds the
   authority; a new Chromium connects over wss://.
3. The page as users get it, from a public https origin (a test authority in
   the database makes its certificate good; Chromium is told that address is
   public): blocked without the Local Network Access permission, then granted
   it over the DevTools protocol, and the checks run over ws:// and wss://.
All traffic stays on 127.0.0.1.
    browser_test.py PROGRAM PLUGINS_DIR
"""
import asyncio
import http.server
import itertools
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time

import e2e_test
from chromium import Chromium
from e2e_test import Program, check, port_free

HERE = os.path.dirname(os.path.abspath(__file__))
WS = "ws://127.0.0.1:47800/v1"
WSS = "wss://127.0.0.1:47800/v1"
PAGE = "daw_page.html"
SESSION_TIMEOUT = 180  # one whole page run; each of its waits has its own bound
page_checks = 0
markers = itertools.count(1)


class PageHandler(http.server.BaseHTTPRequestHandler):
    """Serves the test DAW's two files and nothing else."""
    files = {"/" + PAGE: "text/html; charset=utf-8", "/daw_page.js": "text/javascript; charset=utf-8"}

    def do_GET(self):
        kind = self.files.get(self.path.split("?")[0])
        if kind is None:
            self.send_error(404)
            return
        with open(os.path.join(HERE, self.path.lstrip("/").split("?")[0]), "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class PageServer:
    """The page on a free loopback port, over http or, given a certificate, https."""

    def __init__(self, cert=None, key=None):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PageHandler)
        scheme = "http"
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
            scheme = "https"
        self.port = self.httpd.server_address[1]
        self.origin = f"{scheme}://127.0.0.1:{self.port}"
        self.url = f"{self.origin}/{PAGE}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def next_window(app):
    """The next whole window the program prints, as its lines."""
    app.expect(r"^Krevlo Bridge$", "a window")
    lines = []
    while True:
        line = app.expect(r"", "the rest of the window").string
        if line == "":
            return lines
        lines.append(line)


def current_window(app):
    """A window printed after everything the program was asked before."""
    marker = f"marker-{next(markers)}"
    app.type(marker)
    app.expect(re.escape(f'Unknown command "{marker}"'), "the marker comes back")
    app.type("show")
    return next_window(app)


def poll_window(app, holds, what):
    """The first current window for which holds() is true, asking again while
    something the program was told is still on its way to the window."""
    deadline = time.monotonic() + e2e_test.TIMEOUT
    while True:
        window = current_window(app)
        if holds(window):
            return window
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: the window shows {window}")
        time.sleep(0.1)


def current_code(app):
    """The pairing code shown once no browser is connected any more."""
    window = poll_window(app, lambda w: "Status: Waiting for the DAW" in w, "the browser leaves")
    for line in window:
        m = re.match(r"^Code: (\d{3}) (\d{3})  ", line)
        if m:
            return m.group(1) + m.group(2)
    raise AssertionError(f"no code in {window}")


def offers_trust_setup(window):
    return any(line.startswith("Set up Safari: ") for line in window)


async def run_session(app, tab, url):
    """The page's whole DAW visit over `url`, with the code the program shows."""
    global page_checks
    code = await asyncio.to_thread(current_code, app)
    result = await tab.evaluate(f"dawSession({json.dumps(url)}, {json.dumps(code)})", SESSION_TIMEOUT)
    check(result["checks"] > 0, f"the page ran its checks over {url}")
    page_checks += result["checks"]
    e2e_test.checks += result["checks"]
    return result


async def open_page(browser, url):
    tab = await browser.tab()
    error = await tab.navigate(url)
    check(error == "", f"the page loads from {url}: {error}")
    check(await tab.evaluate("typeof dawSession") == "function", "the page's script runs")
    return tab


def start(exe, home, origin):
    app = Program(exe, home, {"QUILLET_ORIGINS": origin})
    app.expect(r"^Code: \d{3} \d{3}  ", "a pairing code")
    app.expect(r"^[1-9]\d* plug-ins · CPU", "the first scan found the test plug-ins")
    return app


def stop(app):
    app.type("quit")
    check(app.wait() == 0, "\"quit\" ends the program with 0")
    check(port_free(), "the port is free after quit")


async def loopback_origin(exe, home):
    page = PageServer()
    app = start(exe, home, page.origin)
    try:
        check(offers_trust_setup(current_window(app)), "the program knows its authority is not trusted yet")
        async with Chromium(home) as browser:
            tab = await open_page(browser, page.url)
            await run_session(app, tab, WS)
            refused = await tab.evaluate(f"dawRefused({json.dumps(WSS)})")
            check(refused.startswith("refused:"), f"wss:// is refused without the authority: {refused}")
            check(await tab.logged("net::ERR_CERT_AUTHORITY_INVALID"),
                  f"the WebSocket's certificate has an unknown issuer: {tab.logs[-4:]}")
            error = await (await browser.tab()).navigate("https://127.0.0.1:47800/")
            check(error == "net::ERR_CERT_AUTHORITY_INVALID", f"the certificate's issuer is not trusted: {error}")

        # The program's own set-up runs its trust function on this HOME's database.
        app.type("safari")
        app.expect(r"^Set up Safari\?$", "the set-up asks first")
        app.type("continue")
        await asyncio.to_thread(poll_window, app, lambda w: not offers_trust_setup(w), "the set-up finishes")

        async with Chromium(home) as browser:
            tab = await open_page(browser, page.url)
            await run_session(app, tab, WSS)
            error = await (await browser.tab()).navigate("https://127.0.0.1:47800/")
            check("CERT" not in error, f"the certificate is good for https too: {error}")
        stop(app)
    finally:
        app.kill()
        page.close()


def make_page_certificate(folder):
    """A test authority and a certificate for 127.0.0.1 that it signed."""
    def openssl(*args):
        run = subprocess.run(["/usr/bin/openssl", *args], cwd=folder, capture_output=True, text=True,
                             timeout=e2e_test.TIMEOUT)
        check(run.returncode == 0, f"openssl {args[0]}: {run.stderr}")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Krevlo test page authority", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", *ec, "-keyout", "page.key", "-out", "page.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "page.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "page.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-set_serial", "0x2a",
            "-days", "2", "-extfile", "page.ext", "-out", "page.pem")
    return [os.path.join(folder, f) for f in ("ca.pem", "page.pem", "page.key")]


def trust_test_authority(home, ca):
    run = subprocess.run(["/usr/bin/certutil", "-A", "-d", "sql:" + os.path.join(home, ".pki", "nssdb"), "-n",
                          "Krevlo test page authority", "-t", "C,,", "-a", "-i", ca],
                         capture_output=True, text=True, timeout=e2e_test.TIMEOUT)
    check(run.returncode == 0, f"certutil adds the test authority: {run.stderr}")


async def public_origin(exe, home):
    folder = os.path.join(home, "page-tls")
    os.makedirs(folder)
    ca, cert, key = make_page_certificate(folder)
    trust_test_authority(home, ca)
    page = PageServer(cert, key)
    app = start(exe, home, page.origin)
    try:
        poll_window(app, lambda w: not offers_trust_setup(w), "the authority stays trusted after a restart")
        overrides = f"--ip-address-space-overrides=127.0.0.1:{page.port}=public"
        async with Chromium(home, [overrides]) as browser:
            tab = await open_page(browser, page.url)
            for url in (WS, WSS):
                refused = await tab.evaluate(f"dawRefused({json.dumps(url)})")
                check(refused.startswith("refused:"), f"a public page may not reach {url} unasked: {refused}")
            check(await tab.logged("net::ERR_BLOCKED_BY_LOCAL_NETWORK_ACCESS_CHECKS"),
                  f"blocked by the local network access checks: {tab.logs[-4:]}")

            await browser.grant("loopback-network", page.origin)
            for url in (WS, WSS):
                await run_session(app, tab, url)
        stop(app)
    finally:
        app.kill()
        page.close()


def run(exe, plugins):
    home = tempfile.mkdtemp(prefix="krevlo-browser-")
    started = time.monotonic()
    try:
        check(port_free(), "port 47800 is free before the test")
        os.makedirs(os.path.join(home, "clap"))
        shutil.copy(os.path.join(plugins, "clap_fx.clap"), os.path.join(home, "clap"))
        asyncio.run(loopback_origin(exe, home))
        asyncio.run(public_origin(exe, home))
        pairings = json.load(open(os.path.join(home, ".local/share/Quillet/pairings.json")))
        page_origins = [p["origin"] for p in pairings]
        check([p["name"] for p in pairings] == ["Chromium DAW"] * 4 and len(set(page_origins)) == 2,
              f"every pairing was saved with its page's origin: {pairings}")
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print(f"{e2e_test.checks} passed, 0 failed ({page_checks} of them in the page), "
          f"{time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    try:
        run(sys.argv[1], sys.argv[2])
    except Exception as e:  # noqa: BLE001 - any failure fails the run
        print(f"FAILED after {e2e_test.checks} checks: {e!r}")
        print(f"{e2e_test.checks} passed, 1 failed")
        sys.exit(1)
