#!/usr/bin/env python3
"""A loopback HTTP receiver for the demo: prints every POST it gets, its
request line, its headers and each form field decoded (as UTF-8, or as
Latin-1 when a value is not UTF-8), one per line, and answers 200. The server is the tests' loopback server (tests/support/wire.py)
in its healthy mode; a sender that hangs up without reading the answer is
the normal case.

usage: receiver.py [--port N] [--port-file PATH]

Listens on 127.0.0.1 only. With port 0 (the default) the system picks a
free port; it is printed and, with --port-file, written there once the
receiver is ready. Stops on SIGTERM or SIGINT.
"""
import argparse
import os
import signal
import sys
import threading
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
import wire  # noqa: E402


def as_text(value):
    """A field's bytes (held one per character) as UTF-8, or as Latin-1 when
    they are not UTF-8 (a module sending its old bytes)."""
    raw = value.encode("latin-1")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return value


def show(post):
    line, headers, body = wire.parse_request(post.raw)
    out = ["", "receiver: " + line]
    for name, value in headers:
        out.append("receiver:   %s: %s" % (name, value))
    fields = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True,
                                    encoding="latin-1")
    for name, value in fields:
        out.append("receiver:   %s = %s" % (name, as_text(value)))
    print("\n".join(out), flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    a = p.parse_args()
    server = wire.Server(a.port, on_post=lambda post: show(post) if post.head else None)

    def stop(*_):
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("receiver: listening on http://127.0.0.1:%d/" % server.port, flush=True)
    if a.port_file:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % server.port)
        os.replace(tmp, a.port_file)
    try:
        threading.Event().wait()
    finally:
        server.close()


if __name__ == "__main__":
    main()
