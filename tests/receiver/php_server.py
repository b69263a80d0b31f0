"""receiver/ as it ships, under PHP's built-in server on a free port of
127.0.0.1, with its data folder and token given through the environment
(config.php reads TRELLICAST_DATA_DIR and TRELLICAST_TOKEN), and what the
tests send it.

    with Receiver(token="s3cret") as r:
        r.post_data({"wm_data[status]": "1", ...})   # gives the HTTP status
        r.state()                                   # the JSON, decoded

The server runs PHP_CLI_SERVER_WORKERS processes, so requests are served
at the same time as under php-fpm. It is stopped by pid when left.
"""

import http.client
import json
import os
import shutil
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

WORKERS = 4
START_TIMEOUT = 10.0
HTTP_TIMEOUT = 15.0


def php_binary():
    return shutil.which("php")


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def header(self, name):
        return self.headers.get(name.lower())


def form(fields):
    """A form body from (name, value) pairs or a dict; bytes values go out
    byte for byte, percent-escaped."""
    items = fields.items() if isinstance(fields, dict) else fields
    return "&".join(urllib.parse.quote(k, safe="[]") + "=" + urllib.parse.quote(v, safe="")
                    for k, v in items).encode("ascii")


def multipart(fields, files):
    """multipart/form-data: fields {name: text}, files {name: (filename,
    mime, bytes)}; gives (content type, body)."""
    boundary = "----trellicast" + uuid.uuid4().hex
    parts = []
    for name, value in fields.items():
        parts.append(('--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
                      % (boundary, name, value)).encode())
    for name, (filename, mime, data) in files.items():
        parts.append(('--%s\r\nContent-Disposition: form-data; name="%s"; filename="%s"\r\n'
                      'Content-Type: %s\r\n\r\n' % (boundary, name, filename, mime)).encode()
                     + data + b"\r\n")
    parts.append(("--%s--\r\n" % boundary).encode())
    return "multipart/form-data; boundary=" + boundary, b"".join(parts)


class Receiver:
    def __init__(self, token=""):
        self.token = token
        self.tmp = None
        self.process = None
        self.port = None

    @property
    def data_dir(self):
        return os.path.join(self.tmp, "data")

    def __enter__(self):
        if php_binary() is None:
            raise RuntimeError("php is not installed (scripts/setup installs php-cli)")
        self.tmp = tempfile.mkdtemp(prefix="trellicast-receiver-")
        try:
            self._start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        php_stack._stop(self.process)
        if self.tmp is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def _start(self):
        env = dict(os.environ, TRELLICAST_DATA_DIR=self.data_dir, TRELLICAST_TOKEN=self.token,
                   PHP_CLI_SERVER_WORKERS=str(WORKERS))
        for _ in range(3):  # another process may take the free port first
            self.port = php_stack._free_port()
            with open(os.path.join(self.tmp, "php.log"), "wb") as log:
                self.process = subprocess.Popen(
                    [php_binary(), "-S", "127.0.0.1:%d" % self.port, "-t", RECEIVER_DIR],
                    cwd=RECEIVER_DIR, env=env, stdin=subprocess.DEVNULL, stdout=log,
                    stderr=subprocess.STDOUT, preexec_fn=php_stack._die_with_parent)
            until = time.monotonic() + START_TIMEOUT
            while time.monotonic() < until and self.process.poll() is None:
                try:
                    if self.get("/page.css").status == 200:  # touches no database
                        return
                except OSError:
                    pass
                time.sleep(0.05)
            php_stack._stop(self.process)
        raise RuntimeError("php -S did not start: " + self.log())

    def log(self):
        with open(os.path.join(self.tmp, "php.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=HTTP_TIMEOUT)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            answer = conn.getresponse()
            return Answer(answer.status, {k.lower(): v for k, v in answer.getheaders()},
                          answer.read())
        finally:
            conn.close()

    def get(self, path, headers=None):
        return self.request("GET", path, headers=headers)

    def key_path(self, key):
        return "/" if key is None else "/?key=" + urllib.parse.quote(key, safe="[]")

    def post_data(self, fields, key=None):
        """Posts a wm_data form (wm_action is added first); gives the status."""
        pairs = [("wm_action", "wm_data")] + list(
            fields.items() if isinstance(fields, dict) else fields)
        return self.request("POST", self.key_path(self.token if key is None else key),
                            form(pairs),
                            {"Content-Type": "application/x-www-form-urlencoded"}).status

    def post_cover(self, data, hash_hex, mime="image/png", key=None):
        """Posts a cover as the module does; gives the status."""
        name = "cover." + mime.split("/")[-1].replace("jpeg", "jpg")
        content_type, body = multipart({"wm_action": "wm_cover", "wm_cover[hash]": hash_hex},
                                       {"wm_cover[data]": (name, mime, data)})
        return self.request("POST", self.key_path(self.token if key is None else key), body,
                            {"Content-Type": content_type}).status

    def state(self, history=None):
        path = "/?format=json" + ("" if history is None else "&history=%d" % history)
        answer = self.get(path)
        if answer.status != 200:
            raise RuntimeError("GET %s: %d" % (path, answer.status))
        return json.loads(answer.body.decode("utf-8"))
