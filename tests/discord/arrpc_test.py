#!/usr/bin/python3
"""The stand-in player with Discord on, against arRPC (an open Discord RPC
server from the npm registry) on a private runtime folder: the activities it
broadcasts on its bridge must be what each moment of play says.

  tracks   three tracks (UTF-16 frames, a title past 128 characters), a
           pause shown paused, the stop and the quit
  clear    a pause with DiscordPaused "clear", and the quit while playing
  restart  arRPC killed and started again: the activity comes back
  idle     Discord on and nothing listening: the room's thread wakes at
           most 10 times a minute (measured and printed)

arRPC is installed with npm into a cache folder (TRELLICAST_ARRPC_DIR, else
~/.cache/trellicast/arrpc-VERSION) on first use; process scanning is off
and every socket it opens is on 127.0.0.1.

Usage: arrpc_test.py TRELLICAST_HOST {tracks|clear|restart|idle}
"""
import json
import os
import pty
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import wire  # noqa: E402

ARRPC_VERSION = "3.5.0"
APP_ID = "1234567890123456789"
FIELD_MAX = 128
START_SLACK_MS = 700  # a timestamp against the moment the player said it
RESTART_BOUND_S = 15


def now_ms():
    return time.time() * 1000.0


def install_arrpc():
    home = os.path.expanduser("~/.cache/trellicast/arrpc-" + ARRPC_VERSION)
    folder = os.environ.get("TRELLICAST_ARRPC_DIR") or home
    entry = os.path.join(folder, "node_modules", "arrpc", "src", "index.js")
    if not os.path.exists(entry):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["npm", "install", "--prefix", folder, "--no-audit", "--no-fund",
                        "--no-save", "arrpc@" + ARRPC_VERSION], check=True,
                       stdout=subprocess.DEVNULL, timeout=300)
    return folder, entry


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Arrpc:
    """arRPC on runtime/discord-ipc-0 with its bridge on a loopback port."""

    def __init__(self, install, runtime, bridge_port):
        self.folder, self.entry = install
        self.runtime, self.port = runtime, bridge_port
        self.logs = []
        self.proc = None

    def start(self):
        log = tempfile.TemporaryFile()
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, ARRPC_BRIDGE_PORT=str(self.port),
                   ARRPC_NO_PROCESS_SCANNING="1", ARRPC_DEBUG="1", NO_COLOR="1")
        self.proc = subprocess.Popen(["node", "--require", os.path.join(HERE, "loopback_only.cjs"),
                                      self.entry, "--no-process-scanning"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.logs.append(log)
        end = time.monotonic() + 20
        while time.monotonic() < end:
            text = self.log()
            if "listening at" in text and "listening on %d" % self.port in text:
                return time.monotonic()
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("arRPC did not start: " + self.log())

    def log(self):
        out = []
        for f in self.logs:
            f.seek(0)
            out.append(f.read().decode("utf-8", "replace"))
        return "".join(out)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


class Bridge:
    """What arRPC broadcasts: [(unix ms, message)], reconnecting as needed."""

    def __init__(self, install, port):
        self.messages = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(["node", os.path.join(HERE, "bridge_reader.cjs"), install[0],
                                      str(port)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.opened = threading.Event()

    def _read(self):
        for line in self.proc.stdout:
            at, _, rest = line.rstrip("\n").partition(" ")
            if rest == "open":
                self.opened.set()
                continue
            with self.lock:
                self.messages.append((float(at), json.loads(rest)))

    def activities(self):
        with self.lock:
            return list(self.messages)

    def wait_for(self, test, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for at, msg in self.activities():
                if test(msg):
                    return at
            time.sleep(0.05)
        return None

    def close(self):
        self.proc.kill()
        self.proc.wait(10)


class Player:
    """The stand-in player on a pseudo terminal: keys in, [(unix ms, line)] out."""

    def __init__(self, host, config, files, track_seconds, runtime):
        master, slave = pty.openpty()
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        self.proc = subprocess.Popen([host, "--config", config, "play", "--track-seconds",
                                      str(track_seconds)] + files, stdin=slave, stdout=slave,
                                     stderr=subprocess.DEVNULL, close_fds=True, env=env)
        os.close(slave)
        self.master = master
        self.said = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.5)
            if not ready:
                if self.proc.poll() is not None:
                    return
                continue
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            *lines, pending = pending.split(b"\n")
            at = now_ms()
            with self.lock:
                self.said.extend((at, l.decode("utf-8", "replace").rstrip("\r")) for l in lines)

    def when(self, text, timeout=30):
        """The time the player first said a line starting with text."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                for at, line in self.said:
                    if line.startswith(text):
                        return at
            time.sleep(0.02)
        raise RuntimeError("the player never said %r: %r" % (text, self.said))

    def key(self, k):
        os.write(self.master, k)

    def quit(self):
        self.key(b"q")
        try:
            rc = self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait(5)
        self.reader.join(5)
        os.close(self.master)
        return rc


def configure(host, config, settings):
    for name, value in settings:
        subprocess.run([host, "--config", config, "set", name, value], check=True,
                       capture_output=True, timeout=20)


def ours(messages, pid):
    """Our activities in order, consecutive repeats of one taken once."""
    out = []
    for at, msg in messages:
        if msg.get("pid") != pid:
            continue
        act = msg.get("activity")
        if out and out[-1][1] == act:
            continue
        out.append((at, act))
    return out


class Checks:
    def __init__(self):
        self.faults = []

    def true(self, what, cond, detail=""):
        if not cond:
            self.faults.append("%s%s" % (what, (": " + str(detail)) if detail else ""))

    def eq(self, what, got, want):
        self.true(what, got == want, "got %r, want %r" % (got, want))


def check_shown(c, name, act, title, state, album, length_ms, start_near):
    if act is None:
        c.true(name + ": shown", False, "cleared")
        return
    c.eq(name + ": type", act.get("type"), 2)
    c.eq(name + ": details", act.get("details"), title)
    c.eq(name + ": state", act.get("state"), state)
    assets = act.get("assets", {})
    c.eq(name + ": large_image", assets.get("large_image"), "logo")
    c.eq(name + ": large_text", assets.get("large_text"), album)
    stamps = act.get("timestamps")
    if start_near is None:
        c.eq(name + ": timestamps", stamps, None)
        return
    if not stamps:
        c.true(name + ": timestamps", False, act)
        return
    c.eq(name + ": end - start", stamps.get("end", 0) - stamps.get("start", 0), length_ms)
    c.true(name + ": start near the player's", abs(stamps["start"] - start_near) < START_SLACK_MS,
           "start %d, expected about %d" % (stamps["start"], start_near))


def no_malformed(c, arrpc):
    log = arrpc.log()
    c.true("arRPC read every frame", "error whilst reading" not in log,
           [l for l in log.splitlines() if "error" in l][:3])


def tracks_case(c, host, tmp, install):
    runtime = os.path.join(tmp, "run")
    os.mkdir(runtime)
    config = os.path.join(tmp, "t.conf")
    out = os.path.join(tmp, "out")
    os.mkdir(out)
    configure(host, config, [("Discord", "1"), ("DiscordAppId", APP_ID),
                             ("DiscordPaused", "show"), ("OutputFolder", out)])
    long_title = "\u00e9" * 120 + "\U0001f3a7" * 12  # 132 characters, the cut among emoji
    files = [
        wire.mp3_file(os.path.join(tmp, "1.mp3"), [("TIT2", "Hopp\u00edpolla", False),
                                                   ("TPE1", "Sigur R\u00f3s", False),
                                                   ("TALB", "Takk\u00e9", False)]),
        wire.mp3_file(os.path.join(tmp, "2.mp3"), [("TIT2", long_title, True),
                                                   ("TPE1", "\u5742\u672c\u9f8d\u4e00", True),
                                                   ("TALB", "Merry \U0001f384", True)]),
        wire.mp3_file(os.path.join(tmp, "3.mp3"), [("TIT2", "Untagged artist", False)]),
    ]
    arrpc = Arrpc(install, runtime, free_port())
    arrpc.start()
    bridge = Bridge(install, arrpc.port)
    bridge.opened.wait(10)
    player = Player(host, config, files, 3, runtime)
    try:
        t1 = player.when("playing 1/3")
        time.sleep(1.0)
        player.key(b" ")
        paused_at = player.when("paused")
        time.sleep(1.5)
        player.key(b" ")
        resumed_at = player.when("resumed")
        t2 = player.when("playing 2/3")
        t3 = player.when("playing 3/3")
        player.when("stopped")
        bridge.wait_for(lambda m: m.get("activity") is None, 5)
        time.sleep(0.5)
        rc = player.quit()
        time.sleep(0.5)
    finally:
        if player.proc.poll() is None:
            player.proc.kill()
        arrpc.kill()
        bridge.close()
    c.eq("the player's exit", rc, 0)
    seen = ours(bridge.activities(), player.proc.pid)
    acts = [a for _, a in seen]
    print("tracks: %d activities: %s" % (len(acts), [a and a.get("details", "")[:20] for a in acts]))
    if len(acts) != 6:
        c.true("six activities (play, paused, play, two tracks, stopped)", False, acts)
        no_malformed(c, arrpc)
        return
    one = ("Hopp\u00edpolla", "Sigur R\u00f3s - Takk\u00e9", "Takk\u00e9")
    check_shown(c, "track 1", acts[0], *one, 3000, t1)
    check_shown(c, "track 1 paused", acts[1], one[0], "Paused - " + one[1], one[2], 3000, None)
    c.true("paused in time", seen[1][0] - paused_at < 1000, seen[1][0] - paused_at)
    # Resumed after about 1 s of play: the start moves on by the pause.
    elapsed = paused_at - t1
    check_shown(c, "track 1 resumed", acts[2], *one, 3000, resumed_at - elapsed)
    check_shown(c, "track 2", acts[3], long_title[:FIELD_MAX],
                "\u5742\u672c\u9f8d\u4e00 - Merry \U0001f384", "Merry \U0001f384", 3000, t2)
    check_shown(c, "track 3", acts[4], "Untagged artist", None, None, 3000, t3)
    c.eq("stopped", acts[5], None)
    no_malformed(c, arrpc)


def clear_case(c, host, tmp, install):
    runtime = os.path.join(tmp, "run")
    os.mkdir(runtime)
    config = os.path.join(tmp, "t.conf")
    out = os.path.join(tmp, "out")
    os.mkdir(out)
    configure(host, config, [("Discord", "1"), ("DiscordAppId", APP_ID), ("OutputFolder", out)])
    song = wire.mp3_file(os.path.join(tmp, "1.mp3"), [("TIT2", "One", False),
                                                      ("TPE1", "Band", False)])
    arrpc = Arrpc(install, runtime, free_port())
    arrpc.start()
    bridge = Bridge(install, arrpc.port)
    bridge.opened.wait(10)
    player = Player(host, config, [song], 60, runtime)
    try:
        t1 = player.when("playing 1/1")
        bridge.wait_for(lambda m: m.get("activity") is not None, 5)
        time.sleep(1.0)
        player.key(b" ")
        paused_at = player.when("paused")
        bridge.wait_for(lambda m: m.get("activity") is None, 5)
        time.sleep(1.0)
        player.key(b" ")
        resumed_at = player.when("resumed")
        time.sleep(1.0)
        before_quit = now_ms()
        rc = player.quit()
        quit_done = now_ms()
        time.sleep(0.3)
    finally:
        if player.proc.poll() is None:
            player.proc.kill()
        arrpc.kill()
        bridge.close()
    c.eq("the player's exit", rc, 0)
    seen = ours(bridge.activities(), player.proc.pid)
    acts = [a for _, a in seen]
    print("clear: %d activities: %s" % (len(acts), [a and a.get("details") for a in acts]))
    if len(acts) != 4:
        c.true("four activities (play, cleared, play, cleared)", False, acts)
        no_malformed(c, arrpc)
        return
    check_shown(c, "playing", acts[0], "One", "Band", None, 60000, t1)
    c.eq("paused: cleared", acts[1], None)
    check_shown(c, "resumed", acts[2], "One", "Band", None, 60000,
                resumed_at - (paused_at - t1))
    c.eq("quit: cleared", acts[3], None)
    c.true("cleared before the player was gone", seen[3][0] <= quit_done + 50,
           "%d ms after the quit" % (seen[3][0] - quit_done))
    c.true("cleared after the quit began", seen[3][0] >= before_quit - 50)
    no_malformed(c, arrpc)


def restart_case(c, host, tmp, install):
    runtime = os.path.join(tmp, "run")
    os.mkdir(runtime)
    config = os.path.join(tmp, "t.conf")
    out = os.path.join(tmp, "out")
    os.mkdir(out)
    configure(host, config, [("Discord", "1"), ("DiscordAppId", APP_ID), ("OutputFolder", out)])
    song = wire.mp3_file(os.path.join(tmp, "1.mp3"), [("TIT2", "Long one", False),
                                                      ("TPE1", "Band", False)])
    arrpc = Arrpc(install, runtime, free_port())
    arrpc.start()
    bridge = Bridge(install, arrpc.port)
    bridge.opened.wait(10)
    player = Player(host, config, [song], 120, runtime)
    try:
        t1 = player.when("playing 1/1")
        first = bridge.wait_for(lambda m: (m.get("activity") or {}).get("details") == "Long one", 5)
        c.true("the first activity", first is not None)
        for pause in (0.5, 4.0):
            arrpc.kill()
            with bridge.lock:
                bridge.messages.clear()
            bridge.opened.clear()
            time.sleep(pause)
            arrpc.start()
            up = now_ms()
            bridge.opened.wait(10)
            back = bridge.wait_for(lambda m: (m.get("activity") or {}).get("details") ==
                                   "Long one", RESTART_BOUND_S + 2)
            took = None if back is None else (back - up) / 1000
            print("restart after %.1f s down: the activity back %s" % (
                pause, "never" if back is None else "%.1f s after arRPC was up" % took))
            c.true("back within %.1f s of arRPC up (down %.1f s)" % (RESTART_BOUND_S, pause),
                   took is not None and took <= RESTART_BOUND_S, took)
            if back is not None:
                act = [m for _, m in bridge.activities() if m.get("activity")][0]["activity"]
                check_shown(c, "after the restart", act, "Long one", "Band", None, 120000, t1)
        rc = player.quit()
    finally:
        if player.proc.poll() is None:
            player.proc.kill()
        arrpc.kill()
        bridge.close()
    c.eq("the player's exit", rc, 0)
    no_malformed(c, arrpc)


def thread_switches(pid, name):
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                if f.read().strip() != name:
                    continue
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        return int(line.split()[1])
        except OSError:
            continue
    return None


def idle_case(c, host, tmp, install):
    del install
    runtime = os.path.join(tmp, "run")  # nothing listens there
    os.mkdir(runtime)
    config = os.path.join(tmp, "t.conf")
    configure(host, config, [("Discord", "1"), ("DiscordAppId", APP_ID)])
    song = wire.mp3_file(os.path.join(tmp, "1.mp3"), [("TIT2", "One", False)])
    player = Player(host, config, [song], 1, runtime)
    try:
        player.when("stopped")
        time.sleep(1.0)
        before = thread_switches(player.proc.pid, "trellicast-dc")
        time.sleep(60)
        after = thread_switches(player.proc.pid, "trellicast-dc")
        rc = player.quit()
    finally:
        if player.proc.poll() is None:
            player.proc.kill()
    c.eq("the player's exit", rc, 0)
    if before is None or after is None:
        c.true("the room's thread found", False)
        return
    print("idle, Discord on, nothing listening: %d wake-ups of the room's thread in 60 s" %
          (after - before))
    c.true("at most 10 wake-ups a minute", after - before <= 10, after - before)


CASES = {"tracks": tracks_case, "clear": clear_case, "restart": restart_case, "idle": idle_case}


def main():
    host, case = sys.argv[1], sys.argv[2]
    install = install_arrpc() if case != "idle" else None
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="trellicast-discord.") as tmp:
        CASES[case](c, host, tmp, install)
    for f in c.faults:
        print("FAIL", f)
    print("%s: %s" % (case, "ok" if not c.faults else "%d faults" % len(c.faults)))
    return 1 if c.faults else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
