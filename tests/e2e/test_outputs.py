"""qmhost poll's output files as a site runs them for months: a full disk
or a failing device is told and ends the poll with whole records kept, a
restart appends, a rename followed by SIGHUP loses no line, and two outputs
naming one file are refused."""

import os
import signal
import subprocess

from e2e_support import (QMHOST, RETURN_AIR_HIGH, EndToEndTest, complete_lines, main, read_records,
                         read_reports, run_qmhost, stderr_lines, wait_until)

OUTPUT_FAILED, REFUSED = 5, 2
# An alarm raised at the first cycle, so that --events has a line to write.
STATE = {"coils": {str(RETURN_AIR_HIGH[0]): 1}}


class OutputFaults(EndToEndTest):
    def setUp(self):
        super().setUp()
        _, port = self.session.start_qmsim(state=STATE)
        self.link = ["--tcp", f"127.0.0.1:{port}", "--interval", "0"]

    def told(self, result):
        return [line for line in stderr_lines(result) if "cannot write" in line]

    def test_a_failed_write_is_told_once_and_ends_the_poll_with_whole_records(self):
        # (output failing, options, cycles a healthy --report beside it keeps)
        cases = [(option, [option, "/dev/full"], 1)
                 for option in ("--history", "--alarms", "--events", "--driver-log", "--report")]
        cases.append(("a full disk", ["--history", "@tmpfs/history"], None))
        for n, (what, options, kept) in enumerate(cases):
            with self.subTest(what):
                witness = self.session.path(f"witness{n}")
                tmpfs = self.session.path("tmpfs")
                if "@tmpfs/history" in options:
                    if os.geteuid() != 0:
                        self.skipTest("mounting a small filesystem needs root")
                    os.makedirs(tmpfs, exist_ok=True)
                    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", tmpfs], check=True)
                    options = [o.replace("@tmpfs", tmpfs) for o in options]
                try:
                    beside = ["--alarms", witness] if options[0] == "--report" else ["--report", witness]
                    result = run_qmhost("poll", *self.link, "--cycles", "400", *options, *beside)
                    self.assertEqual(result.returncode, OUTPUT_FAILED, result.stderr)
                    (line,) = self.told(result)
                    self.assertIn(f"{options[1]}: No space left on device", line)
                    if kept is not None:
                        self.assertEqual(complete_lines(witness) // (180 if options[0] == "--report" else 1), kept)
                    else:
                        records = read_records(options[1])  # fails on a partial record
                        self.assertGreater(len(records), 10)
                finally:
                    if os.path.ismount(tmpfs):
                        subprocess.run(["umount", tmpfs], check=True)

        with open("/dev/full", "wb") as full:
            result = subprocess.run([QMHOST, "poll", *self.link, "--cycles", "2"], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=20)
        self.assertEqual(result.returncode, OUTPUT_FAILED, result.stderr)
        self.assertIn("cannot write standard output: No space left on device", result.stderr)

    def test_a_restart_appends_after_cutting_a_partial_record(self):
        files = {name: self.session.path(name) for name in ("history", "report", "events", "driver.log")}
        options = ["--history", files["history"], "--report", files["report"], "--events", files["events"],
                   "--driver-log", files["driver.log"], "--cycles", "5"]
        self.assertSucceeded(run_qmhost("poll", *self.link, *options))
        with open(files["history"], "ab") as f:
            f.write(b"\1" * 100)  # a record the first run was writing when it was killed
        result = run_qmhost("poll", *self.link, *options)
        self.assertSucceeded(result)
        self.assertEqual(stderr_lines(result),
                         [f"qmhost: {files['history']} ended in a partial record: cut its last 100 bytes"])
        self.assertEqual(len(read_records(files["history"])), 10)
        self.assertEqual(len(read_reports(files["report"])), 10)
        self.assertEqual(complete_lines(files["events"]), 2)  # the alarm raised at each start

    def test_a_rename_and_sighup_lose_no_line(self):
        history, report = self.session.path("history"), self.session.path("report")
        host = self.session.start_qmhost("poll", *self.link, "--interval", "0.05", "--cycles", "0",
                                         "--history", history, "--report", report)
        wait_until(lambda: complete_lines(report) >= 3, "reports before the rename")
        os.rename(history, history + ".1")
        os.rename(report, report + ".1")
        host.signal(signal.SIGHUP)
        wait_until(lambda: complete_lines(report) >= 3, "reports in a new file")
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait(), 0, host.stderr())
        # A cycle's report and record are committed together, into the same generation.
        for suffix in (".1", ""):
            self.assertEqual(len(read_records(history + suffix)), complete_lines(report + suffix), suffix)
        self.assertGreaterEqual(complete_lines(report + ".1"), 3)

    def test_two_outputs_naming_one_file_are_refused_before_anything_is_opened(self):
        shared = self.session.path("shared")
        existing, linked = self.session.path("existing"), self.session.path("linked")
        open(existing, "w").close()
        os.link(existing, linked)
        folder = os.path.dirname(shared)
        for options in (["--history", shared, "--report", shared],
                        ["--history", "shared", "--report", "./shared"],
                        ["--report", shared, "--alarms", os.path.join(os.path.dirname(shared), ".", "shared")],
                        ["--driver-log", shared, "--events", shared],
                        ["--events", existing, "--alarms", linked]):
            with self.subTest(options):
                result = run_qmhost("poll", *self.link, *options, cwd=folder)
                self.assertEqual(result.returncode, REFUSED, result.stderr)
                self.assertIn("name one file", result.stderr)
                self.assertFalse(os.path.exists(shared))
                self.assertEqual(os.path.getsize(existing), 0)


if __name__ == "__main__":
    main()
