#!/usr/bin/env python3
"""clang_tidy_cached.py on a scratch tree: a finding fails the pass every
time, a clean unit is judged once, a change to a header it reads has it
judged again, and a clone of the tree in another folder shares the verdicts.

  clang_tidy_cached_test.py SCRATCH_DIR CLANG_TIDY_CONFIG
"""
import json
import os
import shutil
import subprocess
import sys

scratch, config = os.path.abspath(sys.argv[1]), sys.argv[2]
clone = scratch + "-clone"
for tree in (scratch, clone):
    shutil.rmtree(tree, ignore_errors=True)
os.makedirs(os.path.join(scratch, "src"))
os.makedirs(os.path.join(scratch, "build"))
shutil.copy(config, os.path.join(scratch, ".clang-tidy"))


def write(name, text):
    with open(os.path.join(scratch, name), "w", encoding="utf-8") as f:
        f.write(text)


write("src/values.h", "constexpr int factor = 2;\n")
write("src/clean.cpp", '#include "values.h"\nint scaled(int x) { return factor * x; }\n')
write("src/faulty.cpp", "bool same(int x) { return x == x; }\n")  # misc-redundant-expression


def write_commands(tree):
    with open(os.path.join(tree, "build", "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump([{"directory": os.path.join(tree, "build"), "file": os.path.join(tree, "src", unit),
                    "command": "g++ -std=c++17 -I%s/src -c -o %s.o ../src/%s" % (tree, unit, unit)}
                   for unit in ("clean.cpp", "faulty.cpp")], f)


write_commands(scratch)

script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "clang_tidy_cached.py")
environment = dict(os.environ, WIRETEST_LINT_CACHE=os.path.join(scratch, "cache"))


def lint(tree=scratch):
    run = subprocess.run([sys.executable, script, os.path.join(tree, "build"), tree, "--dirs", "src"],
                         capture_output=True, text=True, env=environment)
    return run.returncode, run.stdout.splitlines()[0], run.stdout


def expect(got, status, summary, why):
    if got[0] != status or got[1] != summary:
        sys.exit("%s: got status %d and %r, expected %d and %r\n%s" % (why, got[0], got[1], status, summary, got[2]))


first = lint()
expect(first, 1, "clang-tidy: 2 units, 0 of them judged clean before as they are", "a first pass")
if "faulty.cpp" not in first[2] or "clean.cpp:" in first[2]:
    sys.exit("the first pass's findings name the wrong unit:\n" + first[2])
expect(lint(), 1, "clang-tidy: 2 units, 1 of them judged clean before as they are", "the finding is judged again")
write("src/faulty.cpp", "bool same(int x, int y) { return x == y; }\n")
expect(lint(), 0, "clang-tidy: 2 units, 1 of them judged clean before as they are", "the mended unit")
write("src/values.h", "constexpr int factor = 3;\n")
expect(lint(), 0, "clang-tidy: 2 units, 1 of them judged clean before as they are", "a changed header")
expect(lint(), 0, "clang-tidy: 2 units, 2 of them judged clean before as they are", "nothing changed")
shutil.copytree(scratch, clone, ignore=shutil.ignore_patterns("cache"))
write_commands(clone)
expect(lint(clone), 0, "clang-tidy: 2 units, 2 of them judged clean before as they are", "a clone elsewhere")
print("clang_tidy_cached.py judged again exactly what changed")
