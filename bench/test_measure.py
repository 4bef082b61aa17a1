#!/usr/bin/env python3
"""Checks the benchmark harness's figures.

Run by hand: python3 -m unittest bench/test_measure.py  (needs cc; not part of the test suite)
"""

import contextlib
import io
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


def record(shape, goals, mode, ratios, peak, ncdu_peak=None, entries=500_000, window=None,
           check="ok"):
    """A saved shape as bench_tree makes it: kvor-scan's peak, ratios to du -s and gdu."""
    tools = {measure.KVOR: {"wall": 1, "cpu": 1, "peak": peak, "runs": 3, "failed": None}}
    if ncdu_peak:
        tools[measure.NCDU] = {"wall": 1, "cpu": 1, "peak": ncdu_peak, "runs": 3, "failed": None}
    return {"shape": shape, "goals": goals, "mode": mode, "entries": entries, "check": check,
            "tools": tools, "ratios": ratios, "window": window, "load": [0.1, 0, 0],
            "load_end": [0.2, 0, 0]}


class Goals(unittest.TestCase):
    def verdicts(self, rec, before=None):
        return [(text.split(" (")[0], ok) for text, ok in measure.goal_checks(rec, before)]

    def test_each_shape_is_held_to_its_own_goals(self):
        du, gdu = measure.DU, measure.GDU
        cases = [  # record, before, expected verdicts
            (record("wide-files", "wide", "warm", {du: [0.5, 0.6, 0.9]}, 30_000, 31_000,
                    window={"ratio": 1.12}), None,
             [("warm 0.60x du -s", True), ("warm peak 29.3 MiB, ncdu in memory 30.3", True),
              ("window 1.12x kvor-scan", False)]),
            (record("wide-dirs", "wide", "cold", {du: [0.49, 0.51, 0.52]}, 53_000, 30_000), None,
             [("cold 0.51x du -s", False), ("cold peak 51.8 MiB, ncdu in memory 29.3", False)]),
            (record("kernel", "real", "cold", {du: [0.3], gdu: [0.1]}, 10_500, check="MISMATCH"),
             record("kernel", "real", "cold", {}, 10_000),
             [("figures MISMATCH", False), ("cold 0.30x du -s", True),
              ("cold peak 10.3 MiB, before 9.8", True)]),
            (record("chain20k", "chain", "warm", {du: [1.3, 1.1, 1.2]}, 30_000,
                    window={"failed": "exit status 139"}),
             record("chain20k", "chain", "warm", {}, 20_000),
             [("warm 1.20x du -s", True), ("warm peak 29.3 MiB, before 19.5", False),
              ("window exit status 139", False)]),
            (record("gen1000000", "gen", "cold", {du: [0.36], gdu: [0.49]}, 30_000, 90_000,
                    entries=1_000_000), None,
             [("cold 0.36x du -s", False), ("cold 0.49x gdu -n -p -x", True),
              ("cold peak 0.33x ncdu in memory", False)]),
            (record("gen10000", "gen", "warm", {du: [0.9]}, 4_000, entries=10_000), None, []),
        ]
        for rec, before, want in cases:
            with self.subTest(rec["shape"], mode=rec["mode"]):
                self.assertEqual(self.verdicts(rec, before), want)

    def test_results_merge_by_shape_and_table_lists_every_one(self):
        du = measure.DU
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "now-warm.json")
            measure.save_results(path, [record("usr", "real", "warm", {du: [0.9]}, 12_000),
                                        record("node", "real", "warm", {du: [0.7]}, 18_000)])
            measure.save_results(path, [record("usr", "real", "warm", {du: [0.5]}, 11_000)])
            self.assertEqual({s: r["ratios"][du] for s, r in measure.load_results(path).items()},
                             {"usr": [0.5], "node": [0.7]})
            measure.save_results(os.path.join(d, "was-cold.json"),
                                 [record("usr", "real", "cold", {du: [0.31]}, 12_000)])
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                self.assertEqual(measure.table(d, "now", "was"), 0)
                self.assertEqual(measure.table(d, "nothing"), 1)
            text = out.getvalue()
            self.assertRegex(text, r"usr +\d[\d,]* +- > 0\.50 +0\.31 > -")
            self.assertIn("node: 1 not met", text)

    def test_window_figures_and_live_trees(self):
        out = ("nodes 1001, rounds 3\nkvor-scan --summary  75.2 ms (median)\n"
               "window Refresh       67.0 ms (median)\nratio                0.89\n")
        self.assertEqual(measure.parse_window(out),
                         {"report_ms": 75.2, "window_ms": 67.0, "ratio": 0.89})
        self.assertIsNone(measure.parse_window("usage: kvor-window-bench DIR [ROUNDS]\n"))
        live = measure.shape_of({"files": "10", "dirs": "2", "shape": "usr", "goals": "real"},
                                "/usr")
        self.assertEqual((live["entries"], live["goals"], live["warm_only"]), (12, "real", False))
        gen = measure.shape_of({"gTotalFiles": "9", "gTotalDirs": "1"}, "/t/tree-10-s1")
        self.assertEqual((gen["shape"], gen["goals"]), ("tree-10-s1", "gen"))


if __name__ == "__main__":
    unittest.main()
