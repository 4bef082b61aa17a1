#!/usr/bin/env python3
"""Builds a seeded, reproducible directory tree for benchmarks and end-to-end checks.

The tree holds about one directory per ten entries at realistic depths (mostly 2-8
levels, one chain much deeper), one directory of many files, hidden directories and
files, small files with real bytes, a few sparse multi-gigabyte files, symlinks (to
files, to directories, to an ancestor, to "/", dangling, to themselves) and hard links.

The figures a scan should find are counted while building, not by walking the result,
and written in the scanner's summary format ("total<TAB>name<TAB>value"):
  gTotalFiles      non-directory entries below the root (symlinks and hard links included)
  gTotalDirs       directories below the root
  gTotalFileBytes  sum of the lstat sizes of those non-directory entries, each hard link counted
"""

import argparse
import math
import os
import random
import sys

MIN_ENTRIES = 200
MAX_FILE = 16 * 1024          # small files hold real bytes, at most this many
MEAN_FILE = 2 * 1024
BIG_DIR_MAX = 12_000          # stays well below the 32,767 entries a directory list can hold
SPARSE_SIZES = [5_000_000_000, 3 * 1024**3, 2**31, 8 * 1024**3 + 17, 4_294_967_296]

# Relative weights of the depth of an ordinary directory (depth 1 = child of the root).
DEPTH_WEIGHTS = {2: 10, 3: 16, 4: 18, 5: 16, 6: 12, 7: 9, 8: 6, 9: 3, 10: 2, 11: 1, 12: 0.5}

DIR_WORDS = ["src", "lib", "doc", "data", "img", "build", "share", "conf", "logs", "pkg",
             "assets", "test", "bin", "include", "local", "music", "photos", "work",
             "backup", "mail", "cache", "tmp", "old", "notes", "vendor", "site"]
FILE_WORDS = ["report", "index", "main", "readme", "photo", "track", "invoice", "note",
              "draft", "module", "part", "page", "log", "letter", "table", "sheet"]
EXTS = [".txt", ".c", ".h", ".jpg", ".png", ".mp3", ".pdf", ".html", ".json", ".o", ".log", ""]

FILL = (b"Korvane bench data 0123456789abcdefghijklmnopqrstuvwxyz\n" * 300)[:MAX_FILE]


class Plan:
    """What the tree will hold, decided entirely by the seed before anything is written."""

    def __init__(self, seed, entries, big=None, sparse=None):
        if entries < MIN_ENTRIES:
            raise ValueError(f"at least {MIN_ENTRIES} entries are needed")
        self.rng = random.Random(seed)
        self.seed = seed
        self.entries = entries
        self.ndirs = max(10, round(entries / 10))
        self.nsym = max(6, entries // 200)
        self.nhard = max(2, entries // 400)
        self.nsparse = len(SPARSE_SIZES) if sparse is None else sparse
        self.nbig = min(BIG_DIR_MAX, entries // 8) if big is None else big
        self.nfiles = entries - self.ndirs - self.nsym - self.nhard - self.nsparse - self.nbig
        if self.nfiles < 0 or self.nbig < 0 or self.nsparse < 0:
            raise ValueError("too few entries for the requested big directory and sparse files")
        self.serial = 0
        self._dirs()
        self._files()

    def name(self, words, ext="", hidden=False):
        self.serial += 1
        stem = self.rng.choice(words) + "_" + format(self.serial, "x")
        return ("." if hidden else "") + stem + ext

    def _dirs(self):
        rng = self.rng
        # dirs[i] = (relative path, depth); parents always precede their children
        self.dirs = [("", 0)]
        by_depth = {0: [0]}

        def add(parent, hidden=False):
            path = os.path.join(self.dirs[parent][0], self.name(DIR_WORDS, hidden=hidden))
            depth = self.dirs[parent][1] + 1
            self.dirs.append((path, depth))
            by_depth.setdefault(depth, []).append(len(self.dirs) - 1)
            return len(self.dirs) - 1

        ntop = min(30, max(3, int(math.sqrt(self.ndirs) / 3)))
        for i in range(ntop):
            add(0, hidden=(i == 1))             # one hidden top-level directory, like ".cache"
        chain = min(40, max(10, self.ndirs // 50))
        d = by_depth[1][0]
        for _ in range(chain):                   # the few deep ones
            d = add(d)
        depths, weights = zip(*DEPTH_WEIGHTS.items())
        while len(self.dirs) - 1 < self.ndirs:
            want = rng.choices(depths, weights)[0]
            level = max(k for k in by_depth if k < want and by_depth[k])
            add(rng.choice(by_depth[level]), hidden=rng.random() < 0.04)
        del self.dirs[self.ndirs + 1:]
        self.max_depth = max(depth for _, depth in self.dirs)
        self.hidden_dirs = sum(1 for p, _ in self.dirs if os.path.basename(p).startswith("."))

    def _size(self):
        if self.rng.random() < 0.06:
            return 0
        return min(MAX_FILE, int(self.rng.expovariate(1 / MEAN_FILE)) + 1)

    def _files(self):
        rng = self.rng
        ndirs = len(self.dirs)
        # Heavy-tailed share of files per directory, capped so no ordinary directory grows huge.
        cum, total = [], 0.0
        for _ in range(ndirs):
            total += min(40.0, rng.paretovariate(1.2))
            cum.append(total)
        picks = rng.choices(range(ndirs), cum_weights=cum, k=self.nfiles)
        self.files = [[] for _ in range(ndirs)]  # per directory: (name, size)
        for d in picks:
            self.files[d].append((self.name(FILE_WORDS, rng.choice(EXTS), rng.random() < 0.02),
                                  self._size()))
        mid = [i for i, (_, depth) in enumerate(self.dirs) if depth == 3] or [ndirs - 1]
        self.big_dir = rng.choice(mid)
        self.files[self.big_dir] += [(f"msg{i:06d}.eml", self._size()) for i in range(self.nbig)]

        self.sparse = [(rng.randrange(ndirs), self.name(["disk", "image", "vm"], ".img"),
                        SPARSE_SIZES[i % len(SPARSE_SIZES)]) for i in range(self.nsparse)]

        # Link targets come from ordinary small files only.
        targets = [(d, n, s) for d in range(1, ndirs) for n, s in self.files[d][:2]]
        if not targets:
            targets = [(0, n, s) for n, s in self.files[0][:2]]
        self.hard = [(rng.randrange(ndirs), self.name(FILE_WORDS, ".lnk"), rng.choice(targets))
                     for _ in range(self.nhard)]

        deep = [i for i, (_, depth) in enumerate(self.dirs) if depth >= 3]
        loop_from = rng.choice(deep)
        ancestor = os.path.dirname(os.path.dirname(self.dirs[loop_from][0]))
        self.sym = [  # (directory, name, target)
            (loop_from, "loop", os.path.relpath(ancestor or ".", self.dirs[loop_from][0])),
            (rng.randrange(ndirs), "outside", "/"),
            (rng.randrange(ndirs), "dangling", "no-such-entry"),
            (rng.randrange(ndirs), "self", "self"),
        ]
        while len(self.sym) < self.nsym:
            d = rng.randrange(ndirs)
            if rng.random() < 0.6:
                td, tn, _ = rng.choice(targets)
                target = os.path.join(self.dirs[td][0], tn)
            else:
                target = self.dirs[rng.randrange(1, ndirs)][0]
            rel = os.path.relpath(target, self.dirs[d][0] or ".")
            self.sym.append((d, self.name(["link", "shortcut"]), rel))

    def expected(self):
        files = (sum(len(f) for f in self.files) + len(self.sparse) + len(self.hard)
                 + len(self.sym))
        size = (sum(s for f in self.files for _, s in f) + sum(s for _, _, s in self.sparse)
                + sum(t[2] for _, _, t in self.hard)
                + sum(len(os.fsencode(t)) for _, _, t in self.sym))
        return {"gTotalFiles": files, "gTotalDirs": len(self.dirs) - 1, "gTotalFileBytes": size}

    def info(self):
        return {"seed": self.seed, "entries": self.entries, "symlinks": len(self.sym),
                "hardlinks": len(self.hard), "sparse": len(self.sparse),
                "hidden_dirs": self.hidden_dirs, "max_depth": self.max_depth,
                "big_dir_files": len(self.files[self.big_dir]),
                "big_dir": self.dirs[self.big_dir][0]}


def build(plan, root):
    os.makedirs(root, exist_ok=True)
    if os.listdir(root):
        raise FileExistsError(f"{root} is not empty")
    for path, _ in plan.dirs[1:]:
        os.mkdir(os.path.join(root, path))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    for (path, _), files in zip(plan.dirs, plan.files):
        dfd = os.open(os.path.join(root, path) if path else root, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for name, size in files:
                fd = os.open(name, flags, 0o644, dir_fd=dfd)
                if size:
                    os.write(fd, FILL[:size])
                os.close(fd)
        finally:
            os.close(dfd)
    for d, name, size in plan.sparse:
        with open(os.path.join(root, plan.dirs[d][0], name), "wb") as f:
            f.truncate(size)
    for d, name, (td, tn, _) in plan.hard:
        os.link(os.path.join(root, plan.dirs[td][0], tn), os.path.join(root, plan.dirs[d][0], name))
    for d, name, target in plan.sym:
        os.symlink(target, os.path.join(root, plan.dirs[d][0], name))


def write_expect(plan, out):
    lines = [f"total\t{k}\t{v}" for k, v in plan.expected().items()]
    lines += [f"info\t{k}\t{v}" for k, v in plan.info().items()]
    text = "\n".join(lines) + "\n"
    if out == "-":
        sys.stdout.write(text)
    else:
        with open(out, "w") as f:
            f.write(text)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--entries", type=int, required=True, help="entries below the root")
    ap.add_argument("--out", required=True, help="root of the tree; must be missing or empty")
    ap.add_argument("--expect", default="-", help="where to write the expected figures "
                    "(outside the tree; '-' for standard output)")
    ap.add_argument("--big", type=int, help=f"files in the big directory (default "
                    f"min({BIG_DIR_MAX}, entries/8))")
    ap.add_argument("--sparse", type=int, help="number of sparse multi-gigabyte files")
    args = ap.parse_args(argv)
    out = os.path.abspath(args.out)
    if args.expect != "-" and os.path.abspath(args.expect).startswith(out + os.sep):
        ap.error("--expect must lie outside the tree")
    try:
        plan = Plan(args.seed, args.entries, args.big, args.sparse)
        build(plan, out)
    except (ValueError, OSError) as e:
        print(f"gentree: {e}", file=sys.stderr)
        return 1
    write_expect(plan, args.expect)
    return 0


if __name__ == "__main__":
    sys.exit(main())
