#!/usr/bin/env python3
"""The settings dialog is written down three times: the Windows template
(dialog/resources/settings.rc), the form as data the terminal dialog draws
(dialog/resources/settings_form.h) and what the Wine suite expects the
compiled template to hold (TEMPLATE in tests/win32/winetest.py). This test
reads all three and fails on any difference: ids, order, texts, places,
sizes, caption, and the kind each control's class and style make it."""
import ast
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RESOURCES = os.path.join(ROOT, "dialog", "resources")

# Button styles: BS_GROUPBOX 7, BS_DEFPUSHBUTTON 1, BS_PUSHBUTTON 0,
# BS_AUTOCHECKBOX 3 (the low four bits); SS_RIGHT 2; ES_NUMBER 0x2000.
BUTTON_KINDS = {7: "groupBox", 1: "defaultButton", 0: "button", 3: "checkBox"}


def ids():
    """The control ids resource.h defines, and the system's IDOK/IDCANCEL."""
    names = {"IDOK": 1, "IDCANCEL": 2, "-1": -1, "NO_ID": -1}
    with open(os.path.join(RESOURCES, "resource.h")) as f:
        for m in re.finditer(r"#define (\w+) (\d+)", f.read()):
            names[m.group(1)] = int(m.group(2))
    return names


def kind(cls, style):
    if cls == "Button":
        return BUTTON_KINDS[style & 0xF]
    if cls == "Static":
        return "label"
    return "edit"


def from_rc(names):
    with open(os.path.join(RESOURCES, "settings.rc")) as f:
        text = f.read()
    size = re.search(r"IDD_SETTINGS DIALOG 0, 0, (\d+), (\d+)", text)
    caption = re.search(r'CAPTION "([^"]*)"', text).group(1)
    items = []
    for m in re.finditer(r'CONTROL "([^"]*)", (-?\w+), "(\w+)", (0x[0-9A-Fa-f]+), '
                         r"(\d+), (\d+), (\d+), (\d+)", text):
        label, ident, cls, style = m.group(1), m.group(2), m.group(3), int(m.group(4), 16)
        rect = tuple(int(m.group(i)) for i in range(5, 9))
        items.append((names[ident], kind(cls, style), label, rect,
                      bool(style & 0x2000) if cls == "Edit" else False,
                      "right" if cls == "Static" and style & 0xF == 2 else "left"))
    return (int(size.group(1)), int(size.group(2))), caption, items


def from_form(names):
    with open(os.path.join(RESOURCES, "settings_form.h")) as f:
        text = f.read()
    layout = re.search(r'SETTINGS_FORM = \{\s*IDD_SETTINGS, "([^"]*)", (\d+), (\d+),', text)
    items = []
    for m in re.finditer(r'\{(\w+),\s*ControlKind::(\w+),\s*"([^"]*)",\s*(\d+),\s*(\d+),\s*(\d+),'
                         r"\s*(\d+),\s*(true|false),\s*(true|false),\s*Align::(\w+)\}", text):
        rect = tuple(int(m.group(i)) for i in range(4, 8))
        items.append((names[m.group(1)], m.group(2), m.group(3), rect, m.group(9) == "true",
                      m.group(10)))
    return (int(layout.group(2)), int(layout.group(3))), layout.group(1), items


def from_wine():
    with open(os.path.join(ROOT, "tests", "win32", "winetest.py")) as f:
        text = f.read()
    header = re.search(r'TEMPLATE = \("TEMPLATE .*? items=(\d+) rect=0,0,(\d+),(\d+) '
                       r"caption=(\w+)", text, re.S)
    block = re.search(r"TEMPLATE_ITEMS = (\[.*?\n\])", text, re.S).group(1)
    items = [(-1 if i == 65535 else i, kind(cls, style), label, rect)
             for i, cls, label, style, rect in ast.literal_eval(block)]
    return int(header.group(1)), (int(header.group(2)), int(header.group(3))), \
        header.group(4), items


def main():
    names = ids()
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append("%s:\n  got  %r\n  want %r" % (what, got, want))

    rc_size, rc_caption, rc_items = from_rc(names)
    form_size, form_caption, form_items = from_form(names)
    wine_count, wine_size, wine_caption, wine_items = from_wine()
    check("controls found in the template", len(rc_items) > 0, True)
    check("form size", form_size, rc_size)
    check("form caption", form_caption, rc_caption)
    check("form controls", form_items, rc_items)
    check("Wine template size", wine_size, rc_size)
    check("Wine template caption", wine_caption, rc_caption)
    check("Wine template count", wine_count, len(rc_items))
    check("Wine template controls", wine_items, [i[:4] for i in rc_items])
    for line in failures:
        print("FAIL " + line)
    print("dialog layout: %d controls, %d differences" % (len(rc_items), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
