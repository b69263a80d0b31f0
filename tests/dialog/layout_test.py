#!/usr/bin/env python3
"""The settings dialog is stated by the Windows template
(dialog/resources/settings.rc) and again as data for the terminal dialog
(dialog/resources/settings_form.h); the Wine suite checks the compiled
template against the first. This test reads both and fails on any
difference: ids, order, texts, places, sizes, caption, and the kind each
control's class and style make it."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import dialog_layout  # noqa: E402

# Button styles: BS_GROUPBOX 7, BS_DEFPUSHBUTTON 1, BS_PUSHBUTTON 0,
# BS_AUTOCHECKBOX 3 (the low four bits); SS_RIGHT 2; ES_NUMBER 0x2000;
# ES_PASSWORD 0x20.
BUTTON_KINDS = {7: "groupBox", 1: "defaultButton", 0: "button", 3: "checkBox"}


def as_form(cls, label, style, rect):
    """What the form as data says of a template control."""
    if cls == "Button":
        kind = BUTTON_KINDS[style & 0xF]
    else:
        kind = "label" if cls == "Static" else "edit"
    digits = cls == "Edit" and bool(style & 0x2000)
    align = "right" if cls == "Static" and style & 0xF == 2 else "left"
    masked = cls == "Edit" and bool(style & 0x20)
    return kind, label, rect, digits, align, masked


def from_form(ids):
    with open(os.path.join(dialog_layout.RESOURCES, "settings_form.h")) as f:
        text = f.read()
    layout = re.search(r'SETTINGS_FORM = \{\s*IDD_SETTINGS, "([^"]*)", (\d+), (\d+),', text)
    items = []
    for m in re.finditer(r'\{(\w+),\s*ControlKind::(\w+),\s*"([^"]*)",\s*(\d+),\s*(\d+),\s*(\d+),'
                         r"\s*(\d+),\s*(true|false),\s*(true|false),\s*Align::(\w+)"
                         r"(?:,\s*(true|false))?\}", text):
        rect = tuple(int(m.group(i)) for i in range(4, 8))
        items.append((ids[m.group(1)], (m.group(2), m.group(3), rect, m.group(9) == "true",
                                        m.group(10), m.group(11) == "true")))
    return (int(layout.group(2)), int(layout.group(3))), layout.group(1), items


def main():
    ids = dialog_layout.control_ids()
    ids["NO_ID"] = -1
    size, caption, controls = dialog_layout.template()
    form_size, form_caption, form_items = from_form(ids)
    want = [(i, as_form(cls, label, style, rect)) for i, cls, label, style, rect in controls]
    failures = []
    for what, got, expected in (("controls in the template", len(controls) > 0, True),
                                ("size", form_size, size), ("caption", form_caption, caption),
                                ("controls", form_items, want)):
        if got != expected:
            failures.append("%s:\n  form     %r\n  template %r" % (what, got, expected))
    for line in failures:
        print("FAIL " + line)
    print("dialog layout: %d controls, %d differences" % (len(controls), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
