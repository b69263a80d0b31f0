#!/usr/bin/python3
"""The corpus check of the tag walk.

Reads every file under the folders given, and the hand-made damaged tags
(tag_corpus_read --write-cases), through the walk the plug-in uses, and
compares each file's pairs with a reference reading by mutagen: every frame
of an ID3 tag (a DSF file's too), and for other formats the title, artist
and album. Prints counts by class (as expected / lost / garbled) and by
format, and the slowest first read (meaningful in a release build).

  /usr/bin/python3 tests/tags/corpus_check.py TOOL [--save F] [--same-as F] [--max-ms N]
                                              [--details] FOLDER...

TOOL is build/<preset>/bin/tag_corpus_read. --save writes each file's pairs
read with utf8Setting off (Latin-1 as stored) to F; --same-as F lists the
files whose pairs so read differ from those saved in F (from an earlier
build) although their tag needed no repair. Exit status 1 when a file's
ID3 tag is lost or garbled, a read takes over --max-ms milliseconds, or
--same-as finds a difference.
"""
import argparse
import collections
import io
import json
import os
import subprocess
import sys
import tempfile

import mutagen
import mutagen.dsf
import mutagen.id3

FRAME_TEXT_CHARS = 1024


def run_tool(tool, args, stored=False):
    out = {}
    flags = ["--stored"] if stored else []
    for i in range(0, len(args), 200):
        text = subprocess.run([tool] + flags + args[i:i + 200], check=True, capture_output=True,
                              timeout=300).stdout.decode()
        for line in text.splitlines():
            us, repaired, path, pairs = line.split("\t")
            out[path] = {
                "us": int(us),
                "repaired": repaired == "1",
                "pairs": [(int(n), bytes.fromhex(h).decode("utf-8", "replace"))
                          for n, h in (p.split(":") for p in pairs.split())],
            }
    return out


def cut(text):
    data = text.encode("utf-8")[:FRAME_TEXT_CHARS]
    return data.decode("utf-8", "ignore")


def frame_id(frame):
    fid = frame.FrameID
    if len(fid) == 3:
        # An ID3v2.2 frame: the four-character id of the frame it names.
        for cls in type(frame).__mro__[1:]:
            if len(cls.__name__) == 4 and cls.__name__.isupper():
                return cls.__name__
    return fid


def frame_value(fid, frame):
    if fid.startswith("W"):
        return frame.url
    if hasattr(frame, "people"):
        items = [x for pair in frame.people for x in pair]
        return "/".join(items) if any(items) else ""
    if fid in ("USLT",):
        return str(frame.text)
    if fid.startswith("T") or fid == "COMM":
        return "/".join(str(t) for t in frame.text)
    return ""


def id3_reference(path):
    """(format, [(frame id, value)]) of the ID3 tag mutagen reads, or None."""
    try:
        if open(path, "rb").read(4) == b"DSD ":
            tags = mutagen.dsf.DSF(path).tags
        else:
            # An ID3v1 tag beside an ID3v2 tag is not merged into it: the
            # walk reads one of them.
            try:
                tags = mutagen.id3.ID3(path, translate=False, load_v1=False)
            except mutagen.id3.ID3NoHeaderError:
                tags = mutagen.id3.ID3(path, translate=False)
            except mutagen.id3.error:
                # A tag cut short by the file's end: read with the rest of
                # it zero, as padding.
                data = open(path, "rb").read()
                size = 10 + sum((b & 0x7F) << s for b, s in zip(data[6:10], (21, 14, 7, 0)))
                padded = io.BytesIO(data + bytes(max(0, size - len(data))))
                tags = mutagen.id3.ID3(padded, translate=False, load_v1=False)
    except Exception:
        return None
    if tags is None:
        return None
    version = tags.version
    fmt = "ID3v%d.%d" % (version[0], version[1]) if version[0] == 2 else "ID3v1"
    if path.endswith(".dsf"):
        fmt = "DSF " + fmt
    pairs = []
    for frame in tags.values():
        fid = frame_id(frame)
        if version[0] == 1 and fid == "TDRC":
            fid = "TYER"  # id3lib's frame for an ID3v1 year
        pairs.append((fid, frame_value(fid, frame)))
    for raw in getattr(tags, "unknown_frames", []):
        # mutagen leaves a v2.2.1 compressed meta frame unread; the walk
        # reads the frames inside it instead.
        if not raw.startswith(b"CDM"):
            pairs.append((raw[:4].decode("latin-1"), ""))
    return fmt, pairs


FIELDS = {"TIT2": ("title", "\xa9nam", "wm/title"),
          "TPE1": ("artist", "\xa9art", "author"),
          "TALB": ("album", "\xa9alb", "wm/albumtitle")}


def other_reference(path):
    """(format, [(frame id, value)]) of title, artist and album, or None."""
    try:
        f = mutagen.File(path)
    except Exception:
        return None
    if f is None or f.tags is None:
        return None
    fmt = type(f).__name__
    pairs = []
    items = {}
    try:
        for key, value in f.tags.items():
            items.setdefault(str(key).lower(), value)
    except Exception:
        return fmt, []
    for fid, keys in FIELDS.items():
        for key in keys:
            if key in items:
                value = items[key]
                values = value if isinstance(value, list) else [value]
                text = "/".join(str(v) for v in values)
                if text:  # an empty value is not in the property map
                    pairs.append((fid, text))
                break
    return fmt, pairs


def reference(path):
    with open(path, "rb") as f:
        head = f.read(4)
    if head[:3] == b"ID3" or head == b"DSD ":
        got = id3_reference(path)
        if got is not None and got[1]:
            return got, True
    got = other_reference(path)
    if got is not None:
        return got, False
    got = id3_reference(path)  # an ID3v1 tag alone
    return (got, True) if got is not None else (None, False)


def genre_equal(expected, actual):
    # "(80)", "80" and "Hip-Hop" name one genre.
    def genres(text):
        return mutagen.id3.TCON(encoding=0, text=text.split("/")).genres
    try:
        return genres(expected) == genres(actual)
    except Exception:
        return False


def classify(expected, actual, whole):
    """'as expected', 'lost' or 'garbled', and the differing pairs."""
    left = list(actual)
    lost, garbled = [], []
    for n, fid, value in expected:
        # A frame without a number goes out with the empty value.
        value = cut(value) if n != 0 else ""
        match = next((p for p in left if p[0] == n and p[1] == value), None)
        if match is None and fid == "TCON":
            match = next((p for p in left if p[0] == n and genre_equal(value, p[1])), None)
        if match is not None:
            left.remove(match)
            continue
        same = next((p for p in left if p[0] == n), None)
        if same is not None:
            left.remove(same)
            garbled.append((fid, value, same[1]))
        else:
            lost.append((fid, value))
    cls = "garbled" if garbled else "lost" if lost else "as expected"
    return cls, lost, garbled, left if whole else []


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("folders", nargs="*")
    ap.add_argument("--save")
    ap.add_argument("--same-as")
    ap.add_argument("--details", action="store_true")
    ap.add_argument("--max-ms", type=float)
    args = ap.parse_args()

    cases = tempfile.mkdtemp(prefix="corpus-cases-")
    subprocess.run([args.tool, "--write-cases", cases], check=True, timeout=60)
    files = [os.path.join(cases, n) for n in sorted(os.listdir(cases)) if n != "expected.txt"]
    for folder in args.folders:
        for root, _, names in os.walk(folder):
            files += [os.path.join(root, n) for n in sorted(names)]
    files = [f for f in files if os.path.isfile(f) and "\t" not in f and "\n" not in f]

    read = run_tool(args.tool, files)
    ids = set()
    refs = {}
    for path in files:
        refs[path] = reference(path)
        if refs[path][0] is not None:
            ids.update(fid for fid, _ in refs[path][0][1])
    numbers = {}
    ids = sorted(i for i in ids if len(i) == 4 and i.isalnum() and i.isascii())
    for line in subprocess.run([args.tool, "--numbers"] + ids, check=True,
                               capture_output=True).stdout.decode().splitlines():
        fid, n = line.rsplit(" ", 1)
        numbers[fid] = int(n)

    by_class = collections.Counter()
    by_format = collections.defaultdict(collections.Counter)
    slowest = (0, "")
    failed = False
    for path in files:
        got = read[path]
        slowest = max(slowest, (got["us"], path))
        ref, whole = refs[path]
        if ref is None:
            fmt = "no reference reading"
            cls, lost, garbled, extra = ("no tag" if not got["pairs"] else "unreferenced", [], [], [])
            if args.details and got["pairs"]:
                print("%s [no reference reading] %s" % (path, got["pairs"][:4]))
        else:
            fmt, pairs = ref
            expected = [(numbers.get(fid, 0), fid, value) for fid, value in pairs]
            cls, lost, garbled, extra = classify(expected, got["pairs"], whole)
        by_class[cls] += 1
        by_format[fmt][cls] += 1
        # Only ID3 tags are compared frame by frame; other formats on three
        # fields, for information.
        if cls in ("lost", "garbled") and whole:
            failed = True
        if args.details and (lost or garbled or extra):
            print("%s [%s] %s" % (path, fmt, cls))
            for fid, value in lost:
                print("   lost    %s %r" % (fid, value[:60]))
            for fid, value, have in garbled:
                print("   garbled %s %r -> %r" % (fid, value[:60], have[:60]))
            for n, have in extra:
                print("   extra   %d %r" % (n, have[:60]))

    print("corpus: %d files (%d hand-made)" % (len(files), len(os.listdir(cases)) - 1))
    print("by class: " + ", ".join("%s %d" % kv for kv in sorted(by_class.items())))
    print("by format:")
    for fmt in sorted(by_format):
        counts = by_format[fmt]
        print("  %-22s %s" % (fmt, ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    print("slowest first read: %.2f ms (%s)" % (slowest[0] / 1000.0, slowest[1]))
    if args.max_ms is not None and slowest[0] / 1000.0 > args.max_ms:
        failed = True

    stored = run_tool(args.tool, files, stored=True)
    names = {p: (os.path.relpath(p, cases) if p.startswith(cases) else p) for p in files}
    if args.save:
        with open(args.save, "w") as f:
            json.dump({names[p]: stored[p]["pairs"] for p in files}, f)
    if args.same_as:
        with open(args.same_as) as f:
            before = json.load(f)
        changed = [p for p in files if names[p] in before and not stored[p]["repaired"]
                   and [list(x) for x in stored[p]["pairs"]] != before[names[p]]]
        repaired = sum(1 for p in files if stored[p]["repaired"])
        print("tags repaired: %d; unrepaired files whose pairs changed: %d" % (repaired, len(changed)))
        for p in changed:
            print("   changed " + names[p])
        if changed:
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
