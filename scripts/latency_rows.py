#!/usr/bin/python3
"""Two more rows of scripts/latency: a real desktop player, and the cost of
being idle.

mpv   Debian's mpv with mpv-mpris on a private session bus, driven through
      its IPC socket: 30 track changes (one every 1.2 s) with eight pauses
      and resumes, then (in a new mpv) three bursts of five tracks 40 ms
      apart, followed by
      `trellicast-host mpris` at an interval of 10 s (so only changes post).
      Prints change -> post p50/p95/max, posts per change, posts per burst
      (one, of the last track) and wrong or stale posts (a post whose
      status and title are not the state the player was in when it was
      sent); non-zero when p95 is over 0.2 s or any count is off.
idle  One track playing, nothing changing, interval 10 s, for --idle-seconds
      (65 by default, the first 5 s of start-up left out): the whole
      process's voluntary context switches (wake-ups) and CPU time, from
      wait4's resource use, which counts every thread, the sender's too, and
      per thread from /proc/PID/task/*/status (the threads alive at the end
      of the minute; "ended" sums the threads that came and went); the
      stand-in player against a server that keeps connections, the same
      against one that closes each connection after its answer (every
      keep-alive then connects anew), and the MPRIS mode (the scripted
      player on a private bus). Non-zero above 20 wake-ups or 16 ms CPU per
      minute, or when an output writer thread exists (no output folder is
      set).

usage: latency_rows.py mpv|idle [--bin build/linux/bin] [--idle-seconds N]
Needs mpv and mpv-mpris (mpv row), dbus-daemon, python3-dbus and
python3-gi (the scripted player): run it with /usr/bin/python3.
"""
import argparse
import importlib.machinery
import importlib.util
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import wire  # noqa: E402

_loader = importlib.machinery.SourceFileLoader("latency", os.path.join(ROOT, "scripts", "latency"))
_spec = importlib.util.spec_from_loader("latency", _loader)
latency = importlib.util.module_from_spec(_spec)
_loader.exec_module(latency)

MPV_GOAL = 0.2  # seconds, p95
IDLE_WAKEUPS_PER_MINUTE = 20
IDLE_CPU_MS_PER_MINUTE = 16
MPRIS_PLUGIN = "/usr/lib/mpv-mpris/mpris.so"
FAKE_PLAYER = os.path.join(ROOT, "tests", "mpris", "fake_player.py")


def write_settings(host, config, port):
    for name, value in (("URL", "http://127.0.0.1:%d/np" % port), ("Interval", "10"),
                        ("Enabled", "1")):
        subprocess.run([host, "--config", config, "set", name, value], check=True,
                       capture_output=True, timeout=20)


class PrivateBus:
    """A session bus of our own for the run."""

    def __enter__(self):
        self.daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork",
                                        "--print-address=1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address)
        return self

    def __exit__(self, *exc):
        self.daemon.terminate()
        self.daemon.wait(timeout=10)


class Mpv:
    """mpv with the MPRIS plug-in, silent, told what to do over its socket;
    notes when its title and pause state change, by its own clock reading
    of the events it sends back."""

    count = 0

    def __init__(self, env, folder, clock=time.monotonic):
        Mpv.count += 1
        self.path = os.path.join(folder, "mpv-%d.sock" % Mpv.count)
        self.clock = clock
        self.events = []  # (clock, name, value) of each title or pause change
        self.process = subprocess.Popen(
            ["mpv", "--no-config", "--script=" + MPRIS_PLUGIN, "--idle=yes", "--ao=null",
             "--vo=null", "--no-terminal", "--loop-file=inf", "--input-ipc-server=" + self.path],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.exists(self.path) and time.time() < deadline:
            time.sleep(0.05)
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(self.path)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.command("observe_property", 1, "media-title")
        self.command("observe_property", 2, "pause")

    def _read(self):
        for line in self.socket.makefile(encoding="utf-8", errors="replace"):
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") == "property-change":
                self.events.append((self.clock(), event.get("name"), event.get("data")))

    def reached(self, since, name, value):
        """When the player itself reached name = value after since (None if never)."""
        for at, n, v in list(self.events):
            if at >= since and n == name and v == value:
                return at
        return None

    def command(self, *words):
        self.socket.sendall((json.dumps({"command": list(words)}) + "\n").encode())

    def close(self):
        self.command("quit")
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.socket.close()


def song(folder, title, seconds=8):
    """An MP3 of silence (MPEG frames of 26 ms) with TIT2 and TPE1."""
    path = os.path.join(folder, "%s.mp3" % title)
    wire.mp3_file(path, [("TIT2", title, False), ("TPE1", "Latency", False)],
                  audio_frames=int(seconds / 0.026))
    return path


def measure_mpv(args):
    host = os.path.join(args.bin, "trellicast-host")
    clock = time.monotonic
    receiver = latency.TimedReceiver(clock)
    status = 0
    with tempfile.TemporaryDirectory(prefix="trellicast-mpv.") as tmp, PrivateBus() as bus:
        config = os.path.join(tmp, "trellicast.conf")
        write_settings(host, config, receiver.port)
        tracks = [song(tmp, "Track %02d" % i) for i in range(1, args.mpv_changes + 1)]
        bursts = [[song(tmp, "Burst %d-%d" % (b, i)) for i in range(1, 6)] for b in range(1, 4)]
        mpv = Mpv(bus.env, tmp)
        mpv.command("loadfile", song(tmp, "Start"))
        time.sleep(1.0)
        player = subprocess.Popen([host, "--config", config, "mpris", "--player", "mpv"],
                                  env=bus.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        receiver.take()
        with receiver.lock:
            receiver.seen.clear()
        receiver.take()
        with receiver.lock:
            receiver.seen.clear()
        changes = []  # (clock, status, title) the player was asked to reach
        reached = []  # the same, from when mpv itself had reached it
        title = "Latency - Start"
        for i, path in enumerate(tracks):
            at = clock()
            mpv.command("loadfile", path)
            title = "Latency - Track %02d" % (i + 1)
            changes.append((at, 1, title))
            time.sleep(1.2)
            reached.append((mpv.reached(at, "media-title", "Track %02d" % (i + 1)), 1, title))
            if i % 4 == 3:  # pause, and resume
                for paused in (True, False):
                    at = clock()
                    mpv.command("set_property", "pause", paused)
                    changes.append((at, 3 if paused else 1, title))
                    time.sleep(1.2)
                    reached.append((mpv.reached(at, "pause", paused), 3 if paused else 1, title))
        time.sleep(0.5)
        posts = receiver.snapshot()
        # From the command: mpv's own time to open the file is in it.
        latency.report("mpv, from the command", changes, posts, set())
        # From mpv's own event: what the module adds.
        if any(at is None for at, _, _ in reached):
            print("mpv: FAIL mpv did not tell every change it made")
            status = 1
        else:
            status |= report_row("mpv, from mpv's own event", reached, posts, MPV_GOAL)

        # mpv-mpris 0.7.1 stops signalling after some 35 files opened by one
        # mpv, so the bursts get a player of their own.
        mpv.close()
        mpv = Mpv(bus.env, tmp)
        mpv.command("loadfile", song(tmp, "Again"))
        time.sleep(2.0)
        burst_rows = []
        for burst in bursts:
            receiver.take()
            with receiver.lock:
                receiver.seen.clear()
            for path in burst:
                mpv.command("loadfile", path)
                time.sleep(0.04)
            time.sleep(3.0)
            burst_rows.append(receiver.snapshot())
        last = ["Latency - " + os.path.basename(b[-1])[:-4] for b in bursts]
        ok = [len(r) == 1 and r[0][2] == want for r, want in zip(burst_rows, last)]
        print("mpv bursts (5 tracks 40 ms apart): posts per burst %s, of the last track: %s" % (
            [len(r) for r in burst_rows], ok))
        if not all(ok):
            print("mpv bursts: FAIL not one post of the last track per burst: %r" % burst_rows)
            status = 1
        player.terminate()
        player.wait(timeout=10)
        mpv.close()
    receiver.close()
    return status


def report_row(name, changes, posts, goal):
    """latency.report with this row's goal, plus wrong or stale posts: any
    post whose (status, title) is not the state of the last change before it."""
    saved = latency.GOAL
    latency.GOAL = goal
    try:
        status = latency.report(name, changes, posts, set())
    finally:
        latency.GOAL = saved
    wrong = []
    for at, st, title in posts:
        before = [c for c in changes if c[0] <= at]
        if not before or (before[-1][1], before[-1][2]) != (st, title):
            wrong.append((round(at - changes[0][0], 3), st, title))
    print("%s: wrong or stale posts: %d%s" % (name, len(wrong), (" %r" % wrong) if wrong else ""))
    return status | (1 if wrong else 0)


# Start-up (loading the module, the TLS library, the first post) is left
# out: the idle row counts from this long after the start.
WARM_UP_S = 5


def thread_switches(pid):
    """{tid: (name, voluntary switches)} of the process's live threads."""
    threads = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        threads[task] = (name, int(line.split()[1]))
        except OSError:
            pass  # ended meanwhile
    return threads


def process_cpu_ms(pid):
    """CPU ms of the whole process, exited threads included."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks * 1000.0 / os.sysconf("SC_CLK_TCK")


WRITER_THREAD = "trellicast-out"  # the output writer's name (platform/posix/output.cpp)

# The per-thread count is taken this long before the process quits, so its
# quit is not counted there.
LAST_SAMPLE_BEFORE_QUIT_S = 1.0


def idle_run(cmd, env, seconds):
    """Runs cmd to its end; (voluntary switches, CPU ms) of the whole process
    after the warm-up, every thread included, and per thread [(name, tid,
    switches)] over the warm-up to just before the quit."""
    p = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    time.sleep(WARM_UP_S)
    warm = thread_switches(p.pid)
    warm_cpu = process_cpu_ms(p.pid)
    time.sleep(max(0.0, seconds - WARM_UP_S - LAST_SAMPLE_BEFORE_QUIT_S))
    last = thread_switches(p.pid)
    _, _, usage = os.wait4(p.pid, 0)
    per_thread = sorted((name, tid, count - warm.get(tid, (name, 0))[1])
                        for tid, (name, count) in last.items())
    live = sum(count for _, _, count in per_thread)
    whole = usage.ru_nvcsw - sum(count for _, count in warm.values())
    per_thread.append(("ended", "-", max(0, whole - live)))
    return whole, (usage.ru_utime + usage.ru_stime) * 1000 - warm_cpu, per_thread


def idle_line(name, seconds, wakeups, cpu_ms, posts, per_thread=()):
    seconds -= WARM_UP_S
    minutes = seconds / 60.0
    print("%s idle %d s (after %d s of start-up): %d wake-ups (%.1f per minute), CPU %.0f ms "
          "(%.1f ms per minute); %d posts in all" % (
              name, seconds, WARM_UP_S, wakeups, wakeups / minutes, cpu_ms, cpu_ms / minutes,
              posts))
    if per_thread:
        print("%s idle, per thread: %s (the last %d s of the run and the quit in \"ended\")" % (
            name, ", ".join("%s %s: %d" % (n, tid, count) for n, tid, count in per_thread),
            LAST_SAMPLE_BEFORE_QUIT_S))
    bad = wakeups / minutes > IDLE_WAKEUPS_PER_MINUTE or cpu_ms / minutes > IDLE_CPU_MS_PER_MINUTE
    if bad:
        print("%s idle: FAIL over %d wake-ups or %d ms CPU per minute" % (
            name, IDLE_WAKEUPS_PER_MINUTE, IDLE_CPU_MS_PER_MINUTE))
    # No output folder is set: no writer thread may exist.
    writers = [tid for n, tid, _ in per_thread if n == WRITER_THREAD]
    if writers:
        print("%s idle: FAIL a writer thread without an output folder: %s" % (name, writers))
        bad = True
    return 1 if bad else 0


class ClosingServer(wire.Server):
    """The loopback server, closing each connection once it has answered."""

    def _next_request(self, conn, generation):
        return False


def measure_idle(args):
    host = os.path.join(args.bin, "trellicast-host")
    seconds = args.idle_seconds
    status = 0
    with tempfile.TemporaryDirectory(prefix="trellicast-idle.") as tmp:
        config = os.path.join(tmp, "trellicast.conf")
        path = song(tmp, "Idle", seconds=1)
        for name, server in (("stand-in player", wire.Server),
                             ("stand-in player, connection closed after each answer",
                              ClosingServer)):
            receiver = server()
            write_settings(host, config, receiver.port)
            wakeups, cpu, per_thread = idle_run(
                [host, "--config", config, "play", "--track-seconds", str(seconds + 60),
                 "--quit-after", str(seconds), path], os.environ, seconds)
            status |= idle_line(name, seconds, wakeups, cpu, len(receiver.posts), per_thread)
            print("%s idle: %d connections" % (name, receiver.accepted))
            receiver.close()

        receiver = wire.Server()
        write_settings(host, config, receiver.port)
        with PrivateBus() as bus:
            fake = subprocess.Popen(["/usr/bin/python3", FAKE_PLAYER, "idle"], env=bus.env,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            fake.stdout.readline()  # ready
            fake.stdin.write(json.dumps({"op": "set", "status": "Playing", "metadata": {
                "xesam:title": ["s", "Idle"], "xesam:artist": ["as", ["Latency"]],
                "mpris:trackid": ["o", "/t/1"]}}) + "\n")
            fake.stdin.flush()
            fake.stdout.readline()  # ok
            wakeups, cpu, per_thread = idle_run([host, "--config", config, "mpris",
                                                 "--quit-after", str(seconds)], bus.env, seconds)
            fake.terminate()
            fake.wait(timeout=10)
        status |= idle_line("mpris mode", seconds, wakeups, cpu, len(receiver.posts), per_thread)
        receiver.close()
    return status


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("row", choices=["mpv", "idle"])
    p.add_argument("--bin", default=os.path.join(ROOT, "build", "linux", "bin"))
    p.add_argument("--idle-seconds", type=int, default=65)
    p.add_argument("--mpv-changes", type=int, default=30)
    args = p.parse_args()
    return measure_mpv(args) if args.row == "mpv" else measure_idle(args)


if __name__ == "__main__":
    sys.exit(main())
