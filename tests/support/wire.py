"""What the tests and the demo put on the other end of the wire: a loopback
HTTP server whose misbehaviour each test picks, and the MP3 files with ID3
tags that the players read.

Server: listens on 127.0.0.1. In the healthy mode it reads each request
whole, keeps it and answers 200; a sender that hangs up before the answer
is the normal case (the module never reads it). The other modes refuse
connections, reset them, hold them without reading or answering, answer
with errors, a redirect to https, a huge or cut answer or bytes that are
not HTTP at all, or hang up in the middle of the request; set_fault
switches, and "healthy" heals on the same port. One thread accepts; each
connection is served on a thread of its own with the mode of the moment it
was accepted. Held connections are closed when the mode changes or the
server stops.

mp3_bytes / mp3_file (which gives back its path): an ID3v2.3 tag of text
frames (ISO-8859-1 or UTF-16) followed by MPEG-1 Layer III frames
(128 kbit/s, 44.1 kHz, mono) whose side information is all zero, so every
frame decodes to silence.
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
    """One connection's request as far as it was read."""

    def __init__(self):
        self.raw = b""  # every byte read, also when it is not HTTP (a TLS handshake)
        self.head = b""  # request line and headers, up to the blank line
        self.body = b""
        self.complete = False  # the whole announced body arrived

    def __repr__(self):
        return "Post(%r, %r, complete=%s)" % (self.head[:40], self.body[:60], self.complete)


def parse_request(raw):
    """(request line, [(name, value)], body) of one raw HTTP request."""
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    headers = []
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        headers.append((name.decode("latin-1"), value.strip().decode("latin-1")))
    return lines[0].decode("latin-1"), headers, body


def header_values(headers, name):
    return [v for n, v in headers if n.lower() == name.lower()]


def announced_length(head):
    for value in header_values(parse_request(head)[1], "Content-Length"):
        try:
            return int(value)
        except ValueError:
            return 0
    return 0


def read_post(conn, head_only=False, up_to=None):
    """Reads until the headers have arrived (head_only) or the whole
    request, at most up_to body bytes when given; byte by byte when it must
    not read further than that. A TLS handshake ends the reading at once."""
    post = Post()
    careful = head_only or up_to is not None
    while len(post.raw) < MAX_REQUEST:
        end = post.raw.find(b"\r\n\r\n")
        if end >= 0:
            post.head = post.raw[:end + 2]
            post.body = post.raw[end + 4:]
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
        post.raw += chunk
        if post.raw[:1] == b"\x16":
            return post
    return post


def reset_close(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def closed_port():
    """A loopback port with nothing listening on it."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    """The loopback server; on_post, when given, is called with each Post
    read in a mode that reads requests, on the connection's thread."""

    def __init__(self, port=0, on_post=None):
        self.port = port
        self.listener = None
        self._listen()
        self.on_post = on_post
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

    def _answer(self, conn, mode, post):
        if mode == "redirectHttps":
            conn.sendall(b"HTTP/1.1 301 Moved Permanently\r\nLocation: https://127.0.0.1:"
                         b"%d/np\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" % self.port)
        elif mode == "hugeAnswer":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n"
                         b"Connection: close\r\n\r\n" % HUGE_ANSWER)
            block = b"x" * (1 << 16)
            for _ in range(HUGE_ANSWER // len(block)):
                conn.sendall(block)
        elif mode in ANSWERS:
            conn.sendall(ANSWERS[mode])
        elif post.raw[:1].isalpha():
            conn.sendall(OK)  # a healthy answer only to what looks like HTTP

    def _serve(self, conn, mode):
        try:
            if mode in ("refuse", "reset"):  # refuse: queued before the listener closed
                reset_close(conn)
                return
            if mode == "neverRead":
                self._hold(conn)
                return
            if mode == "stallAfterHead":
                read_post(conn, head_only=True)
                self._hold(conn)
                return
            if mode == "cutRequest":
                read_post(conn, up_to=8)
                reset_close(conn)
                return
            post = read_post(conn)
            try:
                self._answer(conn, mode, post)
            except OSError:
                pass  # the sender hung up: it never reads the answer
            conn.close()
            if self.on_post is not None:
                self.on_post(post)
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

    def received(self):
        """The raw bytes of every request kept so far (not removed)."""
        with self.lock:
            return [p.raw for p in self.posts if p.raw]

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


# ---------------------------------------------------------------------------
# MP3 files with ID3v2.3 tags

FRAME_HEADER = bytes([0xFF, 0xFB, 0x90, 0xC4])  # MPEG-1 L3, 128k, 44.1k, mono
FRAME_LENGTH = 144 * 128000 // 44100  # 417 bytes, no padding
FRAMES_PER_SECOND = 44100 / 1152


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def text_frame(frame_id, text, unicode=False):
    """One ID3v2.3 text frame: ISO-8859-1, or UTF-16 with a byte order mark."""
    if unicode:
        data = b"\x01\xff\xfe" + text.encode("utf-16-le") + b"\x00\x00"
    else:
        data = b"\x00" + (text if isinstance(text, bytes) else text.encode("latin-1"))
    return frame_id.encode("ascii") + struct.pack(">I", len(data)) + b"\x00\x00" + data


def tag(frames):
    """An ID3v2.3 tag of (id, text[, unicode]) frames; no frames, no tag."""
    if not frames:
        return b""
    body = b"".join(text_frame(*f) for f in frames)
    return b"ID3\x03\x00\x00" + syncsafe(len(body)) + body


def mp3_bytes(frames, audio_frames=3):
    audio = (FRAME_HEADER + bytes(FRAME_LENGTH - len(FRAME_HEADER))) * max(1, audio_frames)
    return tag(frames) + audio


def mp3_file(path, frames, audio_frames=3):
    with open(path, "wb") as f:
        f.write(mp3_bytes(frames, audio_frames))
    return path
