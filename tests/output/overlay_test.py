#!/usr/bin/python3
"""overlay.html as the writer leaves it, opened from disk by Debian's
headless Chromium with default flags: it shows what plays, every text as
text, the cover by its hash, and fades when nothing plays.

Usage: overlay_test.py OUTPUT_DRIVE
"""
import html
import os
import re
import subprocess
import sys
import tempfile

CHROMIUM = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--virtual-time-budget=3000", "--dump-dom"]

MARKUP = "<img src=x onerror=alert(1)>"
CASES = [
    # status, title, artist, album, cover?
    ("playing", "坂本龍一 – 戦場のメリークリスマス 🎧", "Ryuichi 🎹", "Merry Christmas ✓", True),
    ("playing", MARKUP, "<b>bold</b> & co", "\"quoted\" 'album'", False),
    ("paused", "Paused song", "Artist", "Album", False),
    ("stopped", "", "", "", False),
]


def element_text(dom, element_id):
    m = re.search(r'<div id="%s"[^>]*>(.*?)</div>' % element_id, dom, re.S)
    return html.unescape(m.group(1)) if m else None


def main():
    drive = sys.argv[1]
    problems = []
    with tempfile.TemporaryDirectory(prefix="trellicast-overlay.") as top:
        cover = os.path.join(top, "art.png")
        subprocess.run(["/usr/bin/python3", "-c", "import sys,zlib,struct\n"
                        "c=lambda t,d:struct.pack('>I',len(d))+t+d+struct.pack('>I',zlib.crc32(t+d))\n"
                        "raw=b''.join(b'\\0'+bytes([200,60,90])*8 for _ in range(8))\n"
                        "sys.stdout.buffer.write(b'\\x89PNG\\r\\n\\x1a\\n'+c(b'IHDR',struct.pack('>IIBBBBB',8,8,8,2,0,0,0))"
                        "+c(b'IDAT',zlib.compress(raw))+c(b'IEND',b''))"],
                       stdout=open(cover, "wb"), check=True)
        for n, (status, title, artist, album, with_cover) in enumerate(CASES):
            folder = os.path.join(top, "case%d" % n)
            os.mkdir(folder)
            args = [drive, "fill", folder, status, title, artist, album] + ([cover] if with_cover else [])
            subprocess.run(args, check=True, timeout=30)
            profile = os.path.join(top, "profile%d" % n)
            label = "case %d (%s %r)" % (n, status, title)
            try:
                run = subprocess.run(CHROMIUM + ["--user-data-dir=" + profile,
                                                 "file://" + os.path.join(folder, "overlay.html")],
                                     capture_output=True, timeout=60)
            except subprocess.TimeoutExpired:
                # A page that ran a text as markup can hang on its alert().
                problems.append("%s: the page never finished" % label)
                continue
            dom = run.stdout.decode("utf-8", "replace")
            card = re.search(r'<div id="card" class="([^"]*)"', dom)
            if not card or card.group(1) != status:
                problems.append("%s: card class %r" % (label, card and card.group(1)))
            if status != "stopped":
                for element_id, want in (("title", title), ("artist", artist), ("album", album)):
                    got = element_text(dom, element_id)
                    if got != want:
                        problems.append("%s: %s shows %r" % (label, element_id, got))
            if re.search(r'<img src="x"|<img[^>]*onerror|<b>bold', dom):
                problems.append("%s: a text became markup" % label)
            img = re.search(r'<img id="cover"[^>]*>', dom)
            if with_cover and (not img or 'src="cover.png?h=' not in img.group(0)
                               or 'class="none"' in img.group(0)):
                problems.append("%s: cover not shown: %r" % (label, img and img.group(0)))
            if not with_cover and img and 'class="none"' not in img.group(0):
                problems.append("%s: cover shown without one: %r" % (label, img.group(0)))
            print("%s: %s" % (label, "ok" if not any(p.startswith(label) for p in problems) else "FAIL"))
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
