#!/usr/bin/python3
"""receiver/ under PHP's built-in server (php_server.py), one scenario a
ctest test:

  bad-input   refused posts store nothing: wrong or missing key, bodies
              over 64 KB, covers whose hash or bytes are wrong or too big
  fields      SQL and markup in every field come back as the same text;
              statuses; Windows-1252 text read as such
  history     a row per track change, 100 kept; the JSON's ETag and 304;
              a cover announced, then stored
  concurrent  20 posts at once on a fresh data folder, all 204

    receiver_test.py SCENARIO
"""

import argparse
import os
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import images  # noqa: E402
import scenarios  # noqa: E402
from php_server import Receiver, form, php_binary  # noqa: E402

TOKEN = "s3cret-token"
LIMIT = 64 * 1024
MAX_COVER = 2 * 1024 * 1024
CONCURRENT = 20


def track(title, artist="Artist", status="1", **more):
    fields = {"wm_data[status]": status, "wm_data[title]": artist + " - " + title,
              "wm_id3[47]": title, "wm_id3[61]": artist}
    fields.update(more)
    return fields


def padded_to(fields, size):
    """fields with a comment (wm_id3[4]) that brings the form body, as
    post_data sends it, to exactly size bytes."""
    base = len(form([("wm_action", "wm_data")] + list(fields.items()) + [("wm_id3[4]", "")]))
    return dict(fields, **{"wm_id3[4]": "x" * (size - base)})


def stored_covers(r):
    folder = os.path.join(r.data_dir, "covers")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def scenario_bad_input(args, c):
    png = images.png()
    big = images.png() + b"\x00" * (MAX_COVER + 1 - len(png))  # a PNG, one byte too long
    text = b"<?php echo 'not a picture'; ?>"
    with Receiver(token=TOKEN) as r:
        c.eq("the first post", r.post_data(track("Kept")), 204)
        kept = r.state()
        cases = [
            ("empty key", lambda: r.post_data(track("Lost"), key=""), 403),
            ("key missing from the URL", lambda: r.request(
                "POST", "/", b"wm_action=wm_data&wm_data[title]=Lost",
                {"Content-Type": "application/x-www-form-urlencoded"}).status, 403),
            ("wrong key", lambda: r.post_data(track("Lost"), key="s3cret-tokeN"), 403),
            ("key one character short", lambda: r.post_data(track("Lost"), key=TOKEN[:-1]), 403),
            ("key given as an array", lambda: r.request(
                "POST", "/?key[]=" + TOKEN, b"wm_action=wm_data&wm_data[title]=Lost",
                {"Content-Type": "application/x-www-form-urlencoded"}).status, 403),
            ("body one byte over 64 KB", lambda: r.post_data(padded_to(track("Lost"), LIMIT + 1)),
             413),
            ("body of 1 MB", lambda: r.post_data(padded_to(track("Lost"), 1 << 20)), 413),
            ("unknown action", lambda: r.request(
                "POST", "/?key=" + TOKEN, b"wm_action=wm_other&wm_data[title]=Lost",
                {"Content-Type": "application/x-www-form-urlencoded"}).status, 400),
            ("cover with a wrong key", lambda: r.post_cover(png, images.sha1(png), key="x"), 403),
            ("cover whose hash is another's", lambda: r.post_cover(png, images.sha1(text)), 400),
            ("cover whose hash is not hex", lambda: r.post_cover(png, "../../config.php"), 400),
            ("cover that is not an image", lambda: r.post_cover(text, images.sha1(text),
                                                                "image/jpeg"), 415),
            ("cover over 2 MB", lambda: r.post_cover(big, images.sha1(big)), 413),
        ]
        for name, send, want in cases:
            c.eq(name + ": status", send(), want)
        c.eq("state after the refused posts", r.state(), kept)
        c.eq("covers stored after the refused posts", stored_covers(r), [])
        for claimed in (images.sha1(png), images.sha1(text), images.sha1(big)):
            c.eq("GET ?cover=%s... of a refused cover" % claimed[:8],
                 r.get("/?cover=" + claimed).status, 404)
        for path in ("/?cover=../config.php", "/?cover=", "/?cover[]=x"):
            c.eq("GET " + path, r.get(path).status, 404)

        # At the limits: accepted.
        c.eq("body of exactly 64 KB", r.post_data(padded_to(track("At the limit"), LIMIT)), 204)
        c.eq("stored at the limit", r.state()["title"], "At the limit")
        for name, data, mime in (("PNG", png, "image/png"), ("GIF", images.GIF, "image/gif"),
                                 ("WebP", images.WEBP, "image/webp"),
                                 ("JPEG", images.jpeg(), "image/jpeg"),
                                 ("PNG of 2 MB", big[:-1], "image/png")):
            c.eq(name + " cover: status", r.post_cover(data, images.sha1(data), mime), 204)
            got = r.get("/?cover=" + images.sha1(data))
            c.eq(name + " cover: served", (got.status, got.header("content-type"), got.body),
                 (200, mime, data))
            c.eq(name + " cover: headers", (got.header("cache-control"),
                                            got.header("x-content-type-options")),
                 ("public, max-age=31536000, immutable", "nosniff"))
        # The type served is what the bytes are, not what the post said.
        c.eq("GIF posted as image/png", r.post_cover(images.GIF, images.sha1(images.GIF),
                                                     "image/png"), 204)
        c.eq("GIF served as", r.get("/?cover=" + images.sha1(images.GIF)).header("content-type"),
             "image/gif")
        if c.failures:
            print(r.log())


HOSTILE = [
    "'); DROP TABLE state; --",
    "Robert'); DELETE FROM history WHERE ('1'='1",
    "<img src=x onerror=\"document.title='owned'\">",
    "<script>document.title='owned'</script>",
    "\" onmouseover=\"x\" & <b id=\"bold\">bold</b> &amp; &lt;",
    "%00 %s %n \\ ' \" ` ${x} {{x}}",
]
FRAMES = (47, 61, 29, 80, 68, 32, 4)
FIELD_OF = {47: "title", 61: "artist", 29: "album", 80: "year", 68: "track", 32: "genre",
            4: "comment"}
STATUSES = [("1", "playing"), ("3", "paused"), ("0", "stopped"), ("2", "stopped"),
            ("-1", "stopped"), ("x", "stopped"), ("", "stopped"), ("1.0", "stopped")]
# What the module sends with UTF-8 off (Windows-1252 bytes), and UTF-8 as is.
ENCODINGS = [
    (b"Caf\xe9 cr\xe8me", "Caf\u00e9 cr\u00e8me"),
    (b"\x80 \x93quoted\x94 \x85 \x9f", "\u20ac \u201cquoted\u201d \u2026 \u0178"),
    (b"\x81\x8d\x8f\x90\x9d", "\u0081\u008d\u008f\u0090\u009d"),
    ("Sigur R\u00f3s \u2013 \u5742\u672c \u266b".encode(),
     "Sigur R\u00f3s \u2013 \u5742\u672c \u266b"),
    (b"plain ASCII", "plain ASCII"),
]


def scenario_fields(args, c):
    with Receiver() as r:  # no token: every post accepted
        empty = r.state()
        c.eq("state before any post", {k: empty[k] for k in ("status", "title", "file", "cover",
                                                             "coverHash", "updated", "history")},
             {"status": "stopped", "title": "", "file": None, "cover": None, "coverHash": None,
              "updated": None, "history": []})
        for i, text in enumerate(HOSTILE):
            fields = {"wm_data[status]": "1", "wm_data[title]": text}
            fields.update({"wm_id3[%d]" % n: text + " #%d" % n for n in FRAMES})
            c.eq("hostile %d: status" % i, r.post_data(fields), 204)
            got = r.state()
            want = {FIELD_OF[n]: text + " #%d" % n for n in FRAMES}
            want["playerTitle"] = text
            c.eq("hostile %d: fields" % i, {k: got[k] for k in want}, want)
            c.eq("hostile %d: raw pairs" % i, got["id3"],
                 {str(n): text + " #%d" % n for n in FRAMES})
        c.eq("hostile: history rows", [h["playerTitle"] for h in r.state()["history"]],
             list(reversed(HOSTILE)))
        for sent, want in STATUSES:
            r.post_data(track("Status", status=sent))
            c.eq("wm_data[status]=%r" % sent, r.state()["status"], want)
        for raw, want in ENCODINGS:
            body = (b"wm_action=wm_data&wm_data[status]=1&wm_data[title]="
                    + b"".join(b"%%%02X" % byte for byte in raw)
                    + b"&wm_id3[47]=" + b"".join(b"%%%02X" % byte for byte in raw))
            c.eq("encoding %r: status" % raw, r.request(
                "POST", "/", body, {"Content-Type": "application/x-www-form-urlencoded"}).status,
                204)
            got = r.state()
            c.eq("encoding %r" % raw, (got["playerTitle"], got["title"]), (want, want))
        # Only what the module sends is kept: strings by frame number.
        c.eq("odd shapes", r.post_data([("wm_data[status]", "1"), ("wm_data[title]", "Odd"),
                                        ("wm_id3[47][]", "array"), ("wm_id3[x]", "named"),
                                        ("wm_id3[61]", "Only")]), 204)
        got = r.state()
        c.eq("odd shapes: kept", (got["title"], got["artist"], got["id3"]),
             ("", "Only", {"61": "Only"}))


def scenario_history(args, c):
    png = images.png()
    with Receiver(token=TOKEN) as r:
        first = r.get("/?format=json")
        c.eq("JSON: type and caching", (first.status, first.header("content-type"),
                                        first.header("cache-control")),
             (200, "application/json; charset=utf-8", "no-store"))
        etag = first.header("etag")
        again = r.get("/?format=json", {"If-None-Match": etag})
        c.eq("same ETag: 304, no body", (again.status, again.body), (304, b""))
        c.eq("other ETag: 200", r.get("/?format=json", {"If-None-Match": '"other"'}).status, 200)
        r.post_data(track("One"))
        after = r.get("/?format=json", {"If-None-Match": etag})
        c.eq("after a post: 200 with a new ETag", (after.status, after.header("etag") != etag),
             (200, True))
        c.eq("the new ETag: 304", r.get("/?format=json", {"If-None-Match": after.header(
            "etag")}).status, 304)

        # The same track again (a keep-alive, a pause) adds no row.
        for status in ("1", "3", "1"):
            r.post_data(track("One", status=status))
        r.post_data(track("Two"))
        r.post_data(track("One"))
        c.eq("rows on change only", [h["title"] for h in r.state()["history"]],
             ["One", "Two", "One"])
        c.eq("nothing playing: no row", (r.post_data({"wm_data[status]": "0",
                                                      "wm_data[title]": ""}),
                                         len(r.state()["history"])), (204, 3))
        for i in range(105):
            r.post_data(track("Song %03d" % i))
        c.eq("history kept", [h["title"] for h in r.state(history=1000)["history"]],
             ["Song %03d" % i for i in range(104, 4, -1)])
        c.eq("history shown by default", [h["title"] for h in r.state()["history"]],
             ["Song %03d" % i for i in range(104, 94, -1)])

        # A cover announced with the data before its picture came: the
        # hash, no URL; then the picture, and the URL.
        hash_hex = images.sha1(png)
        r.post_data(track("Covered", **{"wm_cover[hash]": hash_hex.upper(),
                                        "wm_cover[type]": "image/png"}))
        got = r.state()
        c.eq("announced cover", (got["cover"], got["coverHash"]), (None, hash_hex))
        c.eq("cover post", r.post_cover(png, hash_hex), 204)
        got = r.state()
        c.eq("stored cover", (got["cover"], got["coverHash"], got["history"][0]["cover"]),
             ("?cover=" + hash_hex, hash_hex, "?cover=" + hash_hex))
        c.eq("cover URL serves it", r.get("/" + got["cover"]).body, png)
        c.eq("a bad announced hash", (r.post_data(track("Covered", **{
            "wm_cover[hash]": "nothex"})), r.state()["coverHash"]), (204, None))


def scenario_concurrent(args, c):
    with Receiver(token=TOKEN) as r:
        c.eq("fresh data folder", os.path.exists(os.path.join(r.data_dir, "nowplaying.sqlite")),
             False)  # the first requests make the database, all at once
        start = threading.Barrier(CONCURRENT)
        statuses = [None] * CONCURRENT

        def send(i):
            start.wait(10)
            try:
                statuses[i] = r.post_data(track("Concurrent %02d" % i, "Crowd"))
            except OSError as e:
                statuses[i] = repr(e)

        threads = [threading.Thread(target=send, args=(i,)) for i in range(CONCURRENT)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        c.eq("every post answered 204", statuses, [204] * CONCURRENT)
        got = r.state(history=100)
        c.eq("one history row a post", sorted(h["title"] for h in got["history"]),
             ["Concurrent %02d" % i for i in range(CONCURRENT)])
        c.true("the state is one of them", got["title"] in {"Concurrent %02d" % i
                                                            for i in range(CONCURRENT)})
        c.eq("journal", open(os.path.join(r.data_dir, "nowplaying.sqlite"), "rb").read(20)[18:20],
             b"\x02\x02")  # the header's read and write versions: 2 is WAL
        print("statuses: %s" % sorted(set(map(str, statuses))))
        if c.failures:
            print(r.log())


SCENARIOS = {
    "bad-input": scenario_bad_input,
    "fields": scenario_fields,
    "history": scenario_history,
    "concurrent": scenario_concurrent,
}


def main():
    if scenarios.listed(SCENARIOS):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    if php_binary() is None:
        print("not installed: php (scripts/setup installs php-cli)")
        return 1
    return scenarios.run(args.scenario, SCENARIOS[args.scenario], args)


if __name__ == "__main__":
    sys.exit(main())
