#!/usr/bin/python3
"""The Linux build against nginx and php-fpm (tests/support/php_stack.py):
three stand-in players at a 1 s interval, at the same time, against one
stack started for the run.

- store-first and answer-first receivers, 12 s each: every post nginx saw is
  stored in SQLite with the fields PHP decoded from it, and nginx logged no
  request as 499 (the client hung up before the answer);
- a path that answers 404: one box for the run, "The server answered 404 Not
  Found", although every tick posts.

    stack_test.py nginx-php --host BUILD/bin/trellicast-host
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


SCENARIOS = {"nginx-php": scenario_nginx_php}


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
