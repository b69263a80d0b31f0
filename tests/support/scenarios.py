"""What the end-to-end scripts share around their scenarios: the checks a
scenario records, the list of scenarios the build registers as tests, and
one scenario run with its verdict.

A scenario is a function (args, checks) returning the player's log, or
None; the script's SCENARIOS maps each name to its function.
"""

import sys
import time


class Checks:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.count = 0

    def eq(self, what, got, want):
        self.count += 1
        if got != want:
            self.failures.append(f"{what}: got {got!r}, want {want!r}")

    def true(self, what, cond, detail=""):
        self.count += 1
        if not cond:
            self.failures.append(f"{what} {detail}".rstrip())

    def finish(self, log=None):
        if self.failures:
            print(f"FAIL {self.name}: {len(self.failures)} of {self.count} checks")
            for f in self.failures:
                print("  - " + f)
            if log is not None:
                print("  host log:")
                for line in log:
                    print("    " + line)
            return 1
        print(f"PASS {self.name}: {self.count} checks")
        return 0


def listed(scenarios):
    """With the one argument --list, prints the scenarios' names, one a line,
    and returns True: the build registers each as a test of its own from
    this output, so the script's table is the one list of them."""
    if sys.argv[1:] != ["--list"]:
        return False
    print("\n".join(scenarios))
    return True


def run(name, scenario, args):
    """Runs one scenario under fresh checks named name, says how long it
    took and its verdict; returns the exit status (0 when every check held)."""
    c = Checks(name)
    started = time.time()
    log = scenario(args, c)
    print("time %.1f s" % (time.time() - started))
    return c.finish(log)
