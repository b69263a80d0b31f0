"""The verdict of a scenario run through scenarios.run: a check that fails
must fail the run (else every end-to-end test would pass whatever it saw),
and the report names each failure and shows the player's log."""

import contextlib
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios  # noqa: E402


class Run(unittest.TestCase):
    def test_verdict_and_report(self):
        rows = [
            # (what, the scenario's checks, its log, exit status, lines the report holds)
            ("all hold", lambda c: (c.eq("a", 1, 1), c.true("b", True)), None,
             0, ["PASS x: 2 checks"]),
            ("eq fails", lambda c: (c.eq("a", 1, 2), c.true("b", True)), ["LOG one"],
             1, ["FAIL x: 1 of 2 checks", "  - a: got 1, want 2", "    LOG one"]),
            ("true fails with its detail", lambda c: c.true("b", False, "why"), None,
             1, ["FAIL x: 1 of 1 checks", "  - b why"]),
        ]
        for what, checks, log, status, lines in rows:
            with self.subTest(what):
                def scenario(args, c):
                    checks(c)
                    return log
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    got = scenarios.run("x", scenario, None)
                self.assertEqual(got, status)
                for line in lines:
                    self.assertIn(line, out.getvalue().splitlines())


if __name__ == "__main__":
    unittest.main()
