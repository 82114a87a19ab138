#!/usr/bin/env python3
"""windows_lint_files.py on a scratch tree of two builds, the "Windows" one
made by the host compiler with _WIN32 defined: it must list exactly the
units whose code differs there. Run by ctest (cmake/build_speed.cmake).

  windows_lint_files_test.py SCRATCH_DIR C++_COMPILER
"""
import json
import os
import shutil
import subprocess
import sys

scratch, compiler = sys.argv[1], sys.argv[2]
shutil.rmtree(scratch, ignore_errors=True)
sources = {
    "src/same.cpp": '#include "shared.h"\nint same() { return shared(); }\n',
    "src/shared.h": "// Takes a long time to explain.\ninline int shared() { return 1; }\n",
    "src/half.cpp": "#ifdef _WIN32\nint half() { return 1; }\n#else\nint half() { return 2; }\n#endif\n",
    "src/via_header.cpp": '#include "half.h"\nint via() { return HALF; }\n',
    "src/half.h": "#ifdef _WIN32\n#define HALF 1\n#else\n#define HALF 2\n#endif\n",
    "src/width.cpp": "long width(long a) { return a; }\n",
    "src/long_long.cpp": "long long wide(long long a) { return a; }\n",
    "src/windows_only.cpp": "int windows_only() { return 0; }\n",
    "other/half.cpp": "#ifdef _WIN32\nint other() { return 1; }\n#endif\n",
}
for name, text in sources.items():
    os.makedirs(os.path.join(scratch, os.path.dirname(name)), exist_ok=True)
    with open(os.path.join(scratch, name), "w", encoding="utf-8") as file:
        file.write(text)


def build(name, files, flags):
    folder = os.path.join(scratch, name)
    os.makedirs(folder)
    entries = [{"directory": folder, "file": os.path.join(scratch, f),
                "command": f"{compiler} {flags} -o {os.path.basename(f)}.o -c {os.path.join(scratch, f)}"}
               for f in files]
    with open(os.path.join(folder, "compile_commands.json"), "w", encoding="utf-8") as file:
        json.dump(entries, file)


units = [f for f in sources if f.endswith(".cpp")]
build("linux", [f for f in units if f != "src/windows_only.cpp"], "-DNDEBUG")
build("windows", units, "-DNDEBUG -D_WIN32 -Dwindows_dll_EXPORTS")
script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_lint_files.py")
listed = subprocess.run([sys.executable, script, os.path.join(scratch, "linux"), os.path.join(scratch, "windows"),
                         scratch, "src"], check=True, capture_output=True, text=True).stdout.split()
got = sorted(os.path.relpath(line, scratch) for line in listed)
expected = ["src/half.cpp", "src/via_header.cpp", "src/width.cpp", "src/windows_only.cpp"]
if got != expected:
    sys.exit(f"windows_lint_files.py listed {got}, expected {expected}")
print("windows_lint_files.py listed", " ".join(got))
