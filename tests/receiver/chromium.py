"""Debian's chromium, headless, driven over its DevTools pipe (descriptors 3
and 4, JSON messages ending in a NUL byte), so a test reads a live page:

    with Chromium() as browser:
        tab = browser.open(url)
        browser.wait_for(tab, "document.title === 'x'", timeout=5)  # seconds taken, or None
"""

import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

import php_stack  # the child-process helpers

FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--remote-debugging-pipe"]
ANSWER_TIMEOUT = 15.0


class Chromium:
    def __enter__(self):
        self.profile = tempfile.mkdtemp(prefix="trellicast-chromium-")
        commands, self._to = os.pipe()
        self._from, answers = os.pipe()
        # Moved above 10 first, so that placing them on 3 and 4 overwrites neither.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (commands, answers)]
        os.close(commands)
        os.close(answers)

        def child():
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)
            php_stack._die_with_parent()

        self.process = subprocess.Popen(
            [shutil.which("chromium")] + FLAGS + ["--user-data-dir=" + self.profile],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            close_fds=False, preexec_fn=child)
        for fd in ends:
            os.close(fd)
        self._next = 0
        self._pending = b""
        return self

    def __exit__(self, *exc):
        php_stack._stop(self.process)
        os.close(self._to)
        os.close(self._from)
        shutil.rmtree(self.profile, ignore_errors=True)
        return False

    def send(self, method, session=None, **params):
        self._next += 1
        message = {"id": self._next, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to, json.dumps(message).encode() + b"\0")
        until = time.monotonic() + ANSWER_TIMEOUT
        while time.monotonic() < until:  # events come between the answers
            while b"\0" not in self._pending:
                if not select.select([self._from], [], [], max(0, until - time.monotonic()))[0]:
                    raise RuntimeError("chromium gave no answer to " + method)
                chunk = os.read(self._from, 65536)
                if not chunk:
                    raise RuntimeError("chromium ended")
                self._pending += chunk
            line, self._pending = self._pending.split(b"\0", 1)
            answer = json.loads(line)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]
        raise RuntimeError("chromium gave no answer to " + method)

    def open(self, url):
        """A new tab showing url; gives its session."""
        target = self.send("Target.createTarget", url=url)["targetId"]
        return self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def evaluate(self, tab, expression):
        result = self.send("Runtime.evaluate", tab, expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("in the page: %s" % result["exceptionDetails"]["text"])
        return result["result"].get("value")

    def wait_for(self, tab, expression, timeout):
        """Seconds until expression held in the tab, or None past timeout;
        an expression that throws (the page not there yet) has not held."""
        started = time.monotonic()
        while True:
            result = self.send("Runtime.evaluate", tab, expression=expression)["result"]
            if result.get("value") is True:
                return time.monotonic() - started
            if time.monotonic() - started > timeout:
                return None
            time.sleep(0.02)
