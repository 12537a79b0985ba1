"""qmhost polling qmsim over Modbus RTU on a pseudo-terminal pair (socat),
with the line set to 9600 baud, even parity, and a slave id of its own."""

from e2e_support import (ON_OFF, RECORD_ON_OFF, RECORD_RETURN_SETPOINT, RETURN_AIR_HIGH, RETURN_SETPOINT,
                         EndToEndTest, main, read_records, read_json_lines, read_reports, record_device_id,
                         record_register, run_qmhost, stderr_lines)

LINE = ["--baud", "9600", "--parity", "E", "--data-bits", "8", "--stop-bits", "1"]
SLAVE = "7"
STATE = {"coils": {str(RETURN_AIR_HIGH[0]): 1}, "regs": {"11": 255}}


class RtuPoll(EndToEndTest):
    def setUp(self):
        super().setUp()
        unit_side, self.host_side = self.session.start_pty_pair()
        self.session.start_qmsim_rtu(unit_side, *LINE, "--slave", SLAVE, state=STATE)
        self.link = ["--rtu", self.host_side, *LINE, "--slave", SLAVE]

    def test_report_alarm_lines_and_history_agree_with_the_unit(self):
        report, alarms, history = (self.session.path(n) for n in ("report", "alarms", "history"))
        result = run_qmhost("poll", *self.link, "--report", report, "--alarms", alarms, "--history", history)
        self.assertSucceeded(result)
        (document,) = read_reports(report)
        self.assertReportValue(document, RETURN_SETPOINT, 25.5)
        self.assertEqual(document[ON_OFF], "开机")
        self.assertEqual([a["alarm_name"] for a in read_json_lines(alarms) if a["state"]], [RETURN_AIR_HIGH[1]])
        (record,) = read_records(history)
        self.assertEqual(record_register(record, RECORD_RETURN_SETPOINT), 255)

    def test_a_switch_off_over_the_line_is_confirmed_and_polled_back(self):
        self.assertControlResult(run_qmhost("control", *self.link, "102"), 1)
        history = self.session.path("history")
        self.assertSucceeded(run_qmhost("poll", *self.link, "--history", history))
        (record,) = read_records(history)
        self.assertEqual(record[RECORD_ON_OFF], 0)

    def test_another_slave_id_gets_no_answer_and_the_cycle_fails(self):
        result = run_qmhost("poll", "--rtu", self.host_side, *LINE, "--slave", "8", "--timeout-ms", "200")
        self.assertNotEqual(result.returncode, 0)
        (line,) = stderr_lines(result)
        self.assertIn("cycle 1 failed at step 11", line)
        self.assertIn("timed out", line)


class SeveralUnitsOnOneBus(EndToEndTest):
    """Three units on one line, slave 3 silent: units 1 and 2 publish every
    cycle with their own values, and only unit 3's cycles fail."""
    SETPOINTS = {1: 251, 2: 262}  # register 11, tenths: each unit its own
    CYCLES = 3

    def setUp(self):
        super().setUp()
        unit_side, self.host_side = self.session.start_pty_pair()
        states = [f"{slave}={self.session.write_json(f'unit{slave}.json', {'regs': {'11': value}})}"
                  for slave, value in self.SETPOINTS.items()]
        self.session.start_qmsim_rtu(unit_side, *LINE, "--slave", "1,2,3", "--silent-slave", "3",
                                     *[option for state in states for option in ("--slave-state", state)])

    def poll(self, *link):
        report, history = self.session.path("report"), self.session.path("history")
        result = run_qmhost("poll", *link, "--timeout-ms", "200", "--cycles", self.CYCLES, "--interval", "0",
                            "--report", report, "--history", history)
        return result, read_reports(report), read_records(history)

    def assertOnlyUnitThreeFailed(self, result, reports, records):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual([(record_device_id(r), record_register(r, RECORD_RETURN_SETPOINT)) for r in records],
                         [(1, 251), (2, 262)] * self.CYCLES)
        self.assertEqual([round(d[RETURN_SETPOINT], 3) for d in reports], [25.1, 26.2] * self.CYCLES)
        failures = [line for line in stderr_lines(result) if "failed at step" in line]
        self.assertEqual(len(failures), self.CYCLES, result.stderr)
        for line in failures:
            self.assertIn("device 3 (slave 3)", line)
            self.assertIn("timed out", line)

    def test_units_named_on_the_command_line(self):
        self.assertOnlyUnitThreeFailed(*self.poll("--rtu", self.host_side, *LINE, "--slave", "1,2,3"))

    def test_units_listed_in_the_device_json(self):
        link = {"type": "rtu", "device": self.host_side, "baud": 9600, "parity": "E", "slaves": [1, 2, 3]}
        self.assertOnlyUnitThreeFailed(*self.poll("--config", self.session.write_json("bus.json", {"link": link})))


if __name__ == "__main__":
    main()
