"""A receiver on 127.0.0.1 that misbehaves on request, for the Wine tests.

The same faults as the Linux build's fault server: it can refuse
connections, reset them, hold them without reading or answering, answer
with errors, a redirect to https, a huge or cut answer or bytes that are not
HTTP at all, hang up in the middle of the request, and heal again on the
same port. In the healthy mode it reads each request whole, keeps it and
answers 200.

One thread accepts; each connection is served on a thread of its own with
the mode of the moment it was accepted. Held connections are closed when
the mode changes or the server stops.
"""

import select
import socket
import struct
import threading

IO_TIMEOUT = 3.0
MAX_REQUEST = 1 << 20
HUGE_ANSWER = 10 << 20

MODES = ("healthy", "refuse", "reset", "neverRead", "stallAfterHead", "status500", "status404",
         "redirectHttps", "hugeAnswer", "garbage", "cutAnswer", "cutRequest")

OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
ANSWERS = {
    "status500": b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n"
                 b"Connection: close\r\n\r\nerror",
    "status404": b"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"
                 b"not found",
    "garbage": b"\x16\x03\x01\x02\x00\xff\xfe garbage \x00\x01\x02 not a status line\n\n",
    "cutAnswer": b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n"
                 b"only a part",
}


class Post:
    def __init__(self, head=b"", body=b"", complete=False):
        self.head = head  # request line and headers, up to the blank line
        self.body = body
        self.complete = complete  # the whole announced body arrived

    def __repr__(self):
        return "Post(%r, %r, complete=%s)" % (self.head[:40], self.body[:60], self.complete)


def announced_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                return int(value.strip())
            except ValueError:
                return 0
    return 0


def read_post(conn, head_only, up_to=None):
    """Reads until the headers have arrived (head_only) or the whole
    request, at most up_to body bytes when given; byte by byte when it must
    not read further than that."""
    raw = b""
    post = Post()
    careful = head_only or up_to is not None
    while len(raw) < MAX_REQUEST:
        end = raw.find(b"\r\n\r\n")
        if end >= 0:
            post.head = raw[:end + 2]
            post.body = raw[end + 4:]
            want = announced_length(post.head)
            if head_only:
                return post
            if len(post.body) >= want or (up_to is not None and len(post.body) >= up_to):
                post.complete = len(post.body) >= want
                return post
        try:
            chunk = conn.recv(1 if careful else 65536)
        except OSError:
            return post
        if not chunk:
            return post
        raw += chunk
        if raw[:1] == b"\x16":
            return post  # a TLS handshake, not HTTP: closed at once
    return post


def reset_close(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class FaultServer:
    def __init__(self):
        self.port = 0
        self.listener = None
        self._listen()
        self.lock = threading.Condition()
        self.wanted = "healthy"
        self.applied = "healthy"
        self.held = []
        self.posts = []
        self.accepted = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _listen(self):
        """Binds 127.0.0.1, on the port used before when there is one, so a
        refusing server heals where the client expects it."""
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(64)
        self.port = s.getsockname()[1]
        self.listener = s

    def set_fault(self, mode):
        """Switches the behaviour for the next connections; returns once the
        listening socket follows and the connections held so far are closed."""
        assert mode in MODES, mode
        with self.lock:
            self.wanted = mode
            return self.lock.wait_for(lambda: self.applied == mode, 3)

    def _apply(self):
        with self.lock:
            mode = self.wanted
            if mode == self.applied:
                return
            for conn in self.held:
                conn.close()
            self.held = []
            if mode == "refuse" and self.listener is not None:
                self.listener.close()
                self.listener = None
            if mode != "refuse" and self.listener is None:
                self._listen()
            self.applied = mode
            self.lock.notify_all()

    def _run(self):
        while not self.stopping:
            self._apply()
            listener = self.listener
            if listener is None:
                threading.Event().wait(0.02)
                continue
            ready, _, _ = select.select([listener], [], [], 0.02)
            if not ready:
                continue
            try:
                conn, _ = listener.accept()
            except OSError:
                continue
            with self.lock:
                self.accepted += 1
                self.lock.notify_all()
                mode = self.applied
            conn.settimeout(IO_TIMEOUT)
            threading.Thread(target=self._serve, args=(conn, mode), daemon=True).start()

    def _hold(self, conn):
        with self.lock:
            self.held.append(conn)

    def _serve(self, conn, mode):
        try:
            if mode in ("refuse", "reset"):  # refuse: queued before the listener closed
                reset_close(conn)
                return
            if mode == "neverRead":
                self._hold(conn)
                return
            if mode == "stallAfterHead":
                read_post(conn, True)
                self._hold(conn)
                return
            if mode == "cutRequest":
                read_post(conn, False, 8)
                reset_close(conn)
                return
            post = read_post(conn, False)
            try:
                if mode == "redirectHttps":
                    conn.sendall(b"HTTP/1.1 301 Moved Permanently\r\nLocation: https://127.0.0.1:"
                                 b"%d/np\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                                 % self.port)
                elif mode == "hugeAnswer":
                    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n"
                                 b"Connection: close\r\n\r\n" % HUGE_ANSWER)
                    block = b"x" * (1 << 16)
                    for _ in range(HUGE_ANSWER // len(block)):
                        conn.sendall(block)
                else:
                    conn.sendall(ANSWERS.get(mode, OK))
            except OSError:
                pass  # the client hung up: it never reads the answer
            conn.close()
            with self.lock:
                self.posts.append(post)
                self.lock.notify_all()
        except OSError:
            conn.close()

    def wait_accepted(self, count, timeout):
        with self.lock:
            self.lock.wait_for(lambda: self.accepted >= count, timeout)
            return self.accepted

    def take(self, count=0, timeout=0):
        """Waits up to timeout for count requests read whole or in part by
        the modes that read them; returns those kept, removed from the
        server."""
        with self.lock:
            self.lock.wait_for(lambda: len(self.posts) >= count, timeout)
            out, self.posts = self.posts, []
            return out

    def close(self):
        self.stopping = True
        self.thread.join(2)
        with self.lock:
            for conn in self.held:
                conn.close()
            self.held = []
            if self.listener is not None:
                self.listener.close()
                self.listener = None
