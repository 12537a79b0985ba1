"""qmhost and qmsim take a line alike: the same link option spellings and the
same device JSON ("link", "slaves") are accepted, and the same mistakes are
refused with the same one-line message and exit status 2, before anything is
opened. Slave id 0, the broadcast address, is refused by every qmhost
command with nothing sent."""

import os
import re
import socket
import subprocess

from e2e_support import QMHOST, QMSIM, RUN_TIMEOUT, EndToEndTest, main

USAGE = 2
FAILURE = 1
DEV = "/nonexistent/qm-tty"  # accepted lines fail to open here: exit status 1, the line named

# (options, the line as both programs then name it); {port} is a loopback
# port held by the test, so neither program gets further than trying it.
ACCEPTED = [
    (["--rtu", DEV, "--baud", "19200"], f"rtu {DEV} 19200 8N1"),
    ([f"--rtu={DEV}", "--baud=19200", "--parity=E"], f"rtu {DEV} 19200 8E1"),
    (["--rtu", DEV, "--parity", "even"], f"rtu {DEV} 9600 8E1"),
    (["--rtu", DEV, "--parity", "NONE"], f"rtu {DEV} 9600 8N1"),
    (["--rtu", DEV, "--parity=Odd"], f"rtu {DEV} 9600 8O1"),
    (["--rtu", DEV, "--parity", "o", "--data-bits=7", "--stop-bits", "2"], f"rtu {DEV} 9600 7O2"),
    (["--rtu", DEV, "--slave=247", "--baud", "115200"], f"rtu {DEV} 115200 8N1"),
    (["--tcp", "127.0.0.1:{port}"], None),
    (["--tcp=[::1]:{port6}"], None),
]

# (options, the whole message both give, without the program's name)
REFUSED = [
    (["--rtu", DEV, "--baud", "9601"], "--baud must be one of the line speeds 110, 300, 600, 1200, 2400, "
     "4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, "
     "1500000, 2500000, 3000000, 3500000, 4000000, not 9601"),
    (["--rtu", DEV, "--baud=2000000"], "--baud must be one of the line speeds"),
    (["--rtu", DEV, "--baud", "-9600"], "--baud must be one of the line speeds"),
    (["--rtu", DEV, "--baud", "fast"], '--baud needs an integer, not "fast"'),
    (["--rtu", DEV, "--baud"], "--baud needs a value"),
    (["--rtu", DEV, "--parity", "X"], '--parity must be N, E or O (or none, even, odd), not "X"'),
    (["--rtu", DEV, "--parity=evens"], '--parity must be N, E or O (or none, even, odd), not "evens"'),
    (["--rtu", DEV, "--data-bits", "9"], "--data-bits must be 5 to 8, not 9"),
    (["--rtu", DEV, "--stop-bits=3"], "--stop-bits must be 1 or 2, not 3"),
    (["--rtu", DEV, "--slave", "0"], "--slave must be 1 to 247, not 0, the broadcast address"),
    (["--rtu", DEV, "--slave=248"], "--slave must be 1 to 247, not 248"),
    (["--rtu", DEV, "--slave", "2,2"], "--slave lists 2 twice"),
    (["--rtu", DEV, "--slave", "1,,2"], '--slave needs an integer, not ""'),
    (["--rtu="], "--rtu needs a serial device path"),
    (["--tcp", "127.0.0.1"], '--tcp needs HOST:PORT (an IPv6 host in brackets, [::1]:PORT), not "127.0.0.1"'),
    (["--tcp", "::1:502"], '--tcp needs HOST:PORT (an IPv6 host in brackets, [::1]:PORT), not "::1:502"'),
    (["--tcp=127.0.0.1:x"], '--tcp port needs an integer, not "x"'),
    (["--tcp", "127.0.0.1:502", "--rtu", DEV], "give --tcp or --rtu, not both"),
    (["--slave", "2"], 'no link: give --tcp HOST:PORT or --rtu DEVICE, or a "link" in --config'),
]

# Device JSON (--config) as text, and the message after "config FILE"
# (None: accepted; the line is then named as given).
TCP = '"type": "tcp", "host": "127.0.0.1"'
CONFIGS = [
    ('{"link": {"type": "rtu", "device": "%s", "parity": "even", "baud": 19200}, "appSetting": {"b_mode": 1}}'
     % DEV, None),
    ('{"link": {%s, "prot": 21502}}' % TCP,
     ": link.prot: unknown member (type, host, port, device, baud, parity, data_bits, stop_bits, slave, slaves, "
     "timeout_ms, guard_ms)"),
    ('{"link": {%s, "port": 1502, "port": 502}}' % TCP, " is not JSON: Line 1, Column 61: Duplicate key: 'port'"),
    ('{"appSetting": {"b_mode": 1, "b_mode": 2}, "link": {%s}}' % TCP, " is not JSON: Line 1, Column 30: Duplicate key: 'b_mode'"),
    ('{"link": {%s}} {}' % TCP, " is not JSON: Line 1, Column 48: Extra non-whitespace after JSON value."),
    ('{"link": {%s, "port": 1.5e3}}' % TCP, ": link.port: must be an integer, not 1500.0"),
    ('{"link": {%s, "port": 0}}' % TCP, ": link.port: must be 1 to 65535, not 0"),
    ('{"link": {"type": "rtu", "device": "%s", "baud": 0}}' % DEV, ": link.baud: must be one of the line speeds"),
    ('{"link": {"type": "rtu", "device": "%s", "baud": -9600}}' % DEV, ": link.baud: must be one of the line speeds"),
    ('{"link": {"type": "rtu", "device": "%s", "baud": "9600"}}' % DEV, ': link.baud: must be an integer, not "9600"'),
    ('{"link": {"type": "rtu", "device": "%s", "parity": "X"}}' % DEV,
     ': link.parity: must be N, E or O (or none, even, odd), not "X"'),
    ('{"link": {"type": "rtu", "device": "%s", "data_bits": 4}}' % DEV, ": link.data_bits: must be 5 to 8, not 4"),
    ('{"link": {"type": "rtu", "device": "%s", "stop_bits": 0}}' % DEV, ": link.stop_bits: must be 1 or 2, not 0"),
    ('{"link": {"type": "rtu"}}', ": link.device: an rtu link needs its serial device"),
    ('{"link": {%s, "slave": 0}}' % TCP, ": link.slave: must be 1 to 247, not 0, the broadcast address"),
    ('{"link": {"type": "rtu", "device": "%s", "slaves": [1, 300]}}' % DEV, ": link.slaves[1]: must be 1 to 247"),
    ('{"link": {"type": "rtu", "device": "%s", "slaves": [1, 1]}}' % DEV, ": link.slaves: lists 1 twice"),
    ('{"link": {"type": "rtu", "device": "%s", "slaves": []}}' % DEV, ": link.slaves: must be a list of slave ids"),
    ('{"link": {%s, "slave": 2, "slaves": [1, 2]}}' % TCP, ': link.slaves: give "slave" or "slaves", not both'),
    ('{"link": {%s, "timeout_ms": 0}}' % TCP, ": link.timeout_ms: must be 1 to 10000, not 0"),
    ('{"link": {%s, "guard_ms": -1}}' % TCP, ": link.guard_ms: must be 0 to 10000, not -1"),
    ('{"link": [1]}', ": link: must be an object, not [1]"),
    ('[]', " is not a JSON object"),
    ('[' * 1100 + ']' * 1100, " is not JSON: nested deeper than 1000 levels"),
    ('{"link": {%s}, "x": ' % TCP + '[' * 1100 + ']' * 1100 + '}', " is not JSON: nested deeper than 1000 levels"),
]


def message(program, result):
    """The program's one line on standard error, without its name and the
    pointer to --help."""
    lines = [line for line in result.stderr.splitlines() if line.startswith(program + ":")]
    if len(lines) != 1:
        raise AssertionError(f"{program}: not one line of its own: {result.stderr!r}")
    text = lines[0][len(program) + 2:]
    return re.sub(r" \(\w+ --help for usage\)$", "", text)


class LinkOptions(EndToEndTest):
    def setUp(self):
        super().setUp()
        # Held, never accepted: qmsim cannot listen there, qmhost's requests
        # go unanswered, and the queue shows whether anything connected.
        self.held = socket.socket()
        self.held.bind(("127.0.0.1", 0))
        self.held.listen(8)
        self.addCleanup(self.held.close)
        self.port = self.held.getsockname()[1]
        self.port6 = self.port
        try:
            held6 = socket.socket(socket.AF_INET6)
            held6.bind(("::1", 0))
            held6.listen(1)
            self.addCleanup(held6.close)
            self.port6 = held6.getsockname()[1]
        except OSError:
            pass  # no IPv6 loopback: neither program can use [::1] either

    def run_both(self, args):
        args = [a.format(port=self.port, port6=self.port6) for a in args]
        return {program: subprocess.run([path, *prefix, *args], capture_output=True, text=True,
                                        timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL)
                for program, path, prefix in (("qmhost", QMHOST, ["poll"]), ("qmsim", QMSIM, []))}

    def assertRefusedAlike(self, args, expected):
        results = self.run_both(args)
        messages = {}
        for program, result in results.items():
            self.assertEqual(result.returncode, USAGE, f"{program} {args}: {result.stderr}")
            self.assertEqual(result.stdout, "", f"{program} {args}")
            messages[program] = message(program, result)
            self.assertTrue(messages[program].startswith(expected), f"{program} {args}: {messages[program]}")
        self.assertEqual(messages["qmhost"], messages["qmsim"], args)

    def assertAcceptedAlike(self, args, line):
        for program, result in self.run_both(args).items():
            self.assertEqual(result.returncode, FAILURE, f"{program} {args}: {result.stderr}")
            self.assertNotIn("--help", result.stderr, f"{program} {args}")
            if line:
                self.assertIn(line, message(program, result), f"{program} {args}")

    def test_the_same_spellings_are_taken(self):
        for args, line in ACCEPTED:
            with self.subTest(args=args):
                self.assertAcceptedAlike(args, line)

    def test_the_same_mistakes_are_refused_in_the_same_words(self):
        for args, expected in REFUSED:
            with self.subTest(args=args):
                self.assertRefusedAlike(args, expected)

    def test_the_same_device_json_is_taken_and_refused_alike(self):
        for i, (text, expected) in enumerate(CONFIGS):
            path = self.session.path(f"device-{i}.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            with self.subTest(config=text[:80]):
                if expected is None:
                    self.assertAcceptedAlike(["--config", path], f"rtu {DEV} 19200 8E1")
                else:
                    self.assertRefusedAlike(["--config", path], f"config {path}{expected}")
        self.assertNothingConnected()

    def test_files_that_are_no_device_json_are_refused_before_reading(self):
        large = self.session.path("large.json")
        with open(large, "w", encoding="utf-8") as f:
            f.write('{"link": {"type": "tcp"}, "pad": "' + "x" * (1 << 20) + '"}')
        cases = [
            (self.session.path(""), " is not a regular file"),
            ("/dev/zero", " is not a regular file"),
            (large, " is larger than 1048576 bytes"),
            (self.session.path("absent.json"), ""),
        ]
        for path, expected in cases:
            with self.subTest(path=path):
                self.assertRefusedAlike(["--config", path], f"config {path}{expected}" if expected
                                        else f"cannot read config {path}: No such file")

    def test_a_member_nobody_reads_is_named_in_a_warning(self):
        path = self.session.path("typo.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write('{"link": {"type": "rtu", "device": "%s", "baud": 19200, "parity": "E"},'
                    ' "appSeting": {"b_mode": 2}, "thresholdSetting": {}}' % DEV)
        for program, result in self.run_both(["--config", path]).items():
            self.assertEqual(result.returncode, FAILURE, result.stderr)
            self.assertIn(f'{program}: warning: config {path}: member "appSeting" is read by neither the host '
                          "nor the driver", result.stderr.splitlines())
            self.assertNotIn("thresholdSetting", result.stderr)

    def test_slave_0_is_refused_by_every_command_with_nothing_sent(self):
        link = ["--tcp", f"127.0.0.1:{self.port}"]
        broadcast = self.session.path("broadcast.json")
        with open(broadcast, "w", encoding="utf-8") as f:
            f.write('{"link": {"type": "tcp", "port": %d, "slaves": [0, 1]}}' % self.port)
        commands = [["poll"], ["control", "100"], ["on"], ["off"], ["set", "temperature", "24"],
                    ["control", "206", "--word", "11", "--word", "250"]]
        for command in commands:
            for given, expected in ((link + ["--slave", "0"], "--slave must be 1 to 247, not 0"),
                                    (link + ["--slave=1,0"], "--slave must be 1 to 247, not 0"),
                                    (["--config", broadcast], f"config {broadcast}: link.slaves[0]: must be 1 to 247")):
                with self.subTest(command=command, given=given):
                    result = subprocess.run([QMHOST, command[0], *given, *command[1:]], capture_output=True,
                                            text=True, timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL)
                    self.assertEqual(result.returncode, USAGE, result.stderr)
                    self.assertIn(expected, message("qmhost", result))
                    self.assertNothingConnected()

    def assertNothingConnected(self):
        self.held.setblocking(False)
        try:
            connection, _ = self.held.accept()
        except BlockingIOError:
            return
        connection.close()
        self.fail("a program connected to the line it was to refuse")


if __name__ == "__main__":
    main()
