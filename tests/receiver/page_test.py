#!/usr/bin/python3
"""The receiver's page in Debian's headless chromium (chromium.py), against
receiver/ under PHP's built-in server (php_server.py):

- a post shows on an open page within 2 s (title, status, cover loaded and
  drawn, its alt text); a pause too;
- markup in every field is shown as text: no element made from it, and the
  texts read back as posted;
- the page's headers: a Content-Security-Policy without inline script or
  style, nothing that forbids framing;
- on a phone's width nothing runs off the side.

    page_test.py
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import images  # noqa: E402
import scenarios  # noqa: E402
from chromium import Chromium, chromium_binary  # noqa: E402
from php_server import Receiver, php_binary  # noqa: E402

TOKEN = "page-token"
SHOWN_WITHIN = 2.0  # seconds from a post to the page showing it
LOAD_TIMEOUT = 15.0
MARKUP = '<img id="evil" src="x" onerror="document.title=\'owned\'"><b id="bold">B</b>'
LONG_WORD = "Supercalifragilisticexpialidocious" * 3


def text_of(element_id):
    return "document.getElementById(%r).textContent" % element_id


def js_string(text):
    return repr(text).replace("\\'", "\\u0027")


def scenario_page(args, c):
    png = images.png(96, 96)
    with Receiver(token=TOKEN) as r, Chromium() as browser:
        c.eq("first post", r.post_data({"wm_data[status]": "1",
                                        "wm_data[title]": "Opening - Overture",
                                        "wm_id3[47]": "Overture", "wm_id3[61]": "Opening"}), 204)
        page = browser.open(r.url("/"))
        c.true("the page shows the first post",
               page.wait_for("document.body && document.body.dataset.state === 'ready' &&"
                             " %s === 'Overture'"
                             % text_of("title"), LOAD_TIMEOUT) is not None)

        # A new track with a cover: the picture first, then the data post
        # that names it, as the module sends them.
        hash_hex = images.sha1(png)
        c.eq("cover post", r.post_cover(png, hash_hex), 204)
        c.eq("track post", r.post_data({
            "wm_data[status]": "1", "wm_data[title]": "Second Band - Second Song",
            "wm_id3[47]": "Second Song", "wm_id3[61]": "Second Band",
            "wm_id3[29]": "Second Album", "wm_id3[80]": "2024",
            "wm_cover[hash]": hash_hex, "wm_cover[type]": "image/png"}), 204)
        took = page.wait_for("%s === 'Second Song'" % text_of("title"), SHOWN_WITHIN)
        print("title shown %s s after its post" % ("never" if took is None else "%.2f" % took))
        c.true("title shown within %.0f s" % SHOWN_WITHIN, took is not None)
        cover = ("(() => { const i = document.getElementById('cover');"
                 " const box = i.getBoundingClientRect();"
                 " return !i.hidden && i.complete && i.naturalWidth > 0 && box.width > 0 &&"
                 " box.height > 0; })()")
        took = page.wait_for(cover, SHOWN_WITHIN)
        print("cover drawn %s s after" % ("never" if took is None else "%.2f" % took))
        c.true("cover loaded and drawn", took is not None)
        c.eq("cover: picture size and alt",
             page.evaluate("[document.getElementById('cover').naturalWidth,"
                           " document.getElementById('cover').alt]"),
             [96, "Cover of Second Album"])
        c.eq("texts", page.evaluate("[%s, %s, %s, %s]" % (
            text_of("artist"), text_of("album"), text_of("status"),
            "document.querySelector('#history li .track').textContent")),
            ["Second Band", "Second Album \u00b7 2024", "Playing",
             "Second Band \u2013 Second Song"])
        c.eq("paused post", r.post_data({"wm_data[status]": "3",
                                         "wm_data[title]": "Second Band - Second Song",
                                         "wm_id3[47]": "Second Song",
                                         "wm_id3[61]": "Second Band"}), 204)
        c.true("pause shown within %.0f s" % SHOWN_WITHIN,
               page.wait_for("%s === 'Paused'" % text_of("status"), SHOWN_WITHIN) is not None)

        # Markup in every field, and a player title alone (no tags).
        fields = {"wm_data[status]": "1", "wm_data[title]": MARKUP + " player"}
        fields.update({"wm_id3[%d]" % n: MARKUP + " %d" % n for n in (47, 61, 29, 80, 68, 32, 4)})
        c.eq("markup post", r.post_data(fields), 204)
        c.true("markup shown as text",
               page.wait_for("%s === %s" % (text_of("title"), js_string(MARKUP + " 47")),
                             SHOWN_WITHIN) is not None)
        c.eq("markup texts", page.evaluate("[%s, %s, %s]" % (
            text_of("artist"), text_of("album"),
            "document.querySelector('#history li .track').textContent")),
            [MARKUP + " 61", MARKUP + " 29 \u00b7 " + MARKUP + " 80",
             MARKUP + " 61 \u2013 " + MARKUP + " 47"])
        c.eq("no element made from the texts", page.evaluate(
            "[document.querySelectorAll('#evil, #bold, main img:not(#cover), li img, li b')"
            ".length, document.title === 'owned']"), [0, False])
        c.eq("player title alone", (r.post_data({"wm_data[status]": "1",
                                                 "wm_data[title]": "Untagged stream"}),
                                    page.wait_for("%s === 'Untagged stream'" % text_of("title"),
                                                  SHOWN_WITHIN) is not None), (204, True))

        # A phone: 360 px wide, a title of one long word.
        page.viewport(360, 740, scale=2, mobile=True)
        r.post_data({"wm_data[status]": "1", "wm_data[title]": LONG_WORD,
                     "wm_id3[47]": LONG_WORD, "wm_id3[61]": "Band"})
        page.wait_for("%s === %s" % (text_of("title"), js_string(LONG_WORD)), SHOWN_WITHIN)
        c.eq("phone: nothing wider than the screen", page.evaluate(
            "document.documentElement.scrollWidth <= window.innerWidth"), True)

        answer = r.get("/")
        policy = answer.header("content-security-policy") or ""
        c.true("CSP: scripts and styles from the receiver only",
               "script-src 'self'" in policy and "style-src 'self'" in policy
               and "unsafe-inline" not in policy, policy)
        c.eq("framing allowed", ("frame-ancestors" in policy, answer.header("x-frame-options")),
             (False, None))
        html = answer.body.decode()
        c.eq("no inline script or style in the page",
             re.findall(r"<script(?![^>]*\bsrc=)[^>]*>|<style|\sstyle=|\son\w+=", html), [])


SCENARIOS = {"page": scenario_page}


def main():
    if scenarios.listed(SCENARIOS):
        return 0
    missing = [name for name, found in (("php", php_binary()), ("chromium", chromium_binary()))
               if found is None]
    if missing:
        print("not installed: %s (scripts/setup installs them)" % ", ".join(missing))
        return 1
    return scenarios.run("page", scenario_page, None)


if __name__ == "__main__":
    sys.exit(main())
