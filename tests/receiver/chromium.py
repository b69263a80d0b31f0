"""Debian's chromium, headless, driven over its DevTools pipe (file
descriptors 3 and 4, messages of JSON ending in a NUL byte), so a test can
read a live page while it runs: open a page, evaluate expressions in it,
set the viewport.

    with Chromium() as browser:
        page = browser.open(url)
        page.wait_for("document.title === 'x'", timeout=5)
"""

import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import php_stack  # noqa: E402  (the child-process helpers)

COMMAND_TIMEOUT = 15.0
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--hide-scrollbars", "--mute-audio"]


def chromium_binary():
    return shutil.which("chromium")


class Page:
    def __init__(self, browser, session):
        self.browser = browser
        self.session = session

    def send(self, method, **params):
        return self.browser.send(method, params, self.session)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (awaited when it
        is a promise); raises on an exception thrown in the page."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError("in the page: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout, interval=0.02):
        """Evaluates expression until it is true; gives the seconds that
        took, or None when it never was within timeout."""
        started = time.monotonic()
        while True:
            if self.evaluate(expression):
                return time.monotonic() - started
            if time.monotonic() - started > timeout:
                return None
            time.sleep(interval)

    def viewport(self, width, height, scale=1, mobile=False):
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=scale, mobile=mobile)


class Chromium:
    def __init__(self):
        self.process = None
        self.profile = None
        self._to = None
        self._from = None
        self._next_id = 0
        self._answers = {}
        self._lock = threading.Condition()
        self._reader = None

    def __enter__(self):
        if chromium_binary() is None:
            raise RuntimeError("chromium is not installed (scripts/setup installs it)")
        self.profile = tempfile.mkdtemp(prefix="trellicast-chromium-")
        to_read, to_write = os.pipe()
        from_read, from_write = os.pipe()
        # Above 10 so that placing them on 3 and 4 in the child overwrites
        # neither.
        high_in, high_out = (fcntl.fcntl(to_read, fcntl.F_DUPFD_CLOEXEC, 10),
                             fcntl.fcntl(from_write, fcntl.F_DUPFD_CLOEXEC, 10))
        os.close(to_read)
        os.close(from_write)

        def child():
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)
            php_stack._die_with_parent()

        try:
            self.process = subprocess.Popen(
                [chromium_binary()] + FLAGS + ["--remote-debugging-pipe",
                                               "--user-data-dir=" + self.profile,
                                               "about:blank"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, close_fds=False, preexec_fn=child)
        finally:
            os.close(high_in)
            os.close(high_out)
        self._to = os.fdopen(to_write, "wb", buffering=0)
        self._from = os.fdopen(from_read, "rb", buffering=0)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        return self

    def __exit__(self, *exc):
        try:
            if self.process is not None and self.process.poll() is None:
                try:
                    self.send("Browser.close", timeout=5)
                except (RuntimeError, OSError):
                    pass
                try:
                    self.process.wait(5)
                except subprocess.TimeoutExpired:
                    pass
            php_stack._stop(self.process)
        finally:
            for f in (self._to, self._from):
                if f is not None:
                    f.close()
            if self.profile is not None:
                shutil.rmtree(self.profile, ignore_errors=True)
        return False

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = self._from.read(65536)
            except (OSError, ValueError):
                chunk = b""
            if not chunk:
                with self._lock:
                    self._answers["closed"] = True
                    self._lock.notify_all()
                return
            pending += chunk
            while b"\0" in pending:
                message, pending = pending.split(b"\0", 1)
                decoded = json.loads(message)
                if "id" in decoded:
                    with self._lock:
                        self._answers[decoded["id"]] = decoded
                        self._lock.notify_all()

    def send(self, method, params=None, session=None, timeout=COMMAND_TIMEOUT):
        with self._lock:
            self._next_id += 1
            number = self._next_id
        message = {"id": number, "method": method, "params": params or {}}
        if session is not None:
            message["sessionId"] = session
        self._to.write(json.dumps(message).encode() + b"\0")
        until = time.monotonic() + timeout
        with self._lock:
            while number not in self._answers:
                if self._answers.get("closed") or time.monotonic() > until:
                    raise RuntimeError("chromium gave no answer to " + method)
                self._lock.wait(until - time.monotonic())
            answer = self._answers.pop(number)
        if "error" in answer:
            raise RuntimeError("%s: %s" % (method, answer["error"]))
        return answer.get("result", {})

    def open(self, url):
        """A new tab on url, attached; gives its Page."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target,
                                                      "flatten": True})["sessionId"]
        page = Page(self, session)
        page.send("Page.enable")
        page.send("Page.navigate", url=url)
        return page
