"""qmhost serve's HTTP side with real clients: a Prometheus server scraping
/metrics, headless Chromium loading the status page, and qmhost status and
controls through the agent. Each refusal (a wrong or missing token, no
token configured, an oversized or a slow request) leaves the agent polling."""

import datetime
import json
import os
import re
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request

from e2e_support import REPO, EndToEndTest, free_tcp_port, main, run_qmhost, wait_until, write_secret

INTERVAL_S = 0.2
TOKEN = "t0ken-for-the-e2e-test-1234567890"
# Register values of each simulated unit, and what the agent must show for them.
UNITS = {
    "crac-1": {"regs": {"1500": 180, "1501": 550, "1502": 312, "1503": 480, "11": 250, "1": 550}, "coils": {"37": 1}},
    "crac-2": {"regs": {"1500": 195, "1501": 520, "1502": 235, "1503": 455, "11": 240, "1": 500}},
}
SHOWN = {  # unit: (return temperature, return humidity, temperature setpoint, its badge)
    "crac-1": ("31.2", "48.0", "25.0", "answering, 1 alarm"),
    "crac-2": ("23.5", "45.5", "24.0", "answering"),
}
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]
ARTIFACTS = os.environ.get("QM_TEST_ARTIFACTS", os.path.join(REPO, "build", "test-artifacts"))


class AgentOverHttp(EndToEndTest):
    def setUp(self):
        super().setUp()
        self.sims = {}
        lines = []
        for name, state in UNITS.items():
            self.sims[name], port = self.session.start_qmsim(state=state, name="qmsim-" + name)
            lines.append({"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 200},
                          "interval_s": INTERVAL_S, "units": [{"slave": 1, "name": name}]})
        write_secret(self.session.path("token"), TOKEN + "\n")
        self.port = free_tcp_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.site = {"site": "room-1", "store": {"path": "store.db"}, "lines": lines,
                     "http": {"listen": f"127.0.0.1:{self.port}", "control_token_file": "token"}}

    def start_agent(self, name="serve"):
        site_file = self.session.write_json(name + ".json", self.site)
        agent = self.session.start_qmhost("serve", "--site", site_file, "--driver-log", self.session.path("driver.log"),
                                          name=name)
        agent.wait_for_output("serving HTTP on", stream="stderr")
        wait_until(lambda: all(u["health"]["current"] for u in self.status()["units"]), "every unit current")
        return agent

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=5) as answer:
            return answer.read().decode("utf-8")

    def status(self):
        return json.loads(self.get("/api/status"))

    def post_control(self, body, headers):
        request = urllib.request.Request(self.url + "/api/units/crac-1/control", data=body, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def cycles(self):
        return {u["name"]: u["health"]["poll_cycles"] for u in self.status()["units"]}

    def assertStillPolling(self, before):
        wait_until(lambda: all(n > before[u] for u, n in self.cycles().items()), "the agent to go on polling")

    # ---- Prometheus

    def test_prometheus_scrapes_the_units_as_simulated(self):
        agent_started = time.time()
        self.start_agent()
        metrics = self.get("/metrics")
        check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True, text=True,
                               timeout=30)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        # An alarm point is listed while active; a unit with none stays within 20 series.
        self.assertEqual(re.findall(r'^qm_unit_alarm_active\{site="room-1",unit="(crac-\d)",position="(\d+)"', metrics,
                                    re.M), [("crac-1", "37")])
        self.assertLessEqual(len(re.findall(r'^qm_unit_\w+\{site="room-1",unit="crac-2"', metrics, re.M)), 20)

        prometheus_port = free_tcp_port()
        config = self.session.path("prometheus.yml")
        with open(config, "w", encoding="ascii") as f:
            f.write("global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
                    "scrape_configs:\n"
                    f"  - job_name: qm\n    static_configs: [{{targets: ['127.0.0.1:{self.port}']}}]\n")
        self.session.start("prometheus", ["prometheus", f"--config.file={config}",
                                          f"--web.listen-address=127.0.0.1:{prometheus_port}",
                                          f"--storage.tsdb.path={self.session.path('tsdb')}"])

        def results(expression):
            url = f"http://127.0.0.1:{prometheus_port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
            try:
                with urllib.request.urlopen(url, timeout=5) as answer:
                    return json.loads(answer.read())["data"]["result"]
            except (urllib.error.URLError, ConnectionError):
                return []

        def query(expression):
            return {r["metric"]["unit"]: float(r["value"][1]) for r in results(expression)}

        wait_until(lambda: query("qm_unit_up") == {"crac-1": 1, "crac-2": 1}, "Prometheus to scrape both units",
                   timeout=20)
        self.assertEqual(query('qm_unit_air_temperature_celsius{sensor="return"}'),
                         {u: float(shown[0]) for u, shown in SHOWN.items()})
        self.assertEqual(query('qm_unit_air_humidity_ratio{sensor="return"}'), {"crac-1": 0.48, "crac-2": 0.455})
        self.assertEqual(query("qm_unit_temperature_setpoint_celsius"), {u: float(shown[2]) for u, shown in SHOWN.items()})
        self.assertEqual(query("qm_unit_alarms_active"), {"crac-1": 1, "crac-2": 0})
        # Where each unit is: slave 1 on a line of its own, its device id its place in the site.
        self.assertEqual(sorted((r["metric"]["unit"], r["metric"]["line"], r["metric"]["slave"], r["metric"]["device_id"])
                                for r in results("qm_unit_info")), [("crac-1", "0", "1", "1"), ("crac-2", "1", "1", "2")])
        process = {r["metric"]["__name__"]: float(r["value"][1]) for r in results('{__name__=~"process_.*"}')}
        self.assertEqual(sorted(process), ["process_cpu_seconds_total", "process_max_fds", "process_open_fds",
                                           "process_resident_memory_bytes", "process_start_time_seconds",
                                           "process_virtual_memory_bytes"])
        # The agent's own process: started by this test, a few descriptors open of those allowed.
        self.assertLess(abs(process["process_start_time_seconds"] - agent_started), 30)
        self.assertLess(process["process_open_fds"], process["process_max_fds"])

    def test_a_silent_unit_is_down_and_its_values_gone(self):
        self.start_agent()
        self.sims["crac-2"].stop()
        wait_until(lambda: 'qm_unit_up{site="room-1",unit="crac-2"} 0' in self.get("/metrics"), "crac-2 down")
        metrics = self.get("/metrics")
        self.assertIn('qm_unit_up{site="room-1",unit="crac-1"} 1', metrics)
        self.assertNotRegex(metrics, r'(?m)^qm_unit_(air|temperature|humidity|running|alarm)\S*unit="crac-2"')
        self.assertRegex(metrics, r'(?m)^qm_unit_poll_failures_total\{site="room-1",unit="crac-2"\} [1-9]')
        (silent,) = [u for u in self.status()["units"] if u["name"] == "crac-2"]
        self.assertNotIn("values", silent)
        status = run_qmhost("status", "--agent", self.url, "crac-2")
        self.assertEqual(status.returncode, 1, status.stderr)
        self.assertNotIn("air.return.temperature", status.stdout)

    def get_status_code(self, path):
        try:
            return urllib.request.urlopen(self.url + path, timeout=5).status
        except urllib.error.HTTPError as e:
            return e.code

    def test_history_and_events_read_from_the_store(self):
        self.start_agent()

        def history():
            records = json.loads(self.get("/api/units/crac-1/history?step_s=1"))["records"]
            return records if len(records) >= 3 else None

        records = wait_until(history, "three seconds of history", timeout=10)
        seconds = [datetime.datetime.fromisoformat(r["time"].replace("Z", "+00:00")).timestamp() for r in records]
        self.assertTrue(all(b - a >= 1.0 for a, b in zip(seconds, seconds[1:])), seconds)
        self.assertEqual((records[-1]["values"]["air.return.temperature"], records[-1]["alarms"]), (31.2, [37]))
        fewer = json.loads(self.get("/api/units/crac-1/history?keys=unit.mode,air.return.temperature"))["records"]
        self.assertEqual(fewer[-1]["values"], {"unit.mode": "cooling", "air.return.temperature": 31.2})
        (raised,) = json.loads(self.get("/api/events?unit=crac-1"))["events"]
        self.assertEqual((raised["kind"], raised["detail"]["name"]), ("alarm_raised", "回风高温告警"))
        oldest = [e["seq"] for e in json.loads(self.get("/api/events"))["events"]]
        newest = [e["seq"] for e in json.loads(self.get("/api/events?order=newest&limit=2"))["events"]]
        self.assertEqual(newest, oldest[::-1][:2])
        for path, expected in (("/api/units/nope/history", 404), ("/api/units/crac-1/history?from=yesterday", 400),
                               ("/api/units/crac-1/history?keys=unit.mdoe", 400),
                               ("/api/events?limit=0", 400), ("/api/events?unit=nope", 404), ("/nothing", 404),
                               ("/api/events?order=random", 400)):
            with self.subTest(path):
                self.assertEqual(self.get_status_code(path), expected)

    # ---- qmhost status and controls through the agent

    def test_status_lines_from_the_agent_and_from_the_unit(self):
        self.start_agent()
        result = run_qmhost("status", "--agent", self.url, "crac-1")
        self.assertSucceeded(result)
        lines = dict(line.split(": ", 1) for line in result.stdout.splitlines())
        self.assertEqual((lines["unit.state"], lines["air.return.temperature"], lines["air.return.humidity"],
                          lines["setpoint.temperature"], lines["alarm.count"], lines["alarm.1"]),
                         ("on", "31.2", "48.0", "25.0", "1", "回风高温告警"))
        self.assertRegex(lines["poll.last"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        both = run_qmhost("status", "--agent", self.url)
        self.assertSucceeded(both)
        self.assertEqual(re.findall(r"(?m)^unit\.name: (.*)$", both.stdout), list(UNITS))
        # Straight from the unit, the same lines but the agent's.
        port = self.site["lines"][1]["link"]["port"]
        direct = run_qmhost("status", "--tcp", f"127.0.0.1:{port}", "--driver-log", os.devnull)
        self.assertSucceeded(direct)
        self.assertIn("air.return.temperature: 23.5\nair.return.humidity: 45.5\n", direct.stdout)
        self.assertIn("alarm.count: 0\n", direct.stdout)

    def test_a_setpoint_set_through_the_agent_shows_in_the_next_cycle(self):
        self.start_agent()
        result = run_qmhost("set", "--agent", self.url, "--unit", "crac-1", "--token-file", self.session.path("token"),
                            "temperature", "22")
        self.assertSucceeded(result)
        self.assertEqual(result.stdout.splitlines(), ["return-air temperature setpoint 22 °C: confirmed by the unit",
                                                      "the unit now reports 回风温度设定 = 22.0 °C"])
        (unit,) = [u for u in self.status()["units"] if u["name"] == "crac-1"]
        self.assertEqual(unit["values"]["setpoint.temperature"], 22.0)
        events = json.loads(self.get("/api/events?unit=crac-1"))["events"]
        (control,) = [e["detail"] for e in events if e["kind"] == "control"]
        self.assertEqual((control["code"], control["input"], control["result"]), (106, "1600", 1))
        self.assertRegex(control["source"], r"^http 127\.0\.0\.1 \(.*@.*\)$")
        write_secret(self.session.path("wrong-token"), TOKEN[::-1] + "\n")
        wrong = run_qmhost("off", "--agent", self.url, "--unit", "crac-1", "--token-file", self.session.path("wrong-token"))
        self.assertEqual(wrong.returncode, 1, wrong.stderr)
        self.assertIn("401", wrong.stderr)
        self.assertIn("is not the agent's", wrong.stderr)
        forgotten = run_qmhost("off", "--agent", self.url, "--unit", "crac-1")
        self.assertEqual(forgotten.returncode, 2, forgotten.stderr)
        self.assertIn("it wants its control token: pass --token-file FILE", forgotten.stderr)

    def test_refusals_leave_the_agent_polling(self):
        agent = self.start_agent()
        before = self.cycles()
        # Headers too large are refused at once; two slow clients hold a worker
        # each until the request time runs out (civetweb waits it twice for a body).
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nX-Big: " + b"a" * 9000 + b"\r\n\r\n")
            self.assertRegex(s.recv(4096), rb"^HTTP/1\.[01] 4\d\d ")
        slow = []
        for head, within_s in ((b"GET /api/status HTTP/1.1\r\nHost: x\r\n", 7),
                               (b"POST /api/units/crac-1/control HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                TOKEN.encode() + b"\r\nContent-Length: 40\r\n\r\n{\"code\":", 12)):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=15)
            s.sendall(head)
            slow.append((s, time.monotonic(), within_s))
        good = {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"}
        refusals = [
            ("wrong token", b'{"code": 100}', {"Authorization": "Bearer " + TOKEN[:-1] + "x"}, 401),
            ("no token", b'{"code": 100}', {}, 401),
            ("another scheme", b'{"code": 100}', {"Authorization": "Basic " + TOKEN}, 401),
            ("oversized", b'{"code": 100, "input": "' + b"00" * 4096 + b'"}', good, 413),
            ("not JSON", b"code=100", good, 400),
            ("input not hex", b'{"code": 106, "input": "zz"}', good, 400),
            ("setpoint 99 °C", b'{"code": 106, "input": "6300"}', good, 400),
        ]
        for what, body, headers, expected in refusals:
            with self.subTest(what):
                status, answer = self.post_control(body, headers)
                self.assertEqual(status, expected, answer)
                self.assertNotIn(TOKEN, json.dumps(answer))
        for s, opened, within_s in slow:
            with self.subTest("slow request", within_s=within_s):
                answer = s.recv(4096)
                s.close()
                self.assertRegex(answer, rb"^HTTP/1\.[01] 4\d\d ")
                self.assertLess(time.monotonic() - opened, within_s)
        self.assertStillPolling(before)
        events = json.loads(self.get("/api/events?unit=crac-1"))["events"]
        self.assertEqual([e for e in events if e["kind"] == "control"], [], "a refused control reached the unit")

        # Without a token file every control is refused.
        del self.site["http"]["control_token_file"]
        agent.stop()
        self.start_agent("serve-read-only")
        status, answer = self.post_control(b'{"code": 100}', good)
        self.assertEqual(status, 403, answer)

    # ---- the page in a browser

    def chromium(self, *args):
        profile = self.session.path("chromium")
        result = subprocess.run(["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args, self.url + "/"],
                                capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        return result.stdout

    def shown_values(self, dom):
        return {(unit, key): value for unit, key, value in
                re.findall(r'data-unit="([^"]+)" data-key="([a-z.]+)">([^<]*)<', dom)}

    def test_the_page_breaks_a_trend_where_cycles_are_missing(self):
        self.start_agent()

        def history_points(unit):
            # As the page asks: at this interval a point every 8 s.
            return len(json.loads(self.get(f"/api/units/{unit}/history?step_s=8"))["records"])

        wait_until(lambda: history_points("crac-2") >= 2, "two trend points", timeout=15)
        port = self.site["lines"][1]["link"]["port"]
        self.sims["crac-2"].stop()
        time.sleep(10)  # an outage longer than the page's step and 2.5 cycles
        self.session.start_qmsim(port=port, state=UNITS["crac-2"], name="qmsim-crac-2-again")
        wait_until(lambda: history_points("crac-2") >= 3, "a point after the outage", timeout=15)
        dom = self.chromium("--virtual-time-budget=5000", "--dump-dom")
        gaps = dict(re.findall(r'class="gaps" data-unit="([^"]+)" data-key="gaps" data-gaps="(\d+)"', dom))
        self.assertEqual(gaps, {"crac-1": "0", "crac-2": "1"})
        self.assertRegex(dom, r'data-gaps="1">no data [^<–]+–[^<–]+<')
        self.assertRegex(dom, r'<tr class="event unit_lost" data-seq="\d+"><td[^>]*>[^<]*</td><td>crac-2</td>')

    def test_the_page_shows_each_unit_and_follows_its_changes(self):
        self.start_agent()
        # Events are read as committed: up to the store's commit interval after the cycle.
        wait_until(lambda: any(e["kind"] == "alarm_raised" for e in json.loads(self.get("/api/events"))["events"]),
                   "the alarm's event committed", timeout=10)
        dom = self.chromium("--virtual-time-budget=7000", "--dump-dom")
        values = self.shown_values(dom)
        for unit, shown in SHOWN.items():
            self.assertEqual((values[unit, "air.return.temperature"], values[unit, "air.return.humidity"],
                              values[unit, "setpoint.temperature"], values[unit, "health"]), shown, unit)
        self.assertIn('class="health alarm" data-unit="crac-1"', dom)
        self.assertIn("回风高温告警", dom)
        # The latest events, newest first: the agent's start, then the alarm found at the first cycle.
        events = re.findall(r'<tr class="event (\w+)" data-seq="\d+"><td[^>]*>[^<]*</td><td>([^<]*)</td><td>\w+</td>'
                            r'<td>([^<]*)</td>', dom)
        self.assertIn(("alarm_raised", "crac-1", "回风高温告警 (position 37)"), events)
        self.assertEqual(events[-1][:2], ("agent_started", "agent"))
        # The page fetched the status again and again, without a reload.
        self.assertGreaterEqual(int(re.search(r'data-refreshes="(\d+)"', dom).group(1)), 2)

        changed = run_qmhost("set", "--agent", self.url, "--unit", "crac-1", "--token-file",
                             self.session.path("token"), "temperature", "21")
        self.assertSucceeded(changed)
        values = self.shown_values(self.chromium("--virtual-time-budget=4000", "--dump-dom"))
        self.assertEqual(values["crac-1", "setpoint.temperature"], "21.0")

        os.makedirs(ARTIFACTS, exist_ok=True)
        screenshot = os.path.join(ARTIFACTS, "status-page.png")
        self.chromium("--virtual-time-budget=4000", "--window-size=1100,760", f"--screenshot={screenshot}")
        with open(screenshot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    main()
