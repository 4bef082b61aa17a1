#!/usr/bin/env python3
"""Checks the shape builders and the deep-tree remover against what is really on disk.

Run by hand: python3 -m unittest bench/test_shapes.py  (not part of the build's test suite)
"""

import collections
import contextlib
import io
import os
import sys
import tarfile
import tempfile
import unittest

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shapes  # noqa: E402
from test_gentree import read_expect, walk  # noqa: E402


def build(*args):
    """Builds a shape into a fresh directory; returns (root, expectation, what is on disk)."""
    tmp = tempfile.mkdtemp(prefix="kvor-shape-")
    root, expect = os.path.join(tmp, "tree"), os.path.join(tmp, "tree.expect")
    assert shapes.main(["build", *args, "--out", root, "--expect", expect]) == 0
    return root, read_expect(expect), tmp


class Shapes(unittest.TestCase):
    def assertCounted(self, root, expect):
        found = walk(root)
        for key in ("gTotalFiles", "gTotalDirs", "gTotalFileBytes"):
            self.assertEqual(int(expect[("total", key)]), found[key], key)
        return found

    def test_built_figures_match_the_disk(self):
        cases = [  # args, files, dirs
            (["lopsided", "--entries", "3000", "--seed", "3"], 2700, 300),
            (["wide-files", "--count", "2500"], 2500, 0),
            (["wide-dirs", "--count", "1500"], 0, 1500),
            (["chain", "--count", "40"], 0, 40),
        ]
        for args, files, dirs in cases:
            with self.subTest(args[0]):
                root, expect, tmp = build(*args)
                try:
                    found = self.assertCounted(root, expect)
                    self.assertEqual((found["gTotalFiles"], found["gTotalDirs"]), (files, dirs))
                    if args[0] == "chain":
                        self.assertEqual(found["max_depth"], 40)
                finally:
                    shapes.remove(tmp)

    def test_lopsided_tree_has_the_asked_shape(self):
        parents, files = shapes.lopsided_plan(5, entries=200_000)
        kids = collections.Counter(parents[1:])
        self.assertEqual((len(parents) - 1, sum(map(len, files))), (20_000, 180_000))
        self.assertEqual(max(kids.values()), 12)
        self.assertEqual(kids[0], 12)
        self.assertEqual(shapes.max_depth(parents), 9)
        below = [0] * len(parents)
        for i in range(len(parents) - 1, 0, -1):
            below[i] += len(files[i]) + 1
            below[parents[i]] += below[i]
        top = [below[i] for i in range(1, len(parents)) if parents[i] == 0]
        self.assertEqual(top.index(max(top)), 2)        # small ones before and after it
        self.assertGreater(max(top), 0.7 * 200_000)
        self.assertEqual(shapes.lopsided_plan(5, entries=200_000), (parents, files))
        self.assertNotEqual(shapes.lopsided_plan(6, entries=200_000)[1], files)

    def test_copies_keep_shape_links_and_sizes_but_not_bytes(self):
        with tempfile.TemporaryDirectory() as tmp:
            tarball = os.path.join(tmp, "src.tar.gz")
            with tarfile.open(tarball, "w:gz") as tar:
                def add(name, kind, size=0, link=""):
                    info = tarfile.TarInfo(name)
                    info.type, info.size, info.linkname = kind, size, link
                    tar.addfile(info, io.BytesIO(b"x" * size) if size else None)
                add("pkg", tarfile.DIRTYPE)
                add("pkg/a.c", tarfile.REGTYPE, 70_000)
                add("pkg/deep/er/b.h", tarfile.REGTYPE, 10)    # parents only implied
                add("pkg/link", tarfile.SYMTYPE, link="a.c")
                add("pkg/hard", tarfile.LNKTYPE, link="pkg/a.c")
            src = os.path.join(tmp, "dir")
            os.makedirs(os.path.join(src, "sub"))
            with open(os.path.join(src, "sub", "f"), "wb") as f:
                f.write(b"y" * 50_000)
            os.link(os.path.join(src, "sub", "f"), os.path.join(src, "g"))
            os.symlink("sub", os.path.join(src, "to-sub"))
            for shape, source, files, dirs in (("tar-copies", tarball, 4, 3),
                                               ("dir-copies", src, 3, 1)):
                with self.subTest(shape):
                    root, expect, out = build(shape, "--source", source, "--copies", "3")
                    try:
                        found = self.assertCounted(root, expect)
                        self.assertEqual(found["gTotalFiles"], 3 * files)
                        self.assertEqual(found["gTotalDirs"], 3 * (dirs + 1))
                        self.assertEqual(found["shared_inodes"], 3)
                        for rel, kind, size, _ in found["listing"]:
                            if kind == "f" and size:
                                st = os.lstat(os.path.join(root, rel))
                                self.assertEqual(st.st_blocks, 0, rel)
                    finally:
                        shapes.remove(out)

    def test_remove_takes_trees_deeper_than_a_path_can_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "tree")
            self.assertEqual(shapes.main(["build", "chain", "--count", "3000", "--out", root,
                                          "--expect", os.devnull]), 0)
            fd = os.open(root, os.O_RDONLY)     # a file and a link at the bottom too
            for _ in range(3000):
                child = os.open("d", os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = child
            open(os.open("f", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "w").close()
            os.symlink("/", "up", dir_fd=fd)
            os.close(fd)
            os.mkdir(os.path.join(tmp, "keep"))
            self.assertEqual(shapes.main(["remove", root]), 0)
            self.assertEqual(os.listdir(tmp), ["keep"])
            self.assertEqual(shapes.main(["remove", root]), 0)   # gone already: nothing to do

    def test_count_reports_what_it_finds_without_claiming_totals(self):
        root, _, tmp = build("wide-dirs", "--count", "30")
        try:
            open(os.path.join(root, "d0000003", "x"), "w").close()
            out = os.path.join(tmp, "count.expect")
            self.assertEqual(shapes.main(["count", root, "--expect", out, "--info", "k=v"]), 0)
            self.assertEqual(read_expect(out), {("info", "files"): "1", ("info", "dirs"): "30",
                                                ("info", "k"): "v"})
        finally:
            shapes.remove(tmp)

    def test_refusals(self):
        with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stderr(io.StringIO()):
            open(os.path.join(tmp, "keep"), "w").close()
            self.assertEqual(shapes.main(["build", "wide-files", "--count", "3", "--out", tmp,
                                          "--expect", os.devnull]), 1)
            self.assertEqual(os.listdir(tmp), ["keep"])
            for args in (["chain"], ["tar-copies"],
                         ["chain", "--count", "2", "--expect", os.path.join(tmp, "t", "e")]):
                with self.assertRaises(SystemExit):
                    shapes.main(["build", *args, "--out", os.path.join(tmp, "t")])


if __name__ == "__main__":
    unittest.main()
