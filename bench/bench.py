#!/usr/bin/env python3
"""The cost of the tool beyond the waits it must make.

Run by `make bench` after the optimised build in build-release/. Measures, in
one sitting, the figures below against their floors (the waits the tool is
bound to make), prints them as a table and writes the same to
bench/RESULTS.md. Every number in that file comes from this script.

Floors: the waits the engine makes, as bench_wait_schedule records them
(the engine on the demo boards with the tests' virtual clock, each wait
recorded instead of slept): a full run, a -short one, and each with -delay,
where every wait is one 10 ms sleep.

On the latency-faithful virtual USB chip (latency=1), whose reads wait for the
chip's latency timer as a real chip's do, build/wiretest is measured against a
process that makes the same waits and nothing else (bench_waits), in the same
sitting, runs alternating; BENCH_VUSB_BEFORE_EXE names an older build of it to
measure beside it.

`bench.py programming` measures only the rows of programming a board's
EEPROM (wiretest-station --product on the latency-faithful bus) and puts them
into the RESULTS.md of an earlier sitting, in place of the ones it held.
"""

import bisect
import datetime
import json
import os
import platform
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "build-release")
RESULTS = os.path.join(ROOT, "bench", "RESULTS.md")

RUNS = int(os.environ.get("BENCH_RUNS", "21"))
SLEEP_PROBE_WAITS = int(os.environ.get("BENCH_SLEEP_WAITS", "600"))

GOAL_DELAY = 0.02   # overhead within 2 % of the floor with -delay
GOAL_NORMAL = 0.001  # and within 0.1 % in the normal mode

SIM = os.path.join(RELEASE, "wiretest-sim")
STATION = os.path.join(RELEASE, "wiretest-station-sim")
TIMER = os.path.join(RELEASE, "bench_timer")
PROBE = os.path.join(RELEASE, "bench_sleep_probe")
EMPTY = os.path.join(RELEASE, "bench_empty")
COUNTER = os.path.join(RELEASE, "libbench_alloc_counter.so")
WAITS = os.path.join(RELEASE, "bench_waits")
SCHEDULE = os.path.join(RELEASE, "bench_wait_schedule")
DB_RECORDS = os.path.join(RELEASE, "bench_db_records")
STATION_USB = os.path.join(RELEASE, "wiretest-station")
FAST_SIM = os.path.join(RELEASE, "bench_fast_phase_sim")
FAST_USB = os.path.join(RELEASE, "bench_fast_phase_usb")

# wiretest-station --fast: the test phase, the whole process beside
# wiretest -n0 -delay on the same chip, and the soak rate.
FAST_RUNS = int(os.environ.get("BENCH_FAST_RUNS", "2000"))
SOAK_SECONDS = float(os.environ.get("BENCH_SOAK_SECONDS", "3"))
GOAL_PHASE_MS = 1.0
GOAL_PROCESS_DIVISOR = 60  # the whole process at most 1/60 of wiretest -n0 -delay
GOAL_SOAK_PER_S = 500


def system_objects(build_dir):
    """The archives of the system itself: its libraries as built in build_dir,
    and the program's main.cpp, which the executables compile beside them
    (bench_tool_main, the same source)."""
    return [os.path.join(build_dir, "libwiretest_core.a"),
            os.path.join(build_dir, "libwiring_report.a"),
            os.path.join(build_dir, "libplatform_sleep.a"),
            os.path.join(RELEASE, "libbench_tool_main.a")]


# The simulated driver that wiretest-sim links in place of the chip maker's library.
SIM_OBJECTS = [os.path.join(RELEASE, "libsim_driver.a"),
               os.path.join(RELEASE, "libchip_model.a"),
               os.path.join(RELEASE, "libbench_demo_boards.a")]


def fail(message):
    sys.exit("bench: " + message)


def run(args, env=None, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    if check and result.returncode != 0:
        fail("%s exited %d: %s" % (" ".join(args), result.returncode, result.stderr.strip()))
    return result


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    compiler = run(["c++", "--version"]).stdout.splitlines()[0]
    libc = platform.libc_ver()
    return {"nproc": os.cpu_count(), "cpu": cpu,
            "kernel": "%s %s" % (platform.system(), platform.release()),
            "compiler": compiler, "libc": "%s %s" % libc}


# --- timing ------------------------------------------------------------------

def time_runs(command, runs, output="pipe", env=None, expect_status=0, expect_text=None,
              check_output=None):
    """Walls and first-line times (ms) of `runs` spawns of command;
    check_output, when given, is called with the last run's output."""
    with tempfile.TemporaryDirectory() as tmp:
        saved = os.path.join(tmp, "out")
        result = run([TIMER, str(runs), output, saved, "--"] + command, env=env)
        with open(saved, errors="replace") as f:
            last_output = f.read()
    walls, firsts, statuses = [], [], []
    for line in result.stdout.splitlines():
        fields = dict(item.split("=") for item in line.split())
        walls.append(int(fields["wall_ns"]) / 1e6)
        firsts.append(int(fields["first_line_ns"]) / 1e6)
        statuses.append(int(fields["status"]))
    if len(walls) != runs:
        fail("%s: %d timings for %d runs" % (" ".join(command), len(walls), runs))
    bad = [s for s in statuses if s != expect_status]
    if bad:
        fail("%s exited %s (expected %d)" % (" ".join(command), bad[0], expect_status))
    if expect_text and expect_text not in last_output:
        fail("%s: output lacks %r:\n%s" % (" ".join(command), expect_text, last_output))
    if check_output:
        check_output(last_output)
    return walls, firsts


def median(values):
    return statistics.median(values)


def spread(values):
    return "%.1f-%.1f" % (min(values), max(values))


def wait_schedule():
    """The waits of each kind of run, from the engine itself: their count and
    their sum in ms."""
    kinds = {"full": ["-n0"], "short": ["-n0", "-short"],
             "full_delay": ["-n0", "-delay"], "short_delay": ["-n0", "-short", "-delay"]}
    schedule = {}
    for kind, args in kinds.items():
        fields = dict(item.split("=") for item in run([SCHEDULE] + args).stdout.split())
        if fields.get("status") != "0":
            fail("bench_wait_schedule %s: %s" % (" ".join(args), fields))
        schedule[kind] = {"waits": int(fields["waits"]), "ms": int(fields["total_ms"])}
    return schedule


def sleep_probe(way, waits, runs_of):
    """Lateness of `waits` 10 ms waits made one way, in ns, and its summary;
    per_run_ns[n]: how it adds up over n in a row, for each n in runs_of."""
    lines = run([PROBE, way, str(waits)]).stdout.splitlines()
    header = dict(item.split("=") for item in lines[0].split())
    late = [int(x) for x in lines[1:]]
    if len(late) != waits:
        fail("the sleep probe reported %d of %d waits" % (len(late), waits))
    ordered = sorted(late)

    def added_up(n):
        """Lateness as it adds up in a run of n waits: median of sums of n in a row."""
        sums = [sum(late[i:i + n]) for i in range(0, waits - n + 1, n)]
        return median(sums) if sums else n * median(late)
    return {"median_ns": median(late), "mean_ns": statistics.mean(late),
            "p90_ns": ordered[len(ordered) * 9 // 10], "max_ns": ordered[-1],
            "early": sum(1 for x in late if x < 0),
            "cpu_ns_per_wait": int(header["cpu_ns_per_wait"]),
            "per_run_ns": {n: added_up(n) for n in runs_of}}


# --- allocations -------------------------------------------------------------

def count_allocations(command, env=None):
    """The counting allocator's log of one run: totals and one entry per allocation."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "alloc.log")
        run_env = dict(env if env is not None else os.environ)
        run_env["LD_PRELOAD"] = COUNTER + (":" + run_env["LD_PRELOAD"]
                                           if run_env.get("LD_PRELOAD") else "")
        run_env["WT_ALLOC_LOG"] = log
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, env=run_env)
        if result.returncode != 0:
            fail("%s under the counting allocator exited %d" % (" ".join(command),
                                                                  result.returncode))
        if not os.path.exists(log):
            fail("the counting allocator wrote no log for " + " ".join(command))
        with open(log) as f:
            lines = f.read().splitlines()
    totals = dict(item.split("=") for item in lines[0].split()[1:])
    entries = []
    for line in lines[1:]:
        parts = line.split()
        frames = []
        for frame in parts[3:]:
            obj, _, place = frame.rpartition("+0x")
            offset, _, symbol = place.partition(":")
            frames.append((obj, int(offset, 16), symbol))
        entries.append({"function": parts[1], "size": int(parts[2]), "frames": frames})
    return {"allocs": int(totals["allocs"]), "frees": int(totals["frees"]),
            "bytes": int(totals["bytes"]), "unrecorded": int(totals["unrecorded"]),
            "entries": entries}


def defined_functions(paths):
    names = set()
    for path in paths:
        if not os.path.exists(path):
            continue
        for line in run(["nm", "--defined-only", path]).stdout.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] in "TtWw":
                names.add(parts[2])
    return names


class Symbols:
    """Function names of an unstripped executable, by offset from its load address."""

    def __init__(self, exe):
        pairs = []
        for line in run(["nm", "--defined-only", exe]).stdout.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] in "TtWw":
                pairs.append((int(parts[0], 16), parts[2]))
        pairs.sort()
        self.starts = [p[0] for p in pairs]
        self.names = [p[1] for p in pairs]

    def at(self, offset):
        i = bisect.bisect_right(self.starts, offset) - 1
        return self.names[i] if i >= 0 else "?"


def demangle(names):
    result = subprocess.run(["c++filt"], input="\n".join(names) + "\n",
                            stdout=subprocess.PIPE, text=True)
    lines = result.stdout.splitlines()
    return dict(zip(names, lines)) if len(lines) == len(names) else {}


def attribute(log, exe, system_names, driver_names=None):
    """Sort each allocation by who asked for it.

    system  the system's own code called the allocator (through operator new or
            directly) -- the design says none;
    system-via-libc  the system called a C library function that allocated for
            its own purposes (stdio's buffer at the first printf);
    driver  the driver layer under the system (the simulated driver, or the
            libftdi1 layer and the libraries below it); without driver_names,
            every function of the program that is not the system's;
    runtime no frame of the program on the stack: the runtimes starting/ending.
    """
    symbols = Symbols(exe)
    groups = {}
    for entry in log["entries"]:
        frames = entry["frames"]
        exe_index = next((i for i, f in enumerate(frames) if f[0] == "exe"), None)
        if exe_index is None:
            kind = "runtime"
            site = ("%s %s" % (os.path.basename(frames[0][0]), frames[0][2])).strip() \
                if frames else "?"
        else:
            owner, site = None, None
            for obj, offset, _ in frames[exe_index:]:
                if obj != "exe":
                    continue
                name = symbols.at(offset)
                in_system = name in system_names
                in_driver = name in driver_names if driver_names is not None else not in_system
                if in_system != in_driver:
                    owner, site = ("system" if in_system else "driver"), name
                    break
            if owner is None:
                owner, site = "runtime", symbols.at(frames[exe_index][1])
            between = frames[:exe_index]
            if owner == "system" and any(not os.path.basename(obj).startswith("libstdc++")
                                         for obj, _, _ in between):
                owner = "system-via-libc"
                called = [sym for _, _, sym in reversed(between) if sym]
                site = (site, " -> ".join(called) or "?")
            kind = owner
        key = (kind, site)
        count, size = groups.get(key, (0, 0))
        groups[key] = (count + 1, size + entry["size"])
    return groups


def valgrind_heap(command):
    if not shutil.which("valgrind"):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "vg.log")
        subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=no", "--log-file=" + log]
                       + command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)
        with open(log) as f:
            text = f.read()
    m = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees, ([\d,]+) bytes", text)
    if not m:
        return None
    return tuple(int(g.replace(",", "")) for g in m.groups())


def stripped_size(path):
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, os.path.basename(path))
        shutil.copy(path, copy)
        run(["strip", copy])
        return os.path.getsize(copy)


# --- the virtual USB chip ----------------------------------------------------

def find_virtual_usb():
    """build/wiretest and the libusb test double it runs on, when both are built."""
    exe = os.environ.get("BENCH_VUSB_EXE", os.path.join(ROOT, "build", "wiretest"))
    if not os.path.exists(exe):
        return None, "not built (%s missing)" % os.path.relpath(exe, ROOT)
    libdir = os.environ.get("BENCH_VUSB_LIBDIR")
    if not libdir:
        for top, _, files in os.walk(os.path.join(ROOT, "build")):
            if any(f.startswith("libusb-1.0.so") for f in files):
                libdir = top
                break
    if not libdir:
        return None, "not built (no libusb-1.0 test double under build/)"
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = libdir + (":" + env["LD_LIBRARY_PATH"]
                                       if env.get("LD_LIBRARY_PATH") else "")
    return {"exe": exe, "libdir": libdir, "env": env}, None


# --- the report --------------------------------------------------------------

def ms(x):
    return "%.1f ms" % x


def overhead_row(figure, walls, floor, goal_fraction, runs_note):
    med = median(walls)
    over = med - floor
    goal_ms = floor * goal_fraction
    verdict = "met" if over <= goal_ms else "NOT met"
    return [figure, "%s (%s, %s)" % (ms(med), runs_note, spread(walls)), ms(floor),
            "%+.1f ms (%+.2f %%)" % (over, 100 * over / floor), "%.4f" % (med / floor),
            "<= %.1f ms: %s" % (goal_ms, verdict)]


def against_waits_row(figure, walls, waits_walls, runs_note):
    """A run beside the process that makes only its waits."""
    med, floor = median(walls), median(waits_walls)
    over = med - floor
    goal_ms = floor * GOAL_DELAY
    verdict = "met" if over <= goal_ms else "NOT met"
    return [figure, "%s (%s, %s)" % (ms(med), runs_note, spread(walls)),
            "%s: waits only (%s, %s)" % (ms(floor), runs_note, spread(waits_walls)),
            "%+.1f ms (%+.2f %%)" % (over, 100 * over / floor), "%.4f" % (med / floor),
            "<= %.1f ms: %s" % (goal_ms, verdict)]


def latency_rows(vusb, runs_note, schedule):
    """build/wiretest on the latency-faithful chip beside bench_waits, and beside
    them the same executable on the instant chip and an older build (if named)
    on the latency-faithful one: the runs alternate, so that a change of load
    hits all alike."""
    def on_bus(settings):
        env = dict(vusb["env"])
        env["WIRETEST_VUSB"] = settings
        return env
    name = os.path.relpath(vusb["exe"], ROOT)
    runs = [("latency-faithful", name, vusb["exe"], on_bus("latency=1")),
            ("instant", name, vusb["exe"], on_bus(""))]
    before = os.environ.get("BENCH_VUSB_BEFORE_EXE")
    if before:
        runs.append(("latency-faithful", "before: " + before, before, on_bus("latency=1")))
    cases = [("-n0 -delay", ["-n0", "-delay"], schedule["full_delay"]["waits"]),
             ("-n0 -short -delay", ["-n0", "-short", "-delay"], schedule["short_delay"]["waits"])]
    walls = {}
    for _ in range(RUNS):
        for label, args, waits in cases:
            walls.setdefault(("waits", label), []).extend(time_runs([WAITS, str(waits)], 1)[0])
            for bus, shown, exe, env in runs:
                walls.setdefault((bus, shown, label), []).extend(
                    time_runs([exe] + args, 1, env=env, expect_text="Testing complete, errors: 0")[0])
    rows = []
    for label, _, waits in cases:
        waits_walls = walls[("waits", label)]
        rows.append(["%d waits of 10 ms, nothing else (bench_waits), wall" % waits,
                     "%s (%s, %s)" % (ms(median(waits_walls)), runs_note, spread(waits_walls)),
                     ms(waits * 10), "-", "-", "-"])
        for bus, shown, _, _ in runs:
            rows.append(against_waits_row("%s %s, %s virtual USB, wall" % (shown, label, bus),
                                          walls[(bus, shown, label)], waits_walls, runs_note))
    return rows


def fast_phase_row(figure, exe, env, patterns="standard"):
    """The test phase of --fast, in-process: FAST_RUNS spans in ms. The goal
    is the thirteen patterns'; a planned set's time is shown beside it."""
    spans = sorted(int(x) / 1e6 for x in run([exe, str(FAST_RUNS), patterns], env=env).stdout.split())
    if len(spans) != FAST_RUNS:
        fail("%s gave %d spans for %d runs" % (exe, len(spans), FAST_RUNS))
    med = median(spans)
    goal = ("<= %.1f ms (median): %s" % (GOAL_PHASE_MS, "met" if med <= GOAL_PHASE_MS else "NOT met")
            if patterns == "standard" else "-")
    return [figure, "%.3f ms (median of %d; p90 %.3f, p99 %.3f, max %.3f)"
            % (med, FAST_RUNS, spans[len(spans) * 9 // 10], spans[len(spans) * 99 // 100], spans[-1]), goal]


def soak_row(figure, exe, env, patterns="standard"):
    """Full tests a second of one board in a --duration soak, from its record."""
    result = run([exe, "--fast", "--port", "1-1", "--duration", str(SOAK_SECONDS), "--json",
                  "--patterns", patterns], env=env)
    record = json.loads(result.stdout.splitlines()[0])
    if record.get("outcome") != "PASS":
        fail("%s soak: %s" % (figure, result.stdout.strip()))
    seconds = (record["end_time_millis"] - record["start_time_millis"]) / 1000.0
    rate = record["runs"] / seconds
    goal = (">= %d/s: %s" % (GOAL_SOAK_PER_S, "met" if rate >= GOAL_SOAK_PER_S else "NOT met")
            if patterns == "standard" else "-")
    return [figure, "%.0f full tests/s (%d runs in %.2f s, opening and setup included)"
            % (rate, record["runs"], seconds), goal]


def station_fast_rows(vusb, runs_note, schedule):
    """wiretest-station --fast on the simulated driver and, when built, on the
    latency-faithful virtual USB chip (the 2 ms timer the setup sets)."""
    rows = []
    rows.append(fast_phase_row("test phase, simulated driver (write of the stream to the last answer)",
                               FAST_SIM, None))
    sim_station, sim_delay = [], []
    for _ in range(RUNS):
        sim_station += time_runs([STATION, "--fast", "--port", "1-1"], 1,
                                 expect_text="boards: 1, passed: 1")[0]
        sim_delay += time_runs([SIM, "-n0", "-delay"], 1, expect_text="Testing complete, errors: 0")[0]
    rows.append(process_row("wiretest-station-sim --fast --port 1-1", sim_station,
                            "wiretest-sim -n0 -delay", sim_delay, runs_note, schedule))
    rows.append(soak_row("soak, simulated driver (wiretest-station-sim --fast --duration %g)"
                         % SOAK_SECONDS, STATION, None))
    if not vusb or not os.path.exists(STATION_USB) or not os.path.exists(FAST_USB):
        return rows
    env = dict(vusb["env"])
    env["WIRETEST_VUSB"] = "latency=1"
    rows.append(fast_phase_row("test phase, latency-faithful virtual USB (write of the stream to the "
                               "last answer)", FAST_USB, env))
    name = os.path.relpath(vusb["exe"], ROOT)
    station, delay = [], []
    for _ in range(RUNS):
        station += time_runs([STATION_USB, "--fast", "--port", "1-1"], 1, env=env,
                             expect_text="boards: 1, passed: 1")[0]
        delay += time_runs([vusb["exe"], "-n0", "-delay"], 1, env=env,
                           expect_text="Testing complete, errors: 0")[0]
    rows.append(process_row("wiretest-station --fast --port 1-1, latency-faithful virtual USB", station,
                            name + " -n0 -delay on the same chip", delay, runs_note, schedule))
    rows.append(soak_row("soak, latency-faithful virtual USB (wiretest-station --fast --duration %g)"
                         % SOAK_SECONDS, STATION_USB, env))
    # The planned sets: locate in one stream as the thirteen, deep with its
    # 16 settle waits of 1 ms on the host.
    for patterns in ("locate", "deep"):
        rows.append(fast_phase_row("test phase --patterns %s, latency-faithful virtual USB" % patterns,
                                   FAST_USB, env, patterns))
        rows.append(soak_row("soak --patterns %s, latency-faithful virtual USB (--duration %g)"
                             % (patterns, SOAK_SECONDS), STATION_USB, env, patterns))
    return rows


PROGRAMMING_FIGURE = "wiretest-station --fast --port 1-1 --db sqlite"


def board_record(command, output):
    """The board's record of a --json run (its first line)."""
    try:
        return json.loads(output.splitlines()[0])
    except (IndexError, ValueError):
        fail("%s: no board record in its output:\n%s" % (" ".join(command), output))


def programming_rows(vusb, runs_note):
    """Programming and verifying one blank board's EEPROM (--product) on the
    latency-faithful virtual USB bus: the whole --fast process with it against
    the same without, runs alternating, both into one SQLite file; and the
    boards an hour one station programs, one at a time. A run that did not
    write and verify the EEPROM fails the bench."""
    if not vusb or not os.path.exists(STATION_USB):
        return [[PROGRAMMING_FIGURE + " --product, latency-faithful virtual USB",
                 "not built (%s or the virtual USB bus missing)" % os.path.relpath(STATION_USB, ROOT),
                 "-"]]
    env = dict(vusb["env"])
    # One chip at 1-1 with a blank 93C46: no serial, so the EEPROM holds no image.
    env["WIRETEST_VUSB"] = "latency=1;chips=6010:@1-1;eeprom=46"
    with tempfile.TemporaryDirectory() as tmp:
        product = os.path.join(tmp, "product.toml")
        with open(product, "w") as f:
            f.write('[product]\nmanufacturer = "Wiretest"\nproduct = "Bench board"\n')
        plain = [STATION_USB, "--fast", "--port", "1-1", "--json", "--db", "sqlite:" + os.path.join(tmp, "line.db")]
        programming = plain + ["--product", product]
        serials = set()

        def passed(output):
            record = board_record(plain, output)
            if record.get("outcome") != "PASS" or "identity" in record:
                fail("%s: not a plain PASS:\n%s" % (" ".join(plain), output))

        def programmed(output):
            record = board_record(programming, output)
            identity = record.get("identity", {})
            if (record.get("outcome") != "PASS" or identity.get("written") is not True
                    or identity.get("verified") is not True or not identity.get("serial_after")
                    or identity.get("serial_before")):
                fail("%s: the blank board was not programmed and verified:\n%s"
                     % (" ".join(programming), output))
            serials.add(identity["serial_after"])

        without, with_product = [], []
        for _ in range(RUNS):  # alternating, so that load falls on both alike
            without += time_runs(plain, 1, env=env, check_output=passed)[0]
            with_product += time_runs(programming, 1, env=env, check_output=programmed)[0]
        if len(serials) != RUNS:
            fail("%d runs into one database gave %d serials" % (RUNS, len(serials)))
    whole, bare = median(with_product), median(without)
    return [
        [PROGRAMMING_FIGURE + " --product, blank 93C46, latency-faithful virtual USB, wall",
         "%s (%s, %s); without --product: %s (%s)" % (ms(whole), runs_note, spread(with_product),
                                                       ms(bare), spread(without)), "-"],
        ["programming and verifying one board (difference of the medians)", ms(whole - bare), "-"],
        ["boards an hour one station programs, one at a time (3600 s / the whole process with "
         "--product)", "%.0f" % (3600e3 / whole), "-"],
    ]


def process_row(figure, walls, beside, beside_walls, runs_note, schedule):
    """A whole --fast process beside wiretest -delay, runs alternating."""
    med, other = median(walls), median(beside_walls)
    goal = other / GOAL_PROCESS_DIVISOR
    return [figure + ", wall", "%s (%s, %s); beside %s: %s (%s), 1/%.0f of it; the normal waits: %d ms"
            % (ms(med), runs_note, spread(walls), beside, ms(other), spread(beside_walls), other / med,
               schedule["full"]["ms"]),
            "<= 1/%d of it, %s: %s" % (GOAL_PROCESS_DIVISOR, ms(goal), "met" if med <= goal else "NOT met")]


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


# --- measuring -----------------------------------------------------------------

def measure_sleep(schedule):
    """The OS sleep on its own: how late a 10 ms wait ends, each way."""
    print("bench: 10 ms waits, %d per way ..." % SLEEP_PROBE_WAITS, flush=True)
    runs_of = (schedule["full_delay"]["waits"], schedule["short_delay"]["waits"])
    probes = {way: sleep_probe(way, SLEEP_PROBE_WAITS, runs_of) for way in ("plain", "slack", "platform")}
    if probes["platform"]["early"] != 0:
        fail("platform_sleep_ms ended %d waits early" % probes["platform"]["early"])
    return probes


def measure_sim_runs(schedule, runs_note):
    """Whole runs of wiretest-sim and wiretest-station-sim: the rows of the
    time table, and the walls the breakdown takes apart."""
    floor_full, floor_short = schedule["full_delay"]["ms"], schedule["short_delay"]["ms"]
    rows = []
    # Alternating, so that a change of load hits both alike.
    print("bench: -delay runs ...", flush=True)
    full, short, empty = [], [], []
    for _ in range(RUNS):
        full += time_runs([SIM, "-n0", "-delay"], 1,
                          expect_text="Testing complete, errors: 0")[0]
        short += time_runs([SIM, "-n0", "-short", "-delay"], 1,
                           expect_text="Testing complete, errors: 0")[0]
        empty += time_runs([EMPTY], 1)[0]
    rows.append(overhead_row("wiretest-sim -n0 -delay, wall", full, floor_full, GOAL_DELAY, runs_note))
    rows.append(overhead_row("wiretest-sim -n0 -short -delay, wall", short, floor_short, GOAL_DELAY,
                             runs_note))

    print("bench: on a terminal ...", flush=True)
    tty_walls, tty_firsts = time_runs([SIM, "-n0", "-delay"], RUNS, output="pty",
                                      expect_text="Testing complete, errors: 0")
    rows.append(overhead_row("wiretest-sim -n0 -delay on a terminal, wall", tty_walls, floor_full,
                             GOAL_DELAY, runs_note))

    print("bench: one normal -short run (%.0f s) ..." % (schedule["short"]["ms"] / 1e3), flush=True)
    normal = time_runs([SIM, "-n0", "-short"], 1, expect_text="Testing complete, errors: 0")[0]
    rows.append(overhead_row("wiretest-sim -n0 -short, wall", normal, schedule["short"]["ms"],
                             GOAL_NORMAL, "1 run"))

    # The station tests its boards at once: seven take about as long as one.
    print("bench: wiretest-station-sim, seven boards and one ...", flush=True)
    six, one = [], []
    for _ in range(RUNS):
        six += time_runs([STATION, "--all", "--delay"], 1, expect_status=1,
                         expect_text="boards: 7, passed: 5, failed: 2, errors: 0")[0]
        one += time_runs([STATION, "--port", "1-1", "--delay"], 1,
                         expect_text="boards: 1, passed: 1")[0]
    rows.append(["wiretest-station-sim --all --delay (seven boards), wall",
                 "%s (%s, %s)" % (ms(median(six)), runs_note, spread(six)),
                 "one board (--port 1-1): %s" % ms(median(one)), "-",
                 "%.2f" % (median(six) / median(one)), "about 1"])

    rows.append(["start-up to first line, on a terminal (-n0 -delay)",
                 "%s (%s, %s)" % (ms(median(tty_firsts)), runs_note, spread(tty_firsts)),
                 "-", "-", "-", "-"])
    pipe_firsts = time_runs([SIM, "-n0", "-delay"], 5)[1]
    rows.append(["start-up to first line, on a pipe (-n0 -delay)",
                 "%s (median of 5; standard output line by line, as on a terminal)"
                 % ms(median(pipe_firsts)), "-", "-", "-", "-"])
    rows.append(["empty program, wall (process start-up and exit)",
                 "%s (%s, %s)" % (ms(median(empty)), runs_note, spread(empty)),
                 "-", "-", "-", "-"])
    return rows, {"full": full, "short": short, "empty": empty, "tty": tty_walls}


class Allocations:
    """The allocation table's rows, and each run's allocation sites."""

    def __init__(self):
        self.empty_log = count_allocations([EMPTY])
        self.rows = []
        self.detail = {}
        self.notes = []

    def add(self, label, command, exe, system, driver=None, env=None):
        log = count_allocations(command, env=env)
        groups = attribute(log, exe, system, driver)
        self.detail[label] = groups

        def total(kind):
            return (sum(c for (k, _), (c, _) in groups.items() if k == kind),
                    sum(b for (k, _), (_, b) in groups.items() if k == kind))
        own = total("system")
        empty = self.empty_log
        self.rows.append([
            label,
            "%d (%d B)" % (log["allocs"], log["bytes"]),
            "%d (%d B)" % (empty["allocs"], empty["bytes"]),
            "%d (%d B)" % (log["allocs"] - empty["allocs"], log["bytes"] - empty["bytes"]),
            "%d (%d B)" % own,
            "%d (%d B)" % total("system-via-libc"),
            "%d (%d B)" % total("driver"),
            "%d (%d B)" % total("runtime"),
            "none: met" if own[0] == 0 else "NOT met",
        ])
        if log["unrecorded"]:
            self.notes.append("%d allocations of %s were counted but not traced." %
                              (log["unrecorded"], label))

    def site_rows(self, label):
        """The sites of one run: owner, function, count and bytes, most first."""
        groups = self.detail[label]
        names = demangle(sorted({site[0] if isinstance(site, tuple) else site
                                 for (_, site) in groups}))

        def describe_site(site):
            if isinstance(site, tuple):  # a function of the program, then the library's path
                return "`%s` calling `%s`" % (names.get(site[0], site[0])[:60], site[1])
            return "`%s`" % names.get(site, site)[:90]
        return [[kind, describe_site(site), count, size]
                for (kind, site), (count, size) in sorted(groups.items(), key=lambda kv: -kv[1][0])]


def measure_virtual_usb(vusb, schedule, runs_note, allocations):
    """build/wiretest on the virtual USB chip, instant and latency-faithful:
    rows of the time table, notes, and its size; its allocations go to
    allocations."""
    rows, notes = [], []
    print("bench: build/wiretest on the virtual USB chip ...", flush=True)
    exe = vusb["exe"]
    name = os.path.relpath(exe, ROOT)
    v_full = time_runs([exe, "-n0", "-delay"], RUNS, env=vusb["env"], expect_text="Testing complete")[0]
    v_short = time_runs([exe, "-n0", "-short", "-delay"], RUNS, env=vusb["env"],
                        expect_text="Testing complete")[0]
    rows.append(overhead_row(name + " -n0 -delay, virtual USB, wall", v_full,
                             schedule["full_delay"]["ms"], GOAL_DELAY, runs_note))
    rows.append(overhead_row(name + " -n0 -short -delay, virtual USB, wall", v_short,
                             schedule["short_delay"]["ms"], GOAL_DELAY, runs_note))
    notes.append("virtual USB chip: %s run with the libusb-1.0 double of %s first on "
                 "the library path." % (name, os.path.relpath(vusb["libdir"], ROOT)))
    print("bench: build/wiretest on the latency-faithful virtual USB chip ...", flush=True)
    load_latency = loadavg()
    rows += latency_rows(vusb, runs_note, schedule)
    notes.append("latency-faithful virtual USB chip: WIRETEST_VUSB=latency=1 (reads wait "
                 "for the chip's latency timer, 2 ms after the setup); load average "
                 "%s before these rows, %s after. The two drains right after loopback "
                 "on and off answer from memory: those commands have no answer, and a "
                 "query waits only for a round that may hold one, or that is due."
                 % (load_latency, loadavg()))
    if os.environ.get("BENCH_VUSB_BEFORE_EXE"):
        notes.append("before: BENCH_VUSB_BEFORE_EXE=%s" % os.environ["BENCH_VUSB_BEFORE_EXE"])
    allocations.add(name + " -n0 -delay, virtual USB", [exe, "-n0", "-delay"], exe,
                    defined_functions(system_objects(os.path.dirname(exe))), env=vusb["env"])
    return rows, notes, [name, stripped_size(exe), os.path.getsize(exe)]


def measure_station_fast(vusb, schedule, runs_note):
    """wiretest-station --fast: its rows and the note on how they were taken."""
    print("bench: wiretest-station --fast ...", flush=True)
    load_fast = loadavg()
    rows = station_fast_rows(vusb, runs_note, schedule)
    note = ("wiretest-station --fast: the test phase is timed in-process by bench_fast_phase_sim "
            "and bench_fast_phase_usb (bench/fast_phase.cpp), from just before the stream's write "
            "to the end of the reading of its answers; the whole processes alternate with "
            "wiretest -n0 -delay on the same chip (a single board's test runs in a forked copy "
            "of the station); "
            "load average %s before these rows, %s after." % (load_fast, loadavg()))
    return rows, note


def measure_programming(vusb, runs_note):
    """Programming one board: its rows and the note on how they were taken."""
    print("bench: wiretest-station --fast --product ...", flush=True)
    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = loadavg()
    rows = programming_rows(vusb, runs_note)
    note = ("%s --product: %s UTC; WIRETEST_VUSB=latency=1;chips=6010:@1-1;eeprom=46 (one chip "
            "at 1-1, its 93C46 blank); --json; every run of both into one SQLite file, each run "
            "with --product a new serial, its record's identity written and verified; load "
            "average %s before these rows, %s after."
            % (PROGRAMMING_FIGURE, started.strftime("%Y-%m-%d %H:%M"), load_before, loadavg()))
    if float(load_before.split()[0]) >= (os.cpu_count() or 1) or os.nice(0) > 0:
        note += (" Taken on a busy machine (niceness %d, load average beside %d processors): "
                 "the walls are longer than on an idle one." % (os.nice(0), os.cpu_count() or 1))
    return rows, note


def measure_database(runs_note):
    """The cost of --db sqlite: per board of a --fast run, and records per
    second into each database."""
    print("bench: --db ...", flush=True)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        plain, with_db = [], []
        for i in range(RUNS):  # alternating, so that load falls on both alike
            plain += time_runs([STATION, "--all", "--fast"], 1, expect_status=1)[0]
            with_db += time_runs([STATION, "--all", "--fast", "--db", "sqlite:%s/s.db" % tmp], 1,
                                 expect_status=1)[0]
    per_board = (median(with_db) - median(plain)) / 7
    rows.append(["wiretest-station-sim --all --fast --db sqlite: against without, per board (%s)" % runs_note,
                 ms(per_board), "<= 2 ms: %s" % ("met" if per_board <= 2 else "not met")])
    if os.path.exists(DB_RECORDS):
        for line in run([DB_RECORDS, "500"]).stdout.splitlines():
            name, rest = line.split(" ", 1)
            if rest.startswith("unavailable"):
                rows.append(["records per second into %s" % name, rest, "-"])
                continue
            fields = dict(item.split("=") for item in rest.split())
            rows.append(["records per second into %s (%s boards of 13 rows, a transaction each)"
                         % (name, fields["records"]),
                         "%.0f" % (int(fields["records"]) / float(fields["seconds"])), "-"])
    return rows


def page_run(command, serve):
    """Wall time of a station run (in ms), its lines read as they come; with
    serve, a page's event stream open from its start, and how long after
    each board's line its result reached the stream (ms; 0 when it came
    first). Both runs read the station's output alike, so that only the
    page differs."""
    if serve:
        command = command + ["--serve", "127.0.0.1:0"]
    started = time.perf_counter()
    station = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    events = []  # (arrival, boards tested)
    reader = None
    if serve:
        first = station.stderr.readline().decode()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", first)
        if not found:
            fail("--serve said no address: " + first)

        def read_stream():
            with socket.create_connection(("127.0.0.1", int(found.group(1)))) as s:
                s.sendall(b"GET /api/events HTTP/1.1\r\nHost: bench\r\n\r\n")
                pending = b""
                while True:
                    data = s.recv(65536)
                    if not data:
                        return
                    pending += data
                    while b"\n\n" in pending:
                        message, pending = pending.split(b"\n\n", 1)
                        if message.startswith(b"data: ") or b"\ndata: " in message:
                            state = json.loads(message.split(b"data: ", 1)[1])
                            events.append((time.perf_counter(), state["counters"]["tested"]))

        reader = threading.Thread(target=read_stream, daemon=True)
        reader.start()
    lines = [time.perf_counter() for _ in iter(station.stdout.readline, b"")]
    station.stderr.read()
    station.wait()
    wall = (time.perf_counter() - started) * 1000
    lags = []
    if reader:
        reader.join(timeout=5)
        for k, at in enumerate(lines[:-1]):  # the last line is the summary
            arrivals = [t for t, tested in events if tested >= k + 1]
            if arrivals:
                lags.append(max(0.0, (arrivals[0] - at) * 1000))
    return wall, lags


def measure_page(runs_note):
    """--serve with a page's stream open against without, on a --delay run
    of the seven demo boards; and how soon a result reaches the page."""
    print("bench: --serve ...", flush=True)
    plain, served, lags = [], [], []
    for i in range(RUNS):  # alternating, so that load falls on both alike
        plain.append(page_run([STATION, "--all", "--delay"], serve=False)[0])
        wall, run_lags = page_run([STATION, "--all", "--delay"], serve=True)
        served.append(wall)
        lags += run_lags
    longer = (median(served) - median(plain)) / median(plain) * 100
    return [
        ["wiretest-station-sim --all --delay --serve with a page's stream open, against without (%s)" % runs_note,
         "%s against %s: %+.2f%%" % (ms(median(served)), ms(median(plain)), longer),
         "<= 1%% longer: %s" % ("met" if longer <= 1 else "NOT met")],
        ["a board's result on the page's stream after its line (%d results)" % len(lags),
         "median %s, at most %s" % (ms(median(lags)), ms(max(lags))) if lags else "no result seen",
         "<= 250 ms: %s" % ("met" if lags and max(lags) <= 250 else "NOT met")],
    ]


def breakdown_rows(schedule, probes, walls):
    """Where the overhead of the -delay runs goes."""
    full_waits, short_waits = schedule["full_delay"]["waits"], schedule["short_delay"]["waits"]
    floor_full, floor_short = schedule["full_delay"]["ms"], schedule["short_delay"]["ms"]
    p, plain = probes["platform"], probes["plain"]
    full_over = median(walls["full"]) - floor_full
    waits_late = p["per_run_ns"][full_waits] / 1e6
    start_exit = median(walls["empty"])
    return [
        ["overhead of the full -delay run (median wall - %d ms)" % floor_full, ms(full_over)],
        ["  lateness of %d waits of platform_sleep_ms in a row (median of the sums)" % full_waits,
         ms(waits_late)],
        ["  process start-up and exit (empty program, median)", ms(start_exit)],
        ["  the rest (what remains): the tool's start-up beyond an empty program's (its libraries, the "
         "demo boards), listing, setup, 13 rows, output, the simulated chip",
         ms(full_over - waits_late - start_exit)],
        ["output line by line on a terminal rather than at once on a pipe "
         "(difference of the medians)", ms(median(walls["tty"]) - median(walls["full"]))],
        ["the same with the plain sleep: lateness of %d waits in a row" % full_waits,
         ms(plain["per_run_ns"][full_waits] / 1e6)],
        ["overhead of the -short -delay run (median wall - %d ms)" % floor_short,
         ms(median(walls["short"]) - floor_short)],
        ["  lateness of %d waits of platform_sleep_ms in a row" % short_waits,
         ms(p["per_run_ns"][short_waits] / 1e6)],
        ["  the same with the plain sleep", ms(plain["per_run_ns"][short_waits] / 1e6)],
    ]


def sleep_rows(probes, schedule):
    labels = {"plain": "plain clock_nanosleep, default timer slack (the sleep before tuning)",
              "slack": "clock_nanosleep after PR_SET_TIMERSLACK 1",
              "platform": "platform_sleep_ms as built (slack 1, sleep to 200 us short, spin)"}
    full_waits = schedule["full_delay"]["waits"]
    return [[labels[way], "%.1f us" % (p["median_ns"] / 1e3), "%.1f us" % (p["mean_ns"] / 1e3),
             "%.1f us" % (p["p90_ns"] / 1e3), "%.1f us" % (p["max_ns"] / 1e3), "%d" % p["early"],
             "%.1f us" % (p["cpu_ns_per_wait"] / 1e3), "%.2f ms" % (p["per_run_ns"][full_waits] / 1e6)]
            for way, p in probes.items()]


def measure():
    """Every figure of the report, in one sitting."""
    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = loadavg()
    info = machine()
    print("bench: %d runs per timed figure; load average %s" % (RUNS, load_before), flush=True)
    schedule = wait_schedule()
    runs_note = "median of %d" % RUNS
    probes = measure_sleep(schedule)
    rows, walls = measure_sim_runs(schedule, runs_note)

    print("bench: allocations ...", flush=True)
    allocations = Allocations()
    system_names = defined_functions(system_objects(RELEASE))
    sim_names = defined_functions(SIM_OBJECTS)
    for args in (["-n0", "-delay"], ["-n0", "-short", "-delay"]):
        allocations.add("wiretest-sim " + " ".join(args), [SIM] + args, SIM, system_names, sim_names)
    valgrind = (valgrind_heap([SIM, "-n0", "-delay"]), valgrind_heap([EMPTY]))
    sizes = [["wiretest-sim", stripped_size(SIM), os.path.getsize(SIM)],
             ["empty program", stripped_size(EMPTY), os.path.getsize(EMPTY)]]
    notes = []

    vusb, why_not = find_virtual_usb()
    if vusb:
        usb_rows, usb_notes, usb_size = measure_virtual_usb(vusb, schedule, runs_note, allocations)
        rows += usb_rows
        notes += usb_notes
        sizes.append(usb_size)
    else:
        rows.append(["build/wiretest -n0 -delay / -short -delay, virtual USB, wall", why_not,
                     "%s / %s" % (ms(schedule["full_delay"]["ms"]), ms(schedule["short_delay"]["ms"])),
                     "-", "-", "-"])
        rows.append(["build/wiretest -n0 -delay / -short -delay, latency-faithful virtual USB, "
                     "wall", why_not, "-", "-", "-", "-"])
        allocations.rows.append(["build/wiretest -n0 -delay, virtual USB", why_not,
                                 "-", "-", "-", "-", "-", "-", "-"])
    fast_rows, fast_note = measure_station_fast(vusb, schedule, runs_note)
    if vusb:
        notes.append(fast_note)
    programming, programming_note = measure_programming(vusb, runs_note)
    fast_rows += programming
    if vusb:
        notes.append(programming_note)
    db_rows = measure_database(runs_note)
    page_rows = measure_page(runs_note)

    return {"started": started, "finished": datetime.datetime.now(datetime.timezone.utc),
            "load_before": load_before, "load_after": loadavg(), "info": info,
            "rows": rows, "fast_rows": fast_rows, "db_rows": db_rows, "page_rows": page_rows, "breakdown": breakdown_rows(schedule, probes, walls),
            "sleep_rows": sleep_rows(probes, schedule), "schedule": schedule,
            "alloc_rows": allocations.rows, "valgrind": valgrind,
            "site_rows": allocations.site_rows("wiretest-sim -n0 -delay"),
            "sizes": sizes, "notes": allocations.notes + notes}


# --- writing the Markdown ------------------------------------------------------

def markdown(r):
    """bench/RESULTS.md from the figures of measure()."""
    info = r["info"]
    full_waits = r["schedule"]["full_delay"]["waits"]
    out = ["# Benchmark results", "",
           "Written by `make bench` (bench/bench.py); do not edit by hand.", "",
           "- date: %s to %s UTC" % (r["started"].strftime("%Y-%m-%d %H:%M:%S"),
                                     r["finished"].strftime("%H:%M:%S")),
           "- machine: %d processors, %s; %s" % (info["nproc"], info["cpu"], info["kernel"]),
           "- build: build-release (CMAKE_BUILD_TYPE=Release, -O2 -DNDEBUG), %s, %s"
           % (info["compiler"], info["libc"]),
           "- load average (1, 5, 15 min): %s before, %s after" % (r["load_before"], r["load_after"]),
           "- wall = from just before spawning to just after reaping the process; "
           "standard output on a pipe unless a terminal is named",
           ""]

    def section(title, header, rows):
        out.extend(["## " + title, "", table(header, rows), ""])
    section("Time", ["figure", "measured", "floor", "overhead", "ratio", "goal"], r["rows"])
    section("wiretest-station --fast: the test phase, the whole process, soak runs",
            ["figure", "measured", "goal"], r["fast_rows"])
    section("wiretest-station --db", ["figure", "measured", "goal"], r["db_rows"])
    section("wiretest-station --serve", ["figure", "measured", "goal"], r["page_rows"])
    section("Where the overhead goes", ["part", "ms"], r["breakdown"])
    section("A 10 ms wait, %d times each way: lateness past 10 ms" % SLEEP_PROBE_WAITS,
            ["sleep", "median", "mean", "p90", "max", "ended early", "CPU per wait",
             "%d in a row (median sum)" % full_waits], r["sleep_rows"])
    section("Heap allocations in one run",
            ["run", "whole process", "empty program", "difference", "system's own code",
             "C library on the system's behalf", "driver layer (simulated, or libftdi1 and below)",
             "runtimes (no program frame)", "goal"], r["alloc_rows"])
    vg_run, vg_empty = r["valgrind"]
    if vg_run and vg_empty:
        out.extend(["Cross-check with valgrind's heap summary: wiretest-sim -n0 -delay "
                    "%d allocs, %d frees, %d bytes; empty program %d allocs, %d frees, "
                    "%d bytes." % (vg_run + vg_empty), ""])
    out.extend(["Allocation sites of wiretest-sim -n0 -delay (innermost function of the "
                "program that owns the call):", "",
                table(["owner", "function", "allocations", "bytes"], r["site_rows"]), ""])
    section("Stripped executables", ["executable", "stripped bytes", "as built bytes"], r["sizes"])
    out.extend("- " + note for note in r["notes"])
    return "\n".join(out).rstrip() + "\n"


FAST_SECTION = "## wiretest-station --fast: the test phase, the whole process, soak runs"


def replace_programming(text, rows, note):
    """RESULTS.md with the programming rows of an earlier sitting replaced
    by rows (at the end of the --fast table) and their note by note."""
    programming_figures = [row[0] for row in rows] + [PROGRAMMING_FIGURE + " --product"]
    lines = [line for line in text.splitlines()
             if not any(line.startswith("| " + f) or line.startswith("- " + f)
                        for f in programming_figures)]
    try:
        at = lines.index(FAST_SECTION) + 2  # the table starts after a blank line
    except ValueError:
        fail("%s has no %r section: run `make bench`" % (RESULTS, FAST_SECTION))
    while at < len(lines) and lines[at].startswith("|"):
        at += 1
    fresh = table(["figure", "measured", "goal"], rows).splitlines()[2:]
    lines[at:at] = fresh
    return "\n".join(lines).rstrip() + "\n- " + note + "\n"


def main_programming():
    """Only the programming rows, into RESULTS.md of an earlier sitting."""
    for path in (TIMER, STATION_USB):
        if not os.path.exists(path):
            fail("%s is missing: build it in build-release" % path)
    vusb, why_not = find_virtual_usb()
    if not vusb:
        fail("the virtual USB bus: " + why_not)
    rows, note = measure_programming(vusb, "median of %d" % RUNS)
    with open(RESULTS) as f:
        text = replace_programming(f.read(), rows, note)
    with open(RESULTS, "w") as f:
        f.write(text)
    print(table(["figure", "measured", "goal"], rows))
    print("- " + note)
    print("bench: written into %s" % os.path.relpath(RESULTS, ROOT))


def main():
    if sys.argv[1:] == ["programming"]:
        return main_programming()
    if sys.argv[1:]:
        fail("usage: bench.py [programming]  (programming: only the rows of programming a board)")
    for path in (SIM, STATION, TIMER, PROBE, EMPTY, COUNTER, WAITS, SCHEDULE):
        if not os.path.exists(path):
            fail("%s is missing: run `make bench`" % path)
    text = markdown(measure())
    with open(RESULTS, "w") as f:
        f.write(text)
    print()
    print(text)
    print("bench: written to %s" % os.path.relpath(RESULTS, ROOT))


if __name__ == "__main__":
    main()
