#!/usr/bin/python3
"""The stand-in player with the module telling a loopback ListenBrainz
server (lb_server.py) what plays and what was listened to.

The listen rules' times are shortened a hundredfold
(TRELLICAST_LISTEN_TIME_DIVISOR=100: tracks over 0.3 s count after half
their length or 2.4 s), so tracks of 2 s behave as tracks of 200 s would.

- qualifying: five tracks on a terminal, one paused for 2 s and played on,
  one paused and skipped before it has played half, a repeat of the first
  at the end: exactly the listens that qualify, once each, in order, with
  the times they started; a now-playing for each track.
- queue: three listens while the server cannot be reached, kept in the
  queue file across the player's exit; the next run meets 503 and 429
  (Reset-In 2) first, then sends them as one import, which the server
  refuses for one of them (400): that one is dropped, the other two arrive,
  nothing twice, no two requests under a second apart, the queue empties.
- refused: a 401 stops sending after one try and keeps the queue.
- token: the dialog's Test through the listens thread (listens_drive):
  a valid token, one the server does not know, a server not there.

Usage: host_listens_test.py TRELLICAST_HOST LISTENS_DRIVE
"""
import json
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import lb_server  # noqa: E402
import wire  # noqa: E402

DIVISOR = "100"


class Setup:
    def __init__(self, host, tmp, url, token="good-token"):
        self.host, self.tmp = host, tmp
        self.config = os.path.join(tmp, "trellicast.conf")
        self.state = os.path.join(tmp, "state")
        self.queue = os.path.join(self.state, "trellicast", "listens.queue")
        out = os.path.join(tmp, "out")
        os.makedirs(out, exist_ok=True)
        for name, value in (("OutputFolder", out), ("ListenUrl", url), ("ListenToken", token)):
            self.set(name, value)
        self.env = dict(os.environ, XDG_STATE_HOME=self.state,
                        TRELLICAST_LISTEN_TIME_DIVISOR=DIVISOR)

    def set(self, name, value):
        subprocess.run([self.host, "--config", self.config, "set", name, value], check=True,
                       capture_output=True, timeout=20)

    def song(self, artist, title, album="Album"):
        path = os.path.join(self.tmp, "%s - %s.mp3" % (artist, title))
        if not os.path.exists(path):
            wire.mp3_file(path, [("TIT2", title, True), ("TPE1", artist, True),
                                 ("TALB", album, True), ("TRCK", "3/12", False)])
        return path

    def play(self, files, seconds, quit_after):
        return subprocess.run([self.host, "--config", self.config, "play", "--track-seconds",
                               str(seconds), "--quit-after", str(quit_after)] + files,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=self.env, timeout=quit_after + 30)

    def queued(self):
        try:
            with open(self.queue, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []


def titles(listens):
    return [l["track_metadata"]["track_name"] for l in listens]


def play_on_terminal(setup, files, steps):
    """Plays files (4 s each) on a terminal; steps: (at seconds, key), the
    last one ends the run. Returns {title: unix time it started}."""
    master, slave = pty.openpty()
    began = time.time()
    proc = subprocess.Popen([setup.host, "--config", setup.config, "play", "--track-seconds",
                             "4"] + files, stdin=slave, stdout=slave, stderr=subprocess.DEVNULL,
                            close_fds=True, env=setup.env)
    os.close(slave)
    started, pending = {}, b""

    def drain(until):
        nonlocal pending
        while time.time() < until:
            ready, _, _ = select.select([master], [], [], max(0, until - time.time()))
            if not ready:
                continue
            try:
                pending += os.read(master, 4096)
            except OSError:
                return
            *lines, pending = pending.split(b"\n")
            for line in lines:
                text = line.decode("utf-8", "replace").rstrip("\r")
                if text.startswith("playing "):
                    started.setdefault(text, time.time())
    try:
        for at, key in steps:
            drain(began + at)
            os.write(master, key)
        drain(time.time() + 1.5)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(10)
        os.close(master)
    return started, began


def case_qualifying(host, faults):
    server = lb_server.LbServer()
    with tempfile.TemporaryDirectory(prefix="trellicast-listens.") as tmp:
        s = Setup(host, tmp, server.url)
        files = [s.song("Artist", t) for t in ("One", "Paused", "Skipped", "Four")]
        files.append(files[0])
        # Tracks of 4 s count after 2 s. One 0-4; Paused 4-10 (paused
        # 5.2-7.2 after 1.2 s, played on); Skipped from 10, paused after
        # 1.2 s and skipped at 13.2; Four 13.2-17.2; One again 17.2-21.2.
        _, began = play_on_terminal(s, files, [(5.2, b" "), (7.2, b" "), (11.2, b" "),
                                               (13.2, b"n"), (22.0, b"q")])
        time.sleep(0.5)
        queued = s.queued()
    server.close()
    got = [l for k, l in server.listens if k != "playing_now"]
    want = ["One", "Paused", "Four", "One"]
    if titles(got) != want:
        faults.append("qualifying: listens %r, want %r" % (titles(got), want))
    starts = [0, 4, 13.2, 17.2]
    for listen, start in zip(got, starts):
        if abs(listen["listened_at"] - (began + start)) > 2:
            faults.append("qualifying: %s listened_at %d, started at %.1f" % (
                listen["track_metadata"]["track_name"], listen["listened_at"], began + start))
    info = got[0]["track_metadata"]["additional_info"] if got else {}
    want_info = {"duration_ms": 4000, "tracknumber": 3, "media_player": "trellicast-host",
                 "submission_client": "Trellicast"}
    if any(info.get(k) != v for k, v in want_info.items()) or \
            not info.get("submission_client_version"):
        faults.append("qualifying: additional_info %r" % info)
    if got and got[0]["track_metadata"].get("release_name") != "Album":
        faults.append("qualifying: release_name %r" % got[0]["track_metadata"])
    playing = titles(server.submitted("playing_now"))
    if playing != ["One", "Paused", "Skipped", "Four", "One"]:
        faults.append("qualifying: playing_now %r" % playing)
    agents = {r["agent"] for r in server.requests}
    if len(agents) != 1 or not next(iter(agents)).startswith("Trellicast/"):
        faults.append("qualifying: User-Agent %r" % agents)
    if queued:
        faults.append("qualifying: %d listens left in the queue" % len(queued))
    print("qualifying: listens %r, playing_now %r" % (titles(got), playing))
    if os.environ.get("LISTENS_TEST_VERBOSE"):
        for r in server.requests:
            print("  %.2f %s %d %s" % (r["at"] - server.requests[0]["at"], r["type"], r["status"],
                                      titles(r["listens"])))


def case_queue(host, faults):
    port = lb_server.free_port()
    with tempfile.TemporaryDirectory(prefix="trellicast-listens.") as tmp:
        s = Setup(host, tmp, "http://127.0.0.1:%d/" % port)
        files = [s.song("Queue", t) for t in ("First", "Refuse me", "Third")]
        run = s.play(files, 2, 7)
        if run.returncode != 0:
            faults.append("queue: the first run ended with %d" % run.returncode)
        kept = titles(s.queued())
        if kept != ["First", "Refuse me", "Third"]:
            faults.append("queue: after a run without a server the queue holds %r" % kept)
        server = lb_server.LbServer(port)
        server.refuse_title = "Refuse me"
        server.script = [(503, 1), (429, 2)]
        # No track: the queue alone goes out.
        run = s.play([s.song("Queue", "Short")], 0.1, 10)
        left = s.queued()
        server.close()
    got = server.submitted()
    if titles(got) != ["First", "Third"]:
        faults.append("queue: arrived %r" % titles(got))
    if left:
        faults.append("queue: %d left in the queue" % len(left))
    submits = [r for r in server.requests]
    kinds = [(r["type"], r["count"], r["status"]) for r in submits]
    want = [("import", 3, 503), ("import", 3, 429), ("import", 3, 400), ("single", 1, 200),
            ("single", 1, 400), ("single", 1, 200)]
    if kinds != want:
        faults.append("queue: requests %r, want %r" % (kinds, want))
    gaps = [b["at"] - a["at"] for a, b in zip(submits, submits[1:])]
    if gaps and min(gaps) < 0.95:
        faults.append("queue: two requests %.2f s apart" % min(gaps))
    if len(gaps) >= 2 and (gaps[0] < 1.9 or gaps[1] < 1.95):
        faults.append("queue: after 503 waited %.2f s, after 429 (2 s) %.2f s" % tuple(gaps[:2]))
    print("queue: requests %r, gaps %s" % (kinds, ["%.2f" % g for g in gaps]))


def case_refused(host, faults):
    server = lb_server.LbServer()
    with tempfile.TemporaryDirectory(prefix="trellicast-listens.") as tmp:
        s = Setup(host, tmp, server.url, token="stale-token")
        run = s.play([s.song("Kept", t) for t in ("A", "B")], 2, 7)
        kept = titles(s.queued())
    server.close()
    tries = [(r["type"], r["status"]) for r in server.requests]
    if run.returncode != 0:
        faults.append("refused: the run ended with %d" % run.returncode)
    if kept != ["A", "B"]:
        faults.append("refused: the queue holds %r" % kept)
    if tries != [("playing_now", 401)]:
        faults.append("refused: requests %r, want one refused and nothing after it" % tries)
    print("refused: tries %r, queue %r" % (tries, kept))


def case_token(host, faults):
    drive = sys.argv[2]
    server = lb_server.LbServer()
    cases = [("valid", server.url + "/", "good-token", "Token valid for alice"),
             ("unknown", server.url, "stale-token", "Token invalid."),
             ("no server", "http://127.0.0.1:%d" % lb_server.free_port(), "good-token",
              "ListenBrainz cannot be reached: (errcode=7)")]
    with tempfile.TemporaryDirectory(prefix="trellicast-listens.") as tmp:
        env = dict(os.environ, XDG_STATE_HOME=tmp)
        for name, url, token, want in cases:
            run = subprocess.run([drive, url, token], capture_output=True, text=True, env=env,
                                 timeout=30)
            if run.stdout.strip() != want:
                faults.append("token, %s: %r, want %r" % (name, run.stdout.strip(), want))
    server.close()
    print("token: %d cases" % len(cases))


def main():
    faults = []
    cases = (case_qualifying, case_queue, case_refused, case_token)
    only = os.environ.get("LISTENS_TEST_CASE")
    for case in cases:
        if only and case.__name__ != "case_" + only:
            continue
        case(sys.argv[1], faults)
    for f in faults:
        print("FAIL", f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
