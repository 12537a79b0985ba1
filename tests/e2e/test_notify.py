"""The notification command run by qmhost serve: an alarm raised on a qmsim
unit runs it once with the event in its environment and a line on its
standard input, and once only across a restart of the agent that cuts the
first run short. Failures, hangs and flaps: tests/notify_test.cpp."""

import json
import os
import signal
import time

from e2e_support import RETURN_AIR_HIGH, EndToEndTest, main, wait_until

# argv: the file a finished run appends its block to, the file each start is
# counted in, and seconds the run takes.
SCRIPT = """#!/bin/sh
echo start >> "$2"
sleep "$3"
text=$(cat)
{ echo "--"; env | grep '^QM_' | sort; echo "TEXT=$text"; } >> "$1"
"""


def read_blocks(path):
    """The blocks of the runs that finished, each as a dict of NAME: value."""
    if not os.path.exists(path):
        return []
    blocks = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line == "--":
                blocks.append({})
            elif blocks and "=" in line:
                name, value = line.split("=", 1)
                blocks[-1][name] = value
    return [b for b in blocks if "TEXT" in b]


class NotifyCommand(EndToEndTest):
    def setUp(self):
        super().setUp()
        _, port = self.session.start_qmsim(state={"coils": {str(RETURN_AIR_HIGH[0]): 1}})
        self.script = self.session.path("notify.sh")
        with open(self.script, "w", encoding="ascii") as f:
            f.write(SCRIPT)
        os.chmod(self.script, 0o755)
        self.told = self.session.path("told")
        self.starts = self.session.path("starts")
        self.port = port
        self.runs = 0

    def start_agent(self, seconds):
        site = {"site": "room-1", "store": {"path": "store.db"},
                "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": self.port, "timeout_ms": 500},
                           "interval_s": 0.2, "units": [{"slave": 1, "name": "crac-1"}]}],
                "notify": {"command": [self.script, self.told, self.starts, str(seconds)],
                           "events": ["alarm_raised"], "timeout_s": 10, "retry_s": 0.2}}
        self.runs += 1
        return self.session.start_qmhost("serve", "--site", self.session.write_json("site.json", site),
                                         name=f"serve-{self.runs}")

    def started(self):
        if not os.path.exists(self.starts):
            return 0
        with open(self.starts, encoding="ascii") as f:
            return len(f.read().split())

    def stop(self, agent):
        agent.signal(signal.SIGTERM)
        self.assertEqual(agent.wait(timeout=10), 0, agent.stderr())

    def test_an_alarm_runs_the_command_once_across_a_restart_in_the_middle(self):
        first = self.start_agent(3)
        wait_until(lambda: first.check_running() or self.started() == 1, "the command started", timeout=15)
        began = time.monotonic()
        self.stop(first)  # its 2 s for the command run out: killed, not marked
        self.assertLess(time.monotonic() - began, 5, "the stop waited for the command beyond its grace")
        self.assertEqual(read_blocks(self.told), [])

        second = self.start_agent(0.1)
        wait_until(lambda: second.check_running() or read_blocks(self.told), "the command told the alarm", timeout=15)
        self.stop(second)
        third = self.start_agent(0.1)
        time.sleep(1.5)  # cycles polled with the alarm still active
        self.stop(third)

        (block,) = read_blocks(self.told)
        self.assertEqual(self.started(), 2)
        self.assertEqual({k: block[k] for k in ("QM_SITE", "QM_UNIT", "QM_EVENT", "QM_ALARM_POSITION", "QM_ALARM_NAME",
                                                "QM_ALARM_CODE")},
                         {"QM_SITE": "room-1", "QM_UNIT": "crac-1", "QM_EVENT": "alarm_raised",
                          "QM_ALARM_POSITION": str(RETURN_AIR_HIGH[0]), "QM_ALARM_NAME": RETURN_AIR_HIGH[1],
                          "QM_ALARM_CODE": RETURN_AIR_HIGH[2]})
        self.assertRegex(block["TEXT"], rf"^crac-1: {RETURN_AIR_HIGH[1]} raised \(level \d\) at "
                                        r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(block["QM_TIME"], block["TEXT"][-20:])
        self.assertEqual(json.loads(block["QM_DETAIL"])["position"], RETURN_AIR_HIGH[0])


if __name__ == "__main__":
    main()
