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

And covers (covers): one player with SendCover on, 12 s of three tracks
whose tags hold two distinct pictures, the page open in headless chromium:
every post answered 204, each picture uploaded once, each title on the page
within 2 s of its first post, and each cover drawn.

    stack_test.py nginx-php|receiver|covers --host BUILD/bin/trellicast-host
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import php_stack  # noqa: E402
import scenarios  # noqa: E402
import wire  # noqa: E402
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


COVER_TRACK_SECONDS = 4
# Three tracks, two pictures: the third shows the first's again.
COVER_TRACKS = [("Red Shift", (200, 40, 40)), ("Green Room", (40, 200, 60)),
                ("Red Again", (200, 40, 40))]
SHOWN_WITHIN = 2.0  # seconds from a track's first post to the page showing it
COVER_DRAWN = ("(i => !i.hidden && i.complete && i.naturalWidth > 0 &&"
               " i.src.indexOf(%r) >= 0)(document.getElementById('cover'))")


def cover_songs(tmp):
    """The three tagged files with their pictures; gives (paths, SHA-1s)."""
    paths, hashes = [], []
    for i, (title, tint) in enumerate(COVER_TRACKS):
        picture = wire.png(120, 120, tint)
        paths.append(mp3_file(os.path.join(tmp, "%d.mp3" % i),
                              [("TPE1", "Cover Band"), ("TIT2", title),
                               wire.picture_frame(picture)], audio_frames=1))
        hashes.append(hashlib.sha1(picture).hexdigest())
    return paths, hashes


def watch_page(browser, tab, hashes, seen):
    """Follows the page while the player plays: when each track's title
    shows (time.time()), and whether its cover was drawn then."""
    for i, (title, _) in enumerate(COVER_TRACKS):
        shown = "document.getElementById('title').textContent === %r" % title
        took = browser.wait_for(tab, shown, COVER_TRACK_SECONDS + 5)
        at = time.time()
        drawn = took is not None and browser.wait_for(
            tab, COVER_DRAWN % hashes[i], SHOWN_WITHIN) is not None
        seen.append((title, at if took is not None else None, drawn))


def scenario_covers(args, c):
    """receiver/ under nginx and php-fpm with SendCover on: every post
    answered, each distinct picture uploaded once, the page following."""
    chromium = os.path.join(HERE, "..", "receiver")
    sys.path.insert(0, chromium)
    from chromium import Chromium  # noqa: E402
    seconds = COVER_TRACK_SECONDS * len(COVER_TRACKS)
    with tempfile.TemporaryDirectory(prefix="trellicast-stack-covers-") as tmp, \
            php_stack.Stack(token=RECEIVER_TOKEN) as stack, Chromium() as browser:
        songs, hashes = cover_songs(tmp)
        config = os.path.join(tmp, "covers.conf")
        write_receiver_settings(args, config, stack.url("/receiver/?key=" + RECEIVER_TOKEN))
        subprocess.run([args.host, "--config", config, "set", "SendCover", "1"], check=True,
                       timeout=20, stdout=subprocess.DEVNULL)
        tab = browser.open(stack.url("/receiver/"))
        c.true("the page loads", browser.wait_for(
            tab, "document.getElementById('title') !== null", 15) is not None)
        seen = []
        with open(os.path.join(tmp, "player.err"), "wb") as err:
            player = subprocess.Popen(
                [args.host, "--config", config, "play", "--track-seconds",
                 str(COVER_TRACK_SECONDS), "--quit-after", str(seconds)] + songs,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            try:
                watch_page(browser, tab, hashes, seen)
                c.eq("player's exit", player.wait(seconds + 30), 0)
            finally:
                if player.poll() is None:
                    player.kill()
                    player.wait()
        with open(os.path.join(tmp, "player.err"), "rb") as f:
            boxes = f.read().decode("utf-8", "replace")
        state = stack.receiver_state()
        log = [r for r in stack.log() if r.path.startswith("/receiver/") and r.method == "POST"]
        uploads = [r for r in log if r.length > 4096]
        stored = sorted(os.listdir(os.path.join(stack.tmp, "receiver-data", "covers")))
        errors = stack.text("nginx-error.log").splitlines() + stack.text(
            "php-errors.log").splitlines()
    started = {h["title"]: h["started"] / 1000.0 for h in state["history"]}
    print("covers: %d posts (%d uploads), statuses %s" % (
        len(log), len(uploads), sorted({r.status for r in log})))
    c.eq("boxes", boxes, "")
    c.true("posts at every tick", len(log) - len(uploads) >= seconds, "(%d posts)" % len(log))
    c.eq("every post stored (204)", sorted({r.status for r in log}), [204])
    c.eq("pictures stored", stored, sorted(set(hashes)))
    c.eq("one upload per distinct picture", len(uploads), len(set(hashes)))
    c.eq("history with covers", [(h["title"], h["coverHash"], h["cover"] is not None)
                                 for h in reversed(state["history"])],
         [(t, hashes[i], True) for i, (t, _) in enumerate(COVER_TRACKS)])
    for title, at, drawn in seen:
        delay = None if at is None or title not in started else at - started[title]
        print("covers: %s shown %s after its first post" % (
            title, "never" if delay is None else "%.2f s" % delay))
        c.true(title + ": shown within %.0f s" % SHOWN_WITHIN,
               delay is not None and delay <= SHOWN_WITHIN, "(%s)" % delay)
        c.true(title + ": cover drawn", drawn)
    return errors


SCENARIOS = {"nginx-php": scenario_nginx_php, "receiver": scenario_receiver,
             "covers": scenario_covers}


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
