#!/usr/bin/env python3
"""Times kvor-scan against du, ncdu and gdu on generated trees (called by run.sh).

Each run's wall time, user+system CPU and peak resident memory come from wait4() on
that one child (through the rusage helper), so no figure mixes two runs. Tools take
turns round-robin, each round starting one tool later, after one untimed round that
also warms the cache. With --cold the page cache is dropped before every run instead
(as root, through /proc/sys/vm/drop_caches after sync).

ncdu 1.x has no headless in-memory mode: with -0 it draws nothing until its scan is
complete, so it runs on a pseudo-terminal, its wall time is taken when its first screen
arrives and it is then told to quit; CPU and peak memory cover its whole life.
"""

import argparse
import fcntl
import os
import pty
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

TIMEOUT = 900  # seconds for one run before it is killed
DROP_CACHES = "/proc/sys/vm/drop_caches"


class ColdError(Exception):
    """A cold run was asked for and the caches cannot be dropped."""


class Tool:
    def __init__(self, label, argv, pty_mode=False):
        self.label, self.argv, self.pty_mode = label, argv, pty_mode
        self.runs = []  # (wall s, cpu s, peak KiB)
        self.rounds = []  # the round of each run, to pair runs of one round
        self.failed = None

    def median(self, i):
        return statistics.median(r[i] for r in self.runs) if self.runs else None


def tools_for(tree, kvor):
    tools = []
    if kvor:
        tools.append(Tool("kvor-scan --summary", [kvor, "--summary", tree]))
    tools += [
        Tool("du -s", ["du", "-s", tree]),
        Tool("du -sb --apparent-size", ["du", "-sb", "--apparent-size", tree]),
        Tool("ncdu -x -0 -o /dev/null", ["ncdu", "-x", "-0", "-o", "/dev/null", tree]),
        Tool("ncdu -x -0 (in memory)", ["ncdu", "-x", "-0", tree], pty_mode=True),
        Tool("gdu -n -p -x", ["gdu", "-n", "-p", "-x", tree]),
    ]
    missing = sorted({t.argv[0] for t in tools if not shutil.which(t.argv[0])})
    for m in missing:
        print(f"  (skipping {m}: not installed)")
    return [t for t in tools if shutil.which(t.argv[0])]


class Runner:
    """Starts each run through the small rusage helper and reads back its figures."""

    def __init__(self, helper, cold=False, drop_file=DROP_CACHES):
        self.helper = helper
        self.cold = cold
        self.drop_file = drop_file
        fd, self.out = tempfile.mkstemp(prefix="kvor-rusage-")
        os.close(fd)

    def drop_caches(self):
        """Empties the page, dentry and inode caches; the reason when it cannot."""
        os.sync()
        try:
            with open(self.drop_file, "w") as f:
                f.write("3\n")
        except OSError as e:
            why = "it needs root" if os.geteuid() != 0 else e.strerror
            return f"cannot drop the caches through {self.drop_file}: {why}"
        return None

    def close(self):
        os.unlink(self.out)

    def _argv(self, argv):
        return [self.helper, self.out] + argv

    def _figures(self):
        with open(self.out) as f:
            wall, user, system, peak, code = f.read().split()
        os.truncate(self.out, 0)
        return float(wall), float(user) + float(system), int(peak), int(code)

    @staticmethod
    def _watchdog(pgid):
        def kill():
            try:
                os.killpg(pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        timer = threading.Timer(TIMEOUT, kill)
        timer.start()
        return timer

    def plain(self, argv):
        null = os.open(os.devnull, os.O_RDWR)
        try:
            pid = os.posix_spawn(self.helper, self._argv(argv), os.environ, setpgroup=0,
                                 file_actions=[(os.POSIX_SPAWN_DUP2, null, 0),
                                               (os.POSIX_SPAWN_DUP2, null, 1),
                                               (os.POSIX_SPAWN_DUP2, null, 2)])
        finally:
            os.close(null)
        timer = self._watchdog(pid)
        os.waitpid(pid, 0)
        timer.cancel()
        return self._figures()

    def pty(self, argv):
        """Wall time ends at the first screen, which ncdu -0 draws only after its scan."""
        t0 = time.perf_counter()
        pid, fd = pty.fork()
        if pid == 0:
            os.environ["TERM"] = "xterm"
            try:
                os.execv(self.helper, self._argv(argv))
            finally:
                os._exit(127)
        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        timer = self._watchdog(pid)
        first = last_q = None
        try:
            while True:
                ready, _, _ = select.select([fd], [], [], 0.2)
                if ready:
                    try:
                        if not os.read(fd, 65536):
                            break
                    except OSError:  # EIO once the child has closed the terminal
                        break
                    if first is None:
                        first = time.perf_counter()
                # Repeat the quit key in case the first came before the program read input.
                if first is not None and (last_q is None or time.perf_counter() - last_q > 0.5):
                    os.write(fd, b"q")
                    last_q = time.perf_counter()
        finally:
            os.close(fd)
        os.waitpid(pid, 0)
        timer.cancel()
        _, cpu, peak, code = self._figures()
        return (first if first is not None else time.perf_counter()) - t0, cpu, peak, code

    def run(self, tool):
        if self.cold:
            why = self.drop_caches()
            if why:
                raise ColdError(why)
        try:
            wall, cpu, peak, code = (self.pty if tool.pty_mode else self.plain)(tool.argv)
        except (OSError, ValueError) as e:
            wall, cpu, peak, code = 0, 0, 0, f"({e})"
        if code != 0:
            tool.failed = f"exit status {code}"
            return None
        return wall, cpu, peak


def read_figures(text):
    out = {}
    for line in text.splitlines():
        parts = line.split("\t")
        if len(parts) == 3 and parts[0] in ("total", "info"):
            out[parts[1]] = parts[2]
    return out


def compare_figures(got, expect):
    """Differences between a scan's totals and the generator's, as readable lines."""
    bad = []
    for key in ("gTotalFiles", "gTotalDirs", "gTotalFileBytes"):
        if key not in expect:
            continue
        try:
            same = float(got[key]) == float(expect[key])
        except KeyError:
            bad.append(f"{key} missing")
            continue
        except ValueError:
            same = False
        if not same:
            bad.append(f"{key} {got[key]} (expected {expect[key]})")
    return bad


def check_kvor(kvor, tree, expect):
    """A fast scan is only worth timing if it counts right."""
    try:
        p = subprocess.run([kvor, "--summary", tree], capture_output=True, text=True,
                           timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        print("  kvor-scan check: timed out")
        return
    bad = compare_figures(read_figures(p.stdout), expect)
    state = "ok" if p.returncode == 0 and not bad else "MISMATCH"
    print(f"  kvor-scan figures: {state}, exit status {p.returncode}"
          + ("".join(f"\n    {b}" for b in bad)))


def parse_strace(text):
    """System call counts from `strace -c` output, by name, with the "total" line."""
    calls = {}
    for line in text.splitlines():
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit():   # "% time seconds usecs/call calls [errors] name"
            calls[f[-1]] = int(f[3])
    return calls


def strace_counts(argv, entries):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        cmd = ["strace", "-c", "-f", "-o", out.name, "--"] + argv
        subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        calls = parse_strace(out.read())
    total = calls.pop("total", sum(calls.values()))
    top = sorted(calls.items(), key=lambda kv: -kv[1])[:4]
    threads = sum(calls.get(k, 0) for k in ("clone", "clone3", "fork", "vfork"))
    detail = ", ".join(f"{name} {n / entries:.2f}" for name, n in top)
    return f"{total / entries:.2f} calls/entry ({detail}); threads or processes started: {threads}"


def fmt_ratio(mine, theirs):
    return f"{mine / theirs:5.2f}x" if mine is not None and theirs else "   -  "


def round_ratios(mine, theirs, i=0):
    """kvor-scan's figure i over the other tool's, one ratio per round both ran in."""
    theirs_by_round = dict(zip(theirs.rounds, theirs.runs))
    return sorted(run[i] / theirs_by_round[r][i] for r, run in zip(mine.rounds, mine.runs)
                  if r in theirs_by_round and theirs_by_round[r][i])


def spread(ratios):
    """min / median / max of a list of ratios, as text."""
    if not ratios:
        return "-"
    return f"{ratios[0]:.2f} / {statistics.median(ratios):.2f} / {ratios[-1]:.2f}"


def report(tools, entries, kvor_tool):
    head = (f"  {'tool':<26}{'wall s':>8}{'cpu s':>8}{'peak MiB':>10}{'B/entry':>9}"
            f"   kvor/tool: {'wall':>6}{'cpu':>7}{'peak':>7}")
    print(head)
    print("  " + "-" * (len(head) - 2))
    for t in tools:
        if not t.runs:
            print(f"  {t.label:<26}  failed: {t.failed}")
            continue
        wall, cpu, peak = t.median(0), t.median(1), t.median(2)
        line = (f"  {t.label:<26}{wall:8.3f}{cpu:8.3f}{peak / 1024:10.1f}"
                f"{peak * 1024 / entries:9.0f}")
        if kvor_tool and kvor_tool.runs:
            line += "              " + "".join(
                fmt_ratio(kvor_tool.median(i), t.median(i)).rjust(7) for i in range(3))
        print(line)
    if kvor_tool and kvor_tool.runs:
        print("  kvor-scan wall time over each tool's in the same round, min / median / max:")
        for t in tools:
            if t is not kvor_tool and t.runs:
                print(f"    {t.label:<26}{spread(round_ratios(kvor_tool, t))}")


def bench_tree(runner, tree, expect_file, kvor, runs, use_strace):
    with open(expect_file) as f:
        expect = read_figures(f.read())
    files, dirs = int(expect["gTotalFiles"]), int(expect["gTotalDirs"])
    entries = files + dirs
    print(f"\n== {tree}: {entries:,} entries ({files:,} files, {dirs:,} directories), "
          f"{runs} runs, {'cold (caches dropped before each run)' if runner.cold else 'warm'} cache")
    load = os.getloadavg()[0]
    if load > 0.5 * os.cpu_count():
        print(f"  note: load average {load:.1f} on {os.cpu_count()} cores; wall times are noisy,"
              " CPU times less so")
    tools = tools_for(tree, kvor)
    kvor_tool = tools[0] if kvor else None
    if kvor:
        check_kvor(kvor, tree, expect)
    for t in tools:  # untimed round: warms the cache and weeds out broken tools
        runner.run(t)
    tools_ok = [t for t in tools if not t.failed]
    for r in range(runs if tools_ok else 0):
        k = r % len(tools_ok)
        for t in tools_ok[k:] + tools_ok[:k]:
            res = runner.run(t)
            if res:
                t.runs.append(res)
                t.rounds.append(r)
    report(tools, entries, kvor_tool)
    if use_strace and shutil.which("strace"):
        for t in tools:
            if t.label in ("kvor-scan --summary", "du -s") and not t.failed:
                print(f"  strace {t.label}: {strace_counts(t.argv, entries)}")
    return entries, {t.label: t for t in tools}


def goals(results, cold=False):
    print(f"\n== goals ({'cold' if cold else 'warm'} cache)")
    # Medians of the per-round ratios: warm, 0.6x du -s; cold, 0.35x du -s and below 0.5x gdu.
    walls = [("du -s", 0.35 if cold else 0.6, "<=")] + ([("gdu -n -p -x", 0.5, "<")] if cold else [])
    for entries, tools in results:
        kv, nc = tools.get("kvor-scan --summary"), tools.get("ncdu -x -0 (in memory)")
        if not (kv and kv.runs):
            print(f"  {entries:>9,} entries: kvor-scan not measured")
            continue
        for label, goal, how in walls:
            other = tools.get(label)
            ratios = round_ratios(kv, other) if entries >= 150_000 and other and other.runs else []
            if not ratios:
                continue
            r = statistics.median(ratios)
            met = r <= goal if how == "<=" else r < goal
            print(f"  {entries:>9,} entries: wall {r:.2f}x {label} (goal {how} {goal}): "
                  + ("met" if met else "MISSED")
                  + f"; cpu {kv.median(1) / other.median(1):.2f}x")
        if entries >= 800_000 and nc and nc.runs:
            r = kv.median(2) / nc.median(2)
            print(f"  {entries:>9,} entries: peak {r:.2f}x ncdu in memory (goal < 1/3): "
                  + ("met" if r < 1 / 3 else "MISSED"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rusage", required=True, help="path of the compiled rusage helper")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--kvor", help="path of kvor-scan (left out when not given)")
    ap.add_argument("--strace", action="store_true", help="count system calls once per tree")
    ap.add_argument("--cold", action="store_true",
                    help="drop the page cache before every run (needs root)")
    ap.add_argument("trees", nargs="+", metavar="TREE:EXPECT")
    args = ap.parse_args()
    if args.runs < 1:
        ap.error("--runs must be at least 1")
    results = []
    runner = Runner(os.path.abspath(args.rusage), cold=args.cold)
    if args.cold:
        why = runner.drop_caches()
        if why:
            print(f"--cold: {why}; nothing measured", file=sys.stderr)
            runner.close()
            return 2
    try:
        for pair in args.trees:
            tree, _, expect = pair.rpartition(":")
            results.append(bench_tree(runner, tree, expect, args.kvor, args.runs, args.strace))
    except ColdError as e:
        print(f"--cold: {e}; stopped", file=sys.stderr)
        return 2
    finally:
        runner.close()
    goals(results, args.cold)
    return 0


if __name__ == "__main__":
    sys.exit(main())
