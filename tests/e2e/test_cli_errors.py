"""qmhost's errors: one clear line on standard error naming what is wrong,
and a non-zero exit status (2 for a command line it cannot run)."""

from e2e_support import EndToEndTest, free_tcp_port, main, run_qmhost, stderr_lines

USAGE = 2
FAILURE = 1


class CommandLineErrors(EndToEndTest):
    def assertFailsWith(self, args, status, *fragments):
        result = run_qmhost(*args)
        self.assertEqual(result.returncode, status, result.stderr)
        lines = stderr_lines(result)
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("qmhost: "), lines[0])
        for fragment in fragments:
            self.assertIn(fragment, lines[0])

    def test_command_line_mistakes(self):
        self.assertFailsWith([], USAGE, "no command")
        self.assertFailsWith(["fetch"], USAGE, "unknown command \"fetch\"")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--colour", "red"], USAGE, "unknown option --colour")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1"], USAGE, "HOST:PORT")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--cycles"], USAGE, "--cycles needs a value")
        self.assertFailsWith(["poll", "--rtu", "/dev/null", "--parity", "X"], USAGE, "--parity")
        self.assertFailsWith(["poll", "--rtu", "/dev/null", "--devices", "2"], USAGE, "--devices needs --tcp")
        self.assertFailsWith(["control", "--tcp", "127.0.0.1:502"], USAGE, "command code")
        self.assertFailsWith(["control", "--tcp", "127.0.0.1:502", "106", "--word", "70000"], USAGE, "--word")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--word", "1"], USAGE, "unknown option --word")
        self.assertFailsWith(["set", "--tcp", "127.0.0.1:502", "temperature"], USAGE, "set needs")
        self.assertFailsWith(["set", "--tcp", "127.0.0.1:502", "pressure", "3"], USAGE, "temperature or humidity")
        self.assertFailsWith(["on", "--tcp", "127.0.0.1:502", "--force"], USAGE, "--force")
        self.assertFailsWith(["control", "--tcp", "127.0.0.1:502", "206", "--word", "704"], USAGE, "206")
        self.assertFailsWith(["points", "--format", "xml"], USAGE, "--format")
        self.assertFailsWith(["decode"], USAGE, "decode needs")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--points", "开关机", "--report", "-"], USAGE,
                             "--points")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--points", "开关机,,"], USAGE, "--points")
        self.assertFailsWith(["poll", "--rtu", "/dev/null", "--slave", "1,2,1"], USAGE, "--slave lists 1 twice")
        self.assertFailsWith(["poll", "--rtu", "/dev/null", "--slave", "0,1"], USAGE, "--slave must be 1 to 247")
        self.assertFailsWith(["on", "--rtu", "/dev/null", "--slave", "1,2"], USAGE, "one id")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--slave", "1,2", "--devices", "2"], USAGE,
                             "not both")
        self.assertFailsWith(["--tcp", "127.0.0.1:502", "poll"], USAGE,
                             "options go after the subcommand: qmhost poll --tcp ...")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--baud", "9600"], USAGE, "--baud is for an RTU line")
        self.assertFailsWith(["points", "--members"], USAGE, "--members is for --format csv")
        self.assertFailsWith(["scan", "--tcp", "127.0.0.1:502"], USAGE, "--rtu DEVICE")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--points", "回风温度"], USAGE,
                             "did you mean 1#回风温度")

    def test_raw_commands_are_checked_as_set_is_before_anything_is_sent(self):
        # Nothing listens on this port: a command that reached the link would fail with 1.
        link = ["--tcp", f"127.0.0.1:{free_tcp_port()}"]
        temperature = '{"signal_id":"150800310010","SetValue":%s}'
        for command, fragment in [
                (["106", "--word", "99"], "outside 15 to 35 °C"),
                (["110", "--word", "95"], "outside 20 to 80 %RH"),
                (["106", "--word", "6554", "--force"], "outside 0 to 6553"),
                (["310", "--text", temperature % '"abc"'], 'whole number (the unit takes whole °C), not "abc"'),
                (["310", "--text", temperature % '"-5"'], "-5 °C is outside"),
                (["310", "--text", temperature % '"99"'], "99 °C is outside"),
                (["310", "--text", temperature % "24.5"], "whole number"),
                (["310", "--text", '{"signal_id":"150800340010","SetValue":"95"}'], "95 %RH is outside"),
                (["999"], "not in the table of command codes"),
                (["801"], "not in the table of command codes")]:
            with self.subTest(command=command):
                self.assertFailsWith(["control", *link, *command], USAGE, fragment)

    def test_a_missing_link(self):
        self.assertFailsWith(["poll"], USAGE, "no link")
        config = self.session.write_json("device.json", {"appSetting": {"b_mode": 1}})
        self.assertFailsWith(["control", "--config", config, "100"], USAGE, "no link")

    def test_a_link_that_cannot_be_opened_is_named(self):
        port = free_tcp_port()
        self.assertFailsWith(["poll", "--tcp", f"127.0.0.1:{port}"], FAILURE, f"127.0.0.1:{port}", "refused")
        device = self.session.path("no-such-tty")
        self.assertFailsWith(["control", "--rtu", device, "100"], FAILURE, device)

    def test_a_plugin_that_cannot_be_loaded_gives_the_loaders_reason(self):
        missing = self.session.path("missing.so")
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--plugin", missing], FAILURE, missing,
                             "No such file")
        not_a_library = self.session.write_json("text.so", {"not": "a library"})
        self.assertFailsWith(["poll", "--tcp", "127.0.0.1:502", "--plugin", not_a_library], FAILURE,
                             not_a_library)

    def test_a_config_that_is_not_json_gives_the_parse_error(self):
        config = self.session.path("broken.json")
        with open(config, "w", encoding="utf-8") as f:
            f.write('{"link": {"type": "tcp",\n')
        self.assertFailsWith(["poll", "--config", config], USAGE, config, "is not JSON", "Line 2")
        self.assertFailsWith(["poll", "--config", self.session.path("absent.json")], USAGE, "cannot read config")
        bad_link = self.session.write_json("bad-link.json", {"link": {"type": "udp"}})
        self.assertFailsWith(["poll", "--config", bad_link], USAGE, "link.type")
        bus = self.session.write_json("bus.json", {"link": {"type": "rtu", "device": "/dev/null", "slaves": [1, 2]}})
        self.assertFailsWith(["off", "--config", bus], USAGE, "several units", "--slave")
        bad_bus = self.session.write_json("bad-bus.json", {"link": {"type": "rtu", "device": "/dev/null",
                                                                     "slaves": [1, 300]}})
        self.assertFailsWith(["poll", "--config", bad_bus], USAGE, "link.slaves[1]")


class HelpAndVersion(EndToEndTest):
    def test_version_names_the_program_and_a_release(self):
        result = run_qmhost("--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^qmhost \d+\.\d+\.\d+\n$")

    def test_a_subcommands_help_is_its_own(self):
        # (arguments, in its help, not in its help)
        cases = [
            (["poll", "--help"], ["qmhost poll LINK", "--cycles", "--tcp HOST:PORT"], ["--word", "qmhost control"]),
            (["poll", "--tcp", "127.0.0.1:502", "-h"], ["--interval"], ["--text"]),
            (["control", "--help"], ["qmhost control LINK CODE", "--word", "control result"],
             ["--cycles", "qmhost poll"]),
            (["--help"], ["qmhost poll LINK", "qmhost control LINK", "qmhost demo"], []),
        ]
        for args, present, absent in cases:
            with self.subTest(args=args):
                result = run_qmhost(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "")
                for text in present:
                    self.assertIn(text, result.stdout)
                for text in absent:
                    self.assertNotIn(text, result.stdout)


if __name__ == "__main__":
    main()
