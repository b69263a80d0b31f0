#!/usr/bin/python3
"""The queue loses nothing: the stand-in player is killed (SIGKILL) at
random moments while listens are counted, queued and sent to a loopback
ListenBrainz server that answers late, then started again.

Tracks of 1 s count after 0.5 s (TRELLICAST_LISTEN_TIME_DIVISOR=100);
every track has a title of its own. After each kill the queue file must
be whole (every line a listen). A track the player said it started at
least 0.5 s + MARGIN before the kill must be at the server or in the
queue; one killed inside the margin may be either. At the end a last run
sends what is left: nothing may be lost, and a listen may reach the
server twice only when a request carrying it had no answer seen before
the kill (it started before the kill and its answer was not done
POSTED_MARGIN before it). The counts are printed.

Usage: kill_test.py TRELLICAST_HOST [KILLS]
"""
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import host_listens_test  # noqa: E402
import lb_server  # noqa: E402

KILLS = 30
TRACK_SECONDS = 1
COUNTS_AFTER = 0.5
MARGIN = 0.4
POSTED_MARGIN = 0.05


def run_until_killed(setup, files, kill_after):
    """Starts the player on files and kills it after kill_after seconds;
    returns (kill time, [(time, title) the player said it started])."""
    proc = subprocess.Popen([setup.host, "--config", setup.config, "play", "--track-seconds",
                             str(TRACK_SECONDS)] + files, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=setup.env)
    started, pending = [], b""
    end = time.monotonic() + kill_after
    while time.monotonic() < end:
        ready, _, _ = select.select([proc.stdout], [], [], max(0, end - time.monotonic()))
        if not ready:
            continue
        chunk = os.read(proc.stdout.fileno(), 4096)
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            text = line.decode("utf-8", "replace")
            if text.startswith("playing "):
                title = text.split(": ", 1)[1].split(" (", 1)[0]
                started.append((time.monotonic(), title))
    proc.send_signal(signal.SIGKILL)
    killed = time.monotonic()
    proc.wait(10)
    proc.stdout.close()
    return killed, started


def main():
    host = sys.argv[1]
    kills = int(sys.argv[2]) if len(sys.argv) > 2 else KILLS
    rng = random.Random(int(os.environ.get("LISTENS_KILL_SEED", "20261209")))
    server = lb_server.LbServer()
    faults = []
    must, may = [], set()  # titles that must arrive, titles that may
    unseen = set()  # titles in requests whose answer a kill may have cut off
    damaged = 0
    with tempfile.TemporaryDirectory(prefix="trellicast-kill.") as tmp:
        s = host_listens_test.Setup(host, tmp, server.url)
        # The player titles an entry by its tags: "Artist - Title".
        n = 0
        for k in range(kills):
            server.delay = rng.choice((0.0, 0.05, 0.2, 0.4))
            files = []
            for _ in range(4):
                n += 1
                files.append(s.song("Kill", "Track %03d" % n))
            killed, started = run_until_killed(s, files, rng.uniform(0.3, 3.5))
            for at, title in started:
                title = title.split(" - ", 1)[-1]
                # A track ends when the next starts or the player is killed.
                following = [a for a, _ in started if a > at]
                end = min(following + [killed])
                if end - at >= COUNTS_AFTER + MARGIN:
                    must.append(title)
                elif end - at > COUNTS_AFTER - MARGIN:
                    may.add(title)
            with server.lock:
                for r in server.requests:
                    answered = r["answered_at"]
                    if r["at"] <= killed and (answered is None or
                                              answered > killed - POSTED_MARGIN):
                        unseen.update(l["track_metadata"]["track_name"] for l in r["listens"])
            try:
                s.queued()
            except ValueError:
                damaged += 1
        # A last run, not killed, sends what is left.
        s.play([s.song("Kill", "Short")], 0.1, 8)
        left = s.queued()
    server.close()
    got = host_listens_test.titles([l for k, l in server.listens if k != "playing_now"])
    lost = [t for t in must if t not in got]
    extra = [t for t in set(got) if t not in must and t not in may]
    duplicates = [t for t in set(got) if got.count(t) > 1]
    unexplained = [t for t in duplicates if t not in unseen]
    firsts = []
    for t in got:
        if t not in firsts:
            firsts.append(t)
    print("%d kills: %d listens that must arrive, %d that may, %d arrived (%d distinct), "
          "%d lost, %d duplicates (%d of a request whose answer was not seen), "
          "%d damaged queues, %d left queued" % (
              kills, len(must), len(may), len(got), len(set(got)), len(lost), len(duplicates),
              len(duplicates) - len(unexplained), damaged, len(left)))
    if lost:
        faults.append("lost: %r" % lost)
    if extra:
        faults.append("listens that did not qualify: %r" % extra)
    if unexplained:
        faults.append("sent twice after their answer was seen: %r" % unexplained)
    if damaged:
        faults.append("%d damaged queue files" % damaged)
    if left:
        faults.append("%d listens left in the queue" % len(left))
    if firsts != sorted(firsts):
        faults.append("out of order: %r" % firsts)
    if os.environ.get("LISTENS_TEST_VERBOSE"):
        for r in server.requests:
            print("  %.2f %s %d %s %s" % (r["at"], r["type"], r["status"], r["answered_at"],
                                         host_listens_test.titles(r["listens"])))
    for f in faults:
        print("FAIL", f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
