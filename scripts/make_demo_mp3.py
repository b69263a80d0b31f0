#!/usr/bin/env python3
"""Writes a small MP3 file of silence with an ID3v2.3 tag, for the demo.

usage: make_demo_mp3.py OUT --title T --artist A [--album B] [--track N] [--seconds S]
                        [--cover R,G,B]

The tag holds TIT2, TPE1, TALB and TRCK text frames (ISO-8859-1; empty ones
are left out) and, with --cover, an APIC front cover: a 300x300 PNG gradient
over that colour; the audio is silent MPEG-1 Layer III frames (see
tests/support/wire.py).
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import wire  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("--title", required=True)
    p.add_argument("--artist", required=True)
    p.add_argument("--album", default="")
    p.add_argument("--track", default="")
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--cover", default="", help="R,G,B: the cover picture's colour")
    a = p.parse_args()
    fields = [("TIT2", a.title), ("TPE1", a.artist), ("TALB", a.album), ("TRCK", a.track)]
    frames = [(i, t) for i, t in fields if t]
    if a.cover:
        tint = tuple(int(v) & 255 for v in a.cover.split(","))
        frames.append(wire.picture_frame(wire.png(300, 300, tint)))
    wire.mp3_file(a.out, frames,
                  int(a.seconds * wire.FRAMES_PER_SECOND))


if __name__ == "__main__":
    main()
