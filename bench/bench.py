#!/usr/bin/env python3
"""The cost of the tool beyond the waits it must make.

Run by `make bench` after the optimised build in build-release/. Measures, in
one sitting, the figures below against their floors (the waits the tool is
bound to make), prints them as a table and writes the same to
bench/RESULTS.md. Every number in that file comes from this script.

Floors: a full run waits 44023 ms, a -short run 17014 ms; with -delay every
wait is one 10 ms sleep: 60 of them (600 ms) in a full run, 24 (240 ms) in a
-short one.

On the latency-faithful virtual USB chip (latency=1), whose reads wait for the
chip's latency timer as a real chip's do, build/wiretest is measured against a
process that makes the same waits and nothing else (bench_waits), in the same
sitting, runs alternating; BENCH_VUSB_BEFORE_EXE names an older build of it to
measure beside it.
"""

import bisect
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "build-release")
RESULTS = os.path.join(ROOT, "bench", "RESULTS.md")

RUNS = int(os.environ.get("BENCH_RUNS", "21"))
SLEEP_PROBE_WAITS = int(os.environ.get("BENCH_SLEEP_WAITS", "600"))

FLOOR_FULL_DELAY_MS = 60 * 10
FLOOR_SHORT_DELAY_MS = 24 * 10
FLOOR_SHORT_MS = 17014
GOAL_DELAY = 0.02   # overhead within 2 % of the floor with -delay
GOAL_NORMAL = 0.001  # and within 0.1 % in the normal mode

SIM = os.path.join(RELEASE, "wiretest-sim")
STATION = os.path.join(RELEASE, "wiretest-station-sim")
TIMER = os.path.join(RELEASE, "bench_timer")
PROBE = os.path.join(RELEASE, "bench_sleep_probe")
EMPTY = os.path.join(RELEASE, "bench_empty")
COUNTER = os.path.join(RELEASE, "libbench_alloc_counter.so")
WAITS = os.path.join(RELEASE, "bench_waits")
STATION_USB = os.path.join(RELEASE, "wiretest-station")
FAST_SIM = os.path.join(RELEASE, "bench_fast_phase_sim")
FAST_USB = os.path.join(RELEASE, "bench_fast_phase_usb")

# wiretest-station --fast: the test phase, the whole process beside
# wiretest -n0 -delay on the same chip, and the soak rate.
FAST_RUNS = int(os.environ.get("BENCH_FAST_RUNS", "2000"))
SOAK_SECONDS = float(os.environ.get("BENCH_SOAK_SECONDS", "3"))
GOAL_PHASE_MS = 1.0
GOAL_PROCESS_FRACTION = 1.0 / 30
GOAL_SOAK_PER_S = 500
FLOOR_FULL_MS = 44023


def system_objects(build_dir, exe_name):
    """The objects of the system itself as linked into build_dir/exe_name."""
    paths = [os.path.join(build_dir, "libwiretest_core.a"),
             os.path.join(build_dir, "libwiring_report.a"),
             os.path.join(build_dir, "libplatform_sleep.a")]
    own = os.path.join(build_dir, "CMakeFiles", exe_name + ".dir", "src")
    for top, _, files in os.walk(own):
        paths += [os.path.join(top, f) for f in files if f.endswith(".o")]
    return paths


# The simulated driver that wiretest-sim links in place of the chip maker's library.
SIM_OBJECTS = [os.path.join(RELEASE, "libsim_driver.a"),
               os.path.join(RELEASE, "libchip_model.a"),
               os.path.join(RELEASE, "CMakeFiles", "wiretest-sim.dir", "drivers", "sim",
                            "demo_boards.cpp.o")]


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

def time_runs(command, runs, output="pipe", env=None, expect_status=0, expect_text=None):
    """Walls and first-line times (ms) of `runs` spawns of command."""
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
    return walls, firsts


def median(values):
    return statistics.median(values)


def spread(values):
    return "%.1f-%.1f" % (min(values), max(values))


def sleep_probe(way, waits):
    """Lateness of `waits` 10 ms waits made one way, in ns, and its summary."""
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
            "per_60_ns": added_up(60), "per_24_ns": added_up(24)}


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


def latency_rows(vusb, runs_note):
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
    cases = [("-n0 -delay", ["-n0", "-delay"], 60),
             ("-n0 -short -delay", ["-n0", "-short", "-delay"], 24)]
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
                     "%d.0 ms" % (waits * 10), "-", "-", "-"])
        for bus, shown, _, _ in runs:
            rows.append(against_waits_row("%s %s, %s virtual USB, wall" % (shown, label, bus),
                                          walls[(bus, shown, label)], waits_walls, runs_note))
    return rows


def fast_phase_row(figure, exe, env):
    """The test phase of --fast, in-process: FAST_RUNS spans in ms."""
    spans = sorted(int(x) / 1e6 for x in run([exe, str(FAST_RUNS)], env=env).stdout.split())
    if len(spans) != FAST_RUNS:
        fail("%s gave %d spans for %d runs" % (exe, len(spans), FAST_RUNS))
    med = median(spans)
    return [figure, "%.3f ms (median of %d; p90 %.3f, p99 %.3f, max %.3f)"
            % (med, FAST_RUNS, spans[len(spans) * 9 // 10], spans[len(spans) * 99 // 100], spans[-1]),
            "<= %.1f ms (median): %s" % (GOAL_PHASE_MS, "met" if med <= GOAL_PHASE_MS else "NOT met")]


def soak_row(figure, exe, env):
    """Full tests a second of one board in a --duration soak, from its record."""
    result = run([exe, "--fast", "--port", "1-1", "--duration", str(SOAK_SECONDS), "--json"], env=env)
    record = json.loads(result.stdout.splitlines()[0])
    if record.get("outcome") != "PASS":
        fail("%s soak: %s" % (figure, result.stdout.strip()))
    seconds = (record["end_time_millis"] - record["start_time_millis"]) / 1000.0
    rate = record["runs"] / seconds
    return [figure, "%.0f full tests/s (%d runs in %.2f s, opening and setup included)"
            % (rate, record["runs"], seconds),
            ">= %d/s: %s" % (GOAL_SOAK_PER_S, "met" if rate >= GOAL_SOAK_PER_S else "NOT met")]


def station_fast_rows(vusb, runs_note):
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
                            "wiretest-sim -n0 -delay", sim_delay, runs_note))
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
                            name + " -n0 -delay on the same chip", delay, runs_note))
    rows.append(soak_row("soak, latency-faithful virtual USB (wiretest-station --fast --duration %g)"
                         % SOAK_SECONDS, STATION_USB, env))
    return rows


def process_row(figure, walls, beside, beside_walls, runs_note):
    """A whole --fast process beside wiretest -delay, runs alternating."""
    med, other = median(walls), median(beside_walls)
    goal = other * GOAL_PROCESS_FRACTION
    return [figure + ", wall", "%s (%s, %s); beside %s: %s (%s), 1/%.0f of it; the normal waits: %d ms"
            % (ms(med), runs_note, spread(walls), beside, ms(other), spread(beside_walls), other / med,
               FLOOR_FULL_MS),
            "<= 1/30 of it, %s: %s" % (ms(goal), "met" if med <= goal else "NOT met")]


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def main():
    for path in (SIM, STATION, TIMER, PROBE, EMPTY, COUNTER, WAITS):
        if not os.path.exists(path):
            fail("%s is missing: run `make bench`" % path)

    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = loadavg()
    info = machine()
    rows = []
    notes = []
    print("bench: %d runs per timed figure; load average %s" % (RUNS, load_before), flush=True)

    # The OS sleep on its own: how late a 10 ms wait ends.
    print("bench: 10 ms waits, %d per way ..." % SLEEP_PROBE_WAITS, flush=True)
    probes = {way: sleep_probe(way, SLEEP_PROBE_WAITS) for way in ("plain", "slack", "platform")}
    labels = {"plain": "plain clock_nanosleep, default timer slack (the sleep before tuning)",
              "slack": "clock_nanosleep after PR_SET_TIMERSLACK 1",
              "platform": "platform_sleep_ms as built (slack 1, sleep to 200 us short, spin)"}
    sleep_rows = []
    for way, p in probes.items():
        sleep_rows.append([labels[way], "%.1f us" % (p["median_ns"] / 1e3),
                           "%.1f us" % (p["mean_ns"] / 1e3), "%.1f us" % (p["p90_ns"] / 1e3),
                           "%.1f us" % (p["max_ns"] / 1e3), "%d" % p["early"],
                           "%.1f us" % (p["cpu_ns_per_wait"] / 1e3),
                           "%.2f ms" % (p["per_60_ns"] / 1e6)])
    if probes["platform"]["early"] != 0:
        fail("platform_sleep_ms ended %d waits early" % probes["platform"]["early"])

    # Whole runs, alternating so that a change of load hits both alike.
    print("bench: -delay runs ...", flush=True)
    full, short, empty = [], [], []
    for _ in range(RUNS):
        full += time_runs([SIM, "-n0", "-delay"], 1,
                          expect_text="Testing complete, errors: 0")[0]
        short += time_runs([SIM, "-n0", "-short", "-delay"], 1,
                           expect_text="Testing complete, errors: 0")[0]
        empty += time_runs([EMPTY], 1)[0]
    runs_note = "median of %d" % RUNS
    rows.append(overhead_row("wiretest-sim -n0 -delay, wall", full, FLOOR_FULL_DELAY_MS,
                             GOAL_DELAY, runs_note))
    rows.append(overhead_row("wiretest-sim -n0 -short -delay, wall", short,
                             FLOOR_SHORT_DELAY_MS, GOAL_DELAY, runs_note))

    print("bench: on a terminal ...", flush=True)
    tty_walls, tty_firsts = time_runs([SIM, "-n0", "-delay"], RUNS, output="pty",
                                      expect_text="Testing complete, errors: 0")
    rows.append(overhead_row("wiretest-sim -n0 -delay on a terminal, wall", tty_walls,
                             FLOOR_FULL_DELAY_MS, GOAL_DELAY, runs_note))

    print("bench: one normal -short run (17 s) ...", flush=True)
    normal = time_runs([SIM, "-n0", "-short"], 1, expect_text="Testing complete, errors: 0")[0]
    rows.append(overhead_row("wiretest-sim -n0 -short, wall", normal, FLOOR_SHORT_MS,
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

    # Heap allocations.
    print("bench: allocations ...", flush=True)
    system_names = defined_functions(system_objects(RELEASE, "wiretest-sim"))
    sim_names = defined_functions(SIM_OBJECTS)
    empty_log = count_allocations([EMPTY])
    alloc_rows = []
    detail = {}

    def allocation_row(label, command, exe, system, driver=None, env=None):
        log = count_allocations(command, env=env)
        groups = attribute(log, exe, system, driver)
        detail[label] = groups

        def total(kind):
            return (sum(c for (k, _), (c, _) in groups.items() if k == kind),
                    sum(b for (k, _), (_, b) in groups.items() if k == kind))
        own = total("system")
        alloc_rows.append([
            label,
            "%d (%d B)" % (log["allocs"], log["bytes"]),
            "%d (%d B)" % (empty_log["allocs"], empty_log["bytes"]),
            "%d (%d B)" % (log["allocs"] - empty_log["allocs"],
                           log["bytes"] - empty_log["bytes"]),
            "%d (%d B)" % own,
            "%d (%d B)" % total("system-via-libc"),
            "%d (%d B)" % total("driver"),
            "%d (%d B)" % total("runtime"),
            "none: met" if own[0] == 0 else "NOT met",
        ])
        if log["unrecorded"]:
            notes.append("%d allocations of %s were counted but not traced." %
                         (log["unrecorded"], label))

    for args in (["-n0", "-delay"], ["-n0", "-short", "-delay"]):
        allocation_row("wiretest-sim " + " ".join(args), [SIM] + args, SIM, system_names,
                       sim_names)
    vg_run = valgrind_heap([SIM, "-n0", "-delay"])
    vg_empty = valgrind_heap([EMPTY])

    # Sizes.
    sizes = [["wiretest-sim", stripped_size(SIM), os.path.getsize(SIM)],
             ["empty program", stripped_size(EMPTY), os.path.getsize(EMPTY)]]

    # The real driver layer on the virtual USB chip.
    vusb, why_not = find_virtual_usb()
    if vusb:
        print("bench: build/wiretest on the virtual USB chip ...", flush=True)
        exe = vusb["exe"]
        name = os.path.relpath(exe, ROOT)
        v_full = time_runs([exe, "-n0", "-delay"], RUNS, env=vusb["env"],
                           expect_text="Testing complete")[0]
        v_short = time_runs([exe, "-n0", "-short", "-delay"], RUNS, env=vusb["env"],
                            expect_text="Testing complete")[0]
        rows.append(overhead_row(name + " -n0 -delay, virtual USB, wall", v_full,
                                 FLOOR_FULL_DELAY_MS, GOAL_DELAY, runs_note))
        rows.append(overhead_row(name + " -n0 -short -delay, virtual USB, wall", v_short,
                                 FLOOR_SHORT_DELAY_MS, GOAL_DELAY, runs_note))
        notes.append("virtual USB chip: %s run with the libusb-1.0 double of %s first on "
                     "the library path." % (name, os.path.relpath(vusb["libdir"], ROOT)))
        print("bench: build/wiretest on the latency-faithful virtual USB chip ...", flush=True)
        load_latency = loadavg()
        rows += latency_rows(vusb, runs_note)
        notes.append("latency-faithful virtual USB chip: WIRETEST_VUSB=latency=1 (reads wait "
                     "for the chip's latency timer, 2 ms after the setup); load average "
                     "%s before these rows, %s after. The two drains right after loopback "
                     "on and off answer from memory: those commands have no answer, and a "
                     "query waits only for a round that may hold one, or that is due." % (load_latency, loadavg()))
        if os.environ.get("BENCH_VUSB_BEFORE_EXE"):
            notes.append("before: BENCH_VUSB_BEFORE_EXE=%s" % os.environ["BENCH_VUSB_BEFORE_EXE"])
        build_dir = os.path.dirname(exe)
        allocation_row(name + " -n0 -delay, virtual USB", [exe, "-n0", "-delay"], exe,
                       defined_functions(system_objects(build_dir, os.path.basename(exe))),
                       env=vusb["env"])
        sizes.append([name, stripped_size(exe), os.path.getsize(exe)])
        print("bench: wiretest-station --fast ...", flush=True)
        load_fast = loadavg()
        fast_rows = station_fast_rows(vusb, runs_note)
        notes.append("wiretest-station --fast: the test phase is timed in-process by bench_fast_phase_sim "
                     "and bench_fast_phase_usb (bench/fast_phase.cpp), from just before the stream's write "
                     "to the end of the reading of its answers; the whole processes alternate with "
                     "wiretest -n0 -delay on the same chip (a single board's test runs in a forked copy "
                     "of the station); "
                     "load average %s before these rows, %s after." % (load_fast, loadavg()))
    else:
        fast_rows = station_fast_rows(None, runs_note)
        rows.append(["build/wiretest -n0 -delay / -short -delay, virtual USB, wall", why_not,
                     "600 / 240 ms", "-", "-", "-"])
        rows.append(["build/wiretest -n0 -delay / -short -delay, latency-faithful virtual USB, "
                     "wall", why_not, "-", "-", "-", "-"])
        alloc_rows.append(["build/wiretest -n0 -delay, virtual USB", why_not,
                           "-", "-", "-", "-", "-", "-", "-"])

    load_after = loadavg()
    finished = datetime.datetime.now(datetime.timezone.utc)

    # Where the overhead of the full -delay run goes.
    p = probes["platform"]
    full_over = median(full) - FLOOR_FULL_DELAY_MS
    short_over = median(short) - FLOOR_SHORT_DELAY_MS
    waits_late = p["per_60_ns"] / 1e6
    start_exit = median(empty)
    before_late = probes["plain"]["per_60_ns"] / 1e6
    breakdown = [
        ["overhead of the full -delay run (median wall - 600 ms)", ms(full_over)],
        ["  lateness of 60 waits of platform_sleep_ms in a row (median of the sums)",
         ms(waits_late)],
        ["  process start-up and exit (empty program, median)", ms(start_exit)],
        ["  the rest (what remains): the tool's start-up beyond an empty program's (its libraries, the "
         "demo boards), listing, setup, 13 rows, output, the simulated chip",
         ms(full_over - waits_late - start_exit)],
        ["output line by line on a terminal rather than at once on a pipe "
         "(difference of the medians)", ms(median(tty_walls) - median(full))],
        ["the same with the plain sleep: lateness of 60 waits in a row", ms(before_late)],
        ["overhead of the -short -delay run (median wall - 240 ms)", ms(short_over)],
        ["  lateness of 24 waits of platform_sleep_ms in a row", ms(p["per_24_ns"] / 1e6)],
        ["  the same with the plain sleep", ms(probes["plain"]["per_24_ns"] / 1e6)],
    ]

    out = []
    out.append("# Benchmark results")
    out.append("")
    out.append("Written by `make bench` (bench/bench.py); do not edit by hand.")
    out.append("")
    out.append("- date: %s to %s UTC" % (started.strftime("%Y-%m-%d %H:%M:%S"),
                                         finished.strftime("%H:%M:%S")))
    out.append("- machine: %d processors, %s; %s" % (info["nproc"], info["cpu"], info["kernel"]))
    out.append("- build: build-release (CMAKE_BUILD_TYPE=Release, -O2 -DNDEBUG), %s, %s"
               % (info["compiler"], info["libc"]))
    out.append("- load average (1, 5, 15 min): %s before, %s after" % (load_before, load_after))
    out.append("- wall = from just before spawning to just after reaping the process; "
               "standard output on a pipe unless a terminal is named")
    out.append("")
    out.append("## Time")
    out.append("")
    out.append(table(["figure", "measured", "floor", "overhead", "ratio", "goal"], rows))
    out.append("")
    out.append("## wiretest-station --fast: the test phase, the whole process, soak runs")
    out.append("")
    out.append(table(["figure", "measured", "goal"], fast_rows))
    out.append("")
    out.append("## Where the overhead goes")
    out.append("")
    out.append(table(["part", "ms"], breakdown))
    out.append("")
    out.append("## A 10 ms wait, %d times each way: lateness past 10 ms" % SLEEP_PROBE_WAITS)
    out.append("")
    out.append(table(["sleep", "median", "mean", "p90", "max", "ended early", "CPU per wait",
                      "60 in a row (median sum)"],
                     sleep_rows))
    out.append("")
    out.append("## Heap allocations in one run")
    out.append("")
    out.append(table(["run", "whole process", "empty program", "difference",
                      "system's own code", "C library on the system's behalf",
                      "driver layer (simulated, or libftdi1 and below)",
                      "runtimes (no program frame)", "goal"], alloc_rows))
    out.append("")
    if vg_run and vg_empty:
        out.append("Cross-check with valgrind's heap summary: wiretest-sim -n0 -delay "
                   "%d allocs, %d frees, %d bytes; empty program %d allocs, %d frees, "
                   "%d bytes." % (vg_run + vg_empty))
        out.append("")
    out.append("Allocation sites of wiretest-sim -n0 -delay (innermost function of the "
               "program that owns the call):")
    out.append("")
    groups = detail["wiretest-sim -n0 -delay"]
    names = demangle(sorted({site[0] if isinstance(site, tuple) else site
                             for (_, site) in groups}))

    def describe_site(site):
        if isinstance(site, tuple):  # a function of the program, then the library's path
            return "`%s` calling `%s`" % (names.get(site[0], site[0])[:60], site[1])
        return "`%s`" % names.get(site, site)[:90]
    site_rows = [[kind, describe_site(site), count, size]
                 for (kind, site), (count, size) in sorted(groups.items(),
                                                            key=lambda kv: -kv[1][0])]
    out.append(table(["owner", "function", "allocations", "bytes"], site_rows))
    out.append("")
    out.append("## Stripped executables")
    out.append("")
    out.append(table(["executable", "stripped bytes", "as built bytes"], sizes))
    out.append("")
    for note in notes:
        out.append("- " + note)
    text = "\n".join(out).rstrip() + "\n"

    with open(RESULTS, "w") as f:
        f.write(text)
    print()
    print(text)
    print("bench: written to %s" % os.path.relpath(RESULTS, ROOT))


if __name__ == "__main__":
    main()
