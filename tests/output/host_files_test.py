#!/usr/bin/python3
"""The stand-in player with the module writing the files for streamers:
two tracks and the stop, with the posts off-limits to nothing (a loopback
receiver answers them) and Utf8 0, so a Latin-1 frame reaches the files as
stored and must be converted there.

Track 1 (Latin-1 frames) lies beside a folder image, which is its cover;
track 2 (UTF-16 frames: kanji and emoji) lies in a folder of its own and has
none. The folder is polled every 5 ms; each state must show up whole, in
order, and the stop must leave the stopped text and the transparent PNG.

Usage: host_files_test.py TRELLICAST_HOST
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wire  # noqa: E402

TEXTS = ("nowplaying.txt", "artist.txt", "title.txt", "album.txt")
JPEG = b"\xff\xd8\xff\xe0 a folder image"
PNG_SIZE = 68
STOPPED_TEXT = "Off air \u2713"


def read_all(folder):
    state = {}
    for name in TEXTS + ("nowplaying.json", "cover.png"):
        try:
            with open(os.path.join(folder, name), "rb") as f:
                state[name] = f.read()
        except OSError:
            state[name] = None
    return state


def run_case(host, with_url):
    """One play of two tracks and the stop; with_url False: an output folder
    and no URL, the files following the player alone."""
    faults = []
    receiver = wire.Server()
    with tempfile.TemporaryDirectory(prefix="trellicast-files.") as tmp:
        out = os.path.join(tmp, "stream")
        os.mkdir(out)
        config = os.path.join(tmp, "trellicast.conf")
        settings = [("Interval", "10"), ("Utf8", "0"), ("OutputFolder", out),
                    ("OutputTemplate", "%artist% \u2013 %title% [%album%, %year%]"),
                    ("OutputStopped", STOPPED_TEXT)]
        if with_url:
            settings.append(("URL", "http://127.0.0.1:%d/np" % receiver.port))
        for name, value in settings:
            subprocess.run([host, "--config", config, "set", name, value], check=True,
                           capture_output=True, timeout=20)
        one_dir, two_dir = os.path.join(tmp, "one"), os.path.join(tmp, "two")
        os.mkdir(one_dir)
        os.mkdir(two_dir)
        with open(os.path.join(one_dir, "Folder.JPG"), "wb") as f:
            f.write(JPEG)
        one = wire.mp3_file(os.path.join(one_dir, "01 R\u00f3s.mp3"), [
            ("TIT2", "Hopp\u00edpolla", False), ("TPE1", "Sigur R\u00f3s", False),
            ("TALB", "Takk\u00e9", False), ("TYER", "2005", False)])
        two = wire.mp3_file(os.path.join(two_dir, "02 \u6226\u5834.mp3"), [
            ("TIT2", "\u6226\u5834\u306e\u30e1\u30ea\u30fc\u30af\u30ea\u30b9\u30de\u30b9 \U0001f3a7",
             True), ("TPE1", "\u5742\u672c\u9f8d\u4e00", True), ("TALB", "Merry \U0001f384", True)])

        seen = []  # distinct folder states, in order
        stop = threading.Event()

        def poll():
            while not stop.is_set():
                state = read_all(out)
                if not seen or state != seen[-1]:
                    seen.append(state)
                time.sleep(0.005)
        poller = threading.Thread(target=poll, daemon=True)
        poller.start()
        run = subprocess.run([host, "--config", config, "play", "--track-seconds", "2",
                              "--quit-after", "5.5", one, two], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=60)
        time.sleep(0.2)
        stop.set()
        poller.join(5)
        final = read_all(out)
        overlay = os.path.exists(os.path.join(out, "overlay.html"))
    receiver.close()
    if run.returncode != 0:
        faults.append("the player ended with %d: %s" % (run.returncode, run.stderr))

    expected = [
        # (nowplaying.txt, artist.txt, title.txt, album.txt, status, cover)
        ("Sigur R\u00f3s \u2013 Hopp\u00edpolla [Takk\u00e9, 2005]", "Sigur R\u00f3s",
         "Hopp\u00edpolla", "Takk\u00e9", "playing", JPEG),
        ("\u5742\u672c\u9f8d\u4e00 \u2013 \u6226\u5834\u306e\u30e1\u30ea\u30fc\u30af\u30ea\u30b9"
         "\u30de\u30b9 \U0001f3a7 [Merry \U0001f384, ]", "\u5742\u672c\u9f8d\u4e00",
         "\u6226\u5834\u306e\u30e1\u30ea\u30fc\u30af\u30ea\u30b9\u30de\u30b9 \U0001f3a7",
         "Merry \U0001f384", "playing", None),
        (STOPPED_TEXT, STOPPED_TEXT, STOPPED_TEXT, STOPPED_TEXT, "stopped", None),
    ]
    # Whole states: every file of the set agreeing on the track.
    reached = []
    for state in seen:
        if any(state[n] is None for n in state):
            continue
        if state["nowplaying.json"].startswith(b"\xef\xbb\xbf") or any(
                state[n].startswith(b"\xef\xbb\xbf") for n in TEXTS):
            faults.append("a file starts with a byte order mark")
        try:
            doc = json.loads(state["nowplaying.json"].decode("utf-8"))
            texts = tuple(state[n].decode("utf-8") for n in TEXTS)
        except (UnicodeDecodeError, ValueError) as e:
            faults.append("not UTF-8 or not JSON: %s" % e)
            continue
        for want in expected:
            cover = want[5] if want[5] is not None else None
            cover_ok = state["cover.png"] == cover if cover else len(state["cover.png"]) == PNG_SIZE
            json_ok = doc["status"] == want[4] and (want[4] == "stopped" or (
                doc["title"], doc["artist"], doc["album"]) == (want[2], want[1], want[3]))
            if texts == want[:4] and json_ok and cover_ok and \
                    (not reached or reached[-1] != want):
                reached.append(want)
    if reached != expected:
        faults.append("states reached: %r" % [r[0] for r in reached])
    doc = json.loads(final["nowplaying.json"] or b"{}")
    if doc.get("status") != "stopped" or doc.get("cover") is not None:
        faults.append("at quit: %r" % doc)
    if not overlay:
        faults.append("no overlay.html")
    print("%s: %d folder states seen, %d of %d expected reached" % (
        "with a URL" if with_url else "files alone", len(seen), len(reached), len(expected)))
    return faults


def main():
    faults = run_case(sys.argv[1], True) + run_case(sys.argv[1], False)
    for f in faults:
        print("FAIL", f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
