"""Checks the shared wire helpers against independent readers: the tag
files through mutagen's ID3 and MPEG parsers, the server through plain
sockets, one row per behaviour a test can pick."""

import io
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402

import mutagen.id3  # noqa: E402
import mutagen.mp3  # noqa: E402

BODY = b"wm_action=wm_data&wm_data[status]=1&wm_data[title]=a%20b"
REQUEST = (b"POST /np HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(BODY)
           + BODY)


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

    def test_a_tls_handshake_is_kept_raw_and_not_answered(self):
        hello = b"\x16\x03\x01\x00\x05hello"
        self.assertEqual(exchange(self.server.port, hello), b"")
        posts = self.server.take(1, 2)
        self.assertEqual([(p.raw, p.head, p.complete) for p in posts], [(hello, b"", False)])


if __name__ == "__main__":
    unittest.main()
