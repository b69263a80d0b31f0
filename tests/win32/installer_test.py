#!/usr/bin/env python3
"""Tests of the setup program and its uninstaller under Wine.

Each scenario gets a fresh Wine prefix and Xvfb display (winetest.Wine), a
stand-in player folder whose Winamp.exe is the scripted test player, and runs
the setup program the build wrote into its dist folder.

    installer_test.py SCENARIO --bin BUILD/bin --dist BUILD/dist --version X.Y.Z
                      [--arch i686|x86_64] [--wine LOADER] [--i686-dist DIR]
    installer_test.py screenshot --bin BUILD/bin --dist BUILD/dist --version X.Y.Z
                      --out PNG [--arch ...]

The shipped setup program is the 32-bit one of the i686 module. Where only
64-bit Wine runs, the scenarios run the amd64 setup program of the x86_64 test
build (--arch x86_64); the "package" scenario still checks the 32-bit one.
"""

import argparse
import contextlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import scenarios  # noqa: E402
import winetest  # noqa: E402
from winetest import NO_FILE, entry, expected_body, lines_with, opening, winpath  # noqa: E402

NSI = os.path.join(HERE, "..", "..", "installer", "trellicast.nsi")
MODULE = "gen_Trellicast.dll"
UNINSTALLER = "uninstall-trellicast.exe"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Trellicast"
PLAYER_UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
SETTINGS_KEY = r"HKLM\Software\Winamp\Trellicast"
PLAYER_HKLM_KEY = r"HKLM\Software\Winamp"
PLAYER_HKCU_KEY = r"HKCU\Software\Winamp"
# The setup program's exit codes (see the head of installer/trellicast.nsi).
EXIT_NO_PLAYER = 3
EXIT_PLAYER_RUNNING = 4
EXIT_WRITE_FAILED = 5


def nsi_define(name):
    with open(NSI, encoding="utf-8") as f:
        found = re.search(r"^\s*!define %s (\d+)\s*$" % name, f.read(), re.M)
    return int(found.group(1))


CLOSE_WAIT_S = nsi_define("CLOSE_WAIT_MS") / 1000.0


def setup_caption(args):
    """The setup program's window title, the same for both editions."""
    return "Trellicast %s Setup" % args.version


def setup_name(version, arch):
    return "Trellicast-%s-%ssetup.exe" % (version, "x64-" if arch == "x86_64" else "")


# ---------------------------------------------------------------------------
# A prefix with stand-in player folders


class Machine:
    """Drives one Wine prefix: folders on drive C, the registry, the setup
    program, the uninstaller and the stand-in player."""

    def __init__(self, wine, args):
        self.wine = wine
        self.args = args
        self.setup = os.path.join(os.path.abspath(args.dist), setup_name(args.version, args.arch))
        with open(os.path.join(args.bin, MODULE), "rb") as f:
            self.module = f.read()
        self.drive_c = os.path.join(wine.env["WINEPREFIX"], "drive_c")
        # Every Wine command starts the prefix's services anew (seconds each)
        # unless some program keeps them running: an idle test player does.
        self.keeper, log = self.start_player(
            winpath(os.path.join(args.bin, "trellicast_test_host.exe")),
            ["mark up", "pump 900000"], name="keeper")
        if not wait_for_line(log, "MARK up", winetest.WINE_TIMEOUT):
            self.keeper.kill()
            raise RuntimeError("the idle test player did not start")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.keeper.kill()
        self.keeper.wait(10)
        return False

    def local(self, path):
        """The Linux path of a C:\\ path in the prefix."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.drive_c, *[p for p in path[3:].split("\\") if p])

    def player_folder(self, folder, exe=True, test_player=False):
        """A folder, holding Winamp.exe when exe: the test player itself when
        it must run, else an empty file (the setup program looks for the
        name only)."""
        os.makedirs(self.local(folder), exist_ok=True)
        if exe:
            target = self.local(folder + "\\Winamp.exe")
            if test_player:
                shutil.copy(os.path.join(self.args.bin, "trellicast_test_host.exe"), target)
            else:
                open(target, "wb").close()

    def files(self, folder):
        """Every file under a folder, relative, with its bytes."""
        root = self.local(folder)
        out = {}
        for base, _, names in os.walk(root):
            for name in names:
                path = os.path.join(base, name)
                with open(path, "rb") as f:
                    out[os.path.relpath(path, root).replace(os.sep, "\\")] = f.read()
        return out

    def reg(self, *args):
        return self.wine.run([winetest.WINE, "reg"] + list(args), timeout=60)

    def reg_set(self, key, name, value, kind="REG_SZ"):
        which = ["/ve"] if name is None else ["/v", name]
        rc = self.reg("add", key, *which, "/t", kind, "/d", value, "/f").returncode
        assert rc == 0, "reg add %s failed" % key

    def reg_delete(self, key):
        self.reg("delete", key, "/f")

    def reg_values(self, key):
        """{name: value} of a key ("" for the default value), None when the
        key is absent. DWORDs as ints."""
        # Wine's reg now and then exits 1 without a word; only its own
        # message means the key is absent.
        for _ in range(3):
            done = self.reg("query", key)
            if done.returncode == 0 or b"Unable to find" in done.stdout:
                break
            time.sleep(0.5)
        else:
            raise RuntimeError("reg query %s: exit %d: %r" % (key, done.returncode, done.stdout))
        if done.returncode != 0:
            return None
        values = {}
        for line in done.stdout.decode("latin-1").splitlines():
            parts = re.split(r" {4}", line.strip(), maxsplit=2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                name = "" if parts[0] == "(Default)" else parts[0]
                values[name] = int(parts[2], 16) if parts[1] == "REG_DWORD" else parts[2]
        return values

    def run_setup(self, *options, timeout=120):
        """(exit code, seconds) of the setup program."""
        started = time.time()
        try:
            rc = self.wine.run([winetest.WINE, self.setup] + list(options),
                               timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            rc = "timeout"
        return rc, time.time() - started

    def run_uninstaller(self, plugins, *options):
        """Exit code of the uninstaller (which runs from a copy of itself
        and waits for it)."""
        try:
            rc = self.wine.run([winetest.WINE, plugins + "\\" + UNINSTALLER] + list(options),
                               timeout=120).returncode
        except subprocess.TimeoutExpired:
            rc = "timeout"
        return rc

    def start_player(self, exe, lines, name="player"):
        """Starts the test player (as exe) on a script; returns (process,
        log path)."""
        script = self.wine.path(name + ".txt")
        log = self.wine.path(name + ".log")
        with open(script, "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        return self.wine.start([winetest.WINE, exe, winpath(script), winpath(log)]), log

    def start_setup(self):
        """The setup program started interactively, left to run."""
        return self.wine.start([winetest.WINE, self.setup])

    def drive(self, lines, name="driver"):
        """Runs the test player on a script of window commands."""
        return self.run_player(winpath(os.path.join(self.args.bin, "trellicast_test_host.exe")),
                               lines, name=name)

    def click_until_box(self, caption, button=1, tries=3):
        """Clicks a button of the window so captioned until a message box
        shows (a click the window takes before its page is ready is lost);
        returns the driver's exit code and log lines, the box's among them."""
        for _ in range(tries):
            rc, log = self.drive(["window-command dialog %d %s" % (button, caption),
                                  "await-window 10000 box " + caption, "windows " + caption])
            if rc == 0:
                break
        return rc, log

    def close_when_done(self, process, caption, button):
        """Exit code of a setup program or uninstaller once it has finished
        its work: its closing button (1 Close, or 2 after an abort) is
        clicked until it ends, which it does only once the work is done."""
        for _ in range(6):
            try:
                return process.wait(1 if _ == 0 else 5)
            except subprocess.TimeoutExpired:
                self.drive(["window-command dialog %d %s" % (button, caption)], name="closer")
        process.kill()
        return "still running"

    def run_player(self, exe, lines, name="player"):
        process, log = self.start_player(exe, lines, name)
        try:
            rc = process.wait(winetest.WINE_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            rc = "timeout"
        return rc, read_log(log)


@contextlib.contextmanager
def machine(args, name, folder=None, receiver=False, **player):
    """A Machine on a fresh prefix (with a loopback receiver when asked); with
    folder, a player folder there (player_folder's options), which
    HKCU\\Software\\Winamp names."""
    with winetest.Wine(args.bin, name, receiver=receiver) as wine, Machine(wine, args) as m:
        if folder is not None:
            m.player_folder(folder, **player)
            m.reg_set(PLAYER_HKCU_KEY, None, folder)
        yield m


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return f.read().decode("latin-1").splitlines()


def wait_for_line(path, prefix, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if lines_with(read_log(path), prefix):
            return True
        time.sleep(0.1)
    return False


def installed_files(files):
    """Our files among a folder's files."""
    return sorted(n for n in files if n.lower().startswith("plugins\\") and
                  n.split("\\", 1)[1].lower() in (MODULE.lower(), UNINSTALLER.lower(),
                                                   MODULE.lower() + ".new"))


def check_installed(c, m, what, folder):
    """The module and the uninstaller in FOLDER\\Plugins and the
    installed-programs entry pointing at them."""
    files = m.files(folder)
    c.eq(what + ": files", installed_files(files), ["Plugins\\" + MODULE, "Plugins\\" + UNINSTALLER])
    c.true(what + ": the module is the build's", files.get("Plugins\\" + MODULE) == m.module)
    entry = m.reg_values(UNINSTALL_KEY) or {}
    plugins = folder + "\\Plugins"
    for name, want in (("DisplayVersion", m.args.version),
                       ("UninstallString", '"%s\\%s"' % (plugins, UNINSTALLER)),
                       ("InstallLocation", plugins), ("NoModify", 1), ("NoRepair", 1)):
        c.eq("%s: entry %s" % (what, name), entry.get(name), want)
    c.true(what + ": entry names the project and version",
           str(entry.get("DisplayName", "")).startswith("Trellicast %s" % m.args.version),
           repr(entry.get("DisplayName")))


def check_untouched(c, m, what, before, folders):
    c.eq(what + ": no installed-programs entry", m.reg_values(UNINSTALL_KEY), None)
    for folder in folders:
        c.true(what + ": %s unchanged" % folder, m.files(folder) == before[folder],
               str(sorted(set(m.files(folder)) ^ set(before[folder]))))


def announce(args):
    if args.arch == "x86_64":
        print("running the amd64 setup program of the x86_64 test build under 64-bit Wine")
    else:
        print("running the 32-bit setup program of the i686 module")


# ---------------------------------------------------------------------------
# Scenarios


def scenario_silent(args, c):
    """Silent setup into the folder HKCU\\Software\\Winamp names; the player
    run from there loads the installed module, which posts; silent uninstall
    keeps the settings, /REMOVESETTINGS removes them (and only them)."""
    folder = r"C:\Players\Winamp Test"
    plugins = folder + "\\Plugins"
    with machine(args, "install-silent", folder, receiver=True, test_player=True) as m:
        m.reg_set(PLAYER_HKLM_KEY, "PlayerOwn", "kept")

        rc, took = m.run_setup("/S")
        print("silent setup: exit %s in %.1f s" % (rc, took))
        c.eq("setup exit", rc, 0)
        check_installed(c, m, "installed", folder)

        url = "http://127.0.0.1:%d/np" % m.wine.receiver.port
        title = b"Installed & posting"
        rc, log = m.run_player(folder + "\\Winamp.exe", opening(
            args, *entry(title, file=NO_FILE), url=url, module=plugins + "\\" + MODULE) +
            ["pump 2500", "quit"])
        time.sleep(0.3)
        c.eq("player exit", rc, 0)
        c.true("the installed module's description carries the same version",
               any(l.startswith("INIT 0 description=Trellicast %s " % args.version)
                   for l in log), str(lines_with(log, "INIT")))
        bodies = [winetest.parse_request(r)[2] for r in m.wine.posts()]
        c.true("the installed module posted", len(bodies) >= 1)
        c.eq("its body", bodies[:1], [expected_body(1, title, [], has_file=False)])

        rc = m.run_uninstaller(plugins, "/S")
        c.eq("uninstall exit", rc, 0)
        c.eq("uninstalled: files", installed_files(m.files(folder)), [])
        c.true("uninstalled: the player is left", "Winamp.exe" in m.files(folder))
        c.eq("uninstalled: entry", m.reg_values(UNINSTALL_KEY), None)
        kept = m.reg_values(SETTINGS_KEY) or {}
        c.eq("silent uninstall keeps the settings",
             (kept.get("URL"), kept.get("Interval")), (url, 1))

        rc, _ = m.run_setup("/S")
        c.eq("setup again: exit", rc, 0)
        check_installed(c, m, "installed again", folder)
        again = m.reg_values(SETTINGS_KEY) or {}
        c.eq("setup leaves the settings alone", (again.get("URL"), again.get("Interval")),
             (url, 1))
        rc = m.run_uninstaller(plugins, "/S", "/REMOVESETTINGS")
        c.eq("uninstall /REMOVESETTINGS exit", rc, 0)
        c.eq("/REMOVESETTINGS: files", installed_files(m.files(folder)), [])
        c.eq("/REMOVESETTINGS: settings key gone", m.reg_values(SETTINGS_KEY), None)
        c.eq("/REMOVESETTINGS: the player's own key stays",
             (m.reg_values(PLAYER_HKLM_KEY) or {}).get("PlayerOwn"), "kept")
    return log


PROGRAM_FILES_PLAYER = r"C:\Program Files\Winamp"
A, B, D = r"C:\Players\A", r"C:\Players\B", r"C:\Players\D"
# Where the silent setup puts the module: (what, HKCU default value, the
# player's UninstallString, /D folder, folders holding Winamp.exe, folders
# without it, the folder chosen or None for a refusal).
FOLDER_ROWS = [
    ("HKCU default value", A, None, None, [A], [], A),
    ("HKCU value quoted, trailing backslash", '"%s\\"' % A, None, None, [A], [], A),
    ("Uninstall key only, quoted", None, '"%s\\UninstWA.exe"' % B, None, [B], [], B),
    ("Uninstall key only, unquoted", None, B + "\\UninstWA.exe", None, [B], [], B),
    ("HKCU folder lacks Winamp.exe, Uninstall key's has it", A, '"%s\\UninstWA.exe"' % B, None,
     [B], [A], B),
    ("neither key: the usual place", None, None, None, [PROGRAM_FILES_PLAYER], [],
     PROGRAM_FILES_PLAYER),
    ("/D wins over the keys", A, None, D, [A, D], [], D),
    ("refused: HKCU folder lacks Winamp.exe", A, None, None, [], [A], None),
    ("refused: no player anywhere", None, None, None, [], [], None),
    ("refused: /D folder lacks Winamp.exe", A, None, D, [A], [D], None),
]


def scenario_folders(args, c):
    """Finding the player's folder, one prefix for the whole table: each row
    starts from no keys and no folders."""
    with machine(args, "install-folders") as m:
        every = [A, B, D, PROGRAM_FILES_PLAYER]
        for what, hkcu, uninstall, explicit, with_exe, without_exe, want in FOLDER_ROWS:
            for key in (PLAYER_HKCU_KEY, PLAYER_UNINSTALL_KEY, UNINSTALL_KEY):
                m.reg_delete(key)
            for folder in every:
                shutil.rmtree(m.local(folder), ignore_errors=True)
            for folder in with_exe:
                m.player_folder(folder)
            for folder in without_exe:
                m.player_folder(folder, exe=False)
            if hkcu is not None:
                m.reg_set(PLAYER_HKCU_KEY, None, hkcu)
            if uninstall is not None:
                m.reg_set(PLAYER_UNINSTALL_KEY, "UninstallString", uninstall)
            before = {f: m.files(f) for f in every}
            rc, took = m.run_setup("/S", *(["/D=" + explicit] if explicit else []))
            print("%-55s exit %s in %.1f s" % (what, rc, took))
            if want is None:
                c.eq(what + ": exit", rc, EXIT_NO_PLAYER)
                check_untouched(c, m, what, before, every)
                continue
            c.eq(what + ": exit", rc, 0)
            check_installed(c, m, what, want)
            for folder in every:
                if folder != want:
                    c.eq(what + ": nothing in " + folder, installed_files(m.files(folder)), [])
    return None


OLD_MARK = b"\0an older module\0"


def scenario_running(args, c):
    """A running player holding the module: silent setup closes it with its
    exit command and replaces the module; a player that ignores the command
    makes setup and uninstaller give up after the wait, with nothing
    changed; asked interactively, Cancel changes nothing. A module held by a
    program without the player's window stays as it was."""
    folder = r"C:\Players\Running"
    plugins = folder + "\\Plugins"
    exe = folder + "\\Winamp.exe"
    log = []
    with machine(args, "install-running", folder, test_player=True) as m:
        old = m.module + OLD_MARK  # still loads: the loader ignores bytes past the image
        plugins_local = m.local(plugins)

        # A program holds the module but has no player window to close:
        # the old module cannot be replaced, and stays whole.
        os.makedirs(plugins_local, exist_ok=True)
        with open(os.path.join(plugins_local, MODULE), "wb") as f:
            f.write(old)
        before = m.files(folder)
        holder, log_path = m.start_player(exe, [
            "load " + plugins + "\\" + MODULE, "mark up", "pump 90000"], name="holder")
        c.true("hold: module loaded", wait_for_line(log_path, "MARK up", winetest.WINE_TIMEOUT))
        rc, took = m.run_setup("/S")
        print("module held without a player window: setup exit %s in %.1f s" % (rc, took))
        c.eq("hold: setup exit", rc, EXIT_WRITE_FAILED)
        c.eq("hold: files unchanged, no new module left beside the old",
             sorted(m.files(folder)), sorted(before))
        c.true("hold: the old module is whole", m.files(folder) == before)
        c.eq("hold: no entry", m.reg_values(UNINSTALL_KEY), None)
        holder.kill()
        holder.wait(10)

        for mode in ("close", "ignore"):
            os.makedirs(plugins_local, exist_ok=True)
            with open(os.path.join(plugins_local, MODULE), "wb") as f:
                f.write(old)
            before = m.files(folder)
            entry_before = m.reg_values(UNINSTALL_KEY)
            player, log_path = m.start_player(exe, [
                "load " + plugins + "\\" + MODULE, "init", "player-window " + mode, "serve 90000",
                "quit"], name="player-" + mode)
            c.true(mode + ": player up",
                   wait_for_line(log_path, "PLAYER-WINDOW", winetest.WINE_TIMEOUT))
            rc, took = m.run_setup("/S")
            log = read_log(log_path)
            print("player that %ss: setup exit %s in %.1f s (wait bound %.0f s)" % (
                "close" if mode == "close" else "ignore", rc, took, CLOSE_WAIT_S))
            if mode == "close":
                c.eq("close: setup exit", rc, 0)
                c.eq("close: the player got its exit command once",
                     lines_with(log, "EXIT-COMMAND"), ["EXIT-COMMAND close"])
                c.true("close: the player ended", player.wait(30) == 0)
                c.true("close: the player had released the module when setup ended",
                       "EXITED" in log)
                check_installed(c, m, "close", folder)
                c.true("close: setup did not wait out the bound", took < CLOSE_WAIT_S + 20,
                       "(%.1f s)" % took)
                continue
            c.eq("ignore: setup exit", rc, EXIT_PLAYER_RUNNING)
            c.eq("ignore: the player got the exit command", lines_with(log, "EXIT-COMMAND"),
                 ["EXIT-COMMAND ignored"])
            c.true("ignore: setup waited for the player", took >= CLOSE_WAIT_S,
                   "(%.1f s)" % took)
            c.true("ignore: setup gave up within the bound", took < CLOSE_WAIT_S + 20,
                   "(%.1f s)" % took)
            c.true("ignore: the player still runs", player.poll() is None)
            c.true("ignore: files unchanged", m.files(folder) == before,
                   str(installed_files(m.files(folder))))
            c.eq("ignore: entry unchanged", m.reg_values(UNINSTALL_KEY), entry_before)

            # The uninstaller of the earlier install gives up the same way.
            # Run in place (_?=), its exit code is its own; from its usual
            # temporary copy the code is that of the program starting it, 0.
            rc = m.run_uninstaller(plugins, "/S", "_?=" + plugins)
            c.eq("ignore: uninstaller exit", rc, EXIT_PLAYER_RUNNING)
            c.eq("ignore: uninstaller left the files", m.files(folder), before)
            c.eq("ignore: uninstaller left the entry", m.reg_values(UNINSTALL_KEY), entry_before)
            c.true("ignore: the player still runs after the uninstaller", player.poll() is None)

            # Interactive, setup asks first; Cancel leaves the player alone.
            commands_before = len(lines_with(read_log(log_path), "EXIT-COMMAND"))
            caption = setup_caption(args)
            setup = m.start_setup()
            m.drive(navigate_to_folder_page(caption))
            rc, driven = m.click_until_box(caption)  # Install
            if rc == 0:
                rc, _ = m.drive(["window-command box 2 " + caption, "pump 2000"])  # Cancel
            ended = m.close_when_done(setup, caption, 2)
            c.eq("ask: driver exit", rc, 0)
            c.eq("ask: setup asked", [l.split("|")[1][:17] for l in lines_with(driven,
                                                                               "WINDOW box")],
                 ["Winamp is running"])
            c.eq("ask: Cancel ends setup as cancelled", ended, 1)
            c.eq("ask: no exit command after Cancel",
                 len(lines_with(read_log(log_path), "EXIT-COMMAND")), commands_before)
            c.true("ask: files unchanged", m.files(folder) == before)
            c.true("ask: the player still runs", player.poll() is None)
            player.kill()
    return log


def scenario_dialog(args, c):
    """The folder page refuses a folder without Winamp.exe with a message
    naming it, and stays on the page; nothing is written."""
    folder = r"C:\Players\Empty"
    caption = setup_caption(args)
    with machine(args, "install-dialog", folder, exe=False) as m:
        setup = m.start_setup()
        try:
            m.drive(navigate_to_folder_page(caption))
            rc, log = m.click_until_box(caption)  # Next
            written = (m.files(folder), m.reg_values(UNINSTALL_KEY))
        finally:
            setup.kill()
    c.eq("driver exit", rc, 0)
    boxes = lines_with(log, "WINDOW box")
    c.eq("one message box", len(boxes), 1)
    c.true("it names the folder and what is missing",
           boxes[:1] and "no Winamp.exe" in boxes[0] and folder.replace("\\", "\\x5C") in boxes[0],
           str(boxes))
    c.eq("setup still open", lines_with(log, "WINDOW dialog"), ["WINDOW dialog"])
    c.eq("nothing written", written, ({}, None))
    return log


# The uninstaller's question whether to keep the settings: (what, the button
# pressed, settings kept). "default" is the box's default button, as Enter
# would press it.
KEEP_ROWS = [
    ("Enter keeps the settings", "default", True),
    ("No removes them", "7", False),
]


def scenario_keep(args, c):
    """The interactive uninstaller asks whether to keep the settings key,
    keeps it by default, and removes it (and only it) when told."""
    folder = r"C:\Players\Keep"
    plugins = folder + "\\Plugins"
    caption = "Trellicast %s" % args.version
    log = []
    with machine(args, "install-keep", folder) as m:
        m.reg_set(PLAYER_HKLM_KEY, "PlayerOwn", "kept")
        for what, button, kept in KEEP_ROWS:
            rc, _ = m.run_setup("/S")
            c.eq(what + ": setup exit", rc, 0)
            m.reg_set(SETTINGS_KEY, "Interval", "7", "REG_DWORD")
            uninstaller = m.wine.start([winetest.WINE, plugins + "\\" + UNINSTALLER])
            m.drive(["await-window 60000 dialog " + caption, "pump 1000"])
            rc, driven = m.click_until_box(caption)  # Uninstall
            if rc == 0:
                rc, _ = m.drive(["window-command box %s %s" % (button, caption)])
            ended = m.close_when_done(uninstaller, caption, 1)
            log += ["-- " + what] + driven
            c.eq(what + ": driver exit", rc, 0)
            c.eq(what + ": uninstaller ended", ended, 0)
            boxes = lines_with(driven, "WINDOW box")
            c.true(what + ": the box asks about the settings key",
                   len(boxes) == 1 and "Keep Trellicast's settings" in boxes[0] and
                   "Software\\x5CWinamp\\x5CTrellicast" in boxes[0], str(boxes))
            c.eq(what + ": files", installed_files(m.files(folder)), [])
            c.eq(what + ": entry", m.reg_values(UNINSTALL_KEY), None)
            settings = m.reg_values(SETTINGS_KEY)
            c.eq(what + ": settings", settings and settings.get("Interval"),
                 7 if kept else None)
            c.eq(what + ": the player's own key stays",
                 (m.reg_values(PLAYER_HKLM_KEY) or {}).get("PlayerOwn"), "kept")
    return log


def navigate_to_folder_page(caption):
    """Test player lines: wait for the setup window, then Next (welcome) and
    I Agree (licence), both button 1."""
    return ["await-window 60000 dialog " + caption, "pump 2000",
            "window-command dialog 1 " + caption, "pump 1500",
            "window-command dialog 1 " + caption, "pump 1500"]


def pe_machine_of(image):
    offset = struct.unpack_from("<I", image, 0x3C)[0]
    if image[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", image, offset + 4)[0]


def pe_machine(path):
    with open(path, "rb") as f:
        return pe_machine_of(f.read(4096))


def scenario_package(args, c):
    """What the release offers: the 32-bit setup program of the i686 module
    and the zip beside it (module, README, licence), and the amd64 setup
    program of this build when it is the x86_64 one. No Wine needed."""
    i686_dist = os.path.abspath(args.i686_dist or args.dist)
    setup32 = os.path.join(i686_dist, setup_name(args.version, "i686"))
    zip_path = os.path.join(i686_dist, "Trellicast-%s-win32.zip" % args.version)
    present = os.path.exists(setup32)
    c.true("32-bit setup program built", present, setup32)
    if present:
        size = os.path.getsize(setup32)
        print("%s: %d bytes" % (os.path.basename(setup32), size))
        c.eq("32-bit setup program is an i386 program", pe_machine(setup32), 0x14C)
        with open(setup32, "rb") as f:
            data = f.read()
        c.true("its version resource names the version",
               ("Trellicast %s" % args.version).encode("utf-16-le") in data)
    if args.arch == "x86_64":
        setup64 = os.path.join(args.dist, setup_name(args.version, "x86_64"))
        c.true("amd64 setup program built", os.path.exists(setup64), setup64)
        if os.path.exists(setup64):
            print("%s: %d bytes" % (os.path.basename(setup64), os.path.getsize(setup64)))
            c.eq("it is an amd64 program", pe_machine(setup64), 0x8664)
    c.true("zip built", os.path.exists(zip_path), zip_path)
    if os.path.exists(zip_path):
        print("%s: %d bytes" % (os.path.basename(zip_path), os.path.getsize(zip_path)))
        with zipfile.ZipFile(zip_path) as z:
            names = z.namelist()
            c.eq("zip entries", sorted(names), sorted([MODULE, "README.md", "LICENSE"]))
            module = z.read(MODULE) if MODULE in names else b""
        c.eq("zip's module is the i686 one", module[:2] == b"MZ" and pe_machine_of(module), 0x14C)
    return None


SCENARIOS = {
    "silent": scenario_silent,
    "folders": scenario_folders,
    "running": scenario_running,
    "dialog": scenario_dialog,
    "keep": scenario_keep,
    "package": scenario_package,
}


def screenshot(args):
    """The setup program's folder page under Xvfb, saved as a picture."""
    caption = setup_caption(args)
    folder = r"C:\Program Files\Winamp"
    with machine(args, "install-screenshot", folder) as m:
        setup = m.start_setup()
        try:
            rc, log = m.drive(navigate_to_folder_page(caption) + ["pump 1000"])
            if rc != 0:
                print("could not reach the folder page:")
                print("\n".join(log))
                return 1
            winetest.snap(m.wine, args.out)
        finally:
            setup.kill()
    print("wrote " + args.out)
    return 0


def main():
    if scenarios.listed(SCENARIOS):
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + ["screenshot"])
    parser.add_argument("--bin", required=True, help="folder with the module and the test host")
    parser.add_argument("--dist", required=True, help="folder with the setup program")
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--i686-dist", help="dist folder of the i686 build (package scenario)")
    parser.add_argument("--out", help="picture to write (screenshot)")
    winetest.add_arch_arguments(parser)
    args = parser.parse_args()
    winetest.apply_arch(args)
    if args.scenario == "screenshot":
        return screenshot(args)
    if args.scenario != "package":
        announce(args)
    return scenarios.run("install-" + args.scenario, SCENARIOS[args.scenario], args)


if __name__ == "__main__":
    sys.exit(main())
