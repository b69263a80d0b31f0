"""Debian's Apache (apache2-bin) on a free port of 127.0.0.1, serving a
folder as plain files with its .htaccess files honoured (AllowOverride All),
as a site does that copies receiver/ into its web root. Apache and its
children are a process group of their own, stopped together when left.

    with Apache(root) as a:
        a.get("/nowplaying/data/nowplaying.sqlite")   # the HTTP status
"""

import http.client
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import php_stack  # noqa: E402  (the child-process helpers)

BINARY = "/usr/sbin/apache2"
MODULES = "/usr/lib/apache2/modules"
START_TIMEOUT = 10.0

CONFIG = """\
ServerRoot "{tmp}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{tmp}/apache.pid"
DefaultRuntimeDir "{tmp}"
ErrorLog "{tmp}/error.log"
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
{user}
DocumentRoot "{root}"
<Directory />
    AllowOverride None
    Require all denied
</Directory>
<Directory "{root}">
    AllowOverride All
    Require all granted
</Directory>
"""


class Apache:
    def __init__(self, root):
        self.root = root

    def __enter__(self):
        self.tmp = tempfile.mkdtemp(prefix="trellicast-apache-")
        # Started as root, Apache serves as nobody: the test opens the
        # modes of what it asks for, as a site's PHP and web server share a
        # user.
        user = "User nobody\nGroup nogroup" if os.getuid() == 0 else ""
        for _ in range(3):  # another process may take the free port first
            self.port = php_stack._free_port()
            with open(os.path.join(self.tmp, "apache.conf"), "w") as f:
                f.write(CONFIG.format(tmp=self.tmp, port=self.port, modules=MODULES,
                                      root=self.root, user=user))
            with open(os.path.join(self.tmp, "apache.log"), "wb") as log:
                self.process = subprocess.Popen(
                    [BINARY, "-f", os.path.join(self.tmp, "apache.conf"), "-D", "FOREGROUND"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    start_new_session=True, preexec_fn=php_stack._die_with_parent)
            until = time.monotonic() + START_TIMEOUT
            while time.monotonic() < until and self.process.poll() is None:
                try:
                    self.get("/")
                    return self
                except OSError:
                    time.sleep(0.05)
            self._stop()
        self.__exit__()
        raise RuntimeError("apache2 did not start: " + self.log())

    def _stop(self):
        for number in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, number)
            except ProcessLookupError:
                break
            try:
                self.process.wait(php_stack.STOP_TIMEOUT)
                break
            except subprocess.TimeoutExpired:
                pass

    def __exit__(self, *exc):
        self._stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def log(self):
        text = ""
        for name in ("apache.log", "error.log"):
            try:
                with open(os.path.join(self.tmp, name), "rb") as f:
                    text += f.read().decode("utf-8", "replace")
            except OSError:
                pass
        return text

    def get(self, path):
        """The HTTP status of GET path."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=15)
        try:
            conn.request("GET", path)
            answer = conn.getresponse()
            answer.read()
            return answer.status
        finally:
            conn.close()
