"""qmhost scan on a pseudo-terminal pair: the ids that answer at each speed,
within the stated bound, and a line another program holds refused (qmsim
locks its end as qmhost does)."""

import fcntl
import time

from e2e_support import QMSIM, EndToEndTest, main, run_qmhost, stderr_lines

TIMEOUT_MS = 50


class Scan(EndToEndTest):
    def test_lists_who_answers_at_each_speed_within_its_bound(self):
        unit_end, host_end = self.session.start_pty_pair()
        self.session.start_qmsim_rtu(unit_end, "--slave", "1,2", "--silent-slave", "2",
                                     state={"coils": {"276": 0}})
        scan = ["scan", "--rtu", host_end, "--baud", "9600", "--baud", "19200", "--slaves", "1-3",
                "--timeout-ms", str(TIMEOUT_MS)]
        started = time.monotonic()
        result = run_qmhost(*scan)
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines()[1:], [
            "slave 1 at 9600 baud: unit off", "slave 1 at 19200 baud: unit off", "2 answers from 3 ids at 2 speeds"])
        # 3 ids x 2 speeds x (timeout + as long a quiet line), and start-up.
        self.assertLess(elapsed, 3 * 2 * 2 * TIMEOUT_MS / 1000 + 1.0)

        silent = run_qmhost("scan", "--rtu", host_end, "--slaves", "2-3", "--timeout-ms", str(TIMEOUT_MS))
        self.assertEqual((silent.returncode, silent.stdout.splitlines()[-1]), (1, "0 answers from 2 ids at 1 speed"))

        second = self.session.start("second-qmsim", [QMSIM, "--rtu", unit_end])
        self.assertEqual(second.wait(), 1)
        self.assertIn(f"{unit_end} is in use by another program", second.stderr())

        with open(host_end, "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            busy = run_qmhost(*scan)
        self.assertEqual((busy.returncode, busy.stdout), (1, ""))
        self.assertIn(f"{host_end} is in use by another program", stderr_lines(busy)[0])


if __name__ == "__main__":
    main()
