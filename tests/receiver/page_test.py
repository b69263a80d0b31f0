#!/usr/bin/python3
"""The receiver's page, open in Debian's headless chromium (chromium.py)
against receiver/ under PHP's built-in server (php_server.py): a post shows
within 2 s (title, cover loaded and drawn, a pause); markup in every field
is shown as text; the page's policy; a phone's width."""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import images  # noqa: E402
import scenarios  # noqa: E402
from chromium import Chromium  # noqa: E402
from php_server import Receiver  # noqa: E402

SHOWN_WITHIN = 2.0  # seconds from a post to the page showing it
MARKUP = '<img id="evil" src="x" onerror="document.title=\'owned\'"><b id="bold">B</b>'
LONG_WORD = "Supercalifragilisticexpialidocious" * 3
COVER_DRAWN = ("(i => !i.hidden && i.complete && i.naturalWidth > 0 &&"
               " i.getBoundingClientRect().width > 0)(document.getElementById('cover'))")


def text_is(element_id, text):
    return "document.getElementById(%r).textContent === %s" % (
        element_id, repr(text).replace("\\'", "\\u0027"))


def scenario_page(args, c):
    png = images.png(96, 96)
    with Receiver(token="page-token") as r, Chromium() as browser:
        r.post_data({"wm_data[status]": "1", "wm_data[title]": "Overture"})
        tab = browser.open(r.url("/"))
        c.true("the page loads", browser.wait_for(tab, text_is("title", "Overture"), 15) is not None)

        def shown(what, fields, expression):
            c.eq(what + ": post", r.post_data(fields), 204)
            took = browser.wait_for(tab, expression, SHOWN_WITHIN)
            print("%s: shown %s" % (what, "never" if took is None else "in %.2f s" % took))
            c.true(what + ": shown within %.0f s" % SHOWN_WITHIN, took is not None)

        # The data post that names the picture, then the picture, as the module sends them.
        song = {"wm_data[status]": "1", "wm_data[title]": "Band - Song", "wm_id3[47]": "Song",
                "wm_id3[61]": "Band", "wm_id3[29]": "Album", "wm_id3[80]": "2024",
                "wm_cover[hash]": images.sha1(png)}
        c.eq("cover post", (r.post_data(song), r.post_cover(png, images.sha1(png))), (204, 204))
        shown("track", song, text_is("title", "Song") + " && " + COVER_DRAWN)
        c.eq("texts", browser.evaluate(tab, "['artist', 'album', 'status'].map(id =>"
                                            " document.getElementById(id).textContent).concat("
                                            "document.getElementById('cover').alt)"),
             ["Band", "Album \u00b7 2024", "Playing", "Cover of Album"])
        shown("pause", dict(song, **{"wm_data[status]": "3"}), text_is("status", "Paused"))

        markup = {"wm_id3[%d]" % n: "%s %d" % (MARKUP, n) for n in (47, 61, 29, 80, 68, 32, 4)}
        shown("markup", dict(markup, **{"wm_data[title]": MARKUP}), " && ".join([
            text_is("title", MARKUP + " 47"), text_is("artist", MARKUP + " 61"),
            text_is("album", "%s 29 \u00b7 %s 80" % (MARKUP, MARKUP)),
            "document.querySelector('li .track').textContent === document.getElementById("
            "'artist').textContent + ' \u2013 ' + document.getElementById('title').textContent"]))
        c.eq("no element made from a text", browser.evaluate(
            tab, "[document.querySelectorAll('#evil, #bold, li img, li b, h1 *').length,"
                 " document.title === 'owned']"), [0, False])
        shown("player title alone", {"wm_data[status]": "1", "wm_data[title]": "Untagged"},
              text_is("title", "Untagged"))

        browser.send("Emulation.setDeviceMetricsOverride", tab, width=360, height=740,
                     deviceScaleFactor=2, mobile=True)
        shown("phone", {"wm_data[title]": LONG_WORD}, text_is("title", LONG_WORD))
        c.eq("phone: nothing wider than the screen", browser.evaluate(
            tab, "document.documentElement.scrollWidth <= window.innerWidth"), True)

        _, headers, body = r.get("/")
        policy = headers.get("content-security-policy", "")
        c.true("policy: script and style from the receiver only", "script-src 'self'" in policy
               and "style-src 'self'" in policy and "unsafe-inline" not in policy, policy)
        c.eq("framing allowed", ("frame-ancestors" in policy, headers.get("x-frame-options")),
             (False, None))
        c.eq("no inline script or style", re.findall(
            r"<script(?![^>]*\bsrc=)[^>]*>|<style|\sstyle=|\son\w+=", body.decode()), [])


if __name__ == "__main__":
    if scenarios.listed({"page": scenario_page}):
        sys.exit(0)
    sys.exit(scenarios.run("page", scenario_page, None))
