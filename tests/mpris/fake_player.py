#!/usr/bin/python3
"""A scripted MPRIS player on the session bus, for the MPRIS mode's tests
and demo. Needs Debian's python3-dbus and python3-gi: run it with
/usr/bin/python3.

    fake_player.py NAME      owns org.mpris.MediaPlayer2.NAME

It prints "ready" once it owns the name, then reads one JSON command per
line on standard input and prints "ok" after each:

    {"op": "set", "status": "Playing", "metadata": {...}, "signal": "changed"}
        signal: "changed" (default; the new values in the signal),
        "invalidate" (names only, no values), "none" (no signal at all)
    {"op": "hang"}           GetAll and Get are never answered from now on
    {"op": "flood", "count": N, "status": S}
        N PropertiesChanged signals, each with a new title "flood i",
        then the player keeps the last one
    {"op": "held"}           prints "held N": calls left unanswered so far
    {"op": "quit"}           releases the name and ends

Metadata values are [type, value] so a test chooses the D-Bus type:
"s" string, "o" object path, "as" list of strings, "x" int64, "t" uint64,
"i" int32, "u" uint32, "d" double, "b" boolean, "v" a variant holding a
string, "a{sv}" a dictionary of further [type, value] pairs.
"status" may also be [type, value] to send a status of the wrong type.
"""
import json
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ROOT = "org.mpris.MediaPlayer2"
PLAYER = "org.mpris.MediaPlayer2.Player"
PROPS = "org.freedesktop.DBus.Properties"
PATH = "/org/mpris/MediaPlayer2"


# The one-letter types, each a D-Bus type of its own.
BASIC = {"s": dbus.String, "o": dbus.ObjectPath, "x": dbus.Int64, "t": dbus.UInt64,
         "i": dbus.Int32, "u": dbus.UInt32, "d": dbus.Double, "b": dbus.Boolean}


def dictionary(items):
    """An a{sv} dictionary from a dictionary of [type, value] pairs."""
    return dbus.Dictionary({k: typed(v) for k, v in items.items()}, signature="sv")


def typed(spec):
    kind, value = spec
    if kind in BASIC:
        return BASIC[kind](value)
    if kind == "as":
        return dbus.Array([dbus.String(v) for v in value], signature="s")
    if kind == "v":
        return dbus.String(value, variant_level=2)
    if kind == "a{sv}":
        return dictionary(value)
    raise ValueError("unknown type " + kind)


class Player(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.status = dbus.String("Stopped")
        self.metadata = dbus.Dictionary({}, signature="sv")
        self.hung = False
        self.held = []  # answers never given

    def player_props(self):
        return dbus.Dictionary({
            "PlaybackStatus": self.status,
            "Metadata": self.metadata,
            "CanPlay": dbus.Boolean(True),
            "Position": dbus.Int64(0),
        }, signature="sv")

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v",
                         async_callbacks=("ok", "err"))
    def Get(self, interface, name, ok, err):
        if self.hung:
            self.held.append((ok, err))
            return
        props = self.player_props() if interface == PLAYER else {}
        if name not in props:
            err(dbus.exceptions.DBusException("no such property",
                                              name="org.freedesktop.DBus.Error.InvalidArgs"))
            return
        ok(props[name])

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}",
                         async_callbacks=("ok", "err"))
    def GetAll(self, interface, ok, err):
        if self.hung:
            self.held.append((ok, err))
            return
        if interface == PLAYER:
            ok(self.player_props())
        elif interface == ROOT:
            ok(dbus.Dictionary({"Identity": dbus.String("Fake")}, signature="sv"))
        else:
            ok(dbus.Dictionary({}, signature="sv"))

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def changed(self, how):
        if how == "none":
            return
        if how == "invalidate":
            self.PropertiesChanged(PLAYER, dbus.Dictionary({}, signature="sv"),
                                   dbus.Array(["PlaybackStatus", "Metadata"], signature="s"))
            return
        self.PropertiesChanged(PLAYER, dbus.Dictionary({
            "PlaybackStatus": self.status, "Metadata": self.metadata}, signature="sv"),
            dbus.Array([], signature="s"))


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    player = Player(bus)
    name = dbus.service.BusName(ROOT + "." + sys.argv[1], bus)
    loop = GLib.MainLoop()
    print("ready", flush=True)

    def command(line):
        c = json.loads(line)
        op = c["op"]
        if op == "set":
            if "status" in c:
                s = c["status"]
                player.status = typed(s) if isinstance(s, list) else dbus.String(s)
            if "metadata" in c:
                m = c["metadata"]
                player.metadata = typed(m) if isinstance(m, list) else dictionary(m)
            player.changed(c.get("signal", "changed"))
        elif op == "hang":
            player.hung = True
        elif op == "flood":
            if "status" in c:
                player.status = dbus.String(c["status"])
            for i in range(c["count"]):
                player.metadata = dbus.Dictionary(
                    {"xesam:title": dbus.String("flood %d" % i),
                     "mpris:trackid": dbus.ObjectPath("/flood/%d" % i)}, signature="sv")
                player.changed("changed")
            bus.flush()
        elif op == "held":
            print("held %d" % len(player.held), flush=True)
        elif op == "quit":
            loop.quit()
            return False
        print("ok", flush=True)
        return True

    pending = [b""]

    def on_input(source, condition):
        # Raw reads: a buffered reader could hold a second line back from
        # the watch.
        chunk = os.read(0, 65536)
        if not chunk:
            loop.quit()
            return False
        pending[0] += chunk
        while b"\n" in pending[0]:
            line, _, pending[0] = pending[0].partition(b"\n")
            if line.strip() and not command(line.decode()):
                return False
        return True

    GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, on_input)
    loop.run()
    del name
    print("ok", flush=True)


if __name__ == "__main__":
    main()
