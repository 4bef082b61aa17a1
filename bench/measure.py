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
import json
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


# The other tools by short name; the goals need du, gdu and ncdu (in memory).
OTHERS = {
    "du": ("du -s", ["du", "-s"], False),
    "du-apparent": ("du -sb --apparent-size", ["du", "-sb", "--apparent-size"], False),
    "ncdu-stream": ("ncdu -x -0 -o /dev/null", ["ncdu", "-x", "-0", "-o", "/dev/null"], False),
    "ncdu": ("ncdu -x -0 (in memory)", ["ncdu", "-x", "-0"], True),
    "gdu": ("gdu -n -p -x", ["gdu", "-n", "-p", "-x"], False),
}


def tools_for(tree, kvor, names=tuple(OTHERS)):
    tools = []
    if kvor:
        tools.append(Tool("kvor-scan --summary", [kvor, "--summary", tree]))
    tools += [Tool(label, argv + [tree], pty_mode=pty)
              for label, argv, pty in (OTHERS[n] for n in OTHERS if n in names)]
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
        return "timed out"
    bad = compare_figures(read_figures(p.stdout), expect)
    state = "ok" if p.returncode == 0 and not bad else "MISMATCH"
    print(f"  kvor-scan figures: {state}, exit status {p.returncode}"
          + ("".join(f"\n    {b}" for b in bad)))
    return state if p.returncode == 0 else f"{state}, exit status {p.returncode}"


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
        try:
            subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            return "timed out"
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


def parse_window(text):
    """The figures kvor-window-bench prints: medians in ms and the window's over the scan's."""
    out = {}
    for line in text.splitlines():
        f = line.split()
        if line.startswith("kvor-scan --summary") and len(f) >= 3:
            out["report_ms"] = float(f[2])
        elif line.startswith("window Refresh") and len(f) >= 3:
            out["window_ms"] = float(f[2])
        elif line.startswith("ratio") and len(f) == 2:
            out["ratio"] = float(f[1])
    return out if "ratio" in out else None


def window_bench(binary, tree, runs):
    """The window's scan against the report tool's, in one process, off screen."""
    env = dict(os.environ, QT_QPA_PLATFORM=os.environ.get("QT_QPA_PLATFORM", "offscreen"))
    try:
        p = subprocess.run([binary, tree, str(max(3, runs))], capture_output=True, text=True,
                           timeout=TIMEOUT, env=env, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return {"failed": "timed out"}
    got = parse_window(p.stdout) if p.returncode == 0 else None
    return got or {"failed": f"exit status {p.returncode}"}


def shape_of(expect, tree):
    """Totals, shape name and goal class from an expectation file's lines."""
    if "gTotalFiles" in expect:
        files, dirs = int(expect["gTotalFiles"]), int(expect["gTotalDirs"])
    else:  # a live tree: counted beforehand, not checked
        files, dirs = int(expect["files"]), int(expect["dirs"])
    return {"shape": expect.get("shape", os.path.basename(tree)),
            "goals": expect.get("goals", "gen"), "files": files, "dirs": dirs,
            "entries": files + dirs, "warm_only": expect.get("warm_only") == "1"}


def bench_tree(runner, tree, expect_file, kvor, runs, use_strace, window=None,
               others=tuple(OTHERS)):
    with open(expect_file) as f:
        expect = read_figures(f.read())
    rec = shape_of(expect, tree)
    files, dirs, entries = rec["files"], rec["dirs"], rec["entries"]
    mode = "cold" if runner.cold else "warm"
    if runner.cold and rec["warm_only"]:
        print(f"\n== {rec['shape']}: warm only, not measured cold")
        return None
    print(f"\n== {rec['shape']}, {tree}: {entries:,} entries ({files:,} files, {dirs:,} "
          f"directories), {runs} runs, "
          f"{'cold (caches dropped before each run)' if runner.cold else 'warm'} cache")
    load = os.getloadavg()
    if load[0] > 0.5 * os.cpu_count():
        print(f"  note: load average {load[0]:.1f} on {os.cpu_count()} cores; wall times are"
              " noisy, CPU times less so")
    rec.update(tree=tree, mode=mode, runs=runs, load=[round(x, 2) for x in load],
               when=time.strftime("%Y-%m-%d %H:%M:%S"), kvor=kvor, check=None, window=None)
    tools = tools_for(tree, kvor, others)
    kvor_tool = tools[0] if kvor else None
    if kvor and "gTotalFiles" in expect:
        rec["check"] = check_kvor(kvor, tree, expect)
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
    if use_strace and not runner.cold and shutil.which("strace"):
        for t in tools:
            if t.label in ("kvor-scan --summary", "du -s") and not t.failed:
                print(f"  strace {t.label}: {strace_counts(t.argv, entries)}")
    if window and not runner.cold:
        rec["window"] = w = window_bench(window, tree, runs)
        print("  window: " + (f"{w['window_ms']:.0f} ms against the scan's {w['report_ms']:.0f} ms"
                              f" in the same process, {w['ratio']:.2f}x" if "ratio" in w
                              else w["failed"]))
    rec["load_end"] = [round(x, 2) for x in os.getloadavg()]
    rec["tools"] = {t.label: {"wall": t.median(0), "cpu": t.median(1), "peak": t.median(2),
                              "runs": len(t.runs), "failed": t.failed} for t in tools}
    rec["ratios"] = ({t.label: round_ratios(kvor_tool, t) for t in tools if t is not kvor_tool}
                     if kvor_tool else {})
    return rec


# --- the one table: every shape, warm and cold, with the goals -------------------------------

KVOR, DU, GDU, NCDU = "kvor-scan --summary", "du -s", "gdu -n -p -x", "ncdu -x -0 (in memory)"
PEAK_SLACK = 1.05   # "no more than before": peak resident memory varies by a few per cent

# Per goal class, per cache: (other tool, kvor-scan's median round ratio at most); and the
# peak memory rule. gen: the generator's trees (wall goals from 150,000 entries on).
WALL_GOALS = {
    "gen": {"warm": [(DU, 0.6)], "cold": [(DU, 0.35), (GDU, 0.5, "<")]},
    "real": {"warm": [(DU, 0.6)], "cold": [(DU, 0.3)]},
    "wide": {"warm": [(DU, 0.6)], "cold": [(DU, 0.5)]},
    "chain": {"warm": [(DU, 1.2)], "cold": []},
}
WINDOW_GOAL = 1.1


def median_ratio(rec, other):
    ratios = (rec or {}).get("ratios", {}).get(other) or []
    return statistics.median(ratios) if ratios else None


def peak_of(rec, label=KVOR):
    t = (rec or {}).get("tools", {}).get(label)
    return t["peak"] if t and t["runs"] else None


def verdict(value, goal, text, below=False):
    return (text, value is not None and (value < goal if below else value <= goal))


def goal_checks(rec, before=None):
    """(text, met) for each goal a measured shape has in its record's cache."""
    out = []
    if not rec or peak_of(rec) is None:
        return [("kvor-scan not measured", False)] if rec else []
    cls, mode = rec["goals"], rec["mode"]
    if rec.get("check") not in (None, "ok"):
        out.append((f"figures {rec['check']}", False))
    if cls != "gen" or rec["entries"] >= 150_000:
        for other, goal, *how in WALL_GOALS.get(cls, WALL_GOALS["gen"])[mode]:
            r = median_ratio(rec, other)
            how = how[0] if how else "<="
            if r is not None:
                out.append(verdict(r, goal, f"{mode} {r:.2f}x {other} (goal {how} {goal})",
                                   below=how == "<"))
    mine = peak_of(rec)
    if cls == "wide" and peak_of(rec, NCDU):
        theirs = peak_of(rec, NCDU)
        out.append(verdict(mine, theirs, f"{mode} peak {mine / 1024:.1f} MiB, ncdu in memory "
                                         f"{theirs / 1024:.1f} (goal <= ncdu)"))
    if cls == "gen" and rec["entries"] >= 800_000 and peak_of(rec, NCDU):
        r = mine / peak_of(rec, NCDU)
        out.append(verdict(r, 1 / 3, f"{mode} peak {r:.2f}x ncdu in memory (goal < 1/3)",
                           below=True))
    if cls != "wide" and peak_of(before):
        was = peak_of(before)
        out.append(verdict(mine, was * PEAK_SLACK,
                           f"{mode} peak {mine / 1024:.1f} MiB, before {was / 1024:.1f} "
                           f"(goal <= before, {round((PEAK_SLACK - 1) * 100)}% for noise)"))
    w = rec.get("window") or {}
    if "ratio" in w:
        out.append(verdict(w["ratio"], WINDOW_GOAL,
                           f"window {w['ratio']:.2f}x kvor-scan (goal <= {WINDOW_GOAL})"))
    elif "failed" in w:
        out.append((f"window {w['failed']}", False))
    return out


def load_results(path):
    try:
        with open(path) as f:
            return {r["shape"]: r for r in json.load(f)}
    except FileNotFoundError:
        return {}


def save_results(path, recs):
    """Adds the shapes just measured to the file, replacing their earlier figures."""
    old = load_results(path)
    old.update({r["shape"]: r for r in recs})
    tmp = path + ".partial"
    with open(tmp, "w") as f:
        json.dump(list(old.values()), f, indent=1)
    os.replace(tmp, path)


def cell(now, fmt="{:.2f}", *was):
    """A figure, or "before > now" when an earlier figure (maybe None) is given."""
    return " > ".join("-" if v is None else fmt.format(v) for v in (*was, now))


def table(results_dir, label, before_label=None):
    """Every measured shape in one table, warm and cold, then each goal met or not."""
    runs = {m: load_results(os.path.join(results_dir, f"{label}-{m}.json"))
            for m in ("warm", "cold")}
    was = {m: load_results(os.path.join(results_dir, f"{before_label}-{m}.json"))
           if before_label else {} for m in ("warm", "cold")}
    shapes = list(dict.fromkeys(list(runs["warm"]) + list(runs["cold"])))
    if not shapes:
        print(f"no results for '{label}' in {results_dir}")
        return 1
    w, c, bw, bc = runs["warm"], runs["cold"], was["warm"], was["cold"]
    def ratio(recs, s, other):
        return median_ratio(recs.get(s), other)

    def mib(v):
        return None if v is None else v / 1024

    def pair(now, then, fmt="{:.2f}"):
        return cell(now, fmt, then) if before_label else cell(now, fmt)

    def load(rec):
        return "-" if not rec else f"{max(rec['load'][0], rec['load_end'][0]):.1f}"

    rows = [("shape", "entries", "warm /du", "cold /du", "cold /gdu", "peak MiB",
             "du", "ncdu mem", "window /scan", "load w/c")]
    for s in shapes:
        rec = w.get(s) or c.get(s)
        bpeak = peak_of(bw.get(s)) or peak_of(bc.get(s))
        win = ((w.get(s) or {}).get("window") or {}).get("ratio")
        bwin = ((bw.get(s) or {}).get("window") or {}).get("ratio")
        rows.append((s, f"{rec['entries']:,}",
                     pair(ratio(w, s, DU), ratio(bw, s, DU)),
                     pair(ratio(c, s, DU), ratio(bc, s, DU)),
                     pair(ratio(c, s, GDU), ratio(bc, s, GDU)),
                     pair(mib(peak_of(rec)), mib(bpeak), "{:.1f}"),
                     cell(mib(peak_of(rec, DU)), "{:.1f}"),
                     cell(mib(peak_of(rec, NCDU)), "{:.1f}"),
                     pair(win, bwin), f"{load(w.get(s))}/{load(c.get(s))}"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    title = f"\n== {label}" + (f" (before: {before_label} > now)" if before_label else "")
    print(title + ": kvor-scan's wall time over each tool's, median of the per-round ratios;"
          " peak resident memory")
    for r in rows:
        print("  " + r[0].ljust(widths[0]) + "".join(
            x.rjust(wd + 2) for x, wd in zip(r[1:], widths[1:])))
    print(f"  load w/c: the higher 1-minute load average of a shape's start and end, warm and"
          f" cold, on {os.cpu_count()} cores; above {os.cpu_count() / 2:g} wall times are noisy")
    print("\n== goals")
    for s in shapes:
        checks = goal_checks(w.get(s), bw.get(s)) + goal_checks(c.get(s), bc.get(s))
        missed = sum(1 for _, ok in checks if not ok)
        print(f"  {s}: " + ("all met" if checks and not missed else
                            f"{missed} not met" if checks else "no goals measured"))
        for text, ok in checks:
            print(f"    {'met    ' if ok else 'NOT MET'}  {text}")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rusage", help="path of the compiled rusage helper")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--kvor", help="path of kvor-scan (left out when not given)")
    ap.add_argument("--strace", action="store_true", help="count system calls once per tree")
    ap.add_argument("--cold", action="store_true",
                    help="drop the page cache before every run (needs root)")
    ap.add_argument("--window", help="path of kvor-window-bench (warm runs only)")
    ap.add_argument("--tools", default=" ".join(OTHERS),
                    help=f"the other tools to time, of: {' '.join(OTHERS)}")
    ap.add_argument("--save", help="add the figures to this results file (JSON)")
    ap.add_argument("--table", metavar="DIR", help="print the table of the results in DIR")
    ap.add_argument("--label", default="current", help="with --table: whose results")
    ap.add_argument("--before", help="with --table: the label to compare against")
    ap.add_argument("trees", nargs="*", metavar="TREE:EXPECT")
    args = ap.parse_args()
    if args.table:
        return table(args.table, args.label, args.before)
    if not args.trees or not args.rusage:
        ap.error("--rusage and at least one TREE:EXPECT are needed")
    others = args.tools.split()
    if set(others) - set(OTHERS):
        ap.error(f"--tools: unknown {' '.join(sorted(set(others) - set(OTHERS)))}")
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
            rec = bench_tree(runner, tree, expect, args.kvor, args.runs, args.strace,
                             args.window, others)
            if rec:
                results.append(rec)
                if args.save:   # after each shape, so an interrupted run keeps what it did
                    save_results(args.save, [rec])
    except ColdError as e:
        print(f"--cold: {e}; stopped", file=sys.stderr)
        return 2
    finally:
        runner.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
