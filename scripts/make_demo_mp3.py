#!/usr/bin/env python3
"""Writes a small MP3 file of silence with an ID3v2.3 tag, for the demo.

usage: make_demo_mp3.py OUT --title T --artist A [--album B] [--track N] [--seconds S]

The tag holds TIT2, TPE1, TALB and TRCK text frames (ISO-8859-1); the audio
is MPEG-1 Layer III frames at 128 kbit/s, 44.1 kHz, mono, whose side
information is all zero, so every frame decodes to silence.
"""
import argparse
import struct

FRAME_HEADER = bytes([0xFF, 0xFB, 0x90, 0xC4])  # MPEG-1 L3, 128k, 44.1k, mono
FRAME_LENGTH = 144 * 128000 // 44100            # 417 bytes, no padding
FRAMES_PER_SECOND = 44100 / 1152


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def text_frame(frame_id, text):
    data = b"\x00" + text.encode("latin-1")
    return frame_id.encode("ascii") + struct.pack(">I", len(data)) + b"\x00\x00" + data


def tag(fields):
    frames = b"".join(text_frame(i, t) for i, t in fields if t)
    return b"ID3\x03\x00\x00" + syncsafe(len(frames)) + frames


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("--title", required=True)
    p.add_argument("--artist", required=True)
    p.add_argument("--album", default="")
    p.add_argument("--track", default="")
    p.add_argument("--seconds", type=float, default=2.0)
    a = p.parse_args()
    frames = max(1, int(a.seconds * FRAMES_PER_SECOND))
    audio = (FRAME_HEADER + bytes(FRAME_LENGTH - len(FRAME_HEADER))) * frames
    with open(a.out, "wb") as f:
        f.write(tag([("TIT2", a.title), ("TPE1", a.artist), ("TALB", a.album),
                     ("TRCK", a.track)]))
        f.write(audio)


if __name__ == "__main__":
    main()
