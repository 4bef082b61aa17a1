#!/usr/bin/env python3
"""Checks the tree generator against what is really on disk.

Run by hand: python3 -m unittest bench/test_gentree.py  (not part of the build's test suite)
"""

import os
import stat
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gentree  # noqa: E402


def walk(root):
    """Counts the tree without following any symlink."""
    files = dirs = size = 0
    hidden = max_depth = 0
    listing = []
    inodes = {}
    stack = [(root, 0)]
    while stack:
        path, depth = stack.pop()
        with os.scandir(path) as it:
            for e in it:
                st = e.stat(follow_symlinks=False)
                rel = os.path.relpath(e.path, root)
                if stat.S_ISDIR(st.st_mode):
                    dirs += 1
                    hidden += e.name.startswith(".")
                    max_depth = max(max_depth, depth + 1)
                    stack.append((e.path, depth + 1))
                    listing.append((rel, "d", 0, ""))
                else:
                    files += 1
                    size += st.st_size
                    link = os.readlink(e.path) if stat.S_ISLNK(st.st_mode) else ""
                    listing.append((rel, "l" if link else "f", st.st_size, link))
                    if stat.S_ISREG(st.st_mode):
                        inodes[st.st_ino] = inodes.get(st.st_ino, 0) + 1
    return {"gTotalFiles": files, "gTotalDirs": dirs, "gTotalFileBytes": size,
            "hidden": hidden, "max_depth": max_depth, "listing": sorted(listing),
            "shared_inodes": sum(1 for n in inodes.values() if n > 1)}


def read_expect(path):
    out = {}
    with open(path) as f:
        for line in f:
            kind, key, value = line.rstrip("\n").split("\t")
            out[(kind, key)] = value
    return out


class GeneratedTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = os.path.join(cls.tmp.name, "tree")
        cls.expect_file = os.path.join(cls.tmp.name, "tree.expect")
        rc = gentree.main(["--seed", "7", "--entries", "6000", "--out", cls.root,
                           "--expect", cls.expect_file])
        assert rc == 0
        cls.expect = read_expect(cls.expect_file)
        cls.found = walk(cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_expected_figures_match_the_disk(self):
        for key in ("gTotalFiles", "gTotalDirs", "gTotalFileBytes"):
            self.assertEqual(int(self.expect[("total", key)]), self.found[key], key)
        self.assertEqual(self.found["gTotalFiles"] + self.found["gTotalDirs"], 6000)
        self.assertEqual(self.found["gTotalDirs"], 600)

    def test_shape(self):
        f = self.found
        self.assertEqual(int(self.expect[("info", "max_depth")]), f["max_depth"])
        self.assertGreaterEqual(f["max_depth"], 12)
        self.assertEqual(int(self.expect[("info", "hidden_dirs")]), f["hidden"])
        self.assertGreater(f["hidden"], 0)
        self.assertGreaterEqual(f["shared_inodes"], 1)
        big = os.path.join(self.root, self.expect[("info", "big_dir")])
        self.assertGreaterEqual(len(os.listdir(big)), 750)
        sizes = [s for _, kind, s, _ in f["listing"] if kind == "f"]
        self.assertEqual(sum(s >= 2**32 for s in sizes), 3)   # sparse ones of 4 GiB and more
        small = [s for s in sizes if s <= gentree.MAX_FILE]
        self.assertLess(abs(sum(small) / len(small) - gentree.MEAN_FILE), 300)

    def test_sparse_files_take_almost_no_space(self):
        for rel, kind, size, _ in self.found["listing"]:
            if kind == "f" and size > gentree.MAX_FILE:
                self.assertLess(os.lstat(os.path.join(self.root, rel)).st_blocks, 16, rel)

    def test_symlinks_include_the_traps(self):
        links = {os.path.basename(rel): (rel, target)
                 for rel, kind, _, target in self.found["listing"] if kind == "l"}
        self.assertEqual(links["outside"][1], "/")
        self.assertEqual(links["self"][1], "self")
        self.assertFalse(os.path.exists(os.path.join(self.root, links["dangling"][0])))
        rel, target = links["loop"]
        here = os.path.dirname(os.path.join(self.root, rel))
        resolved = os.path.realpath(os.path.join(here, target))
        self.assertTrue(here.startswith(resolved + os.sep), (here, resolved))
        to_dirs = [r for r, _ in links.values() if os.path.isdir(os.path.join(self.root, r))]
        self.assertGreater(len(to_dirs), 3)

    def test_same_seed_same_tree_other_seed_other_tree(self):
        with tempfile.TemporaryDirectory() as tmp:
            for seed, same in ((7, True), (8, False)):
                root = os.path.join(tmp, str(seed))
                self.assertEqual(gentree.main(["--seed", str(seed), "--entries", "6000",
                                               "--out", root, "--expect", os.devnull]), 0)
                self.assertEqual(walk(root)["listing"] == self.found["listing"], same)


class Refusals(unittest.TestCase):
    def test_refuses_a_non_empty_root_and_too_small_trees(self):
        with tempfile.TemporaryDirectory() as tmp:
            open(os.path.join(tmp, "keep"), "w").close()
            self.assertEqual(gentree.main(["--entries", "1000", "--out", tmp,
                                           "--expect", os.devnull]), 1)
            self.assertEqual(os.listdir(tmp), ["keep"])
            self.assertEqual(gentree.main(["--entries", "50", "--out",
                                           os.path.join(tmp, "t"), "--expect", os.devnull]), 1)

    def test_expect_file_may_not_lie_inside_the_tree(self):
        with tempfile.TemporaryDirectory() as tmp, self.assertRaises(SystemExit):
            gentree.main(["--entries", "1000", "--out", tmp,
                          "--expect", os.path.join(tmp, "x.expect")])


if __name__ == "__main__":
    unittest.main()
