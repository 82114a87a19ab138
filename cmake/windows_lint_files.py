#!/usr/bin/env python3
"""The translation units of the Windows build that `make lint-windows` must
check, by their absolute paths, one a line.

`make lint` checks the Linux build's units already. A Windows unit needs its
own pass where clang-tidy could see something else in it: a file the Linux
build does not compile, or one whose project code, its conditionals decided
by each build's own compile command, is not the same text (a Windows half,
another definition of a macro of its own), or names a type whose width
differs on 64-bit Windows (long, wchar_t). The rest is the same code over
the same type widths, which clang-tidy has judged already.

  windows_lint_files.py LINUX_BUILD WINDOWS_BUILD SOURCE_DIR DIR...

DIR... are the source folders checked (src drivers ...). Without the Linux
build's compile commands every Windows unit is listed. Both builds compile
with gcc (g++ and mingw-w64's), whose -fdirectives-only this reads; a unit
either cannot preprocess is listed.
"""
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys

LINE_MARKER = re.compile(r'^# \d+ "(.*)"')
WIDTH_DIFFERS = re.compile(r"\bwchar_t\b|\blong\b")
LONG_LONG = re.compile(r"\blong\s+long\b")
# The compiler's own predefined macros, which directives-only output lists
# under the unit's name; reserved names, never the project's.
# CMake's NAME_EXPORTS of a shared library, which the code never reads, too.
COMPILER_MACRO = re.compile(r"^#\s*(define|undef)\s+(__|_[A-Z]|\w+_EXPORTS\b)")
# Comments, kept by directives-only output: a "long" in words is no type.
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def compile_commands(build):
    path = os.path.join(build, "compile_commands.json")
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def project_text(entry, source_dir):
    """The lines that the project's own files give the preprocessed unit."""
    words = shlex.split(entry["command"])
    if "-o" in words:
        at = words.index("-o")
        del words[at:at + 2]
    # Directives only: the conditionals decided and the project's own macro
    # definitions kept, no macro expanded, so that a system macro spelled the
    # same in both (stderr, say) reads the same.
    words = [w for w in words if w != "-c"] + ["-E", "-fdirectives-only", "-o", "-"]
    if os.path.basename(words[0]) == "ccache":
        words = words[1:]
    result = subprocess.run(words, cwd=entry["directory"], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    lines, ours = [], False
    for line in result.stdout.splitlines():
        marker = LINE_MARKER.match(line)
        if marker:
            path = os.path.normpath(os.path.join(entry["directory"], marker.group(1)))
            ours = path.startswith(source_dir + "/")
        elif ours and line.strip() and not COMPILER_MACRO.match(line):
            lines.append(" ".join(line.split()))
    return lines


def needs_own_pass(windows_entry, linux_entries, source_dir):
    windows = project_text(windows_entry, source_dir)
    if windows is None:
        return True
    code = COMMENT.sub(" ", "\n".join(windows))
    if WIDTH_DIFFERS.search(LONG_LONG.sub("", code)):
        return True
    return all(project_text(entry, source_dir) != windows for entry in linux_entries)


def main():
    linux_build, windows_build, source_dir, *dirs = sys.argv[1:]
    source_dir = os.path.realpath(source_dir)
    checked = re.compile("^" + re.escape(source_dir) + "/(" + "|".join(map(re.escape, dirs)) + ")/")
    linux = {}
    for entry in compile_commands(linux_build):
        linux.setdefault(os.path.realpath(entry["file"]), []).append(entry)
    chosen, to_compare = set(), []
    for entry in compile_commands(windows_build):
        source = os.path.realpath(entry["file"])
        if not checked.match(source):
            continue
        if source not in linux:
            chosen.add(source)
        else:
            to_compare.append((source, entry))
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        verdicts = pool.map(lambda item: needs_own_pass(item[1], linux[item[0]], source_dir), to_compare)
        for (source, _), differs in zip(to_compare, verdicts):
            if differs:
                chosen.add(source)
    for source in sorted(chosen):
        print(source)


if __name__ == "__main__":
    main()
