#!/usr/bin/env python3
"""The version header of cmake/KlvVersion.cmake, in a small project of its own that
prints KLV_VERSION_LINE: the commit after a new commit and after edits, without a new
configure; "-dirty" for changed tracked files only; "unknown" without git; the commit's
time as the epoch; no rebuild when nothing changed.

    version_test.py SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = None

PROJECT = """cmake_minimum_required(VERSION 3.25)
project(VersionProbe VERSION 2.3.4 LANGUAGES C)
include(KlvVersion.cmake)
add_executable(probe probe.c)
target_link_libraries(probe PRIVATE klv_version)
"""
PROBE = """#include <stdio.h>
#include "klv_version.h"
int main(void) {
    printf("%s|%d.%d.%d\\n", KLV_VERSION_LINE("probe"), KLV_VERSION_MAJOR, KLV_VERSION_MINOR,
           KLV_VERSION_PATCH);
    return 0;
}
"""


def run(*args, cwd=None, env=None):
    return subprocess.run(args, cwd=cwd, env=env, check=True, capture_output=True,
                          text=True).stdout


class Probe:
    """A copy of the probe project in `root`/src, built in `root`/build."""

    def __init__(self, root, with_git, inside=None):
        self.src = os.path.join(inside or root, "src")
        self.build = os.path.join(root, "build")
        os.makedirs(self.src)
        shutil.copy(os.path.join(SOURCE_DIR, "cmake", "KlvVersion.cmake"), self.src)
        self.write("CMakeLists.txt", PROJECT)
        self.write("probe.c", PROBE)
        self.env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.com",
                        GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.com")
        self.env.pop("SOURCE_DATE_EPOCH", None)
        if with_git:
            self.git("init", "-q")
            self.commit("first", when="1700000000")

    def write(self, name, text):
        with open(os.path.join(self.src, name), "w") as f:
            f.write(text)

    def git(self, *args):
        return run("git", "-C", self.src, *args, env=self.env).strip()

    def commit(self, message, when):
        env = dict(self.env, GIT_AUTHOR_DATE=when + " +0000", GIT_COMMITTER_DATE=when + " +0000")
        run("git", "-C", self.src, "add", "-A", env=env)
        run("git", "-C", self.src, "commit", "-q", "-m", message, env=env)

    def head(self):
        return self.git("rev-parse", "--short=12", "HEAD")

    def configure(self):
        run("cmake", "-S", self.src, "-B", self.build, "-G", "Ninja", env=self.env)

    def build_and_run(self):
        """(what probe prints, whether the probe was compiled again)"""
        log = run("cmake", "--build", self.build, env=self.env)
        return run(os.path.join(self.build, "probe")).strip(), "probe.c" in log

    def facts(self):
        with open(os.path.join(self.build, "generated", "klv_version.txt")) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


class VersionHeaderTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="klv-version-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_follows_the_tree_at_every_build(self):
        p = Probe(self.tmp, with_git=True)
        p.configure()
        first = p.head()
        self.assertEqual(p.build_and_run(), ("probe 2.3.4 (commit %s)|2.3.4" % first, True))
        self.assertEqual(p.facts()["epoch"], "1700000000")

        steps = [
            # (what happens to the tree, expected commit suffix, rebuilt)
            ("nothing", "", False),
            ("untracked file", "", False),
            ("tracked file edited", "-dirty", True),
            ("edit staged", "-dirty", False),
            ("new commit", "", True),
        ]
        for what, suffix, rebuilt in steps:
            with self.subTest(what):
                if what == "untracked file":
                    p.write("notes.txt", "not part of the tree\n")
                elif what == "tracked file edited":
                    p.write("probe.c", PROBE + "/* edited */\n")
                elif what == "edit staged":
                    p.git("add", "probe.c")
                elif what == "new commit":
                    os.remove(os.path.join(p.src, "notes.txt"))
                    p.commit("second", when="1700000500")
                line, compiled = p.build_and_run()
                self.assertEqual(line, "probe 2.3.4 (commit %s%s)|2.3.4" % (p.head(), suffix))
                self.assertEqual(compiled, rebuilt, "probe.c compiled again")
        self.assertNotEqual(p.head(), first)
        self.assertEqual(p.facts()["epoch"], "1700000500")

    def test_unknown_without_a_checkout_of_this_tree(self):
        cases = [
            # (name, git repository of its own, sources inside another repository)
            ("no git at all", False, False),
            ("unpacked inside another repository", False, True),
        ]
        for name, with_git, inside_other in cases:
            with self.subTest(name):
                root = os.path.join(self.tmp, name.replace(" ", "-"))
                inside = None
                if inside_other:
                    other = Probe(os.path.join(root, "other"), with_git=True)
                    inside = other.src
                p = Probe(root, with_git=with_git, inside=inside)
                p.env["SOURCE_DATE_EPOCH"] = "1600000000"
                p.configure()
                self.assertEqual(p.build_and_run()[0], "probe 2.3.4 (commit unknown)|2.3.4")
                self.assertEqual(p.facts()["epoch"], "1600000000")


if __name__ == "__main__":
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main()
