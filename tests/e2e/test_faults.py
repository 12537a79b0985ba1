"""Faults on the line: a unit going silent mid-cycle, a dropped answer, an
exception answer, a unit refusing one read every cycle, the TCP slave
restarting between cycles, and control writes whose echo differs from the
value written."""

import re
import signal

from e2e_support import (EndToEndTest, complete_lines, main, read_records, run_qmhost, stderr_lines,
                         wait_until)

SHORT_TIMEOUT = ["--timeout-ms", "200"]
# Step 11 is the cycle's first read; request n of a cycle is step 10 + n.
FIRST_STEP = 11


class Faults(EndToEndTest):
    def poll(self, port, *options):
        self.report, self.history = self.session.path("report"), self.session.path("history")
        return run_qmhost("poll", "--tcp", f"127.0.0.1:{port}", *SHORT_TIMEOUT, "--interval", "0",
                          "--report", self.report, "--history", self.history, *options)

    def test_a_unit_going_silent_mid_cycle_publishes_nothing_for_that_cycle(self):
        _, port = self.session.start_qmsim("--silent-after", "20")
        result = self.poll(port)
        self.assertEqual(result.returncode, 1)
        (line,) = stderr_lines(result)
        self.assertIn(f"cycle 1 failed at step {FIRST_STEP + 20}", line)
        self.assertIn("timed out", line)
        self.assertEqual(complete_lines(self.report), 0)
        self.assertEqual(read_records(self.history), [])

    def test_a_dropped_answer_fails_its_cycle_and_the_next_completes(self):
        # Request 50 is the fifth of the second cycle.
        _, port = self.session.start_qmsim("--drop-every", "50")
        result = self.poll(port, "--cycles", "3")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(stderr_lines(result)[-1], "qmhost: 1 of 3 cycles failed")
        self.assertIn(f"cycle 2 failed at step {FIRST_STEP + 4}", result.stderr)
        self.assertEqual(complete_lines(self.report), 2)
        self.assertEqual(len(read_records(self.history)), 2)

    def test_an_exception_answer_fails_the_cycle_with_the_units_reason(self):
        # Register 1501 is read by the cycle's third request (1500..1503).
        _, port = self.session.start_qmsim("--exception", "1501")
        result = self.poll(port)
        self.assertEqual(result.returncode, 1)
        (line,) = stderr_lines(result)
        self.assertIn(f"cycle 1 failed at step {FIRST_STEP + 2}", line)
        self.assertIn("Illegal data address", line)
        self.assertEqual(read_records(self.history), [])

    def test_a_unit_failing_one_read_every_cycle_is_told_apart_from_a_lost_one(self):
        # Bits 256 to 267 are the cycle's first read: an exception there leaves
        # nothing answered in the cycle, so only the kind of failure tells.
        cases = [
            (["--exception", "260"], f"step {FIRST_STEP} (read bits at 256 to 267) failed in 3 cycles in a row "
                                     "while the unit answers the others: the unit seems not to have them"),
            (["--silent-after", "0"], "unit lost: 3 cycles failed in a row"),
        ]
        for n, (options, told) in enumerate(cases):
            with self.subTest(told):
                unit, port = self.session.start_qmsim(*options, name=f"unit{n}")
                result = self.poll(port, "--cycles", "3")
                unit.stop()
                self.assertEqual(result.returncode, 1)
                lines = stderr_lines(result)
                self.assertEqual(len(lines), 5, result.stderr)
                self.assertRegex(lines[3], rf"^qmhost: \S+ {re.escape(told)}; trying again")

    def test_polling_resumes_after_the_tcp_slave_restarts(self):
        unit, port = self.session.start_qmsim()
        report = self.session.path("report")
        host = self.session.start_qmhost("poll", "--tcp", f"127.0.0.1:{port}", *SHORT_TIMEOUT, "--cycles", "0",
                                         "--interval", "0.1", "--report", report)
        wait_until(lambda: complete_lines(report) >= 1, "a first report")
        unit.stop()
        host.wait_for_output("failed at step", stream="stderr")
        before_restart = complete_lines(report)
        self.session.start_qmsim(port=port, name="qmsim-again")
        wait_until(lambda: complete_lines(report) > before_restart, "a report after the restart")
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait(), 1, "failed cycles make the exit status")
        self.assertRegex(host.stderr_lines()[-1], r"^qmhost: \d+ of \d+ cycles failed$")

    def test_a_write_echoed_with_another_value_is_not_confirmed(self):
        _, port = self.session.start_qmsim("--wrong-echo")
        link = ["--tcp", f"127.0.0.1:{port}"]
        self.assertControlResult(run_qmhost("control", *link, "106", "--word", "25"), 3, status=3)
        self.assertControlResult(run_qmhost("control", *link, "206", "--word", "0", "--word", "190"), 3, status=3)
        # A query with no write before it has no result to give.
        self.assertControlResult(run_qmhost("control", *link, "0"), -1, status=1)

    def test_a_unit_holding_a_setpoint_to_its_limit_does_not_confirm_a_value_past_it(self):
        # A unit that holds its return-air setpoint to 30.0 °C at most.
        _, port = self.session.start_pymodbus_unit("--limit", "11:300", name="limited-unit")
        link = ["--tcp", f"127.0.0.1:{port}"]
        self.assertControlResult(run_qmhost("control", *link, "106", "--word", "35"), 3, status=3)
        self.assertControlResult(run_qmhost("control", *link, "106", "--word", "30"), 1)


if __name__ == "__main__":
    main()
