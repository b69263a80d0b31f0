"""A loopback ListenBrainz server for the listens tests.

Serves POST /1/submit-listens and GET /1/validate-token on 127.0.0.1 with
the service's documented checks: an "Authorization: Token ..." header, a
JSON object with listen_type "single", "playing_now" or "import" and a
payload list (one listen for single and playing_now, at most 1000 for
import), each listen at most 10240 bytes as JSON, with track_metadata
holding non-empty artist_name and track_name strings, additional_info an
object, no NUL in any text, listened_at an integer from 2002 on for single
and import and absent for playing_now. Every answer carries
X-RateLimit-Limit, -Remaining, -Reset-In and -Reset.

The test picks the answers: `script` is a list of (status, reset_in)
answers given to the next submit-listens requests, before any check;
`default` the status after it (200: check and accept). `refuse_title`
makes a listen with that track_name fail validation (400), as the service
refuses a listen it cannot take. Accepted listens are kept in `listens`
(listen_type, listen) as they are stored, before the answer; every
request in `requests` (time, listen_type, count, status, answered_at:
when the answer was written, None when the client was gone).
"""

import http.server
import json
import socket
import threading
import time

MAX_LISTEN_SIZE = 10240
MAX_LISTENS_PER_REQUEST = 1000
LISTEN_MINIMUM_TS = 1033410000
TOKENS = {"good-token": "alice"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def has_nul(value):
    if isinstance(value, str):
        return "\x00" in value
    if isinstance(value, dict):
        return any(has_nul(k) or has_nul(v) for k, v in value.items())
    if isinstance(value, list):
        return any(has_nul(v) for v in value)
    return False


def check_listen(listen, listen_type, refuse_title=None):
    """None when the listen is valid, else the service's words."""
    if not isinstance(listen, dict):
        return "Listen is not an object"
    if len(json.dumps(listen).encode("utf-8")) > MAX_LISTEN_SIZE:
        return "Listen size exceeds max (%d)" % MAX_LISTEN_SIZE
    if has_nul(listen):
        return "String cannot contain null character"
    meta = listen.get("track_metadata")
    if not isinstance(meta, dict):
        return "JSON document must contain track_metadata"
    for key in ("artist_name", "track_name"):
        if not isinstance(meta.get(key), str) or not meta[key].strip():
            return "JSON document does not contain required track_metadata.%s" % key
    if "release_name" in meta and not isinstance(meta["release_name"], str):
        return "release_name must be a string"
    if not isinstance(meta.get("additional_info", {}), dict):
        return "additional_info must be an object"
    if listen_type == "playing_now":
        if "listened_at" in listen:
            return "JSON document must not contain listened_at while submitting playing_now."
    else:
        at = listen.get("listened_at")
        if not isinstance(at, int) or isinstance(at, bool):
            return "JSON document must contain listened_at"
        if at < LISTEN_MINIMUM_TS:
            return "Value for key listened_at is too low."
    if refuse_title is not None and meta["track_name"] == refuse_title:
        return "Value for track_name is not acceptable"
    return None


class LbServer:
    def __init__(self, port=0):
        self.lock = threading.Lock()
        self.script = []
        self.default = 200
        self.refuse_title = None
        self.delay = 0.0
        self.listens = []
        self.requests = []
        self.bodies = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, doc, reset_in=1):
                body = json.dumps(doc).encode("utf-8")
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("X-RateLimit-Limit", "30")
                self.send_header("X-RateLimit-Remaining", "0" if status == 429 else "29")
                self.send_header("X-RateLimit-Reset-In", str(reset_in))
                self.send_header("X-RateLimit-Reset", str(int(time.time()) + reset_in))
                self.end_headers()
                self.wfile.write(body)
                self.wfile.flush()

            def token(self):
                value = self.headers.get("Authorization", "")
                return value[len("Token "):] if value.startswith("Token ") else None

            def do_GET(self):
                if self.path.split("?")[0] != "/1/validate-token":
                    return self.answer(404, {"code": 404, "error": "Not found"})
                token = self.token()
                if token is None:
                    return self.answer(400, {"code": 400,
                                             "error": "You need to provide an Authorization header."})
                if token in TOKENS:
                    return self.answer(200, {"code": 200, "message": "Token valid.", "valid": True,
                                             "user_name": TOKENS[token]})
                return self.answer(200, {"code": 200, "message": "Token invalid.", "valid": False})

            def do_POST(self):
                arrived = time.monotonic()
                length = int(self.headers.get("Content-Length", "0"))
                raw = self.rfile.read(length)
                status, doc, kind, count, accepted, reset_in = outer.judge(
                    self.path, self.token(), self.headers, raw)
                if outer.delay:
                    time.sleep(outer.delay)
                # Stored before the answer, as the service commits a
                # submission and then answers it.
                with outer.lock:
                    record = {"at": arrived, "type": kind, "count": count, "status": status,
                              "answered_at": None, "listens": accepted,
                              "agent": self.headers.get("User-Agent")}
                    outer.requests.append(record)
                    if 200 <= status < 300:
                        outer.listens.extend((kind, l) for l in accepted)
                try:
                    self.answer(status, doc, reset_in)
                except OSError:
                    return  # the client is gone: its answer was never seen
                with outer.lock:
                    record["answered_at"] = time.monotonic()

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def judge(self, path, token, headers, raw):
        """(status, answer, listen_type, count, listens, reset_in) for one submission."""
        with self.lock:
            scripted = self.script.pop(0) if self.script else None
            default, refuse = self.default, self.refuse_title
        try:
            doc = json.loads(raw.decode("utf-8"))
            kind = doc.get("listen_type") if isinstance(doc, dict) else None
            payload = doc.get("payload") if isinstance(doc, dict) else None
        except (ValueError, UnicodeDecodeError):
            doc, kind, payload = None, None, None
        count = len(payload) if isinstance(payload, list) else 0
        if scripted is not None:
            status, reset_in = scripted
            return status, {"code": status, "error": "scripted"}, kind, count, [], reset_in
        if default != 200:
            return default, {"code": default, "error": "unavailable"}, kind, count, [], 1
        if path != "/1/submit-listens":
            return 404, {"code": 404, "error": "Not found"}, kind, count, [], 1
        if token not in TOKENS:
            return 401, {"code": 401, "error": "Invalid authorization token."}, kind, count, [], 1
        if headers.get("Content-Type") != "application/json":
            return 400, {"code": 400, "error": "Content-Type must be application/json"}, kind, \
                count, [], 1
        if doc is None:
            return 400, {"code": 400, "error": "Cannot parse JSON document"}, kind, count, [], 1
        if kind not in ("single", "playing_now", "import"):
            return 400, {"code": 400, "error": "JSON document must contain listen_type"}, kind, \
                count, [], 1
        if not isinstance(payload, list) or not payload:
            return 400, {"code": 400, "error": "JSON document must contain payload"}, kind, \
                count, [], 1
        if kind != "import" and count != 1:
            return 400, {"code": 400, "error": "JSON document should contain exactly one listen "
                         "in payload"}, kind, count, [], 1
        if count > MAX_LISTENS_PER_REQUEST:
            return 400, {"code": 400, "error": "Too many listens"}, kind, count, [], 1
        for listen in payload:
            words = check_listen(listen, kind, refuse)
            if words is not None:
                return 400, {"code": 400, "error": words}, kind, count, [], 1
        return 200, {"status": "ok"}, kind, count, payload, 1

    def submitted(self, kind=None):
        with self.lock:
            return [l for k, l in self.listens if kind is None or k == kind]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
