"""receiver/ as it ships, under PHP's built-in server on a free port of
127.0.0.1 with PHP_CLI_SERVER_WORKERS processes (requests served at once,
as under php-fpm), its data folder and token given through the environment
that config.php reads. The server and its workers are a process group of
their own, stopped together when left (the server leaves its workers
running when it alone is stopped).

    with Receiver(token="s3cret") as r:
        r.post_data({"wm_data[status]": "1"})   # the HTTP status
        r.state()                               # ?format=json, decoded

With root, a copy of receiver/ is served instead, and the receiver keeps
its data where config.php puts it by default (root/data).
"""

import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
RECEIVER_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "receiver"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import php_stack  # noqa: E402  (the child-process helpers)

START_TIMEOUT = 10.0
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def form(fields):
    """A form body; bytes values go out byte for byte, percent-escaped."""
    return "&".join(urllib.parse.quote(k, safe="[]") + "=" + urllib.parse.quote(v, safe="")
                    for k, v in fields.items()).encode("ascii")


class Receiver:
    def __init__(self, token="", root=None):
        self.token = token
        self.root = root

    def __enter__(self):
        self.tmp = tempfile.mkdtemp(prefix="trellicast-receiver-")
        env = dict(os.environ, TRELLICAST_TOKEN=self.token, PHP_CLI_SERVER_WORKERS="4")
        if self.root is None:
            self.data_dir = env["TRELLICAST_DATA_DIR"] = os.path.join(self.tmp, "data")
        else:
            self.data_dir = os.path.join(self.root, "data")
            env.pop("TRELLICAST_DATA_DIR", None)
        for _ in range(3):  # another process may take the free port first
            self.port = php_stack._free_port()
            with open(os.path.join(self.tmp, "php.log"), "wb") as log:
                self.process = subprocess.Popen(
                    [shutil.which("php"), "-S", "127.0.0.1:%d" % self.port, "-t",
                     self.root or RECEIVER_DIR],
                    env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    start_new_session=True, preexec_fn=php_stack._die_with_parent)
            until = time.monotonic() + START_TIMEOUT
            while time.monotonic() < until and self.process.poll() is None:
                try:
                    if self.get("/page.css")[0] == 200:  # touches no database
                        return self
                except OSError:
                    time.sleep(0.05)
            self._stop()
        self.__exit__()
        raise RuntimeError("php -S did not start")

    def _stop(self):
        for number in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, number)
            except ProcessLookupError:
                break
            try:
                self.process.wait(php_stack.STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
            time.sleep(0.1)  # the workers end after the server

    def __exit__(self, *exc):
        self._stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def log(self):
        with open(os.path.join(self.tmp, "php.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, path, body=None, headers=None):
        """(status, headers by lower-case name, body)"""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=15)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            answer = conn.getresponse()
            return (answer.status, {k.lower(): v for k, v in answer.getheaders()},
                    answer.read())
        finally:
            conn.close()

    def get(self, path, headers=None):
        return self.request("GET", path, headers=headers)

    def post(self, body, headers, key=None):
        """Posts to /?key=KEY (the token unless given; "" leaves it out)."""
        key = self.token if key is None else key
        path = "/?key=" + urllib.parse.quote(key, safe="[]") if key else "/"
        return self.request("POST", path, body, headers)[0]

    def post_data(self, fields, key=None):
        return self.post(form(dict({"wm_action": "wm_data"}, **fields)), FORM, key)

    def post_cover(self, data, hash_hex, mime="image/png", key=None):
        """A cover as the module sends it: multipart/form-data."""
        boundary = uuid.uuid4().hex
        part = '--%s\r\nContent-Disposition: form-data; name="%s"%s\r\n%s\r\n'
        body = ((part % (boundary, "wm_action", "", "") + "wm_cover\r\n"
                 + part % (boundary, "wm_cover[hash]", "", "") + hash_hex + "\r\n"
                 + part % (boundary, "wm_cover[data]", '; filename="cover.%s"'
                           % mime.split("/")[1], "Content-Type: " + mime + "\r\n")).encode()
                + data + ("\r\n--%s--\r\n" % boundary).encode())
        return self.post(body, {"Content-Type": "multipart/form-data; boundary=" + boundary},
                         key)

    def state(self, history=10):
        return json.loads(self.get("/?format=json&history=%d" % history)[2])
