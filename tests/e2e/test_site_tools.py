"""qmhost as a site engineer uses it, against qmsim on loopback: output that
pipes, safe controls and their exit statuses, the alarm point CSV, and
stored records decoded with their own times."""

import csv
import io
import json
import random
import signal
import struct
import time

from e2e_support import (ALARM_POINTS, RECORD_TIME, RECORD_SIZE, RETURN_AIR_HIGH,
                         RETURN_SETPOINT, EndToEndTest, free_tcp_port, main, read_records, run_qmhost,
                         stderr_lines)

CONFIRMED, FAILURE, REFUSED, NOT_CONFIRMED, NO_ANSWER = 0, 1, 2, 3, 4
SHORT_TIMEOUT = ["--timeout-ms", "200"]
ISO_TIME = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$"


class PipedOutput(EndToEndTest):
    def test_reports_alone_on_stdout_and_the_driver_log_elsewhere(self):
        _, port = self.session.start_qmsim(state={"coils": {str(RETURN_AIR_HIGH[0]): 1}})
        link = ["--tcp", f"127.0.0.1:{port}"]
        events = self.session.path("events")
        result = run_qmhost("poll", *link, "--report", "-", "--cycles", "2", "--interval", "0",
                            "--events", events)
        self.assertEqual(result.returncode, 0, result.stderr)
        reports = [json.loads(line)["report"] for line in result.stdout.splitlines()]
        self.assertEqual([r[RETURN_SETPOINT] for r in reports], [24.0] * 2)
        self.assertIn("QM4700RX2VA9::DeviceIoControl 801", result.stderr)
        with open(events, encoding="utf-8") as f:
            (event,) = [json.loads(line) for line in f]
        self.assertEqual({k: event[k] for k in ("device", "slave", "alarm", "event")},
                         {"device": 1, "slave": 1, "alarm": RETURN_AIR_HIGH[1], "event": "raised"})
        self.assertRegex(event["time"], ISO_TIME)

        log = self.session.path("driver.log")
        result = run_qmhost("poll", *link, "--points", f"{RETURN_SETPOINT},开关机", "--driver-log", log)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        header, line = result.stdout.splitlines()
        self.assertEqual(header.split(), ["time", RETURN_SETPOINT, "[°C]", "开关机"])
        self.assertRegex(line, rf"^{ISO_TIME[1:-1]}  {RETURN_SETPOINT}=24\.0  开关机=开机$")
        with open(log, encoding="utf-8") as f:
            self.assertIn("rvSize is", f.read())

    def test_a_poll_into_files_shows_signs_of_life_on_stderr_unless_quiet(self):
        _, port = self.session.start_qmsim()
        report, log = self.session.path("report"), self.session.path("driver.log")
        poll = ["poll", "--tcp", f"127.0.0.1:{port}", "--report", report, "--driver-log", log, "--cycles", "2",
                "--interval", "0"]
        result = run_qmhost(*poll)
        self.assertEqual(result.stdout, "")
        banner, first, rest = result.stderr.splitlines()
        self.assertTrue(banner.startswith("polling qm4700rx2va9 (device 1) on tcp"), banner)
        self.assertTrue(first.endswith("  cycle 1: 1 completed, 0 failed"), first)
        self.assertTrue(rest.endswith("  cycle 2: 1 completed, 0 failed"), rest)
        quiet = run_qmhost(*poll, "--quiet")
        self.assertEqual((quiet.returncode, quiet.stdout, quiet.stderr), (0, "", ""))


class SafeControls(EndToEndTest):
    def test_implausible_setpoints_are_refused_before_anything_is_sent(self):
        # Nothing listens on this port: a command that reached the link would fail with 1.
        link = ["--tcp", f"127.0.0.1:{free_tcp_port()}"]
        for what, value in [("temperature", "250"), ("temperature", "24.5"), ("temperature", "-5"),
                            ("humidity", "95"), ("humidity", "6554 --force")]:
            with self.subTest(what=what, value=value):
                result = run_qmhost("set", *link, what, *value.split())
                self.assertEqual((result.returncode, result.stdout), (REFUSED, ""), result.stderr)
                self.assertIn("nothing sent", stderr_lines(result)[0])

    def test_the_unit_decides_the_exit_status(self):
        for sim_options, command, status, shown in [
                ([], ["set", "temperature", "26"], CONFIRMED, f"{RETURN_SETPOINT} = 26.0 °C"),
                ([], ["set", "temperature", "40", "--force"], CONFIRMED, f"{RETURN_SETPOINT} = 40.0 °C"),
                ([], ["off"], CONFIRMED, "开关机 = 关机 (off)"),
                (["--wrong-echo"], ["set", "humidity", "45"], NOT_CONFIRMED, "湿度设定 = 45.0 %RH"),
                (["--silent-after", "0"], ["on"], NO_ANSWER, None)]:
            with self.subTest(sim_options=sim_options, command=command):
                _, port = self.session.start_qmsim(*sim_options, name=f"unit-{len(sim_options)}-{command[-1]}")
                result = run_qmhost(command[0], "--tcp", f"127.0.0.1:{port}", *SHORT_TIMEOUT, *command[1:])
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                if shown:
                    self.assertIn(f"the unit now reports {shown}", result.stdout)


    def test_a_stop_during_a_write_awaits_its_answer_up_to_the_timeout(self):
        stopped = "sent; the unit's answer did not arrive before the stop"
        # (the unit's delay ms, timeout ms, stop signals, status, said, seconds from the first signal)
        for late, timeout, signals, status, said, took in [
                (1500, 4000, [signal.SIGTERM], CONFIRMED, "confirmed by the unit", (1.0, 3.5)),
                (4000, 1500, [signal.SIGTERM], NO_ANSWER, stopped, (1.0, 3.5)),
                (6000, 5000, [signal.SIGTERM, signal.SIGINT], NO_ANSWER, stopped, (0.2, 1.5))]:
            with self.subTest(late=late, timeout=timeout, signals=len(signals)):
                _, port = self.session.start_qmsim("--late", str(late), name=f"late-{late}")
                host = self.session.start_qmhost("set", "--tcp", f"127.0.0.1:{port}", "--timeout-ms", str(timeout),
                                                 "temperature", "24", name=f"set-{late}")
                host.wait_for_output("DeviceIoControl 106", stream="stderr")  # the driver sends the write
                first = time.monotonic()
                for number in signals:
                    host.signal(number)
                    time.sleep(0.2)
                self.assertEqual(host.wait(timeout=10), status, host.stderr())
                self.assertTrue(took[0] <= time.monotonic() - first <= took[1], time.monotonic() - first)
                self.assertIn(said, host.stdout() + host.stderr())


class PointList(EndToEndTest):
    def test_alarm_csv_lists_every_point_with_both_codes(self):
        result = run_qmhost("points", "--format", "csv")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = list(csv.DictReader(io.StringIO(result.stdout, newline="")))
        # Positions from 0, as the events, metrics, the API and MQTT give them.
        self.assertEqual([int(r["position"]) for r in rows], list(range(ALARM_POINTS)))
        self.assertEqual(rows[37]["alarm_name"], "回风高温告警")
        self.assertEqual(len({r["mode2_code"] for r in rows}), ALARM_POINTS)
        remote_stop = rows[18]
        self.assertEqual((remote_stop["mode1_code"], remote_stop["mode2_code"], remote_stop["mode1_code_name"],
                          remote_stop["alarm_name"], remote_stop["coil"]),
                         ("602431C01001", "120830170180", "风机故障", "远程关机", "18"))

        # Codes shared by two points are flagged both ways.
        shared = {int(r["position"]): int(r["mode1_code_shared_with"]) for r in rows if r["mode1_code_shared_with"]}
        self.assertEqual(len(shared), 16)
        self.assertTrue(all(shared[other] == no and rows[no]["mode1_code"] == rows[other]["mode1_code"]
                            for no, other in shared.items()))

        spreadsheet = run_qmhost("points", "--format", "csv", "--bom").stdout
        self.assertTrue(spreadsheet.startswith("\ufeffposition,"))
        first = next(csv.DictReader(io.StringIO(spreadsheet[1:], newline="")))
        self.assertEqual((first["mode1_code"], first["mode2_code"]), ('="602400101001"', '="120830170010"'))

        members = csv.DictReader(io.StringIO(run_qmhost("points", "--format", "csv", "--members").stdout, newline=""))
        units = {m["member"]: m["unit"] for m in members}
        self.assertEqual((units[RETURN_SETPOINT], units["回风湿度"], units["开关机"], units["1#低压压力"]),
                         ("°C", "%RH", "", ""))

        legend = json.loads(run_qmhost("points", "--format", "json").stdout)
        tenths = {m["member"]: m for m in legend["members"]}[RETURN_SETPOINT]
        self.assertEqual((tenths["address"], tenths["type"]), ("register 11", "real"))


# Members decode adds beside the driver's report.
DECODE_ADDED = ("device_id", "record_time")


def stamped(record, *stamp):
    return record[:RECORD_TIME] + struct.pack("<H5B", *stamp)


class Decode(EndToEndTest):
    def polled_record(self, report=None):
        _, port = self.session.start_qmsim(state={"regs": {"11": 230}})
        history = self.session.path("history")
        outputs = ["--report", report] if report else []
        self.assertEqual(run_qmhost("poll", "--tcp", f"127.0.0.1:{port}", "--history", history,
                                    "--device-id", "7", *outputs).returncode, 0)
        (record,) = read_records(history)
        return history, record

    def test_stored_records_keep_their_own_times(self):
        report = self.session.path("report")
        history, record = self.polled_record(report)
        # A record decoded as stored renders byte for byte as the driver
        # reported it, with the record's device id and time beside.
        text = run_qmhost("decode", history).stdout
        decoded = json.loads(text)
        self.assertEqual(decoded["device_id"], 7)
        self.assertRegex(decoded["record_time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        for member in DECODE_ADDED:
            text = text.replace(f'"{member}":{json.dumps(decoded[member])},', "", 1)
        with open(report, encoding="utf-8") as f:
            (line,) = f.read().splitlines()
        self.assertEqual(text, line[line.index('"report":') + 9:-1] + "\n")

        stored = self.session.path("stored")
        times = [(2024, 5, 6, 7, 8, 9), (2025, 12, 31, 23, 59, 58)]
        with open(stored, "wb") as f:
            for stamp in times:
                f.write(record[:RECORD_TIME] + struct.pack("<H5B", *stamp))
            f.write(record[:10])

        result = run_qmhost("decode", stored)
        self.assertEqual(result.returncode, FAILURE)
        reports = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([r["更新时间"] for r in reports], ["2024-5-6 7:8:9", "2025-12-31 23:59:58"])
        self.assertEqual([r["record_time"] for r in reports], ["2024-05-06T07:08:09", "2025-12-31T23:59:58"])
        self.assertEqual([r[RETURN_SETPOINT] for r in reports], [23.0, 23.0])
        self.assertIn(f"byte offset {2 * RECORD_SIZE}", stderr_lines(result)[0])

    def test_what_is_no_record_is_named_and_skipped_unless_lenient(self):
        _, record = self.polled_record()
        leap_day = stamped(record, 2024, 2, 29, 23, 59, 59)
        for what, bad, why in [
                ("all zero", bytes(RECORD_SIZE), "every byte is zero"),
                ("random bytes", random.Random(5).randbytes(RECORD_SIZE), "is no real date and time"),
                ("29 February of a common year", stamped(record, 2025, 2, 29, 1, 2, 3),
                 "2025-2-29 1:2:3 is no real date and time"),
                ("second 60", stamped(record, 2025, 3, 1, 1, 2, 60), "is no real date and time"),
                ("a year before any clock", stamped(record, 1969, 12, 31, 23, 0, 0), "outside the years 1970 to 2099")]:
            with self.subTest(what):
                stored = self.session.path("stored")
                with open(stored, "wb") as f:
                    f.write(leap_day + bad + leap_day)
                strict = run_qmhost("decode", stored)
                self.assertEqual(strict.returncode, FAILURE, strict.stderr)
                self.assertEqual([json.loads(line)["record_time"] for line in strict.stdout.splitlines()],
                                 ["2024-02-29T23:59:59"] * 2)
                said = stderr_lines(strict)
                self.assertIn(f"record at byte offset {RECORD_SIZE} is no record, skipped: ", said[0])
                self.assertIn(why, said[0])
                self.assertIn("1 of 3 records skipped", said[1])
                lenient = run_qmhost("decode", stored, "--lenient")
                self.assertEqual((lenient.returncode, stderr_lines(lenient)), (0, []))
                self.assertEqual(len(lenient.stdout.splitlines()), 3)


if __name__ == "__main__":
    main()
