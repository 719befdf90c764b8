"""Debian's Chromium, headless, driven over its DevTools protocol with
python3-websockets: started with a fresh profile and the HOME it is given (its
certificate trust comes from $HOME/.pki/nssdb), pages opened in tabs, script
evaluated in them, navigation errors and console lines read back. Never a flag
that weakens certificate checks. Everything it talks to is on 127.0.0.1."""
import asyncio
import ctypes
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

import websockets

CHROMIUM = "/usr/bin/chromium"
TIMEOUT = 60  # a bound for each protocol call; page scripts get their own

FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--no-default-browser-check", "--no-proxy-server",
    # Host names resolve to nothing: no request can leave the machine by name.
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
]


def _end_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Tab:
    """One page target, attached in flat mode; its console and log lines kept."""

    def __init__(self, browser, session):
        self.browser = browser
        self.session = session
        self.logs = []

    async def call(self, method, params=None, timeout=TIMEOUT):
        return await self.browser.call(method, params, self.session, timeout)

    async def evaluate(self, expression, timeout=TIMEOUT):
        """The value of an expression, awaited when it is a promise; a thrown
        error or a rejection raises with its text."""
        reply = await self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                     "returnByValue": True}, timeout)
        if "exceptionDetails" in reply:
            details = reply["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise AssertionError(f"page script failed: {text}")
        return reply["result"].get("value")

    async def navigate(self, url):
        """The navigation's error text ("" when the page loaded)."""
        reply = await self.call("Page.navigate", {"url": url})
        if reply.get("errorText"):
            return reply["errorText"]
        deadline = time.monotonic() + TIMEOUT
        while await self.evaluate("document.readyState") != "complete":
            if time.monotonic() > deadline:
                raise AssertionError(f"{url} did not finish loading")
            await asyncio.sleep(0.05)
        return ""

    async def logged(self, text):
        """Whether a console or log line holds `text`; such lines arrive on
        their own, so this waits a bounded time for one."""
        deadline = time.monotonic() + TIMEOUT
        while not any(text in line for line in self.logs):
            if time.monotonic() > deadline:
                return False
            await asyncio.sleep(0.05)
        return True


class Chromium:
    """One headless Chromium process with its own profile folder; use with
    `async with`. `flags` are added to the fixed ones."""

    def __init__(self, home, flags=()):
        self.home = home
        self.flags = list(flags)
        self.profile = tempfile.mkdtemp(prefix="krevlo-chromium-", dir=home)
        self.proc = None
        self.ws = None
        self.next_id = 0
        self.pending = {}
        self.tabs = {}
        self.reader = None

    async def __aenter__(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                            "all_proxy", "ALL_PROXY")}
        env["HOME"] = self.home
        args = [CHROMIUM, *FLAGS, *self.flags, f"--user-data-dir={self.profile}", "--remote-debugging-address=127.0.0.1",
                "--remote-debugging-port=0", "about:blank"]
        with open(os.path.join(self.profile, "stderr.log"), "wb") as log:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                                         env=env, start_new_session=True, preexec_fn=_end_with_parent)
        try:
            port, path = await self._active_port()
            self.ws = await asyncio.wait_for(websockets.connect(f"ws://127.0.0.1:{port}{path}", max_size=None),
                                             TIMEOUT)
            self.reader = asyncio.ensure_future(self._read())
        except BaseException:
            await self._stop()
            raise
        return self

    async def __aexit__(self, *exc):
        await self._stop()

    async def _active_port(self):
        """Chromium writes its DevTools port and path into the profile once it listens."""
        file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                with open(file) as f:
                    lines = f.read().split("\n")
                if len(lines) >= 2 and lines[0].isdigit() and lines[1].startswith("/devtools/"):
                    return int(lines[0]), lines[1]
            except FileNotFoundError:
                pass
            if self.proc.poll() is not None:
                raise AssertionError(f"chromium exited with {self.proc.returncode}: {self.stderr()[-2000:]}")
            if time.monotonic() > deadline:
                raise AssertionError("chromium did not open its DevTools port")
            await asyncio.sleep(0.05)

    def stderr(self):
        try:
            with open(os.path.join(self.profile, "stderr.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    async def _read(self):
        try:
            async for raw in self.ws:
                message = json.loads(raw)
                if "id" in message:
                    future = self.pending.pop(message["id"], None)
                    if future and not future.done():
                        future.set_result(message)
                    continue
                tab = self.tabs.get(message.get("sessionId"))
                if tab is None:
                    continue
                params = message.get("params", {})
                if message.get("method") == "Log.entryAdded":
                    tab.logs.append(params["entry"].get("text", ""))
                elif message.get("method") == "Runtime.consoleAPICalled":
                    tab.logs.append(" ".join(str(a.get("value", "")) for a in params.get("args", [])))
        except websockets.exceptions.ConnectionClosed:
            pass
        finally:
            for future in self.pending.values():
                if not future.done():
                    future.set_exception(AssertionError("the DevTools connection closed"))

    async def call(self, method, params=None, session=None, timeout=TIMEOUT):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        future = asyncio.get_running_loop().create_future()
        self.pending[self.next_id] = future
        await self.ws.send(json.dumps(message))
        try:
            reply = await asyncio.wait_for(future, timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"{method}: no answer within {timeout} s") from None
        if "error" in reply:
            raise AssertionError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    async def tab(self):
        """A new blank tab in the default browser context, with its log recorded."""
        target = (await self.call("Target.createTarget", {"url": "about:blank"}))["targetId"]
        session = (await self.call("Target.attachToTarget", {"targetId": target, "flatten": True}))["sessionId"]
        tab = Tab(self, session)
        self.tabs[session] = tab
        for domain in ("Page", "Runtime", "Log"):
            await tab.call(f"{domain}.enable")
        return tab

    async def grant(self, permission, origin):
        """Grants a permission to an origin in the default browser context."""
        await self.call("Browser.setPermission", {"permission": {"name": permission}, "setting": "granted",
                                                  "origin": origin})

    async def _stop(self):
        if self.ws is not None:
            try:
                await asyncio.wait_for(self.call("Browser.close", timeout=10), 15)
            except (AssertionError, asyncio.TimeoutError, websockets.exceptions.ConnectionClosed):
                pass
            await self.ws.close()
        if self.reader is not None:
            self.reader.cancel()
        if self.proc is not None:
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
            # The browser's helper processes share its process group.
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            if self.proc.poll() is None:
                self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
