"""The shipped alerting rules in a real Prometheus scraping qmhost serve,
its alerts routed by a real Alertmanager to a webhook receiver on loopback:
an alarm raised on the simulated unit arrives, and its clearing after it,
with the agent listing alarm points while active and listing them all."""

import http.server
import json
import os
import threading
import urllib.parse
import urllib.request

from e2e_support import REPO, RETURN_AIR_HIGH, EndToEndTest, free_tcp_port, main, mbpoll_write, wait_until

RULES = os.path.join(REPO, "packaging", "prometheus", "qmhost-rules.yml")
MAX_BODY = 1 << 20


class Hook(http.server.BaseHTTPRequestHandler):
    """Alertmanager's webhook: each delivered alert as (status, labels), a body read up to its bound."""

    def do_POST(self):
        try:
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length)) if 0 < length <= MAX_BODY else {}
            self.server.alerts += [(a["status"], a["labels"]) for a in body["alerts"]]
            self.send_response(200)
        except (ValueError, KeyError, TypeError):
            self.send_response(400)
        self.end_headers()

    def log_message(self, *args):
        pass


class AlertsReachAPerson(EndToEndTest):
    METRICS_ALARMS = "active"  # the default: an alarm point's series only while it is active

    def setUp(self):
        super().setUp()
        self.receiver = http.server.HTTPServer(("127.0.0.1", 0), Hook)
        self.receiver.alerts = []
        threading.Thread(target=self.receiver.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
        self.addCleanup(self.receiver.server_close)
        self.addCleanup(self.receiver.shutdown)

    def write(self, name, text):
        with open(self.session.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return self.session.path(name)

    def test_an_alarm_on_the_unit_reaches_the_webhook_and_clears(self):
        _, unit_port = self.session.start_qmsim(name="qmsim")
        agent_port = free_tcp_port(3)  # Alertmanager and Prometheus on the two ports after it
        manager_port, prometheus_port = agent_port + 1, agent_port + 2
        site = self.session.write_json("site.json", {
            "site": "room-1", "store": {"path": "store.db"},
            "http": {"listen": f"127.0.0.1:{agent_port}", "metrics_alarms": self.METRICS_ALARMS},
            "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": unit_port, "timeout_ms": 200},
                       "interval_s": 0.2, "units": [{"slave": 1, "name": "crac-1"}]}]})
        self.session.start_qmhost("serve", "--site", site, "--driver-log", os.devnull, name="serve")

        hook = f"http://127.0.0.1:{self.receiver.server_address[1]}/"
        manager = self.write("alertmanager.yml", (
            "route: {receiver: hook, group_by: [alertname, site, unit], group_wait: 1s, group_interval: 1s,"
            " repeat_interval: 1h}\n"
            f"receivers: [{{name: hook, webhook_configs: [{{url: '{hook}'}}]}}]\n"))
        # No cluster listener: it would bind every address.
        self.session.start("alertmanager", ["prometheus-alertmanager", f"--config.file={manager}",
                                            f"--storage.path={self.session.path('am')}", "--cluster.listen-address=",
                                            f"--web.listen-address=127.0.0.1:{manager_port}"])
        prometheus = self.write("prometheus.yml", (
            "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
            f"rule_files: ['{RULES}']\n"
            f"alerting: {{alertmanagers: [{{static_configs: [{{targets: ['127.0.0.1:{manager_port}']}}]}}]}}\n"
            f"scrape_configs: [{{job_name: qm, static_configs: [{{targets: ['127.0.0.1:{agent_port}']}}]}}]\n"))
        self.session.start("prometheus", ["prometheus", f"--config.file={prometheus}",
                                          f"--web.listen-address=127.0.0.1:{prometheus_port}",
                                          f"--storage.tsdb.path={self.session.path('tsdb')}"])

        def query(expression):
            url = f"http://127.0.0.1:{prometheus_port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
            try:
                with urllib.request.urlopen(url, timeout=5) as answer:
                    return [r["value"][1] for r in json.loads(answer.read())["data"]["result"]]
            except OSError:
                return []

        wait_until(lambda: query('qm_unit_up{job="qm"}') == ["1"], "Prometheus to scrape the unit", timeout=20)
        mbpoll_write(unit_port, "0", RETURN_AIR_HIGH[0], 1)
        alarm = {"alertname": "QmUnitAlarm", "severity": "critical", "level": "2", "site": "room-1",
                 "unit": "crac-1", "position": str(RETURN_AIR_HIGH[0]), "code": RETURN_AIR_HIGH[2],
                 "name": RETURN_AIR_HIGH[1], "job": "qm", "instance": f"127.0.0.1:{agent_port}"}
        wait_until(lambda: ("firing", alarm) in list(self.receiver.alerts), "the alarm at the webhook", timeout=20)
        mbpoll_write(unit_port, "0", RETURN_AIR_HIGH[0], 0)
        wait_until(lambda: ("resolved", alarm) in list(self.receiver.alerts), "the alarm resolved", timeout=20)
        # Nothing else fired: the unit answered and the agent was scraped throughout.
        self.assertEqual({labels["alertname"] for _, labels in list(self.receiver.alerts)}, {"QmUnitAlarm"})


class AlertsWithEveryAlarmPoint(AlertsReachAPerson):
    METRICS_ALARMS = "all"  # 0 or 1 for each of the 180 points


if __name__ == "__main__":
    main()
