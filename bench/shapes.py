#!/usr/bin/env python3
"""Builds the benchmark's other tree shapes and removes trees of any depth.

  shapes.py build SHAPE --out DIR --expect FILE [options]
  shapes.py count DIR --expect FILE        figures of an existing tree (not checked later)
  shapes.py remove DIR                     deletes a tree however deep, on one file system

Shapes:
  lopsided     generated: 900k files, 100k directories, fanout 12, depth 9; one top-level
               directory holds most of it (--entries scales it)
  wide-files   one directory of --count empty files
  wide-dirs    one directory of --count empty subdirectories
  chain        --count directories, each inside the one before
  tar-copies   the tree of the tarball --source, --copies times (sparse files of the sizes)
  dir-copies   the tree below --source, --copies times (sparse files of the sizes)

Every file is made with truncate, so sizes are real and the disk holds only metadata.
The expectation file gets the figures a scan should find, in the scanner's summary format,
counted while building, and "info" lines that tell the harness what the shape is.
"""

import argparse
import os
import random
import stat
import sys
import tarfile

DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC


class Figures:
    """What a scan of the tree should report, counted as entries are made."""

    def __init__(self):
        self.files = self.dirs = self.bytes = 0

    def lines(self, info):
        out = [f"total\tgTotalFiles\t{self.files}", f"total\tgTotalDirs\t{self.dirs}",
               f"total\tgTotalFileBytes\t{self.bytes}"]
        return out + [f"info\t{k}\t{v}" for k, v in info.items()]


def _file(dfd, name, size, fig):
    fd = os.open(name, FILE_FLAGS, 0o644, dir_fd=dfd)
    if size:
        os.ftruncate(fd, size)
    os.close(fd)
    fig.files += 1
    fig.bytes += size


def _empty_root(root):
    os.makedirs(root, exist_ok=True)
    if os.listdir(root):
        raise FileExistsError(f"{root} is not empty")
    return os.open(root, DIR_FLAGS)


# --- generated shapes ---------------------------------------------------------------------

def lopsided_plan(seed, entries=1_000_000, fanout=12, depth=9, big_share=0.85):
    """Directory parents and per-directory file sizes of a lopsided tree.

    One directory per ten entries. The root's children split the directories with one
    taking big_share of them (the third by name, so small ones come before and after it);
    below that every directory splits its share unevenly (Zipf) among up to fanout children,
    never deeper than depth. Returns (parents, files): parents[i] is the index of directory
    i's parent (-1 for the root), files[i] the sizes of its files.
    """
    rng = random.Random(seed)
    ndirs = entries // 10
    nfiles = entries - ndirs
    cap = [0] * (depth + 1)          # cap[d]: most directories below one at depth d
    for d in range(depth - 1, -1, -1):
        cap[d] = fanout * (1 + cap[d + 1])
    parents, depths = [-1], [0]
    todo = [(0, ndirs)]               # (directory, directories still to place below it)
    while todo:
        node, budget = todo.pop()
        d = depths[node]
        k = min(fanout, budget)
        if k == 0 or d == depth:
            continue
        if node == 0:
            weights = [(1 - big_share) / (k - 1)] * k if k > 1 else [1.0]
            weights[min(2, k - 1)] = big_share if k > 1 else 1.0
        else:
            weights = [1 / (i + 1) ** 1.3 for i in range(k)]
            rng.shuffle(weights)
        rest, total = budget - k, sum(weights)
        shares = [min(cap[d + 1], int(rest * w / total)) for w in weights]
        left = rest - sum(shares)
        for i in sorted(range(k), key=lambda i: -weights[i]):   # remainder to the heaviest
            extra = min(left, cap[d + 1] - shares[i])
            shares[i] += extra
            left -= extra
        for share in shares:
            parents.append(node)
            depths.append(d + 1)
            todo.append((len(parents) - 1, share))
    # Files follow the directories' weight: a directory gets a heavy-tailed share.
    weights = [rng.paretovariate(1.5) for _ in parents]
    picks = rng.choices(range(len(parents)), weights=weights, k=nfiles)
    files = [[] for _ in parents]
    for i in picks:
        files[i].append(min(64 << 20, int(rng.lognormvariate(8.5, 2.0))))
    return parents, files


def build_lopsided(root, seed, entries):
    parents, files = lopsided_plan(seed, entries)
    os.close(_empty_root(root))
    fig = Figures()
    paths = [root]
    counter = [0] * len(parents)
    for i in range(1, len(parents)):
        p = parents[i]
        counter[p] += 1
        paths.append(os.path.join(paths[p], f"dir{counter[p]:02d}"))
        os.mkdir(paths[i])
        fig.dirs += 1
    for i, sizes in enumerate(files):
        dfd = os.open(paths[i], DIR_FLAGS)
        try:
            for n, size in enumerate(sizes):
                _file(dfd, f"file{n:05d}.dat", size, fig)
        finally:
            os.close(dfd)
    sub = [0] * len(parents)              # entries below each directory, for the info line
    for i in range(len(parents) - 1, 0, -1):
        sub[i] += len(files[i]) + 1
        sub[parents[i]] += sub[i]
    biggest = max((sub[i] for i in range(1, len(parents)) if parents[i] == 0), default=0)
    return fig, {"seed": seed, "biggest_top_level_share": f"{biggest / max(1, entries):.2f}",
                 "max_depth": max_depth(parents)}


def max_depth(parents):
    depth = [0] * len(parents)
    for i in range(1, len(parents)):
        depth[i] = depth[parents[i]] + 1     # parents precede their children
    return max(depth)


def build_wide(root, count, dirs):
    fig = Figures()
    dfd = _empty_root(root)
    try:
        for i in range(count):
            if dirs:
                os.mkdir(f"d{i:07d}", dir_fd=dfd)
                fig.dirs += 1
            else:
                _file(dfd, f"msg{i:07d}.eml", 0, fig)
    finally:
        os.close(dfd)
    return fig, {}


def build_chain(root, count):
    """Made from within, a level at a time: the whole path outgrows PATH_MAX."""
    fig = Figures()
    fd = _empty_root(root)
    try:
        for _ in range(count):
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", DIR_FLAGS, dir_fd=fd)
            os.close(fd)
            fd = child
            fig.dirs += 1
    finally:
        os.close(fd)
    return fig, {"max_depth": count}


# --- copies of real trees -----------------------------------------------------------------

def tar_listing(path):
    """(kind, relative path, size, link target) of each member, in archive order."""
    out = []
    with tarfile.open(path) as tar:
        for m in tar:
            name = m.name.rstrip("/")
            if m.isdir():
                out.append(("d", name, 0, ""))
            elif m.issym():
                out.append(("l", name, 0, m.linkname))
            elif m.islnk():
                out.append(("h", name, 0, m.linkname))
            elif m.isreg():
                out.append(("f", name, m.size, ""))
    return out


def dir_listing(root):
    """The same for a tree on disk, parents before children, without following links."""
    out, seen, stack = [], {}, [""]
    while stack:
        rel = stack.pop()
        with os.scandir(os.path.join(root, rel) if rel else root) as it:
            entries = sorted(it, key=lambda e: e.name)
        for e in entries:
            r = os.path.join(rel, e.name)
            st = e.stat(follow_symlinks=False)
            if stat.S_ISDIR(st.st_mode):
                out.append(("d", r, 0, ""))
                stack.append(r)
            elif stat.S_ISLNK(st.st_mode):
                out.append(("l", r, 0, os.readlink(e.path)))
            elif st.st_nlink > 1 and (st.st_dev, st.st_ino) in seen:
                out.append(("h", r, 0, seen[(st.st_dev, st.st_ino)]))
            else:
                seen[(st.st_dev, st.st_ino)] = r
                out.append(("f", r, st.st_size, ""))
    return out


def build_copies(root, listing, copies):
    fig = Figures()
    os.close(_empty_root(root))
    sizes = {rel: size for kind, rel, size, _ in listing if kind == "f"}
    for c in range(1, copies + 1):
        base = os.path.join(root, f"copy{c:02d}")
        os.mkdir(base)
        fig.dirs += 1
        made = {""}
        for kind, rel, size, target in listing:
            parent = os.path.dirname(rel)
            if parent not in made:                  # archives may leave parents implicit
                os.makedirs(os.path.join(base, parent), exist_ok=True)
                while parent not in made:
                    made.add(parent)
                    fig.dirs += 1
                    parent = os.path.dirname(parent)
            path = os.path.join(base, rel)
            if kind == "d":
                if rel not in made:
                    os.mkdir(path)
                    made.add(rel)
                    fig.dirs += 1
            elif kind == "l":
                os.symlink(target, path)
                fig.files += 1
                fig.bytes += len(os.fsencode(target))
            elif kind == "h":
                os.link(os.path.join(base, target), path)
                fig.files += 1
                fig.bytes += sizes[target]
            else:
                with open(path, "wb") as f:
                    if size:
                        f.truncate(size)
                fig.files += 1
                fig.bytes += size
    return fig, {"copies": copies}


# --- counting and removing ----------------------------------------------------------------

def count(root):
    """Files and directories below root on its own file system, without following links."""
    files = dirs = 0
    dev = os.lstat(root).st_dev
    stack = [root]
    while stack:
        path = stack.pop()
        try:
            it = os.scandir(path)
        except OSError:
            continue
        with it:
            for e in it:
                if e.is_dir(follow_symlinks=False):
                    dirs += 1
                    if e.stat(follow_symlinks=False).st_dev == dev:
                        stack.append(e.path)
                else:
                    files += 1
    return files, dirs


def _clear(fd, dev):
    """Unlinks every non-directory in the open directory; returns its subdirectories."""
    subdirs = []
    with os.scandir(fd) as it:
        for e in it:
            if e.is_dir(follow_symlinks=False):
                if e.stat(follow_symlinks=False).st_dev != dev:
                    raise OSError(f"{e.name}: another file system is mounted there")
                subdirs.append(e.name)
            else:
                os.unlink(e.name, dir_fd=fd)
    return subdirs


def remove(root):
    """Deletes root and everything below it, at any depth, holding one descriptor.

    Goes down by name and back up through "..", so no path grows with the depth
    (rm -rf and shutil.rmtree give up on chains of tens of thousands of levels).
    Refuses to cross into another file system.
    """
    if not os.path.lexists(root):
        return
    st = os.lstat(root)
    if not stat.S_ISDIR(st.st_mode):
        os.unlink(root)
        return
    cur = os.open(root, DIR_FLAGS)
    try:
        stack = [(None, _clear(cur, st.st_dev))]   # (name in parent, subdirectories left)
        while stack:
            name, pending = stack[-1]
            if pending:
                child = pending.pop()
                fd = os.open(child, DIR_FLAGS, dir_fd=cur)
                os.close(cur)
                cur = fd
                stack.append((child, _clear(cur, st.st_dev)))
                continue
            stack.pop()
            if stack:
                up = os.open("..", DIR_FLAGS, dir_fd=cur)
                os.close(cur)
                cur = up
                os.rmdir(name, dir_fd=cur)
    finally:
        os.close(cur)
    os.rmdir(root)


# --- command line -------------------------------------------------------------------------

def write_expect(path, lines):
    text = "\n".join(lines) + "\n"
    if path == "-":
        sys.stdout.write(text)
    else:
        with open(path, "w") as f:
            f.write(text)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("shape", choices=["lopsided", "wide-files", "wide-dirs", "chain",
                                     "tar-copies", "dir-copies"])
    b.add_argument("--out", required=True)
    b.add_argument("--expect", default="-")
    b.add_argument("--seed", type=int, default=1)
    b.add_argument("--entries", type=int, default=1_000_000)
    b.add_argument("--count", type=int)
    b.add_argument("--source")
    b.add_argument("--copies", type=int, default=1)
    b.add_argument("--info", action="append", default=[], metavar="KEY=VALUE",
                   help="one more info line for the harness")
    c = sub.add_parser("count")
    c.add_argument("dir")
    c.add_argument("--expect", default="-")
    c.add_argument("--info", action="append", default=[], metavar="KEY=VALUE")
    r = sub.add_parser("remove")
    r.add_argument("dir")
    args = ap.parse_args(argv)

    try:
        if args.cmd == "remove":
            remove(os.path.abspath(args.dir))
            return 0
        extra = dict(kv.split("=", 1) for kv in args.info)
        if args.cmd == "count":
            files, dirs = count(os.path.abspath(args.dir))
            # Not totals: a live tree may change before it is scanned.
            write_expect(args.expect, [f"info\tfiles\t{files}", f"info\tdirs\t{dirs}"]
                         + [f"info\t{k}\t{v}" for k, v in extra.items()])
            return 0
        out = os.path.abspath(args.out)
        if args.expect != "-" and os.path.abspath(args.expect).startswith(out + os.sep):
            ap.error("--expect must lie outside the tree")
        if args.shape in ("wide-files", "wide-dirs", "chain") and not args.count:
            ap.error(f"{args.shape} needs --count")
        if args.shape in ("tar-copies", "dir-copies") and not args.source:
            ap.error(f"{args.shape} needs --source")
        if args.shape == "lopsided":
            fig, info = build_lopsided(out, args.seed, args.entries)
        elif args.shape == "wide-files":
            fig, info = build_wide(out, args.count, dirs=False)
        elif args.shape == "wide-dirs":
            fig, info = build_wide(out, args.count, dirs=True)
        elif args.shape == "chain":
            fig, info = build_chain(out, args.count)
        else:
            listing = (tar_listing if args.shape == "tar-copies" else dir_listing)(args.source)
            fig, info = build_copies(out, listing, args.copies)
        write_expect(args.expect, fig.lines({**info, **extra}))
    except (ValueError, OSError, tarfile.TarError) as e:
        print(f"shapes: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
