#!/usr/bin/env python3
"""wiretest-station's page, in headless Chromium and over plain HTTP.

Runs wiretest-station-sim with --serve on the simulated chips and reads
what a person would see: the page's DOM through Chromium's DevTools
protocol, the API's answers, and what the station wrote while clients
misbehaved. Every wait is for a condition (a line of the station's output,
a state of the DOM or of /api/state), bounded by a deadline far beyond
its usual time.

    page_test.py STATION_SIM SCREENSHOT_DIR [TEST ...]
"""
import base64
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import websocket  # Debian's python3-websocket

STATION = None
SHOTS = None
DEADLINE = 60.0  # seconds: far beyond any wait here on a quiet machine


def wait_for(what, condition, timeout=DEADLINE, every=0.05):
    """Polls condition() until it returns something true; fails after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(every)


class Station:
    """wiretest-station-sim with --serve, its output read as it comes."""

    def __init__(self, *args, port=0, stdin=subprocess.DEVNULL, serve="127.0.0.1:%d"):
        self.process = subprocess.Popen(
            [STATION, "--serve", serve % port] + list(args),
            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = b"", b""
        line = self.wait_err(re.compile(rb"the station's page is at (http://[^\s]+)"))
        self.url = line.group(1).decode()
        self.host, self.port = self.url[len("http://"):].strip("/").rsplit(":", 1)
        self.port = int(self.port)

    def _read(self, timeout):
        streams = [s for s in (self.process.stdout, self.process.stderr) if not s.closed]
        ready, _, _ = select.select(streams, [], [], timeout)
        for s in ready:
            data = os.read(s.fileno(), 65536)
            if s is self.process.stdout:
                self.out += data
            else:
                self.err += data
            if not data:
                s.close()
        return bool(ready)

    def wait_err(self, pattern):
        return self._wait(pattern, lambda: self.err)

    def wait_out(self, pattern):
        return self._wait(pattern, lambda: self.out)

    def _wait(self, pattern, text):
        end = time.monotonic() + DEADLINE
        while True:
            found = pattern.search(text())
            if found:
                return found
            if self.process.poll() is not None and not self._read(0):
                raise AssertionError("the station ended (%s) before %r; stderr: %s"
                                     % (self.process.returncode, pattern.pattern, self.err.decode()))
            if time.monotonic() > end:
                raise AssertionError("no %r; stderr: %s" % (pattern.pattern, self.err.decode()))
            self._read(0.2)

    def state(self):
        return json.loads(get(self.url + "api/state")[1])

    def end(self, sig=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        end = time.monotonic() + DEADLINE
        while self.process.poll() is None or self._read(0):
            if time.monotonic() > end:
                self.process.kill()
                raise AssertionError("the station did not end")
            self._read(0.1)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream and not stream.closed:
                stream.close()
        # Under the sanitizers' builds a report is a failure, whatever the status.
        if b"Sanitizer" in self.err or b"runtime error:" in self.err:
            raise AssertionError("the station's stderr: " + self.err.decode(errors="replace"))
        return self.process.wait()


def get(url, method="GET", headers=None):
    request = urllib.request.Request(url, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=DEADLINE) as answer:
            return answer.status, answer.read().decode(), answer.headers
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode(), e.headers


def raw_request(port, data, timeout=DEADLINE):
    """Sends bytes as they are; returns the status line, or '' when dropped."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
            answer = s.recv(4096)
        except (ConnectionResetError, BrokenPipeError):
            return ""
    return answer.split(b"\r\n", 1)[0].decode(errors="replace")


class Browser:
    """Headless Chromium, driven over its DevTools protocol."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="wiretest-chromium-")
        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-port=0", "--user-data-dir=" + self.profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        port_file = os.path.join(self.profile, "DevToolsActivePort")

        def devtools_port():
            if not os.path.exists(port_file):
                return None
            with open(port_file) as f:
                return f.read().split()[:1]
        port = wait_for("Chromium's DevTools port", devtools_port)[0]
        targets = wait_for("Chromium's page", lambda: [t for t in json.loads(
            urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port).read()) if t["type"] == "page"])
        self.ws = websocket.create_connection(targets[0]["webSocketDebuggerUrl"], timeout=DEADLINE,
                                              suppress_origin=True)
        self.next_id = 0
        self.dialogs = []
        self.call("Page.enable")
        self.call("Runtime.enable")

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("method") == "Page.javascriptDialogOpening":
                self.dialogs.append(message["params"]["message"])
                self.ws.send(json.dumps({"id": 0, "method": "Page.handleJavaScriptDialog",
                                         "params": {"accept": True}}))
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise AssertionError("%s: %s" % (method, message["error"]))
                return message["result"]

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def open(self, url, width=1280, height=800):
        self.size(width, height)
        # Before the page's own script: every tile state it ever shows, in order.
        self.call("Page.addScriptToEvaluateOnNewDocument", source="""
            window.seen = [];
            new MutationObserver(() => {
              for (const t of document.querySelectorAll('.tile')) {
                const key = t.dataset.location + ' ' + t.dataset.channel, last = window.seen.filter(s => s[0] === key).pop();
                if (!last || last[1] !== t.dataset.state) window.seen.push([key, t.dataset.state]);
              }
            }).observe(document, {subtree: true, childList: true});""")
        self.call("Page.navigate", url=url)
        wait_for("the page to connect", lambda: self.eval("document.getElementById('link') !== null && "
                                                          "document.getElementById('link').className === 'up'"))

    def size(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)

    def screenshot(self, name):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(os.path.join(SHOTS, name), "wb") as f:
            f.write(base64.b64decode(data))

    def tiles(self):
        return self.eval("""[...document.querySelectorAll('.tile')].map(t => ({
            key: t.dataset.location + ' ' + t.dataset.channel, state: t.dataset.state, text: t.innerText,
            faulty: [...t.querySelectorAll('.pins .bad')].map(p => Number(p.dataset.pin))}))""")

    def text(self, selector):
        return self.eval("document.querySelector(%s).innerText" % json.dumps(selector))

    def close(self):
        self.ws.close()
        self.process.terminate()
        self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)


# Boards that stay plugged: 1-1 passes, 1-2's pin 3 is an open wire, and
# nothing ever comes to 1-3.
PLUGS = ["--sim-plug", "1-1=1-1@0-", "--sim-plug", "1-2=1-2@0-"]
PORTS = ["--port", "1-1", "--port", "1-2", "--port", "1-3"]


def station_whose_counts_cannot_be_saved(test):
    """A station on a fixture of one rated slot whose counts, written at its
    start, cannot be written again, a board and its label on their way."""
    folder = tempfile.mkdtemp(prefix="wiretest-page-cycles-")
    test.addCleanup(shutil.rmtree, folder, True)
    fixture = os.path.join(folder, "fx.toml")
    with open(fixture, "w") as f:
        f.write('id = "FX"\n[[slot]]\nname = "1"\nlocation = "1-1"\nrated_cycles = 100\n')
    station = Station("--wait", "--fast", "--scan", "--fixture", fixture, "--sim-plug", "1-1=1-1@0-",
                      stdin=subprocess.PIPE)
    test.addCleanup(station.end)
    test.assertEqual([], station.state()["station_faults"])
    os.remove(fixture + ".cycles")  # written at the start
    os.mkdir(fixture + ".cycles")  # and now no file can be written there
    station.process.stdin.write(b"1\nL-1\n")
    station.process.stdin.flush()
    return station, fixture


class PageInBrowser(unittest.TestCase):
    def setUp(self):
        self.browser = Browser()
        self.addCleanup(self.browser.close)

    def test_tiles_follow_the_boards_and_the_counters_add_up(self):
        folder = tempfile.mkdtemp(prefix="wiretest-page-")
        self.addCleanup(shutil.rmtree, folder, True)
        # 1-4's board fails to open: an ERROR.
        station = Station("--wait", "--delay", *PORTS, "--port", "1-4", *PLUGS, "--sim-plug", "1-3=1-1@3600000-",
                          "--sim-plug", "1-4=1-4@0-", "--sim-fail-open-once", "1-4=" + os.path.join(folder, "failed"))
        self.addCleanup(station.end)
        b = self.browser
        b.open(station.url, 1920, 1080)
        wait_for("three results", lambda: b.text("#tested b") == "3")
        tiles = {t["key"]: t for t in b.tiles()}
        self.assertEqual(["1-1 A", "1-2 A", "1-3 A", "1-4 A"], [t["key"] for t in b.tiles()])
        self.assertEqual("ERROR", tiles["1-4 A"]["state"])
        self.assertIn("test it again", tiles["1-4 A"]["text"])
        self.assertIn(b.eval("document.querySelector('[data-location=\"1-4\"] .reason').innerText"),
                      station.wait_out(re.compile(rb"ERROR 1-4 A [^\n]*")).group(0).decode())
        self.assertEqual("PASS", tiles["1-1 A"]["state"])
        self.assertEqual("FAIL", tiles["1-2 A"]["state"])
        self.assertIn("pin 3: stuck-0", tiles["1-2 A"]["text"])
        self.assertEqual([3], tiles["1-2 A"]["faulty"])
        self.assertEqual([], tiles["1-1 A"]["faulty"])
        self.assertEqual("waiting", tiles["1-3 A"]["state"])
        # Each tile went through the states in order, whatever it missed
        # before the page was open.
        seen = b.eval("window.seen")
        for key, outcome in (("1-1 A", "PASS"), ("1-2 A", "FAIL")):
            states = [s for k, s in seen if k == key]
            self.assertEqual(outcome, states[-1], seen)
            self.assertIn("testing", states, seen)
            self.assertLess(states.index("testing"), states.index(outcome), seen)
        self.assertEqual(("1", "1", "1", "33.3%"),
                         (b.text("#passed b"), b.text("#failed b"), b.text("#errors b"), b.text("#yield b")))
        self.assertEqual(3, b.eval("document.querySelectorAll('#recent-rows tr').length"))
        # The station's own lines say the same.
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        self.assertEqual(3, len(re.findall(rb"^(PASS|FAIL|ERROR) ", station.out, re.M)))
        b.screenshot("page-1920x1080.png")
        b.size(800, 480)
        self.assertTrue(b.eval("document.querySelector('.tile').getBoundingClientRect().bottom <= 480"))
        b.screenshot("page-800x480.png")

    def test_a_located_fault_is_drawn_where_it_is_and_one_of_several_as_uncertain(self):
        # 1-2's cut wire is one of two faults to the thirteen patterns; 1-3.2's crossed pair is located.
        station = Station("--wait", "--delay", "--port", "1-2", "--port", "1-3.2", "--sim-plug", "1-2=1-2@0-",
                          "--sim-plug", "1-3.2=1-3.2@0-")
        self.addCleanup(station.end)
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        station.wait_out(re.compile(rb"FAIL 1-3.2 A"))
        b = self.browser
        b.open(station.url)
        drawn = lambda location: b.eval("""[...document.querySelectorAll('[data-location="%s"] .pins .pair')].map(p => ({
            pin: Number(p.dataset.pin), classes: p.getAttribute('class'), title: p.querySelector('title').textContent,
            links: [...p.querySelectorAll('.link')].map(l => Number(l.dataset.to))}))""" % location)
        uncertain = [p for p in drawn("1-2") if "uncertain" in p["classes"]]
        self.assertEqual([3], [p["pin"] for p in uncertain])
        self.assertIn("[one of 2: stuck-0 on net 3 | open, input floating on net 3]", uncertain[0]["title"])
        crossed = drawn("1-3.2")
        self.assertEqual([5, 6], [p["pin"] for p in crossed if "located" in p["classes"]])
        self.assertEqual([[]] * 5 + [[6], [], []], [p["links"] for p in crossed])  # joined once, from the lower pin
        self.assertEqual("faulty pins: 5 (located), 6 (located)",
                         b.eval("document.querySelector('[data-location=\"1-3.2\"] .pins').getAttribute('aria-label')"))
        b.screenshot("page-pin-verdicts.png")

    def test_a_page_opened_late_shows_the_results_at_once_and_reconnects_to_a_new_station(self):
        station = Station("--wait", "--delay", "--port", "1-2", *PLUGS)
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        b = self.browser
        b.open(station.url)
        # Its first drawing was the result already given, not a waiting tile.
        self.assertEqual([["1-2 A", "FAIL"]], b.eval("window.seen"))
        self.assertEqual(1, station.end())  # a board failed
        wait_for("'station not reachable'", lambda: b.text("#link") == "station not reachable")
        again = Station("--wait", "--delay", "--port", "1-3", port=station.port)
        self.addCleanup(again.end)
        wait_for("the page back on the new station",
                 lambda: b.eval("document.getElementById('link').className") == "up" and
                 [t["key"] for t in b.tiles()] == ["1-3 A"])

    def test_a_label_is_shown_as_text_never_as_markup(self):
        label = "<script>alert(1)</script><img src=x onerror=alert(2)>"
        station = Station("--wait", "--delay", "--scan", "--port", "1-1", "--sim-plug", "1-1=1-1@0-",
                          stdin=subprocess.PIPE)
        self.addCleanup(station.end)
        station.process.stdin.write(label.encode() + b"\n")
        station.process.stdin.flush()
        station.wait_out(re.compile(rb"PASS 1-1 A"))
        b = self.browser
        b.open(station.url)
        self.assertIn(label, b.tiles()[0]["text"])
        self.assertIn(label, b.text("#recent-rows"))
        self.assertEqual(1, b.eval("document.scripts.length"))
        self.assertEqual(0, b.eval("document.images.length"))
        self.assertEqual([], b.dialogs)


    def test_a_station_fault_and_a_full_page_are_said_in_the_page(self):
        station, fixture = station_whose_counts_cannot_be_saved(self)
        station.wait_out(re.compile(rb"PASS 1-1 A"))
        b = self.browser
        b.open(station.url)
        self.assertIn("STATION FAULT: " + fixture + ".cycles: not a regular file", b.text("#faults"))
        # Every place taken by other screens: this one says so, and why.
        b.call("Page.navigate", url="about:blank")
        streams = []
        self.addCleanup(lambda: [s.close() for s in streams])

        def take_a_place():  # the page's own stream leaves with it
            s = open_stream(station.port)
            if first_event(s) == "message":
                streams.append(s)
            else:
                s.close()
            return len(streams) == 32
        wait_for("every place taken", take_a_place, every=0)
        b.call("Page.navigate", url=station.url)
        link = "(document.getElementById('link') || {}).textContent || ''"  # none while the page loads
        wait_for("the page to say it is full", lambda: "open on 32 screens" in b.eval(link))


class PageOverHttp(unittest.TestCase):
    def test_the_api_and_each_bad_request(self):
        station = Station("--wait", "--delay", "--station-id", "line2-st3", "--port", "1-2", *PLUGS)
        self.addCleanup(station.end)
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        status, body, headers = get(station.url + "api/state")
        self.assertEqual(200, status)
        self.assertEqual("application/json", headers["Content-Type"])
        state = json.loads(body)
        self.assertEqual("line2-st3", state["station_id"])
        self.assertTrue(state["version"])
        self.assertEqual({"tested": 1, "passed": 0, "failed": 1, "errors": 0, "yield": 0.0,
                          "first_pass_yield_today": None}, state["counters"])
        (tile,) = state["slots"]
        self.assertEqual(("1-2", "A", "FAIL", "WTST0002"), (tile["location"], tile["channel"], tile["state"], tile["dut_id"]))
        self.assertEqual(["ok", "ok", "ok", "stuck-0", "ok", "ok", "ok", "ok"], [p["status"] for p in tile["pins"]])
        # The thirteen patterns cannot tell a pin stuck at 0 from a cut wire whose input floats.
        self.assertEqual(("one of 2", ["stuck-0 on net 3", "open, input floating on net 3"]),
                         (tile["pins"][3]["confidence"], tile["pins"][3]["candidates"]))
        self.assertEqual("", tile["pins"][0]["confidence"])
        self.assertEqual(["WTST0002"], [r["dut_id"] for r in state["last_results"]])
        self.assertEqual((200, "ok\n"), get(station.url + "healthz")[:2])
        status, body, headers = get(station.url)
        self.assertEqual((200, "text/html; charset=utf-8"), (status, headers["Content-Type"]))
        self.assertIn("script-src 'self'", headers["Content-Security-Policy"])

        # The stream: the whole state first, as /api/state has it.
        with socket.create_connection(("127.0.0.1", station.port), timeout=DEADLINE) as s:
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            data = b""
            while b"\ndata: " not in data or not data.endswith(b"\n\n"):
                data += s.recv(65536)
        self.assertIn(b"Content-Type: text/event-stream", data)
        event = json.loads(data.split(b"\ndata: ", 1)[1].split(b"\n\n", 1)[0])
        self.assertEqual(state["slots"], event["slots"])

        for path in ("/nothing", "/api", "/api/state/x", "/page.js/..", "/../healthz", "/%2e%2e/healthz",
                     "/api/%2e%2e/healthz", "/..%2fhealthz", "//healthz", "/index.html"):
            self.assertEqual("HTTP/1.1 404 Not Found",
                             raw_request(station.port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n"), path)
        for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS"):
            status, _, headers = get(station.url + "api/state", method=method)
            self.assertEqual((405, "GET, HEAD"), (status, headers["Allow"]), method)
        self.assertEqual("HTTP/1.1 200 OK", raw_request(station.port, b"HEAD /api/state HTTP/1.1\r\nHost: x\r\n\r\n"))
        # A client that closes its side once it has asked is answered all the same.
        with socket.create_connection(("127.0.0.1", station.port), timeout=DEADLINE) as s:
            s.sendall(b"GET /healthz HTTP/1.0\r\n\r\n")
            s.shutdown(socket.SHUT_WR)
            self.assertTrue(read_to_end(s).endswith(b"\r\n\r\nok\n"))
        # Too long: an error or the connection dropped, never served.
        long_url = b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"
        long_header = b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Long: " + b"b" * 100000 + b"\r\n\r\n"
        for request in (long_url, long_header):
            line = raw_request(station.port, request)
            self.assertFalse(line.startswith("HTTP/1.1 200"), line)
        self.assertEqual((200, "ok\n"), get(station.url + "healthz")[:2])

    def test_a_soak_reaches_the_page_ten_times_a_second_at_most_and_its_end_at_once(self):
        station = Station("--fast", "--port", "1-1", "--duration", "2", "--json")
        self.addCleanup(station.end)
        states = []
        with socket.create_connection(("127.0.0.1", station.port), timeout=DEADLINE) as s:
            started = time.monotonic()
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            data = b""
            while True:  # until the station ends the stream
                more = s.recv(65536)
                if not more:
                    break
                data += more
            seconds = time.monotonic() - started
        for message in data.split(b"\n\n"):
            if b"data: " in message:
                states.append(json.loads(message.split(b"data: ", 1)[1]))
        self.assertEqual(0, station.end())
        record = json.loads(station.out)
        self.assertLessEqual(len(states), seconds / 0.1 + 2, seconds)
        self.assertGreater(record["runs"], 10 * len(states))
        # The last message is the station's last state: the soak's every run.
        (tile,) = states[-1]["slots"]
        self.assertEqual(("PASS", record["runs"]), (tile["state"], tile["runs"]))

    def test_clients_that_misbehave_never_stop_the_boards_or_their_records(self):
        records = tempfile.mkdtemp(prefix="wiretest-page-records-")
        self.addCleanup(shutil.rmtree, records, True)
        station = Station("--wait", "--delay", "--records", records, *PORTS, *PLUGS,
                          "--sim-plug", "1-3=1-3.2@4000-")
        self.addCleanup(station.end)
        port = station.port
        clients = []
        # A slow client, one that sends half a request, streams nobody reads,
        # and 500 connections at once.
        slow = socket.create_connection(("127.0.0.1", port))
        slow.sendall(b"GET /api/st")
        clients.append(slow)
        for _ in range(20):
            s = socket.create_connection(("127.0.0.1", port))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            clients.append(s)
        for _ in range(500):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))  # in progress, accepted or refused: never waited on
            clients.append(s)
        # Every board is tested and recorded meanwhile.
        station.wait_out(re.compile(rb"FAIL 1-3 A"))
        station.wait_out(re.compile(rb"PASS 1-1 A"))
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        wait_for("three records", lambda: len(os.listdir(records)) == 3)
        # The slow client was dropped (or answered with an error), never served.
        slow.settimeout(DEADLINE)
        try:
            answer = slow.recv(4096)
        except ConnectionResetError:
            answer = b""
        self.assertFalse(answer.startswith(b"HTTP/1.1 200"), answer)
        for s in clients:
            s.close()
        wait_for("the page served again", lambda: get(station.url + "healthz")[0] == 200)
        self.assertEqual(1, station.end())  # two boards failed


    def test_with_a_database_the_page_has_todays_first_pass_yield(self):
        folder = tempfile.mkdtemp(prefix="wiretest-page-db-")
        self.addCleanup(shutil.rmtree, folder, True)
        station = Station("--wait", "--delay", "--db", "sqlite:" + os.path.join(folder, "line.db"),
                          "--port", "1-1", "--port", "1-2", *PLUGS)
        self.addCleanup(station.end)
        # One board passed and one failed, each at its first test.
        wait_for("today's first-pass yield", lambda: station.state()["counters"]["first_pass_yield_today"] == 0.5)
        # The report gives it in the same unit, a fraction.
        report = subprocess.run([STATION, "report", "--db", "sqlite:" + os.path.join(folder, "line.db"), "--json"],
                                capture_output=True, timeout=DEADLINE)
        self.assertEqual(0.5, json.loads(report.stdout)["first_pass_yield"], report.stderr)


    def test_counts_that_cannot_be_saved_are_a_station_fault_on_the_page(self):
        station, fixture = station_whose_counts_cannot_be_saved(self)
        station.process.stdin.close()
        faults = wait_for("the fault on the page", lambda: station.state()["station_faults"])
        self.assertEqual([fixture + ".cycles: not a regular file: insertion counts are kept in one: "
                          "the slot's insertions are not being saved"], faults)
        self.assertEqual(2, station.end())

    def test_a_board_tested_again_on_request_counts_once(self):
        station = Station("--wait", "--delay", "--port", "1-2", *PLUGS, stdin=subprocess.PIPE)
        self.addCleanup(station.end)
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        station.process.stdin.write(b"retest 1-2\n")
        station.process.stdin.flush()
        station.wait_out(re.compile(rb"FAIL 1-2 A[^\n]*\n(.*\n)*FAIL 1-2 A"))
        state = wait_for("the second attempt on the page", lambda: (lambda s: len(s["last_results"]) == 2 and s)(
            station.state()))
        self.assertEqual((1, 1), (state["counters"]["tested"], state["counters"]["failed"]))
        # The first attempt was not counted (no --retest), the one asked for is the second.
        self.assertEqual([2, 0], [r["attempt"] for r in state["last_results"]])


def open_stream(port, rcvbuf=None):
    """An /api/events request sent; the socket, not read."""
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(DEADLINE)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
    return s


def first_event(s):
    """Reads a stream up to its first event; its name ('message' or 'full')."""
    data = b""
    while not re.search(rb"\n(event: (\w+)\n)?data: [^\n]*\n\n", data):
        more = s.recv(65536)
        if not more:
            raise AssertionError("the stream ended before its first event: %r" % data)
        data += more
    name = re.search(rb"\n(event: (\w+)\n)?data: ", data).group(2)
    return name.decode() if name else "message"


def read_to_end(s):
    """Reads until the server closes; the bytes read."""
    data = b""
    try:
        while True:
            more = s.recv(65536)
            if not more:
                return data
            data += more
    except ConnectionResetError:
        return data


class PageUnderLoad(unittest.TestCase):
    """Clients that hold connections, measured: what every other screen meets meanwhile."""

    def test_slow_clients_and_stalled_streams_leave_healthz_and_other_pages_served(self):
        station = Station("--wait", "--delay", "--port", "1-1", "--port", "1-2", *PLUGS)
        self.addCleanup(station.end)
        station.wait_out(re.compile(rb"FAIL 1-2 A"))
        stalled = [open_stream(station.port, rcvbuf=1024) for _ in range(20)]
        slow = []
        for i in range(200):  # half send one byte of a request, half nothing at all
            s = socket.create_connection(("127.0.0.1", station.port), timeout=DEADLINE)
            if i % 2:
                s.sendall(b"G")
            slow.append((time.monotonic(), s))
        started = time.monotonic()
        self.assertEqual("HTTP/1.1 200 OK", raw_request(station.port, b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"))
        healthz = time.monotonic() - started
        started = time.monotonic()
        with open_stream(station.port) as page:
            self.assertEqual("message", first_event(page))
        first = time.monotonic() - started
        # Every slow client is dropped, 2 s after it connected.
        dropped_after = []
        for connected, s in slow:
            self.assertEqual(b"", read_to_end(s))
            dropped_after.append(time.monotonic() - connected)
            s.close()
        print("\n/healthz in %.1f ms, a second page's first event in %.1f ms, while 200 slow or silent connections and "
              "20 stalled streams were held; slow connections dropped after %.2f to %.2f s"
              % (healthz * 1000, first * 1000, min(dropped_after), max(dropped_after)), file=sys.stderr)
        # Far under the 2 s a slow client would have cost had it held up the others.
        self.assertLess(healthz, 1.0)
        self.assertLess(first, 1.0)
        self.assertLess(max(dropped_after), 4.0)
        for s in stalled:
            s.close()

    def test_a_full_page_says_so_and_a_closed_stream_frees_its_place_at_once(self):
        station = Station("--wait", "--delay", "--port", "1-1", *PLUGS)
        self.addCleanup(station.end)
        streams = []
        self.addCleanup(lambda: [s.close() for s in streams])
        for _ in range(32):
            streams.append(open_stream(station.port))
            self.assertEqual("message", first_event(streams[-1]))
        # One more is told why, in the page's words, and when to try again.
        with open_stream(station.port) as refused:
            answer = read_to_end(refused)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK"), answer)
        self.assertIn(b"retry: 10000\n\nevent: full\ndata: {\"streams\": 32}\n\n", answer)
        streams.pop(0).close()
        with open_stream(station.port) as taken:
            self.assertEqual("message", first_event(taken))

    def test_a_stream_nobody_reads_is_dropped(self):
        # A soak changes the state ten times a second: what a stream that
        # stopped reading is sent piles up until it is dropped.
        station = Station("--wait", "--fast", "--duration", "30", "--port", "1-1", *PLUGS, "--count", "1")
        self.addCleanup(station.end)
        stalled = open_stream(station.port, rcvbuf=1024)
        # Dropped (reset) while the soak runs; seen without a read, which
        # would make it a stream that reads. TCP_INFO's first byte: its state.
        tcp_close = 7
        wait_for("the stalled stream dropped",
                 lambda: stalled.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == tcp_close)
        stalled.close()
        self.assertIsNone(station.process.poll())
        with open_stream(station.port) as reader:  # and the page goes on for those who read
            self.assertEqual("message", first_event(reader))


class StationStart(unittest.TestCase):
    def test_an_ipv6_address_is_served(self):
        station = Station("--wait", "--delay", "--port", "1-1", serve="[::1]:%d")
        self.addCleanup(station.end)
        self.assertEqual("[::1]", station.host)
        with socket.create_connection(("::1", station.port), timeout=DEADLINE) as s:
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertEqual(b"HTTP/1.1 200 OK", read_to_end(s).split(b"\r\n", 1)[0])

    def test_a_port_taken_stops_the_station_before_its_first_board(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            result = subprocess.run([STATION, "--all", "--delay", "--serve", "127.0.0.1:%d" % port],
                                    capture_output=True, timeout=DEADLINE)
        self.assertEqual(2, result.returncode)
        self.assertEqual(b"", result.stdout)
        self.assertIn(b"cannot serve the page at 127.0.0.1:%d: the port is taken" % port, result.stderr)


if __name__ == "__main__":
    STATION, SHOTS = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
