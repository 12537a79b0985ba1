"""The README's shown examples are what the programs print: each block that
follows an `<!-- example: qmsim ARGS -->` comment starts with `$ COMMAND` and
shows its output; the command is run against a simulated unit started with
ARGS (on loopback TCP, or with a bare --rtu on a pseudo-terminal pair) and
its output compared with the block's, times masked. With `; stored N` after
ARGS the command reads a store: `qmhost serve --site site.json` polls the
unit (crac-1, its one line) into site.db until it holds N records, is
stopped, and the store keeps those N. With `; reload {MEMBERS}` the command
is `kill -HUP $(pidof qmhost)`: the serving agent's site file has MEMBERS
set in its line, it is sent SIGHUP, and its log lines about the site file
are what is shown."""

import glob
import json
import os
import re
import shlex
import signal
import sqlite3
import subprocess

from e2e_support import QMHOST, QMSIM, REPO, RUN_TIMEOUT, EndToEndTest, main, wait_until

README = os.path.join(REPO, "README.md")
MARKER = re.compile(r"^\s*<!-- example: qmsim(?P<unit>.*?)(; stored (?P<stored>\d+))?(; reload (?P<reload>\{.*\}))? -->\s*$")
RELOAD_COMMAND = "kill -HUP $(pidof qmhost)"
ISO_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d([+-]\d\d:\d\d|\.\d\d\dZ)?")
# A stored record's clock_synced is the machine's NTP state: after its local time.
CLOCK_SYNCED = re.compile(r"(?<=,TIME,)[01](?=,)")
SHOWN_TCP = "127.0.0.1:1502"
SHOWN_SERIAL = "/dev/ttyUSB0"
# At least the examples the README has today: losing a marker must not pass.
EXAMPLES_AT_LEAST = 11


def readme_examples():
    """(unit arguments, command, shown output lines) for each marked block."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().splitlines()
    examples = []
    for i, line in enumerate(lines):
        marker = MARKER.match(line)
        if not marker:
            continue
        start = next(k for k in range(i + 1, len(lines)) if lines[k].strip())
        indent = len(lines[start]) - len(lines[start].lstrip())
        block = []
        for text in lines[start:]:
            if not text.strip() or len(text) - len(text.lstrip()) < indent:
                break
            block.append(text[indent:].rstrip())
        if not block[0].startswith("$ "):
            raise AssertionError(f"README line {start + 1}: an example starts with `$ COMMAND`")
        reload = json.loads(marker.group("reload")) if marker.group("reload") else None
        examples.append((shlex.split(marker.group("unit")), block[0][2:], block[1:], int(marker.group("stored") or 0),
                         reload))
    return examples


def masked(lines):
    return [CLOCK_SYNCED.sub("CLOCK", ISO_TIME.sub("TIME", line)) for line in lines]


class ReadmeExamples(EndToEndTest):
    def test_each_shown_example_is_what_the_programs_print(self):
        examples = readme_examples()
        self.assertGreaterEqual(len(examples), EXAMPLES_AT_LEAST)
        self.assertTrue(any(e[4] for e in examples), "a reload example")
        for n, (unit, command, shown, stored, reload) in enumerate(examples):
            with self.subTest(command=command):
                self.assertEqual(masked(self.run_example(n, unit, command, stored, reload)), masked(shown))

    def serve_until_stored(self, n, port, count):
        """qmhost serve polling the unit into site.db until it holds `count` records."""
        self.session.write_json("site.json", self.site_file(port))
        store = self.session.path("site.db")
        for left in glob.glob(store + "*"):  # an earlier example's
            os.remove(left)
        serve = self.session.start(f"serve-{n}", [QMHOST, "serve", "--site", self.session.path("site.json")])

        def stored():
            serve.check_running()
            if not os.path.exists(store):
                return False
            try:
                with sqlite3.connect(f"file:{store}?mode=ro", uri=True) as c:
                    return c.execute("SELECT count(*) FROM record").fetchone()[0] >= count
            except sqlite3.OperationalError:  # made, its tables not yet
                return False
        wait_until(stored, f"{count} records stored", 20)
        return serve

    @staticmethod
    def site_file(port):
        return {"site": "room-1", "store": {"path": "site.db"},
                "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 500},
                           "interval_s": 0.2, "units": [{"slave": 1, "name": "crac-1"}]}]}

    def store_records(self, n, port, count):
        """site.json and its store site.db holding the unit's first `count` records."""
        serve = self.serve_until_stored(n, port, count)
        serve.signal(signal.SIGTERM)
        self.assertEqual(serve.wait(10), 0, serve.stderr())
        with sqlite3.connect(self.session.path("site.db")) as c:
            c.execute("DELETE FROM record WHERE seq > ?", (count,))
        c.close()

    def reloaded_log(self, n, port, members):
        """What a serving agent logs of its site file after SIGHUP, with
        `members` set in its line."""
        serve = self.serve_until_stored(n, port, 1)
        edited = self.site_file(port)
        edited["lines"][0].update(members)
        self.session.write_json("site.json", edited)
        serve.signal(signal.SIGHUP)
        serve.wait_for_output("qmhost: site file ", stream="stderr")
        serve.signal(signal.SIGTERM)
        self.assertEqual(serve.wait(10), 0, serve.stderr())
        said = serve.stderr().replace(self.session.path(""), "")  # the file as the README names it
        return [line for line in said.splitlines() if line.startswith("qmhost: site file ")]

    def run_example(self, n, unit, command, stored=0, reload=None):
        """The command's output as the README would show it."""
        unit = [os.path.join(REPO, a) if os.path.exists(os.path.join(REPO, a)) else a for a in unit]
        if "--rtu" in unit:
            unit_end, host_end = self.session.start_pty_pair(name=f"socat-{n}")
            unit.insert(unit.index("--rtu") + 1, unit_end)
            self.session.start(f"qmsim-{n}", [QMSIM, *unit]).wait_for_output("qmsim: serving")
            shown, actual = SHOWN_SERIAL, host_end
        else:
            _, port = self.session.start_qmsim(*unit, name=f"qmsim-{n}")
            shown, actual = SHOWN_TCP, f"127.0.0.1:{port}"
        if reload is not None:
            self.assertEqual(command, RELOAD_COMMAND)
            return self.reloaded_log(n, int(actual.rsplit(":", 1)[1]), reload)
        if stored:
            self.store_records(n, int(actual.rsplit(":", 1)[1]), stored)
        argv = shlex.split(command.replace(shown, actual))
        if "--site" in argv and os.path.exists(os.path.join(REPO, argv[argv.index("--site") + 1])):
            argv[argv.index("--site") + 1] = self.site_copy(argv[argv.index("--site") + 1], shown, actual)
        stderr = subprocess.DEVNULL
        if argv[-1] in ("2>/dev/null", "2>&1"):
            stderr = subprocess.STDOUT if argv.pop() == "2>&1" else subprocess.DEVNULL
        self.assertEqual(argv[0], "build/qmhost", command)
        result = subprocess.run([QMHOST, *argv[1:]], stdout=subprocess.PIPE, stderr=stderr, text=True,
                                timeout=RUN_TIMEOUT, cwd=self.session.path(""), stdin=subprocess.DEVNULL)
        return [line.rstrip() for line in result.stdout.replace(actual, shown).splitlines()]

    def site_copy(self, site_file, shown, actual):
        """A site file of the repository, its unit's port the simulated one's,
        beside the session's store: named as the README names it."""
        with open(os.path.join(REPO, site_file), encoding="utf-8") as f:
            text = f.read()
        port = actual.rsplit(":", 1)[-1]
        name = os.path.basename(site_file)
        with open(self.session.path(name), "w", encoding="utf-8") as f:
            f.write(text.replace(f'"port": {shown.rsplit(":", 1)[-1]}', f'"port": {port}'))
        return name


if __name__ == "__main__":
    main()
