#!/usr/bin/python3
"""receiver/ under PHP's built-in server (php_server.py), a scenario a test:

  bad-input    refused posts store nothing: key, size, cover hash and bytes;
               each accepted picture type; a token of "0"
  fields       SQL and markup in every field come back as sent; statuses;
               Windows-1252 text
  history      a row per track change, 100 kept; ETag and 304; covers
  covers       only pictures a stored post names are kept or taken
  data-folder  the data folder inside a site's web root, served by Apache
  concurrent   20 posts at once on a fresh data folder, all 204
"""

import os
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import images  # noqa: E402
import scenarios  # noqa: E402
from apache import Apache  # noqa: E402
from php_server import FORM, RECEIVER_DIR, Receiver, form  # noqa: E402

TOKEN = "s3cret-token"
LIMIT = 64 * 1024
MAX_COVER = 2 * 1024 * 1024


def track(title, status="1", **more):
    return dict({"wm_data[status]": status, "wm_data[title]": "Artist - " + title,
                 "wm_id3[47]": title, "wm_id3[61]": "Artist"}, **more)


def sized(size):
    """A track whose form body is exactly size bytes (a long comment)."""
    fields = track("Sized", **{"wm_id3[4]": ""})
    fields["wm_id3[4]"] = "x" * (size - len(form(dict({"wm_action": "wm_data"}, **fields))))
    return fields


def scenario_bad_input(args, c):
    png = images.png()
    big = png + b"\0" * (MAX_COVER + 1 - len(png))  # one byte over
    text = b"<?php echo 'not a picture'; ?>"
    with Receiver(token=TOKEN) as r:
        c.eq("the first post", r.post_data(track("Kept")), 204)
        kept = r.state()
        for name, status, want in [
            ("no key", r.post_data(track("Lost"), key=""), 403),
            ("wrong key", r.post_data(track("Lost"), key=TOKEN.upper()), 403),
            ("key one character short", r.post_data(track("Lost"), key=TOKEN[:-1]), 403),
            ("key as an array", r.request("POST", "/?key[]=" + TOKEN, form(track("Lost")),
                                          FORM)[0], 403),
            ("body one byte over 64 KB", r.post_data(sized(LIMIT + 1)), 413),
            ("body of 1 MB", r.post_data(sized(1 << 20)), 413),
            ("unknown action", r.post(b"wm_action=other&wm_data[title]=Lost", FORM), 400),
            ("cover, wrong key", r.post_cover(png, images.sha1(png), key="x"), 403),
            ("cover, another's hash", r.post_cover(png, images.sha1(text)), 400),
            ("cover, hash not hex", r.post_cover(png, "../../config.php"), 400),
            ("cover, not an image", r.post_cover(text, images.sha1(text), "image/jpeg"), 415),
            ("cover over 2 MB", r.post_cover(big, images.sha1(big)), 413),
            ("cover no post names", r.post_cover(png, images.sha1(png)), 409),
        ]:
            c.eq(name, status, want)
        c.eq("state after the refused posts", r.state(), kept)
        c.eq("covers after the refused posts", os.path.exists(os.path.join(r.data_dir, "covers")),
             False)
        for path in ["/?cover=" + images.sha1(data) for data in (png, text, big)] + [
                "/?cover=../config.php", "/?cover=", "/?cover[]=x"]:
            c.eq("GET " + path, r.get(path)[0], 404)

        c.eq("body of exactly 64 KB", (r.post_data(sized(LIMIT)), r.state()["title"]),
             (204, "Sized"))
        for name, data, mime in (("PNG", png, "image/png"), ("GIF", images.GIF, "image/gif"),
                                 ("WebP", images.WEBP, "image/webp"),
                                 ("JPEG", images.jpeg(), "image/jpeg"),
                                 ("PNG of 2 MB", big[:-1], "image/png"),
                                 ("BMP", images.bmp(), "image/bmp"),
                                 ("GIF posted as PNG", images.GIF + b"\0", "image/png")):
            # Named by a data post first, as the module does.
            r.post_data(track(name, **{"wm_cover[hash]": images.sha1(data),
                                       "wm_cover[type]": mime}))
            status = r.post_cover(data, images.sha1(data), mime)
            got, headers, body = r.get("/?cover=" + images.sha1(data))
            c.eq(name + " cover", (status, got, headers.get("content-type"), body == data,
                                   headers.get("cache-control"),
                                   headers.get("x-content-type-options")),
                 (204, 200, "image/gif" if "GIF" in name else mime, True,
                  "public, max-age=31536000, immutable", "nosniff"))

    with Receiver(token="0") as r:  # a token like any other
        c.eq("token 0", (r.post_data(track("Zero"), key=""), r.post_data(track("Zero"), key="00"),
                         r.post_data(track("Zero"))), (403, 403, 204))


HOSTILE = ["'); DROP TABLE state; --", "Robert'); DELETE FROM history WHERE ('1'='1",
           "<img src=x onerror=\"document.title='owned'\">", "<script>alert(1)</script>",
           "\" onmouseover=\"x\" & <b>bold</b> &amp; &lt; %00 %s \\ ` ${x} {{x}}"]
FIELDS = {47: "title", 61: "artist", 29: "album", 80: "year", 68: "track", 32: "genre",
          4: "comment"}
STATUSES = [("1", "playing"), ("3", "paused"), ("0", "stopped"), ("2", "stopped"),
            ("-1", "stopped"), ("x", "stopped"), ("", "stopped"), ("1.0", "stopped"),
            ("1\n", "stopped"), ("3\n", "stopped")]
CP1252_UNDEFINED = b"\x81\x8d\x8f\x90\x9d"  # read as the C1 control of the same number
ENCODINGS = [  # what the module sends with UTF-8 off (Windows-1252), and UTF-8 as is
    (b"Caf\xe9 cr\xe8me", "Caf\u00e9 cr\u00e8me"),
    (b"\x80 \x93quoted\x94 \x85 \x9f", "\u20ac \u201cquoted\u201d \u2026 \u0178"),
    (b"\x81\x8d\x8f\x90\x9d", "\u0081\u008d\u008f\u0090\u009d"),
    ("R\u00f3s \u2013 \u5742\u672c \u266b".encode(), "R\u00f3s \u2013 \u5742\u672c \u266b"),
    (bytes(range(0x80, 0x100)), "".join(chr(b) if b in CP1252_UNDEFINED
                                        else bytes([b]).decode("cp1252")
                                        for b in range(0x80, 0x100))),
]


def scenario_fields(args, c):
    with Receiver() as r:  # no token: every post accepted
        c.eq("before any post", r.state(), {
            "status": "stopped", "playerTitle": "", "title": "", "artist": "", "album": "",
            "year": "", "track": "", "genre": "", "file": None, "cover": None,
            "coverHash": None, "updated": None, "comment": "", "id3": {}, "history": []})
        for i, text in enumerate(HOSTILE):
            sent = {"wm_id3[%d]" % n: "%s #%d" % (text, n) for n in FIELDS}
            c.eq("hostile %d" % i, r.post_data(dict(sent, **{"wm_data[status]": "1",
                                                             "wm_data[title]": text})), 204)
            got = r.state()
            c.eq("hostile %d: fields" % i, ({f: got[f] for f in FIELDS.values()},
                                            got["playerTitle"], got["id3"]),
                 ({f: "%s #%d" % (text, n) for n, f in FIELDS.items()}, text,
                  {str(n): "%s #%d" % (text, n) for n in FIELDS}))
        c.eq("hostile: history", [h["playerTitle"] for h in r.state()["history"]],
             HOSTILE[::-1])
        for sent, want in STATUSES:
            r.post_data(track("Status", status=sent))
            c.eq("wm_data[status]=%r" % sent, r.state()["status"], want)
        for raw, want in ENCODINGS:
            c.eq("encoding %r" % raw, r.post_data({"wm_data[title]": raw, "wm_id3[47]": raw}),
                 204)
            got = r.state()
            c.eq("encoding %r: read" % raw, (got["playerTitle"], got["title"]), (want, want))
        c.eq("odd shapes", r.post_data({"wm_data[title]": "Odd", "wm_id3[47][]": "array",
                                        "wm_id3[x]": "named", "wm_id3[61]": "Only"}), 204)
        got = r.state()
        c.eq("odd shapes: kept", (got["title"], got["artist"], got["id3"]),
             ("", "Only", {"61": "Only"}))


def scenario_history(args, c):
    png = images.png()
    with Receiver(token=TOKEN) as r:
        status, headers, _ = r.get("/?format=json")
        c.eq("JSON headers", (status, headers["content-type"], headers["cache-control"]),
             (200, "application/json; charset=utf-8", "no-store"))
        etag = headers["etag"]
        c.eq("same ETag", r.get("/?format=json", {"If-None-Match": etag})[::2], (304, b""))
        c.eq("other ETag", r.get("/?format=json", {"If-None-Match": '"x"'})[0], 200)
        r.post_data(track("One"))
        status, headers, _ = r.get("/?format=json", {"If-None-Match": etag})
        c.eq("after a post", (status, headers["etag"] != etag), (200, True))

        for status in ("1", "3", "1"):  # a keep-alive, a pause: the same track
            r.post_data(track("One", status=status))
        r.post_data(track("Two"))
        r.post_data(track("One"))
        r.post_data({"wm_data[status]": "0", "wm_data[title]": ""})  # nothing playing
        c.eq("rows on change only", [h["title"] for h in r.state()["history"]],
             ["One", "Two", "One"])
        for i in range(105):
            r.post_data(track("Song %03d" % i))
        c.eq("history kept", [h["title"] for h in r.state(history=1000)["history"]],
             ["Song %03d" % i for i in range(104, 4, -1)])
        c.eq("history shown", len(r.get("/?format=json")[2].split(b'"started"')) - 1, 10)

        hash_hex = images.sha1(png)  # named by a data post before the picture came
        r.post_data(track("Covered", **{"wm_cover[hash]": hash_hex.upper(),
                                        "wm_cover[type]": "image/png"}))
        got = r.state()
        c.eq("named cover", (got["cover"], got["coverHash"]), (None, hash_hex))
        c.eq("cover post", r.post_cover(png, hash_hex), 204)
        got = r.state()
        c.eq("stored cover", (got["cover"], got["coverHash"], got["history"][0]["cover"]),
             ("?cover=" + hash_hex, hash_hex, "?cover=" + hash_hex))
        c.eq("its URL", r.get("/" + got["cover"])[2], png)
        for bad in ("nothex", hash_hex + "\n", hash_hex[:-1], hash_hex + "0"):
            r.post_data(track("Covered", **{"wm_cover[hash]": bad}))
            c.eq("a bad hash named: %r" % bad, r.state()["coverHash"], None)


def scenario_covers(args, c):
    pictures = [images.png(16 + i, 16) for i in range(5)]  # five distinct pictures
    hashes = [images.sha1(p) for p in pictures]
    start = images.png()
    big = [start + bytes([i]) * (MAX_COVER - len(start)) for i in range(1, 4)]
    with Receiver() as r:  # no token: anyone may post
        folder = os.path.join(r.data_dir, "covers")

        def stored():
            return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

        def data(title, cover=None):
            return r.post_data(track(title, **({} if cover is None
                                               else {"wm_cover[hash]": hashes[cover]})))

        def upload(i):
            return r.post_cover(pictures[i], hashes[i])

        def leftovers():
            os.makedirs(folder, exist_ok=True)
            for name, age in ((hashes[3], 0), ("old.part", 7200), ("fresh.part", 0)):
                path = os.path.join(folder, name)
                with open(path, "wb") as f:
                    f.write(pictures[3])
                os.utime(path, (time.time() - age,) * 2)
            return [data("Song 98")]  # the same track again: no new row

        c.eq("three keyless 2 MB uploads no post names",
             ([r.post_cover(b, images.sha1(b)) for b in big], stored()), ([409] * 3, []))
        for what, step, statuses, kept in [
            ("A names picture 0, which follows", lambda: [data("A", 0), upload(0)],
             [204, 204], [0]),
            ("B names 1, which follows; A's row keeps 0", lambda: [data("B", 1), upload(1)],
             [204, 204], [0, 1]),
            ("B shows 2 instead: 1 named no more", lambda: [data("B", 2), upload(2)],
             [204, 204], [0, 2]),
            ("1 again, named by nothing", lambda: [upload(1)], [409], [0, 2]),
            ("the stop: the history still names 0 and 2",
             lambda: [r.post_data({"wm_data[status]": "0", "wm_data[title]": ""})], [204],
             [0, 2]),
            ("99 tracks more: A's row is not kept", lambda: [data("Song %02d" % i)
                                                             for i in range(99)],
             [204] * 99, [2]),
            ("an older receiver's picture and an old partial one",
             leftovers, [204], [2, "fresh.part"]),
            ("D names 4, which follows; B's row is not kept",
             lambda: [data("D", 4), upload(4)], [204, 204], [4, "fresh.part"]),
        ]:
            c.eq(what, (step(), stored()),
                 (statuses, sorted(hashes[k] if isinstance(k, int) else k for k in kept)))
        c.eq("answers", [r.get("/?cover=" + h)[0] for h in hashes], [404, 404, 404, 404, 200])


def scenario_data_folder(args, c):
    """receiver/ copied into a site that Apache serves with .htaccess files
    honoured, its index.php run by PHP's built-in server, so its data lands
    in the copy's data/ as config.php has it by default."""
    png = images.png()
    for name, prepare in [
        ("as shipped", lambda data: None),
        ("data/ without its .htaccess (made by hand, copied without dot files)",
         lambda data: (shutil.rmtree(data, ignore_errors=True), os.mkdir(data))),
    ]:
        site = tempfile.mkdtemp(prefix="trellicast-site-")
        try:
            copy = os.path.join(site, "nowplaying")
            shutil.copytree(RECEIVER_DIR, copy,
                            ignore=shutil.ignore_patterns("*.sqlite*", "covers"))
            prepare(os.path.join(copy, "data"))
            with Receiver(root=copy) as r:
                posted = (r.post_data(track("Site", **{"wm_cover[hash]": images.sha1(png)})),
                          r.post_cover(png, images.sha1(png)))
            stored = ["data/nowplaying.sqlite", "data/covers/" + images.sha1(png)]
            c.eq(name + ": stored", (posted, [os.path.isfile(os.path.join(copy, path))
                                              for path in stored]), ((204, 204), [True, True]))
            for folder, dirs, files in os.walk(site):  # the web server reads what PHP wrote
                for entry in [folder] + [os.path.join(folder, f) for f in files]:
                    os.chmod(entry, os.stat(entry).st_mode | 0o005 | (0o050 if entry == folder
                                                                      else 0))
            with Apache(site) as a:
                got = [a.get("/nowplaying/" + path) for path in ["page.css"] + stored]
                c.eq(name + ": through Apache", got, [200, 403, 403])
                if got != [200, 403, 403]:
                    print(a.log())
        finally:
            shutil.rmtree(site, ignore_errors=True)


def scenario_concurrent(args, c):
    count = 20
    with Receiver(token=TOKEN) as r:
        start = threading.Barrier(count)
        statuses = [None] * count

        def send(i):
            start.wait(10)  # all at once, on a data folder not made yet
            try:
                statuses[i] = r.post_data(track("Concurrent %02d" % i))
            except OSError as e:
                statuses[i] = repr(e)

        threads = [threading.Thread(target=send, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        print("statuses: %s" % sorted(set(map(str, statuses))))
        c.eq("every post answered", statuses, [204] * count)
        c.eq("a row a post", sorted(h["title"] for h in r.state(history=100)["history"]),
             ["Concurrent %02d" % i for i in range(count)])
        with open(os.path.join(r.data_dir, "nowplaying.sqlite"), "rb") as db:
            c.eq("write-ahead log", db.read(20)[18:20], b"\x02\x02")  # header: WAL versions
        if c.failures:
            print(r.log())


SCENARIOS = {"bad-input": scenario_bad_input, "fields": scenario_fields,
             "history": scenario_history, "covers": scenario_covers,
             "data-folder": scenario_data_folder, "concurrent": scenario_concurrent}

if __name__ == "__main__":
    if scenarios.listed(SCENARIOS):
        sys.exit(0)
    name = sys.argv[1] if len(sys.argv) == 2 else None
    if name not in SCENARIOS:
        sys.exit("usage: receiver_test.py %s" % "|".join(SCENARIOS))
    sys.exit(scenarios.run(name, SCENARIOS[name], None))
