"""The server stack most form posts land on, run for one test: Debian's
nginx in front of php-fpm, and a PHP receiver that stores each post in
SQLite.

Both servers are this process's children, in the foreground, with their
configuration, sockets, logs and database in a temporary folder; nginx
listens on a free port of 127.0.0.1, php-fpm on a unix socket in the folder.
They are stopped by pid when the stack is left (also on SIGTERM or SIGINT,
and by the kernel should this process die first).

Paths of the receiver:
  /store-first.php   stores the post, then answers "OK"
  /answer-first.php  answers "OK" and flushes it to the client, then stores
                     the post (output reaches the client at once: no output
                     buffering in PHP, no FastCGI buffering in nginx)
  /missing           404 Not Found
  /receiver/         the repository's receiver/ folder as it ships (its
                     index.php by the directory index), its data folder
                     and token given to php-fpm as TRELLICAST_DATA_DIR and
                     TRELLICAST_TOKEN

    with Stack() as stack:
        url = stack.url("/store-first.php")
        ...
        stack.rows("store-first")   # the posts stored by that shape
        stack.log()                 # nginx's access log, one Request a line

    with Stack(token="s3cret") as stack:
        stack.url("/receiver/?key=s3cret")   # where the module posts
        stack.receiver_state()               # the receiver's ?format=json
"""

import ctypes
import glob
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile

import wire
import threading
import time
import urllib.request

START_TIMEOUT = 10.0  # seconds for either server to come up
STOP_TIMEOUT = 5.0  # seconds for either to end after SIGTERM, then SIGKILL
RECEIVER_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "..", "receiver"))

RECEIVER = r"""<?php
// One post: its raw body and the fields PHP decoded from it, by the shape
// of the script that stored it.
function store($shape) {
    $db = new SQLite3(__DIR__ . '/posts.sqlite');
    $db->busyTimeout(5000);
    $db->exec('CREATE TABLE IF NOT EXISTS posts (id INTEGER PRIMARY KEY, shape TEXT,
               raw BLOB, fields TEXT, at REAL)');
    $raw = file_get_contents('php://input');
    $fields = json_encode($_POST, JSON_INVALID_UTF8_SUBSTITUTE | JSON_UNESCAPED_UNICODE);
    $q = $db->prepare('INSERT INTO posts (shape, raw, fields, at) VALUES (?, ?, ?, ?)');
    $q->bindValue(1, $shape, SQLITE3_TEXT);
    $q->bindValue(2, $raw, SQLITE3_BLOB);
    $q->bindValue(3, $fields, SQLITE3_TEXT);
    $q->bindValue(4, microtime(true), SQLITE3_FLOAT);
    $q->execute();
    $db->close();
}
"""

STORE_FIRST = r"""<?php
require __DIR__ . '/../receiver.inc';
store('store-first');
echo "OK";
"""

ANSWER_FIRST = r"""<?php
require __DIR__ . '/../receiver.inc';
echo "OK";
flush();
store('answer-first');
"""

# $connection and $connection_requests tell connections apart in the log.
NGINX_CONF = """\
{user}
worker_processes 1;
daemon off;
master_process on;
pid {tmp}/nginx.pid;
error_log {tmp}/nginx-error.log notice;
events {{ worker_connections 64; }}
http {{
  log_format stack '$status $request_method $uri $connection $connection_requests '
                   '$request_length $request_time';
  access_log {tmp}/access.log stack;
  client_body_temp_path {tmp}/client_body;
  proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  keepalive_timeout 30s;
  server {{
    listen 127.0.0.1:{port};
    root {tmp}/www;
    index index.php;
    location ~ \\.php$ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
      fastcgi_pass unix:{tmp}/php-fpm.sock;
      fastcgi_buffering off;
    }}
    location = /missing {{ return 404; }}
  }}
}}
"""

FPM_CONF = """\
[global]
pid = {tmp}/php-fpm.pid
error_log = {tmp}/php-fpm.log
daemonize = no
[receiver]
listen = {tmp}/php-fpm.sock
listen.mode = 0666
pm = static
pm.max_children = 4
catch_workers_output = yes
php_admin_value[output_buffering] = 0
php_admin_value[zlib.output_compression] = 0
php_admin_value[implicit_flush] = 1
php_admin_value[error_log] = {tmp}/php-errors.log
env[TRELLICAST_DATA_DIR] = {tmp}/receiver-data
{token}"""


def php_fpm_binary():
    """Debian's php-fpm (php-fpm8.2 on Debian 12), or None."""
    found = sorted(glob.glob("/usr/sbin/php-fpm*"))
    return found[-1] if found else shutil.which("php-fpm")


def nginx_binary():
    return shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                     else None)


def missing():
    """What is not installed for the stack (scripts/setup installs it)."""
    return [name for name, binary in (("nginx", nginx_binary()), ("php-fpm", php_fpm_binary()))
            if binary is None]


def _free_port():
    return wire.closed_port()


def _die_with_parent():
    """In the child: SIGTERM when the test process ends, however it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def _stop(process):
    """SIGTERM to process, SIGKILL to it and its children when it has not
    ended within STOP_TIMEOUT."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        for child in _children(process.pid):
            try:
                os.kill(child, signal.SIGKILL)
            except OSError:
                pass
        process.kill()
        process.wait(STOP_TIMEOUT)


class Request:
    """One line of nginx's access log."""

    def __init__(self, line):
        fields = line.split()
        self.status = int(fields[0])
        self.method = fields[1]
        self.path = fields[2]
        self.connection = int(fields[3])
        self.connection_requests = int(fields[4])
        self.length = int(fields[5])  # the request's bytes, line and headers included

    def __repr__(self):
        return "%d %s %s #%d" % (self.status, self.method, self.path, self.connection)


class Stack:
    def __init__(self, token=""):
        self.token = token
        self.tmp = None
        self.port = None
        self.nginx = None
        self.fpm = None
        self._signals = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in (signal.SIGTERM, signal.SIGINT):
                self._signals[number] = signal.signal(number, self._on_signal)
        try:
            self._start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        try:
            _stop(self.nginx)
        finally:
            _stop(self.fpm)
            for number, handler in self._signals.items():
                signal.signal(number, handler)
            self._signals = {}
            if self.tmp is not None:
                shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def _on_signal(self, number, frame):
        raise SystemExit(128 + number)  # leaves the stack through __exit__

    def url(self, path, host="127.0.0.1"):
        return "http://%s:%d%s" % (host, self.port, path)

    def _write(self, name, text):
        with open(os.path.join(self.tmp, name), "w") as f:
            f.write(text)

    def _start(self):
        if missing():
            raise RuntimeError("not installed: " + ", ".join(missing()))
        self.tmp = tempfile.mkdtemp(prefix="trellicast-stack-")
        os.mkdir(os.path.join(self.tmp, "www"))
        self._write("receiver.inc", RECEIVER)
        self._write("www/store-first.php", STORE_FIRST)
        self._write("www/answer-first.php", ANSWER_FIRST)
        os.symlink(RECEIVER_DIR, os.path.join(self.tmp, "www", "receiver"))
        root = os.geteuid() == 0
        self._write("php-fpm.conf", FPM_CONF.format(
            tmp=self.tmp, token="env[TRELLICAST_TOKEN] = %s\n" % self.token if self.token else ""))
        fpm = [php_fpm_binary(), "-F", "-O", "-p", self.tmp, "-y",
               os.path.join(self.tmp, "php-fpm.conf")] + (["-R"] if root else [])
        self.fpm = self._spawn(fpm, "php-fpm.out")
        self._await(self.fpm, "php-fpm", lambda: os.path.exists(
            os.path.join(self.tmp, "php-fpm.sock")), "php-fpm.out")
        # The port is free when chosen; should another process take it before
        # nginx binds it, nginx ends at once and a new port is tried.
        for _ in range(3):
            self.port = _free_port()
            self._write("nginx.conf", NGINX_CONF.format(
                tmp=self.tmp, port=self.port, user="user root;" if root else ""))
            self.nginx = self._spawn([nginx_binary(), "-p", self.tmp, "-e",
                                      os.path.join(self.tmp, "nginx-error.log"), "-c",
                                      os.path.join(self.tmp, "nginx.conf")], "nginx.out")
            try:
                self._await(self.nginx, "nginx", self._answers, "nginx-error.log")
                return
            except RuntimeError:
                if self.nginx.poll() is None:
                    raise
        raise RuntimeError("nginx could not listen on 127.0.0.1")

    def _spawn(self, args, out):
        with open(os.path.join(self.tmp, out), "wb") as f:
            return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=f,
                                    stderr=subprocess.STDOUT, cwd=self.tmp,
                                    preexec_fn=_die_with_parent)

    def _answers(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def _await(self, process, name, ready, log):
        until = time.monotonic() + START_TIMEOUT
        while time.monotonic() < until:
            if process.poll() is not None:
                raise RuntimeError("%s ended at start (%s): %s" % (name, process.returncode,
                                                                   self.text(log)))
            if ready():
                return
            time.sleep(0.05)
        raise RuntimeError("%s did not start within %.0f s: %s" % (name, START_TIMEOUT,
                                                                    self.text(log)))

    def text(self, name):
        """A file of the stack's folder (a log), or "" when absent."""
        try:
            with open(os.path.join(self.tmp, name), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def log(self):
        """nginx's access log so far: one Request per request it finished,
        including those whose client hung up first (status 499)."""
        return [Request(line) for line in self.text("access.log").splitlines() if line.strip()]

    def rows(self, shape):
        """The posts stored by the receiver of that shape, in order: each a
        dict with the raw body (bytes) and the decoded fields."""
        path = os.path.join(self.tmp, "posts.sqlite")
        if not os.path.exists(path):
            return []
        db = sqlite3.connect(path, timeout=5)
        try:
            found = db.execute("SELECT raw, fields, at FROM posts WHERE shape = ? ORDER BY id",
                               (shape,)).fetchall()
        except sqlite3.OperationalError:  # no post stored yet: no table
            found = []
        finally:
            db.close()
        return [{"raw": bytes(raw), "fields": json.loads(fields), "at": at}
                for raw, fields, at in found]

    def receiver_state(self, history=10):
        """What the receiver at /receiver/ shows: its ?format=json, decoded."""
        with urllib.request.urlopen(self.url("/receiver/?format=json&history=%d" % history),
                                    timeout=10) as answer:
            return json.loads(answer.read().decode("utf-8"))
