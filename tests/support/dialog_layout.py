"""The settings dialog as its Windows template states it
(dialog/resources/settings.rc), read for the tests that check the other
forms of it: the form as data the terminal dialog draws, and the template
the Windows module carries (the Wine suite)."""
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RESOURCES = os.path.join(ROOT, "dialog", "resources")


def control_ids():
    """The control ids resource.h defines, and the system's IDOK/IDCANCEL."""
    ids = {"IDOK": 1, "IDCANCEL": 2, "-1": -1}
    with open(os.path.join(RESOURCES, "resource.h")) as f:
        for m in re.finditer(r"#define (\w+) (\d+)", f.read()):
            ids[m.group(1)] = int(m.group(2))
    return ids


def template():
    """(width, height), caption and the controls in order, each as
    (id, class, text, style, (x, y, width, height)); -1 for no id."""
    ids = control_ids()
    with open(os.path.join(RESOURCES, "settings.rc")) as f:
        text = f.read()
    size = re.search(r"IDD_SETTINGS DIALOG 0, 0, (\d+), (\d+)", text)
    caption = re.search(r'CAPTION "([^"]*)"', text).group(1)
    items = [(ids[m.group(2)], m.group(3), m.group(1), int(m.group(4), 16),
              tuple(int(m.group(i)) for i in range(5, 9)))
             for m in re.finditer(r'CONTROL "([^"]*)", (-?\w+), "(\w+)", (0x[0-9A-Fa-f]+), '
                                  r"(\d+), (\d+), (\d+), (\d+)", text)]
    return (int(size.group(1)), int(size.group(2))), caption, items
