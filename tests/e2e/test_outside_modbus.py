"""Cross-checks with Modbus implementations from outside the project: qmhost
polling and writing a slave run by pymodbus, and mbpoll reading and writing
qmsim."""

from e2e_support import (RECORD_ALARM_BITS, RECORD_ON_OFF, RECORD_RETURN_SETPOINT, RECORD_SUPPLY_RETURN_AIR,
                         RETURN_AIR_HIGH, RETURN_SETPOINT, RETURN_TEMPERATURE, EndToEndTest, main, mbpoll_read,
                         mbpoll_write, read_records, read_json_lines, read_reports, record_register, run_qmhost)

STATE = {"coils": {"276": 1, str(RETURN_AIR_HIGH[0]): 1}, "regs": {"11": 245, "1502": 251}}


class PymodbusSlave(EndToEndTest):
    def setUp(self):
        super().setUp()
        _, port = self.session.start_pymodbus_unit(state=STATE)
        self.link = ["--tcp", f"127.0.0.1:{port}"]

    def poll(self):
        report, alarms, history = (self.session.path(n) for n in ("report", "alarms", "history"))
        self.assertSucceeded(run_qmhost("poll", *self.link, "--report", report, "--alarms", alarms,
                                        "--history", history))
        (document,), (record,) = read_reports(report), read_records(history)
        return document, read_json_lines(alarms), record

    def test_a_cycle_reads_what_the_slave_holds(self):
        report, alarms, record = self.poll()
        self.assertReportValue(report, RETURN_SETPOINT, 24.5)
        self.assertReportValue(report, RETURN_TEMPERATURE, 25.1)
        self.assertEqual([a["alarm_name"] for a in alarms if a["state"]], [RETURN_AIR_HIGH[1]])
        self.assertEqual(record_register(record, RECORD_SUPPLY_RETURN_AIR, 2), 251)
        self.assertEqual(record[RECORD_ALARM_BITS + RETURN_AIR_HIGH[0]], 1)
        self.assertEqual(record[RECORD_ON_OFF], 1)

    def test_writes_are_confirmed_by_its_echo_and_polled_back(self):
        self.assertControlResult(run_qmhost("control", *self.link, "106", "--word", "22"), 1)
        self.assertControlResult(run_qmhost("control", *self.link, "102"), 1)
        _, _, record = self.poll()
        self.assertEqual(record_register(record, RECORD_RETURN_SETPOINT), 220)
        self.assertEqual(record[RECORD_ON_OFF], 0)


class MbpollAgainstQmsim(EndToEndTest):
    COILS, REGISTERS = "0", "4"

    def setUp(self):
        super().setUp()
        _, self.port = self.session.start_qmsim(state=STATE)
        self.link = ["--tcp", f"127.0.0.1:{self.port}"]

    def test_mbpoll_reads_the_state_qmsim_was_given(self):
        self.assertEqual(mbpoll_read(self.port, self.REGISTERS, 11), {11: 245})
        self.assertEqual(mbpoll_read(self.port, self.REGISTERS, 1502), {1502: 251})
        self.assertEqual(mbpoll_read(self.port, self.COILS, 36, 3), {36: 0, 37: 1, 38: 0})

    def test_mbpoll_writes_show_in_the_next_qmhost_poll(self):
        mbpoll_write(self.port, self.REGISTERS, 11, 265)
        mbpoll_write(self.port, self.COILS, RETURN_AIR_HIGH[0], 0)
        report, alarms = self.session.path("report"), self.session.path("alarms")
        self.assertSucceeded(run_qmhost("poll", *self.link, "--report", report, "--alarms", alarms))
        (document,) = read_reports(report)
        self.assertReportValue(document, RETURN_SETPOINT, 26.5)
        self.assertEqual([a for a in read_json_lines(alarms) if a["state"]], [])

    def test_qmhost_controls_are_read_back_by_mbpoll(self):
        self.assertControlResult(run_qmhost("control", *self.link, "106", "--word", "21"), 1)
        self.assertControlResult(run_qmhost("control", *self.link, "102"), 1)
        self.assertEqual(mbpoll_read(self.port, self.REGISTERS, 11), {11: 210})
        self.assertEqual(mbpoll_read(self.port, self.COILS, 276), {276: 0})


if __name__ == "__main__":
    main()
