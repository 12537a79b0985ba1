"""qmhost demo: the simulated unit polled, the return-air setpoint changed
and confirmed, an alarm raised, all without hardware or arguments."""

import re

from e2e_support import EndToEndTest, main, run_qmhost, stderr_lines

# The simulated unit's return-air setpoint is 24.0 °C; the demo raises it by one degree.
NEW_SETPOINT = "25.0 °C"
ALARM = "回风高温告警"


class Demo(EndToEndTest):
    def test_the_demo_shows_the_main_job(self):
        result = run_qmhost("demo")
        self.assertSucceeded(result)
        out = result.stdout
        iso_time = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d"
        self.assertEqual(len(re.findall(rf"^{iso_time}  unit ", out, re.MULTILINE)), 5, out)
        before, confirmed, after = out.partition("control result: 1\n")
        self.assertTrue(confirmed, out)
        self.assertNotIn(f"setpoints {NEW_SETPOINT}", before)
        self.assertIn(f"setpoints {NEW_SETPOINT}", after)
        self.assertIn(f"alarm raised: {ALARM}", after)
        self.assertEqual(stderr_lines(result), [])


if __name__ == "__main__":
    main()
