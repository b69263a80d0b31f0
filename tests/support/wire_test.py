"""Checks the shared wire helpers against independent readers: the tag
files through mutagen's ID3 and MPEG parsers, the server through plain
sockets, one row per behaviour a test can pick."""

import io
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402

import mutagen.id3  # noqa: E402
import mutagen.mp3  # noqa: E402

BODY = b"wm_action=wm_data&wm_data[status]=1&wm_data[title]=a%20b"
KEPT = (b"POST /np HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(BODY)
        + BODY)
REQUEST = KEPT.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n", 1)


class TagFiles(unittest.TestCase):
    def test_frames_read_back_as_written(self):
        rows = [
            ("latin-1 with a high byte", [("TIT2", "Caf\xe9 & co", False)], 0),
            ("utf-16 beyond the basic plane", [("TPE1", "\u65e5\u672c \U0001F3B5", True)], 1),
            ("several frames", [("TIT2", "T", False), ("TALB", "Al", True),
                                ("TRCK", "7", False)], None),
        ]
        for what, frames, encoding in rows:
            with self.subTest(what):
                tags = mutagen.id3.ID3(io.BytesIO(wire.mp3_bytes(frames)))
                self.assertEqual(tags.version, (2, 3, 0))
                self.assertEqual(sorted(tags.keys()), sorted(f[0] for f in frames))
                for frame_id, text, _ in frames:
                    self.assertEqual(tags[frame_id].text, [text])
                if encoding is not None:
                    self.assertEqual(int(tags[frames[0][0]].encoding), encoding)

    def test_no_frames_no_tag_and_the_audio_is_valid_mpeg(self):
        data = wire.mp3_bytes([], audio_frames=40)
        self.assertEqual(data[:3], b"\xff\xfb\x90")
        info = mutagen.mp3.MP3(io.BytesIO(data)).info
        self.assertEqual((info.sample_rate, info.bitrate, info.channels), (44100, 128000, 1))
        self.assertAlmostEqual(info.length, 40 * 1152 / 44100, places=2)


def exchange(port, request=REQUEST, hang_up=False):
    """Sends request; returns what came back before the server closed (None
    when the connection was refused or reset)."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.sendall(request)
            if hang_up:
                return b""
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return answer
                answer += chunk
    except (ConnectionRefusedError, ConnectionResetError):
        return None
    except socket.timeout:
        return "timeout"


class Server(unittest.TestCase):
    def setUp(self):
        self.server = wire.Server()
        self.addCleanup(self.server.close)

    def test_each_mode_answers_as_picked(self):
        # (mode, what the client sees, whether the request is kept whole)
        rows = [
            ("healthy", b"HTTP/1.1 200 OK", True),
            ("status500", b"HTTP/1.1 500", True),
            ("status404", b"HTTP/1.1 404", True),
            ("redirectHttps", b"HTTP/1.1 301", True),
            ("garbage", b"\x16\x03", True),
            ("cutAnswer", b"HTTP/1.1 200 OK\r\nContent-Length: 1000", True),
            ("refuse", None, None),
            ("reset", None, None),
            ("neverRead", "timeout", None),
            ("stallAfterHead", "timeout", None),
            ("cutRequest", None, None),
        ]
        for mode, answer, whole in rows:
            with self.subTest(mode):
                self.assertTrue(self.server.set_fault(mode))
                got = exchange(self.server.port)
                if isinstance(answer, bytes):
                    self.assertTrue(got.startswith(answer), got[:60])
                else:
                    self.assertEqual(got, answer)
                posts = self.server.take(1 if whole is not None else 0, 2)
                self.assertEqual([p.complete for p in posts], [] if whole is None else [whole])
                if whole:
                    self.assertEqual(posts[0].body, BODY)
                    self.assertEqual(posts[0].raw, REQUEST)
                # Healing works on the same port, whatever came before.
                self.assertTrue(self.server.set_fault("healthy"))
                self.assertTrue(exchange(self.server.port).startswith(b"HTTP/1.1 200 OK"))
                self.server.take(1, 2)

    def test_a_sender_that_hangs_up_is_still_heard(self):
        posts = []
        self.server.on_post = posts.append
        exchange(self.server.port, hang_up=True)
        with self.server.lock:
            self.server.lock.wait_for(lambda: self.server.posts, 2)
        self.assertEqual(self.server.received(), [REQUEST])
        self.assertEqual([p.body for p in self.server.take()], [BODY])
        self.assertEqual(self.server.received(), [], "taken requests are gone")
        self.assertEqual(len(posts), 1)
        self.assertTrue(exchange(self.server.port).startswith(b"HTTP/1.1 200 OK"))

    def test_an_http11_request_keeps_the_connection_until_the_mode_changes(self):
        # (mode, the answer's first line), each answered twice on one
        # connection with its length; a mode change closes the idle one.
        rows = [("healthy", b"HTTP/1.1 200 OK"), ("status404", b"HTTP/1.1 404 Not Found"),
                ("status204", b"HTTP/1.1 204 No Content"),
                ("redirectHttps", b"HTTP/1.1 301 Moved Permanently")]
        for mode, status in rows:
            with self.subTest(mode):
                self.assertTrue(self.server.set_fault(mode))
                before = self.server.accepted
                with socket.create_connection(("127.0.0.1", self.server.port), timeout=2) as s:
                    for _ in range(2):
                        s.sendall(KEPT)
                        head = b""
                        while b"\r\n\r\n" not in head:
                            head += s.recv(1)
                        line, headers, _ = wire.parse_request(head)
                        self.assertEqual(line.encode(), status)
                        self.assertNotIn("close", wire.header_values(headers, "Connection"))
                        length = int((wire.header_values(headers, "Content-Length") or ["0"])[0])
                        while length > 0:
                            length -= len(s.recv(length))
                    self.assertEqual([p.raw for p in self.server.take(2, 2)], [KEPT, KEPT])
                    self.assertEqual(self.server.accepted, before + 1, "one connection")
                    self.assertTrue(self.server.set_fault("neverRead"))
                    self.assertEqual(s.recv(1), b"", "closed by the mode change")

    def test_a_request_ends_in_silence_a_reset_or_a_late_answer(self):
        rows = [("silentAfterRequest", "timeout"), ("resetAfterRequest", None),
                ("lateAnswer", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close")]
        for mode, answer in rows:
            with self.subTest(mode):
                self.assertTrue(self.server.set_fault(mode))
                started = time.monotonic()
                got = exchange(self.server.port)
                took = time.monotonic() - started
                if isinstance(answer, bytes):
                    self.assertTrue(got.startswith(answer), got[:60])
                    self.assertGreaterEqual(took, wire.LATE_ANSWER)
                else:
                    self.assertEqual(got, answer)
                self.assertEqual([p.raw for p in self.server.take(1, 2)], [REQUEST])

    def test_a_tls_handshake_is_kept_raw_and_not_answered(self):
        hello = b"\x16\x03\x01\x00\x05hello"
        self.assertEqual(exchange(self.server.port, hello), b"")
        posts = self.server.take(1, 2)
        self.assertEqual([(p.raw, p.head, p.complete) for p in posts], [(hello, b"", False)])


if __name__ == "__main__":
    unittest.main()
