#!/usr/bin/env python3
"""wiretest-station's /metrics as a line's monitoring reads it.

A simulated station on a two-slot fixture, boards plugged and replugged by
its control file, is scraped once a second by a real Prometheus (Debian's
package) on loopback, on its --serve port and its --metrics port. The
boards by outcome and a slot's first-pass yield, asked of Prometheus's HTTP
API in PromQL, must equal what the station's records say; promtool checks
the exposition and the shipped alert rules. Every wait polls for a
condition with a deadline.

    metrics_test.py STATION_SIM SOURCE_DIR [TEST ...]
"""
import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import page_test
from page_test import Station, get, wait_for

SOURCE = None
PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")

# The boards, plugged step by step at the slots S1 (1-1) and S2 (1-2), and
# the demo chip each is: WTST0001, WTST0005 and WTST0006 pass, WTST0002
# fails (pin 3 stuck-0). WTST0002 comes back at the other slot, WTST0001 twice.
STEPS = [
    "plug 1-1=1-1\nplug 1-2=1-2\n",
    "unplug 1-1\nunplug 1-2\nplug 1-1=1-2\nplug 1-2=1-1\n",
    "unplug 1-1\nunplug 1-2\nplug 1-1=1-6\nplug 1-2=1-4\n",
    "unplug 1-1\nplug 1-1=1-1\n",
]
RECORDS = [2, 4, 6, 7]  # records after each step


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def records_of(folder):
    records = []
    for path in glob.glob(os.path.join(folder, "*.json")):
        with open(path) as f:
            records.append(json.load(f))
    return sorted(records, key=lambda r: r["end_time_millis"])


class Prometheus:
    """Debian's Prometheus on loopback, scraping the targets once a second."""

    def __init__(self, test, folder, targets):
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n")
            for job, target in targets.items():
                f.write("  - {job_name: %s, static_configs: [{targets: ['%s']}]}\n" % (job, target))
        self.url = "http://127.0.0.1:%d/" % free_port()
        self.log = open(os.path.join(folder, "prometheus.log"), "w")
        self.process = subprocess.Popen(
            [PROMETHEUS, "--config.file", config, "--storage.tsdb.path", os.path.join(folder, "data"),
             "--web.listen-address", self.url[len("http://"):-1], "--enable-feature=exemplar-storage"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=page_test.DEADLINE)
        self.log.close()

    def api(self, path, **params):
        try:
            status, body, _ = get(self.url + "api/v1/" + path + "?" + urllib.parse.urlencode(params))
        except OSError:  # not listening yet
            return None
        return json.loads(body)["data"] if status == 200 else None

    def query(self, promql):
        """{labels as a sorted tuple: value} of an instant query."""
        data = self.api("query", query=promql) or {"result": []}
        return {tuple(sorted(r["metric"].items())): float(r["value"][1]) for r in data["result"]}

    def samples(self, job):
        """How many scrapes of the job Prometheus stored."""
        return sum(self.query("count_over_time(wiretest_station_build_info{job='%s'}[1h])" % job).values())

    def scraped(self, job, metric, value):
        """Whether the job's last scrape summed metric to value."""
        return list(self.query("sum(%s{job='%s'})" % (metric, job)).values()) == [value]


@unittest.skipUnless(PROMETHEUS and PROMTOOL, "Debian's prometheus package is not installed")
class MetricsScraped(unittest.TestCase):
    def test_prometheus_counts_what_the_records_say(self):
        folder = tempfile.mkdtemp(prefix="wiretest-metrics-")
        self.addCleanup(shutil.rmtree, folder, True)
        fixture = os.path.join(folder, "fx.toml")
        with open(fixture, "w") as f:
            f.write('id = "FX"\n[[slot]]\nname = "S1"\nlocation = "1-1"\nrated_cycles = 10\n'
                    '[[slot]]\nname = "S2"\nlocation = "1-2"\n')
        control = os.path.join(folder, "control")
        open(control, "w").close()
        records = os.path.join(folder, "records")
        metrics_port = free_port()
        station = Station("--wait", "--fast", "--fixture", fixture, "--sim-control", control,
                          "--records", records, "--station-id", "ST-1",
                          "--metrics", "127.0.0.1:%d" % metrics_port)
        self.addCleanup(station.end)
        station.wait_err(re.compile(rb"metrics are at http://127\.0\.0\.1:%d/metrics" % metrics_port))
        prometheus = Prometheus(self, folder, {"page": "%s:%d" % (station.host, station.port),
                                               "alone": "127.0.0.1:%d" % metrics_port})
        for job in ("page", "alone"):
            wait_for("Prometheus's first scrape of " + job, lambda: prometheus.samples(job))
        for step, count in zip(STEPS, RECORDS):
            with open(control, "a") as f:
                f.write(step)
            wait_for("%d records" % count, lambda: len(glob.glob(os.path.join(records, "*.json"))) >= count)
        wanted = records_of(records)
        self.assertEqual(RECORDS[-1], len(wanted))
        for job in ("page", "alone"):
            wait_for("Prometheus's scrape of " + job + " after the last board",
                     lambda: prometheus.scraped(job, "wiretest_station_boards_tested_total", float(len(wanted))))
            # and one more, so that a rate over the last scrapes has two samples of the last counts
            after = prometheus.samples(job)
            wait_for("another scrape of " + job, lambda: prometheus.samples(job) > after)

        # The boards by outcome, on both ports, as the records count them.
        by_outcome = {"PASS": 0, "FAIL": 0, "ERROR": 0}  # each slot's counters start at 0
        for r in wanted:
            by_outcome[r["outcome"]] = by_outcome.get(r["outcome"], 0) + 1
        for job in ("page", "alone"):
            got = prometheus.query("sum by (outcome) (wiretest_station_boards_tested_total{job='%s'})" % job)
            self.assertEqual({(("outcome", o),): float(n) for o, n in by_outcome.items()}, got)

        # Each board's test time, by mode and by the pattern set its record names.
        by_set = {}
        for r in wanted:
            key = (("mode", "fast"), ("pattern_set", r["patterns"]))
            by_set[key] = by_set.get(key, 0) + 1.0
        self.assertEqual(by_set, prometheus.query(
            "sum by (mode, pattern_set) (wiretest_station_board_test_seconds_count{job='alone'})"))

        # Each slot's first-pass yield: of the boards whose first record
        # was there, the share that passed then.
        first = {}
        for r in wanted:
            first.setdefault(r["serial"], r)
        yields = {}
        for slot in ("S1", "S2"):
            firsts = [r for r in first.values() if r["slot"] == slot]
            yields[(("slot", slot),)] = sum(r["outcome"] == "PASS" for r in firsts) / len(firsts)
        self.assertEqual({(("slot", "S1"),): 1.0, (("slot", "S2"),): 0.5}, yields)  # the steps' design
        got = prometheus.query(
            "sum by (slot) (wiretest_station_boards_tested_total{job='alone',attempt='first',outcome='PASS'})"
            " / sum by (slot) (wiretest_station_boards_tested_total{job='alone',attempt='first'})")
        self.assertEqual(yields, got)

        # The later attempts, the insertions of the rated slot, the station's state.
        attempts = prometheus.query("sum by (attempt) (wiretest_station_boards_tested_total{job='alone'})")
        self.assertEqual({(("attempt", "first"),): 4.0, (("attempt", "second"),): 2.0,
                          (("attempt", "later"),): 1.0}, attempts)
        s1 = [r for r in wanted if r["slot"] == "S1"]
        self.assertEqual({(("slot", "S1"),): float(len(s1))},
                         prometheus.query("max by (slot) (wiretest_station_slot_insertions{job='alone'})"))
        self.assertEqual({(("state", "waiting"),): 1.0},
                         prometheus.query("sum by (state) (wiretest_station_state{job='alone'}) == 1"))

        # The failed boards' faulty pins, by slot, pin and class.
        faults = {}
        for r in wanted:
            if r["outcome"] == "FAIL":
                for pin in r["pins"]:
                    if pin["status"] not in ("ok", "untested"):
                        key = (("class", pin["status"]), ("pin", str(pin["pin"])), ("slot", r["slot"]))
                        faults[key] = faults.get(key, 0) + 1.0
        self.assertEqual(2, len(faults))
        self.assertEqual(faults, prometheus.query(
            "sum by (slot, pin, class) (wiretest_station_pin_faults_total{job='alone'})"))

        # The record ids came as exemplars, never as labels.
        exemplars = prometheus.api("query_exemplars", query="wiretest_station_boards_tested_total{job='alone'}",
                                   start="0", end="9999999999")
        ids = {e["labels"]["record_id"] for series in exemplars for e in series["exemplars"]}
        self.assertTrue(ids)
        self.assertLessEqual(ids, {r["record_id"] for r in wanted})
        series = prometheus.api("series", **{"match[]": "{job='alone'}", "start": "0", "end": "9999999999"})
        self.assertFalse([s for s in series if "record_id" in s or "serial" in s])

        # Every Prometheus query of the shipped dashboard runs, and finds the
        # series it draws (the outbox's only with a PostgreSQL --db); its SQL
        # panels are run by the report's tests.
        with open(os.path.join(SOURCE, "packaging", "grafana", "wiretest-station-dashboard.json")) as f:
            dashboard = json.load(f)
        for panel in dashboard["panels"]:
            if panel["datasource"]["type"] != "prometheus":
                continue
            for t in panel["targets"]:
                expr = t["expr"].replace("$job", ".*").replace("$instance", ".*")
                expr = expr.replace("$__range", "5m").replace("$__rate_interval", "5m")
                data = prometheus.api("query", query=expr)
                self.assertIsNotNone(data, expr)
                self.assertEqual("outbox" in expr, not data["result"], expr)

        # Each format as its Accept asks; Prometheus read the OpenMetrics one
        # (its exemplars above), promtool reads the older one and lints it.
        texts = {}
        for accept in ("application/openmetrics-text; version=1.0.0", "text/plain; version=0.0.4", "*/*"):
            status, text, headers = get("http://127.0.0.1:%d/metrics" % metrics_port, headers={"Accept": accept})
            self.assertEqual(200, status)
            texts[accept] = (headers["Content-Type"], text)
        self.assertEqual("application/openmetrics-text; version=1.0.0; charset=utf-8", texts["*/*"][0])
        self.assertTrue(texts["*/*"][1].endswith("\n# EOF\n"))
        self.assertEqual(texts["*/*"], texts["application/openmetrics-text; version=1.0.0"])
        content_type, text = texts["text/plain; version=0.0.4"]
        self.assertEqual("text/plain; version=0.0.4; charset=utf-8", content_type)
        self.assertNotIn("# EOF", text)
        checked = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(), capture_output=True,
                                 timeout=page_test.DEADLINE)
        self.assertEqual((0, b""), (checked.returncode, checked.stdout + checked.stderr))
        # The --metrics port serves nothing else.
        self.assertEqual(404, get("http://127.0.0.1:%d/api/state" % metrics_port)[0])


def samples(url):
    """{'name{labels}': value} of the station's /metrics, exemplars left out."""
    status, text, _ = get(url + "metrics")
    assert status == 200, status
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.split(" # ")[0].rsplit(" ", 1)
            found[name] = float(value)
    return found


class MetricsOfFaults(unittest.TestCase):
    def test_a_slot_count_not_saved_is_a_write_failure_of_cycles(self):
        station, _ = page_test.station_whose_counts_cannot_be_saved(self)
        station.wait_out(re.compile(rb"PASS "))
        wait_for("the failure counted", lambda: samples(station.url).get(
            'wiretest_station_write_failures_total{sink="cycles"}') == 1.0)
        got = samples(station.url)
        self.assertEqual(0.0, got['wiretest_station_write_failures_total{sink="records"}'])
        # Each counter's series says when it began: from the start on, not later than now.
        totals = [name for name in got if re.match(r"\w+_total\{", name)]
        self.assertTrue(totals)
        for name in totals:
            created = got.get(name.replace("_total{", "_created{"))
            self.assertTrue(got["wiretest_station_start_time_seconds"] <= created <= time.time(), name)
        self.assertEqual((1.0, 100.0), (got['wiretest_station_slot_insertions{slot="1"}'],
                                        got['wiretest_station_slot_rated_insertions{slot="1"}']))

    def test_records_the_line_cannot_take_wait_in_the_outbox_and_age(self):
        folder = tempfile.mkdtemp(prefix="wiretest-metrics-outbox-")
        self.addCleanup(shutil.rmtree, folder, True)
        # Nothing listens on port 1 of this computer: every send is refused at once.
        station = Station("--port", "1-1", "--wait", "--fast", "--sim-plug", "1-1=1-1@0-",
                          "--db", "postgresql://u@127.0.0.1:1/x?connect_timeout=5",
                          "--outbox", os.path.join(folder, "outbox.db"))
        self.addCleanup(station.end)
        station.wait_out(re.compile(rb"PASS "))

        def waiting():
            got = samples(station.url)
            return got if got.get("wiretest_station_outbox_records") == 1.0 else None
        got = wait_for("the record waiting", waiting)
        self.assertGreaterEqual(got['wiretest_station_write_failures_total{sink="database"}'], 1.0)
        self.assertEqual(0.0, got["wiretest_station_outbox_refused_records"])
        # Its age grows from the board's end.
        first = got["wiretest_station_outbox_oldest_age_seconds"]
        wait_for("the record older", lambda: samples(station.url)["wiretest_station_outbox_oldest_age_seconds"]
                 > first)


@unittest.skipUnless(PROMTOOL, "Debian's prometheus package is not installed")
class AlertRules(unittest.TestCase):
    def test_the_shipped_rules_are_valid(self):
        rules = os.path.join(SOURCE, "packaging", "prometheus", "wiretest-station-rules.yml")
        checked = subprocess.run([PROMTOOL, "check", "rules", rules], capture_output=True,
                                 timeout=page_test.DEADLINE)
        self.assertEqual(0, checked.returncode, checked.stdout + checked.stderr)
        self.assertIn(b"SUCCESS: 5 rules found", checked.stdout)
        # Each alert fires on series that call for it, and not before.
        tested = subprocess.run([PROMTOOL, "test", "rules", os.path.join(SOURCE, "tests", "page",
                                                                         "metrics_rules_test.yml")],
                                capture_output=True, timeout=page_test.DEADLINE)
        self.assertEqual(0, tested.returncode, tested.stdout + tested.stderr)


if __name__ == "__main__":
    page_test.STATION, SOURCE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
