#!/usr/bin/python3
"""The Linux build against nginx and php-fpm (tests/support/php_stack.py):
three stand-in players at a 1 s interval, at the same time, against one
stack started for the run.

- store-first and answer-first receivers, 12 s each: every post nginx saw is
  stored in SQLite with the fields PHP decoded from it, and nginx logged no
  request as 499 (the client hung up before the answer);
- a path that answers 404: one box for the run, "The server answered 404 Not
  Found", although every tick posts.

And receiver/ as it ships, served by the same stack (receiver): one player
with the token playing two tracks with UTF-8 off, another without it.

    stack_test.py nginx-php|receiver --host BUILD/bin/trellicast-host
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import php_stack  # noqa: E402
import scenarios  # noqa: E402
from wire import mp3_file  # noqa: E402

RUN_SECONDS = 12
MISSING_SECONDS = 3.5  # ticks at 1, 2 and 3 s: the first outcome taken at 2 s
ARTIST, TITLE = "Stack & Co", "Caf\u00e9 = 100%"
BOX_404 = "[Error] The server answered 404 Not Found\n"


def start_player(args, tmp, name, url, seconds):
    """Starts the stand-in player posting to url every second for seconds,
    its output into files of tmp; gives the process."""
    config = os.path.join(tmp, name, "trellicast.conf")
    song = os.path.join(tmp, name + ".mp3")
    mp3_file(song, [("TPE1", ARTIST, False), ("TIT2", TITLE, True)])
    base = [args.host, "--config", config]
    for value in (["URL", url], ["Interval", "1"]):
        subprocess.run(base + ["set"] + value, check=True, timeout=20, stdout=subprocess.DEVNULL)
    with open(os.path.join(tmp, name + ".out"), "wb") as out, \
            open(os.path.join(tmp, name + ".err"), "wb") as err:
        return subprocess.Popen(base + ["play", "--track-seconds", "60", "--quit-after",
                                        str(seconds), song],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err)


def scenario_nginx_php(args, c):
    """Both receiver shapes and the 404 path, one player each, at once."""
    runs = {
        "store-first": ("/store-first.php", RUN_SECONDS),
        "answer-first": ("/answer-first.php", RUN_SECONDS),
        "missing": ("/missing", MISSING_SECONDS),
    }
    outcome = {}
    with tempfile.TemporaryDirectory(prefix="trellicast-stack-players-") as tmp, \
            php_stack.Stack() as stack:
        players = {}
        try:
            for name, (path, seconds) in runs.items():
                players[name] = start_player(args, tmp, name, stack.url(path), seconds)
            deadline = time.monotonic() + RUN_SECONDS + 30
            for name, player in players.items():
                try:
                    status = player.wait(max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    status = "timeout"
                with open(os.path.join(tmp, name + ".err"), "rb") as f:
                    outcome[name] = (status, f.read().decode("utf-8", "replace"))
        finally:
            for player in players.values():  # a timed-out or interrupted run
                if player.poll() is None:
                    player.kill()
                    player.wait()
        log = stack.log()
        rows = {shape: stack.rows(shape) for shape in ("store-first", "answer-first")}
        errors = stack.text("nginx-error.log").splitlines()
    for name, (status, err) in outcome.items():
        c.eq(name + ": player's exit", status, 0)
        if name != "missing":
            c.eq(name + ": boxes", err, "")
    for shape, stored in rows.items():
        path = runs[shape][0]
        seen = [r for r in log if r.path == path]
        closed = [r for r in seen if r.status == 499]
        connections = len({r.connection for r in seen})
        print("%s: %d posts, %d stored, %d logged 499, %d connections" %
              (shape, len(seen), len(stored), len(closed), connections))
        c.true(shape + ": a post every second", len(seen) >= RUN_SECONDS - 1,
               "(%d posts in %d s)" % (len(seen), RUN_SECONDS))
        c.eq(shape + ": posts stored", len(stored), len(seen))
        c.eq(shape + ": requests logged 499", len(closed), 0)
        c.eq(shape + ": every post a POST with a status", sorted({r.method for r in seen}),
             ["POST"])
        titles = {(row["fields"].get("wm_action"), row["fields"].get("wm_data", {}).get("title"))
                  for row in stored}
        c.eq(shape + ": fields decoded", titles, {("wm_data", ARTIST + " - " + TITLE)}
             if stored else set())
    missing = [r for r in log if r.path == "/missing"]
    print("missing: %d posts, statuses %s" % (len(missing), sorted({r.status for r in missing})))
    c.true("404: posted at every tick", len(missing) >= 2, "(%d posts)" % len(missing))
    c.eq("404: one box", outcome["missing"][1], BOX_404)
    return errors


RECEIVER_TOKEN = "stack-token"
RECEIVER_SECONDS = 7  # two tracks of 4 s: quits during the second
# Latin-1 frames hold Windows-1252 bytes (0x80 the euro sign), sent as
# stored with UTF-8 off; the UTF-16 frames go out as UTF-8 all the same.
RECEIVER_TRACKS = [
    [("TPE1", b"Zo\xeb & the Encoders", False),
     ("TIT2", b"Cr\xe8me \x80 <br\xfbl\xe9e>", False),
     ("TALB", b"'; DROP TABLE state; --", False)],
    [("TPE1", "Second \u2013 Band", True), ("TIT2", "\u03a9mega \u266b", True)],
]
BOX_403 = "[Error] The server answered 403 Forbidden\n"


def write_receiver_settings(args, config, url):
    """The module's settings for the receiver case: its URL, a post a
    second, text in the player's code page (Utf8 0)."""
    for name, value in (("URL", url), ("Interval", "1"), ("Utf8", "0")):
        subprocess.run([args.host, "--config", config, "set", name, value], check=True,
                       timeout=20, stdout=subprocess.DEVNULL)


def scenario_receiver(args, c):
    """receiver/ under nginx and php-fpm: what the module posts is what the
    receiver shows, each track once in its history, text read back whole;
    the post without the token refused (one box) and not stored."""
    with tempfile.TemporaryDirectory(prefix="trellicast-stack-receiver-") as tmp, \
            php_stack.Stack(token=RECEIVER_TOKEN) as stack:
        songs = [mp3_file(os.path.join(tmp, "%d.mp3" % i), frames, audio_frames=1)
                 for i, frames in enumerate(RECEIVER_TRACKS)]
        players = {}
        try:
            for name, key, seconds in (("keyed", RECEIVER_TOKEN, RECEIVER_SECONDS),
                                       ("keyless", "wrong", MISSING_SECONDS)):
                config = os.path.join(tmp, name + ".conf")
                write_receiver_settings(args, config, stack.url("/receiver/?key=" + key))
                with open(os.path.join(tmp, name + ".err"), "wb") as err:
                    players[name] = subprocess.Popen(
                        [args.host, "--config", config, "play", "--track-seconds", "4",
                         "--quit-after", str(seconds)] + songs,
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            for name, player in players.items():
                try:
                    c.eq(name + ": player's exit", player.wait(RECEIVER_SECONDS + 30), 0)
                except subprocess.TimeoutExpired:
                    c.true(name + ": player ended", False)
        finally:
            for player in players.values():
                if player.poll() is None:
                    player.kill()
                    player.wait()
        boxes = {}
        for name in players:
            with open(os.path.join(tmp, name + ".err"), "rb") as f:
                boxes[name] = f.read().decode("utf-8", "replace")
        state = stack.receiver_state()
        log = [r for r in stack.log()
               if r.path.startswith("/receiver/") and r.method == "POST"]
        errors = stack.text("nginx-error.log").splitlines() + stack.text(
            "php-errors.log").splitlines()
    statuses = sorted({r.status for r in log})
    print("receiver: %d posts, statuses %s" % (len(log), statuses))
    c.eq("boxes of the player with the token", boxes["keyed"], "")
    c.eq("boxes of the player without", boxes["keyless"], BOX_403)
    c.true("posts at every tick", len(log) >= RECEIVER_SECONDS, "(%d posts)" % len(log))
    c.eq("answers", statuses, [204, 403])
    c.eq("state", {k: state[k] for k in ("status", "title", "artist", "album", "playerTitle")},
         {"status": "playing", "title": "\u03a9mega \u266b", "artist": "Second \u2013 Band",
          "album": "", "playerTitle": "Second \u2013 Band - \u03a9mega \u266b"})
    c.eq("history", [(h["artist"], h["title"], h["album"]) for h in state["history"]],
         [("Second \u2013 Band", "\u03a9mega \u266b", ""),
          ("Zo\u00eb & the Encoders", "Cr\u00e8me \u20ac <br\u00fbl\u00e9e>",
           "'; DROP TABLE state; --")])
    return errors


SCENARIOS = {"nginx-php": scenario_nginx_php, "receiver": scenario_receiver}


def main():
    if scenarios.listed(SCENARIOS):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--host", required=True, help="the build's trellicast-host")
    args = parser.parse_args()
    if php_stack.missing():
        print("not installed: %s (scripts/setup installs them)" % ", ".join(php_stack.missing()))
        return 1
    return scenarios.run(args.scenario, SCENARIOS[args.scenario], args)


if __name__ == "__main__":
    sys.exit(main())
