#!/usr/bin/env python3
"""clang-tidy over the units of a build's compile commands, each unit judged
again only when what clang-tidy would read of it has changed.

A unit that clang-tidy found clean is remembered by a key made of everything
its verdict depends on: clang-tidy's version, the checked-in .clang-tidy, the
extra arguments, the unit's compile command and its preprocessed text (the
unit with every header it reads, ours and the system's), the path of the
source folder taken out of both. A run whose key is
remembered is skipped; any other runs, and a finding fails the whole pass as
before. Units with findings are never remembered. CI on one machine then
judges only what a change touched; a new machine judges everything.

Usage: clang_tidy_cached.py BUILD_DIR SOURCE_DIR [--dirs D ...] [--files F ...]
         [--extra-arg ARG ...] [--jobs N] [--log FILE]
--dirs keeps the units below those folders of SOURCE_DIR; --files keeps
those units alone (none, when it names none). The cache lives in $WIRETEST_LINT_CACHE, else
$XDG_CACHE_HOME/wiretest-clang-tidy, else ~/.cache/wiretest-clang-tidy.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import shlex
import subprocess
import sys


def cache_dir():
    explicit = os.environ.get("WIRETEST_LINT_CACHE")
    if explicit:
        return explicit
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "wiretest-clang-tidy")


def units(build_dir, source_dir, dirs, files):
    """The first compile command of each unit chosen, by its absolute path."""
    with open(os.path.join(build_dir, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    wanted_files = {os.path.abspath(f) for f in files} if files is not None else None
    prefixes = [os.path.join(source_dir, d) + os.sep for d in dirs]
    chosen = {}
    for entry in entries:
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        if wanted_files is not None and path not in wanted_files:
            continue
        if prefixes and not any(path.startswith(p) for p in prefixes):
            continue
        chosen.setdefault(path, entry)
    return chosen


def command_words(entry):
    words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    if os.path.basename(words[0]) == "ccache":
        words = words[1:]
    if "-o" in words:
        at = words.index("-o")
        words = words[:at] + words[at + 2:]
    return words


def unit_key(entry, common, source_dir):
    """The key of a unit's verdict; None when it cannot be preprocessed
    (clang-tidy then runs and says why). The source folder's own path is
    left out, so that clones elsewhere (CI's, each run) share verdicts."""
    words = command_words(entry)
    preprocessed = subprocess.run([w for w in words if w != "-c"] + ["-E", "-o", "-"], cwd=entry["directory"],
                                  capture_output=True)
    if preprocessed.returncode != 0:
        return None
    here = source_dir.encode()
    digest = hashlib.sha256(common)
    digest.update("\0".join(words + [entry["directory"]]).encode().replace(here, b"<source>"))
    digest.update(preprocessed.stdout.replace(here, b"<source>"))
    return digest.hexdigest()


def judge(path, build_dir, extra_args):
    """clang-tidy's output for a unit, and whether it found it clean."""
    run = subprocess.run(["clang-tidy", "-p", build_dir, "--quiet"] + ["--extra-arg=" + a for a in extra_args]
                         + [path], capture_output=True, text=True)
    output = run.stdout + run.stderr
    clean = run.returncode == 0 and "warning:" not in output and "error:" not in output
    return output, clean


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("source_dir")
    parser.add_argument("--dirs", nargs="*", default=[])
    parser.add_argument("--files", nargs="*", default=None)  # given but empty: no unit
    parser.add_argument("--extra-arg", action="append", default=[])
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--log", default=None)
    args = parser.parse_args()
    build_dir, source_dir = os.path.abspath(args.build_dir), os.path.abspath(args.source_dir)

    version = subprocess.run(["clang-tidy", "--version"], capture_output=True, check=True).stdout
    with open(os.path.join(source_dir, ".clang-tidy"), "rb") as f:
        config = f.read()
    common = b"\0".join([version, config, "\0".join(args.extra_arg).encode()])

    chosen = units(build_dir, source_dir, args.dirs, args.files)
    store = cache_dir()
    os.makedirs(store, exist_ok=True)

    def one(path):
        key = unit_key(chosen[path], common, source_dir)
        if key and os.path.exists(os.path.join(store, key)):
            return path, "", True, True
        output, clean = judge(path, build_dir, args.extra_arg)
        if clean and key:
            open(os.path.join(store, key), "w").close()
        return path, output, clean, False

    findings, remembered = [], 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for path, output, clean, cached in pool.map(one, sorted(chosen)):
            remembered += cached
            if not clean:
                findings.append((path, output))
    log = "".join("== %s\n%s\n" % (path, output) for path, output in findings)
    if args.log:
        with open(args.log, "w", encoding="utf-8") as f:
            f.write(log)
    print("clang-tidy: %d units, %d of them judged clean before as they are" % (len(chosen), remembered))
    if findings:
        sys.stdout.write(log)
        print("clang-tidy: findings in %d units" % len(findings))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
