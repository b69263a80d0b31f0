#!/usr/bin/env python3
"""A loopback HTTP receiver for the demo: prints every POST it gets, its
request line, its headers and each form field decoded, one per line, and
answers 200.

usage: receiver.py [--port N] [--port-file PATH]

Listens on 127.0.0.1 only. With port 0 (the default) the system picks a
free port; it is printed and, with --port-file, written there once the
receiver is ready. Stops on SIGTERM or SIGINT.
"""
import argparse
import http.server
import os
import signal
import sys
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        out = ["", "receiver: " + self.requestline]
        for name, value in self.headers.items():
            out.append("receiver:   %s: %s" % (name, value))
        fields = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True,
                                        encoding="latin-1")
        for name, value in fields:
            out.append("receiver:   %s = %s" % (name, value))
        print("\n".join(out), flush=True)
        # The module hangs up once its request is written and never reads
        # the answer: a sender that has gone is the normal case.
        self.close_connection = True
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", "3")
            self.end_headers()
            self.wfile.write(b"OK\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


class Server(http.server.HTTPServer):
    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    a = p.parse_args()
    server = Server(("127.0.0.1", a.port), Handler)
    port = server.server_address[1]

    def stop(*_):
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("receiver: listening on http://127.0.0.1:%d/" % port, flush=True)
    if a.port_file:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, a.port_file)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
