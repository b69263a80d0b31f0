"""What the tests and the demo put on the other end of the wire: a loopback
HTTP server whose misbehaviour each test picks, and the MP3 files with ID3
tags that the players read.

Server: listens on 127.0.0.1. In the healthy mode it reads each request
whole, keeps it and answers 200; a sender may hang up before the answer.
The other modes refuse connections, reset them, hold them without reading
or answering, answer with errors (404, 500), 204, a redirect to https, late
(LATE_ANSWER), with a huge or cut answer or bytes that are not HTTP at all,
read the request and then stay silent or reset, or hang up in the middle of
the request; set_fault switches, and "healthy" heals on the same port.

Every answer carries its Content-Length. An HTTP/1.1 request without
"Connection: close" leaves the connection open for the next request in
every mode that answers in HTTP (idle ones are closed after IDLE_TIMEOUT).
One thread accepts; each connection is served on a thread of its own with
the mode of the moment it was accepted. Held and idle kept connections are
closed when the mode changes or the server stops, so every request after
set_fault(mode) comes on a new connection; accepted counts connections.

mp3_bytes / mp3_file (which gives back its path): an ID3v2.3 tag of text
frames (ISO-8859-1 or UTF-16) followed by MPEG-1 Layer III frames
(128 kbit/s, 44.1 kHz, mono) whose side information is all zero, so every
frame decodes to silence.
"""

import select
import socket
import struct
import threading
import time
import zlib

IO_TIMEOUT = 3.0
IDLE_TIMEOUT = 10.0  # a kept connection without a new request is closed after it
LATE_ANSWER = 1.5  # seconds lateAnswer waits before it answers
MAX_REQUEST = 1 << 20
HUGE_ANSWER = 10 << 20

MODES = ("healthy", "refuse", "reset", "neverRead", "stallAfterHead", "status500", "status404",
         "redirectHttps", "hugeAnswer", "garbage", "cutAnswer", "cutRequest", "status204",
         "silentAfterRequest", "resetAfterRequest", "lateAnswer")

# Status and body of the modes that answer in HTTP (hugeAnswer's body apart).
STATUS = {
    "healthy": (b"200 OK", b"ok"),
    "lateAnswer": (b"200 OK", b"ok"),
    "status204": (b"204 No Content", b""),
    "status500": (b"500 Internal Server Error", b"error"),
    "status404": (b"404 Not Found", b"not found"),
    "redirectHttps": (b"301 Moved Permanently", b""),
    "hugeAnswer": (b"200 OK", b""),
}
# The modes whose answer always ends the connection.
ANSWERS = {
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


def asks_to_keep(head):
    """An HTTP/1.1 request that does not ask to close keeps the connection."""
    line, headers, _ = parse_request(head)
    return line.endswith("HTTP/1.1") and not any(
        v.lower().startswith("close") for v in header_values(headers, "Connection"))


def read_post(conn, head_only=False, up_to=None):
    """Reads until the headers have arrived (head_only) or the whole
    request, at most up_to body bytes when given; byte by byte when it must
    not read further than that, and never past the announced body (a kept
    connection's client sends its next request after the answer). A TLS
    handshake ends the reading at once."""
    post = Post()
    careful = head_only or up_to is not None
    while len(post.raw) < MAX_REQUEST:
        want = 1 if careful else 65536
        end = post.raw.find(b"\r\n\r\n")
        if end >= 0:
            post.head = post.raw[:end + 2]
            post.body = post.raw[end + 4:]
            length = announced_length(post.head)
            if head_only:
                return post
            if len(post.body) >= length or (up_to is not None and len(post.body) >= up_to):
                post.complete = len(post.body) >= length
                return post
            if not careful:
                want = length - len(post.body)
        try:
            chunk = conn.recv(want)
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
        self.generation = 0  # mode changes so far
        self.held = []
        self.idle = []  # kept connections waiting for their next request
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
        listening socket follows and the connections held or kept idle so
        far are closed."""
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
            for conn in self.idle:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.generation += 1
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
                mode, generation = self.applied, self.generation
            conn.settimeout(IO_TIMEOUT)
            threading.Thread(target=self._serve, args=(conn, mode, generation),
                             daemon=True).start()

    def _hold(self, conn, generation):
        with self.lock:
            if generation != self.generation:  # the mode changed meanwhile
                conn.close()
            else:
                self.held.append(conn)

    def _answer(self, conn, mode, post, keep):
        if mode in ANSWERS:
            conn.sendall(ANSWERS[mode])
            return
        if mode == "healthy" and not post.raw[:1].isalpha():
            return  # a healthy answer only to what looks like HTTP
        status, body = STATUS[mode]
        head = b"HTTP/1.1 " + status + b"\r\n"
        if mode == "redirectHttps":
            head += b"Location: https://127.0.0.1:%d/np\r\n" % self.port
        length = HUGE_ANSWER if mode == "hugeAnswer" else len(body)
        if mode != "status204":
            head += b"Content-Length: %d\r\n" % length
        if not keep:
            head += b"Connection: close\r\n"
        conn.sendall(head + b"\r\n" + body)
        if mode == "hugeAnswer":
            block = b"x" * (1 << 16)
            for _ in range(HUGE_ANSWER // len(block)):
                if self.stopping:
                    break
                conn.sendall(block)

    def _keep(self, post):
        if self.on_post is not None:
            self.on_post(post)
        with self.lock:
            self.posts.append(post)
            self.lock.notify_all()

    def _next_request(self, conn, generation):
        """Waits for a kept connection's next request: False when the client
        closed it, it stayed idle too long, the mode changed or the server
        stops."""
        with self.lock:
            if generation != self.generation or self.stopping:
                return False
            self.idle.append(conn)
        try:
            waited = 0.0
            while waited < IDLE_TIMEOUT:
                if self.stopping or generation != self.generation:
                    return False
                ready, _, _ = select.select([conn], [], [], 0.05)
                if ready:
                    return conn.recv(1, socket.MSG_PEEK) != b""
                waited += 0.05
            return False
        finally:
            with self.lock:
                self.idle.remove(conn)

    def _serve(self, conn, mode, generation):
        try:
            if mode in ("refuse", "reset"):  # refuse: queued before the listener closed
                reset_close(conn)
                return
            if mode == "neverRead":
                self._hold(conn, generation)
                return
            first = True
            while first or self._next_request(conn, generation):
                if mode == "stallAfterHead":
                    read_post(conn, head_only=True)
                    self._hold(conn, generation)
                    return
                if mode == "cutRequest":
                    read_post(conn, up_to=8)
                    reset_close(conn)
                    return
                post = read_post(conn)
                if not first and not post.head:
                    break  # the client closed the connection instead
                first = False
                if mode == "silentAfterRequest":
                    self._keep(post)
                    self._hold(conn, generation)
                    return
                if mode == "resetAfterRequest":
                    self._keep(post)
                    reset_close(conn)
                    return
                if mode == "lateAnswer":
                    time.sleep(LATE_ANSWER)
                keep = (post.complete and mode not in ANSWERS and asks_to_keep(post.head)
                        and generation == self.generation)
                try:
                    self._answer(conn, mode, post, keep)
                except OSError:
                    keep = False  # the sender hung up before the answer
                if not keep:
                    conn.close()
                    self._keep(post)
                    return
                self._keep(post)
            conn.close()
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
            for conn in self.held + self.idle:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
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


def picture_frame(data, mime="image/png"):
    """One ID3v2.3 APIC frame: the front cover (picture type 3), no description."""
    body = b"\x00" + mime.encode("ascii") + b"\x00\x03\x00" + data
    return b"APIC" + struct.pack(">I", len(body)) + b"\x00\x00" + body


def png(width=64, height=64, tint=(160, 96, 48)):
    """A real PNG (8-bit RGB): a diagonal gradient over the tint, so that
    each tint is a picture of its own."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    def shade(base, at, size):  # from the tint towards white across the picture
        return base + (255 - base) * at // max(1, size)
    rows = b"".join(b"\x00" + b"".join(bytes((shade(tint[0], x, width), shade(tint[1], y, height),
                                              tint[2])) for x in range(width))
                    for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def tag(frames):
    """An ID3v2.3 tag of (id, text[, unicode]) frames, and frames given
    whole as bytes (picture_frame); no frames, no tag."""
    if not frames:
        return b""
    body = b"".join(f if isinstance(f, bytes) else text_frame(*f) for f in frames)
    return b"ID3\x03\x00\x00" + syncsafe(len(body)) + body


def mp3_bytes(frames, audio_frames=3):
    audio = (FRAME_HEADER + bytes(FRAME_LENGTH - len(FRAME_HEADER))) * max(1, audio_frames)
    return tag(frames) + audio


def mp3_file(path, frames, audio_frames=3):
    with open(path, "wb") as f:
        f.write(mp3_bytes(frames, audio_frames))
    return path
