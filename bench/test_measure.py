#!/usr/bin/env python3
"""Checks the benchmark harness's figures.

Run by hand: python3 -m unittest bench/test_measure.py  (needs cc; not part of the test suite)
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable


class Runs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        helper = os.path.join(cls.tmp.name, "rusage")
        subprocess.run(["cc", "-O2", "-o", helper, os.path.join(HERE, "rusage.c")], check=True)
        cls.runner = measure.Runner(helper)

    @classmethod
    def tearDownClass(cls):
        cls.runner.close()
        cls.tmp.cleanup()

    def test_peak_memory_is_the_tools_own(self):
        # Forked straight from this Python process, even `true` would show its memory.
        _, _, small = self.runner.run(measure.Tool("true", ["true"]))
        self.assertLess(small, 4 * 1024)
        _, cpu, big = self.runner.run(measure.Tool(
            "alloc", [PY, "-c", "b = bytearray(96 << 20); b[::4096] = b'x' * len(b[::4096])"]))
        self.assertGreater(big, 96 * 1024)
        self.assertGreater(cpu, 0)

    def test_wall_and_cpu_time(self):
        wall, cpu, _ = self.runner.run(measure.Tool("sleep", ["sleep", "0.3"]))
        self.assertGreaterEqual(wall, 0.3)
        self.assertLess(cpu, 0.2)

    def test_failures_are_not_timed(self):
        for argv in (["false"], ["no-such-tool-here"], [PY, "-c", "import os; os.abort()"]):
            tool = measure.Tool("bad", argv)
            self.assertIsNone(self.runner.run(tool))
            self.assertIn("exit status", tool.failed)

    def test_terminal_run_ends_at_the_first_screen(self):
        # Like ncdu -0: silent while working, then draws and waits for a key in raw mode.
        script = ("import sys, time, tty; tty.setraw(0); time.sleep(0.4);"
                  "sys.stdout.write('screen'); sys.stdout.flush(); time.sleep(0.8);"
                  "sys.exit(0 if sys.stdin.read(1) == 'q' else 3)")
        t = measure.Tool("fake", [PY, "-c", script], pty_mode=True)
        wall, _, peak = self.runner.run(t)
        self.assertIsNone(t.failed)
        self.assertGreaterEqual(wall, 0.4)
        self.assertLess(wall, 1.1)       # the second sleep and the quit are not counted
        self.assertGreater(peak, 1024)


    def test_cold_runs_drop_the_caches_or_refuse(self):
        with tempfile.TemporaryDirectory() as d:
            drop = os.path.join(d, "drop_caches")
            runner = measure.Runner(self.runner.helper, cold=True, drop_file=drop)
            try:
                self.assertIsNotNone(runner.run(measure.Tool("true", ["true"])))
                with open(drop) as f:
                    self.assertEqual(f.read(), "3\n")
                runner.drop_file = os.path.join(d, "missing", "drop_caches")
                with self.assertRaises(measure.ColdError) as caught:
                    runner.run(measure.Tool("true", ["true"]))
                self.assertIn("cannot drop the caches", str(caught.exception))
            finally:
                runner.close()


class Parsing(unittest.TestCase):
    def test_ratios_pair_runs_of_one_round(self):
        kvor, du = measure.Tool("k", []), measure.Tool("d", [])
        kvor.runs, kvor.rounds = [(1.0, 0, 0), (3.0, 0, 0), (2.0, 0, 0), (9.0, 0, 0)], [0, 1, 2, 3]
        du.runs, du.rounds = [(2.0, 0, 0), (4.0, 0, 0), (10.0, 0, 0)], [0, 2, 3]  # round 1 failed
        ratios = measure.round_ratios(kvor, du)
        self.assertEqual(ratios, [0.5, 0.5, 0.9])
        self.assertEqual(measure.spread(ratios), "0.50 / 0.50 / 0.90")
        self.assertEqual(measure.spread([]), "-")

    def test_summary_lines_and_comparison(self):
        expect = measure.read_figures("total\tgTotalFiles\t9\ntotal\tgTotalDirs\t2\n"
                                      "total\tgTotalFileBytes\t5000000000\ninfo\tseed\t1\n")
        ok = measure.read_figures("scan of /x\ntotal\tgTotalFiles\t9\ntotal\tgTotalDirs\t2\n"
                                  "total\tgTotalFileBytes\t5000000000.00\n"
                                  "total\tgClusterSize\t4096\n")
        self.assertEqual(measure.compare_figures(ok, expect), [])
        bad = dict(ok, gTotalDirs="3", gTotalFileBytes="n/a")
        del bad["gTotalFiles"]
        self.assertEqual(measure.compare_figures(bad, expect), [
            "gTotalFiles missing", "gTotalDirs 3 (expected 2)",
            "gTotalFileBytes n/a (expected 5000000000)"])

    def test_strace_table(self):
        text = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 62.10    0.062100           3     18000           newfstatat
 20.00    0.020000           5      4000        12 getdents64
  0.01    0.000010          10         1           clone3
------ ----------- ----------- --------- --------- ----------------
100.00    0.100000           4     22001        12 total
"""
        self.assertEqual(measure.parse_strace(text), {
            "newfstatat": 18000, "getdents64": 4000, "clone3": 1, "total": 22001})


if __name__ == "__main__":
    unittest.main()
