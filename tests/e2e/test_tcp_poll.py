"""qmhost polling qmsim over Modbus TCP on loopback: the report, the alarm
lines and the history records agree with the unit's state; controls reach
the unit; settings, several devices and a clean stop."""

import signal

from e2e_support import (ALARM_POINTS, HUMIDITY_SETPOINT, ON_OFF, RECORD_ALARM_BITS, RECORD_HUMIDITY_SETPOINT,
                         RECORD_ON_OFF, RECORD_RETURN_SETPOINT, RECORD_SIZE, RECORD_SUPPLY_RETURN_AIR,
                         RECORD_SUPPLY_SETPOINT, RETURN_AIR_HIGH, RETURN_HUMIDITY, RETURN_SETPOINT,
                         RETURN_TEMPERATURE, SUCTION_1_FAULT, SUPPLY_SETPOINT, EndToEndTest, complete_lines,
                         free_tcp_port, main, read_json_lines, read_records, read_reports, record_device_id,
                         record_register, record_year, run_qmhost, wait_until)

# A unit with its own setpoints and readings, and two alarms active.
STATE = {
    "coils": {str(SUCTION_1_FAULT[0]): 1, str(RETURN_AIR_HIGH[0]): 1},
    "regs": {"0": 175, "1": 480, "11": 230, "1502": 262, "1503": 415},
}


class TcpPoll(EndToEndTest):
    def setUp(self):
        super().setUp()
        self.unit, self.port = self.session.start_qmsim(state=STATE)
        self.link = ["--tcp", f"127.0.0.1:{self.port}"]

    def poll(self, *options):
        files = {name: self.session.path(name) for name in ("report", "alarms", "history")}
        result = run_qmhost("poll", *self.link, "--report", files["report"], "--alarms", files["alarms"],
                            "--history", files["history"], *options)
        self.assertSucceeded(result)
        return read_reports(files["report"]), read_json_lines(files["alarms"]), read_records(files["history"])

    def test_report_alarm_lines_and_history_agree_with_the_unit(self):
        reports, alarms, records = self.poll("--cycles", "2", "--interval", "0", "--device-id", "42")

        self.assertEqual(len(reports), 2)
        for report in reports:
            self.assertReportValue(report, SUPPLY_SETPOINT, 17.5)
            self.assertReportValue(report, RETURN_SETPOINT, 23.0)
            self.assertReportValue(report, HUMIDITY_SETPOINT, 48.0)
            self.assertReportValue(report, RETURN_TEMPERATURE, 26.2)
            self.assertReportValue(report, RETURN_HUMIDITY, 41.5)
            self.assertEqual(report[ON_OFF], "开机")

        self.assertEqual(len(alarms), 2 * ALARM_POINTS)
        for cycle in (alarms[:ALARM_POINTS], alarms[ALARM_POINTS:]):
            self.assertEqual([a["seq"] for a in cycle], list(range(1, ALARM_POINTS + 1)))
            active = {a["alarm_name"]: a for a in cycle if a["state"]}
            self.assertEqual(set(active), {SUCTION_1_FAULT[1], RETURN_AIR_HIGH[1]})
            self.assertEqual(active[SUCTION_1_FAULT[1]]["code"], SUCTION_1_FAULT[2])
            self.assertEqual(list(cycle[0]), ["device", "slave", "time", "seq", "level", "code", "code2", "code_name",
                                              "alarm_name", "state"])
            self.assertEqual({(a["device"], a["slave"]) for a in cycle}, {(42, 1)})

        self.assertEqual(len(records), 2)
        for record in records:
            self.assertEqual(record_device_id(record), 42)
            self.assertEqual(record_register(record, RECORD_SUPPLY_SETPOINT), 175)
            self.assertEqual(record_register(record, RECORD_RETURN_SETPOINT), 230)
            self.assertEqual(record_register(record, RECORD_HUMIDITY_SETPOINT), 480)
            self.assertEqual(record_register(record, RECORD_SUPPLY_RETURN_AIR, 2), 262)
            self.assertEqual(record[RECORD_ALARM_BITS + SUCTION_1_FAULT[0]], 1)
            self.assertEqual(record[RECORD_ALARM_BITS + RETURN_AIR_HIGH[0]], 1)
            self.assertEqual(record[RECORD_ALARM_BITS + 1], 0)
            self.assertEqual(record[RECORD_ON_OFF], 1)
            self.assertGreaterEqual(record_year(record), 2020)

    def test_summary_shows_setpoints_active_alarms_and_their_raising(self):
        result = run_qmhost("poll", *self.link)
        self.assertSucceeded(result)
        self.assertIn("setpoints 23.0 °C, 48.0 %RH", result.stdout)
        self.assertIn("setpoint 17.5 °C", result.stdout)
        self.assertIn(f"alarms: {SUCTION_1_FAULT[1]}, {RETURN_AIR_HIGH[1]}", result.stdout)
        self.assertIn(f"alarm raised: {RETURN_AIR_HIGH[1]}", result.stdout)

    def test_controls_reach_the_unit_and_the_next_poll(self):
        self.assertControlResultOf("106", "--word", "27", expected=1)
        self.assertControlResultOf("110", "--word", "55", expected=1)
        self.assertControlResultOf("102", expected=1)
        self.assertControlResultOf("206", "--word", "0", "--word", "190", expected=1)

        (report,), _, (record,) = self.poll()
        self.assertReportValue(report, RETURN_SETPOINT, 27.0)
        self.assertReportValue(report, HUMIDITY_SETPOINT, 55.0)
        self.assertReportValue(report, SUPPLY_SETPOINT, 19.0)
        self.assertEqual(report[ON_OFF], "关机")
        self.assertEqual(record_register(record, RECORD_RETURN_SETPOINT), 270)
        self.assertEqual(record[RECORD_ON_OFF], 0)

    def test_a_command_without_a_write_reports_its_outcome_at_once(self):
        result = run_qmhost("control", *self.link, "320", "--text", "not a signal code")
        self.assertControlResult(result, -1, status=2)
        self.assertIn("no write sent", result.stdout)

    def assertControlResultOf(self, *command, expected):
        self.assertControlResult(run_qmhost("control", *self.link, *command), expected)

    def test_config_settings_reach_the_driver_and_link_options_override_them(self):
        config = self.session.write_json("device.json", {
            "link": {"type": "tcp", "host": "127.0.0.1", "port": free_tcp_port()},
            "appSetting": {"b_mode": 2}})
        _, alarms, _ = self.poll("--config", config)
        active = {a["alarm_name"]: a["code"] for a in alarms if a["state"]}
        self.assertEqual(active[SUCTION_1_FAULT[1]], SUCTION_1_FAULT[3])

    def test_an_endless_poll_stops_cleanly_on_sigterm(self):
        report = self.session.path("report")
        host = self.session.start_qmhost("poll", *self.link, "--cycles", "0", "--interval", "0.2",
                                         "--report", report)
        wait_until(lambda: complete_lines(report) >= 2, "two reports")
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait(), 0, host.stderr())
        self.assertEqual(host.stderr_lines(), [])


class SeveralDevices(EndToEndTest):
    def test_each_device_polls_its_own_port(self):
        first = free_tcp_port(count=2)
        self.session.start_qmsim(state={"regs": {"11": 210}}, port=first, name="unit-a")
        self.session.start_qmsim(state={"regs": {"11": 220}}, port=first + 1, name="unit-b")
        history = self.session.path("history")
        result = run_qmhost("poll", "--tcp", f"127.0.0.1:{first}", "--devices", "2", "--device-id", "7",
                            "--history", history, "--interval", "0")
        self.assertSucceeded(result)
        records = read_records(history)
        self.assertEqual([record_device_id(r) for r in records], [7, 8])
        self.assertEqual([record_register(r, RECORD_RETURN_SETPOINT) for r in records], [210, 220])
        self.assertTrue(all(len(r) == RECORD_SIZE for r in records))
        self.assertIn("device 8: ", result.stdout)


if __name__ == "__main__":
    main()
