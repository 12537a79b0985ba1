"""The manual pages: each renders without a groff warning, and says what
its program's --help says: every option of the help and of each
subcommand's help, and every subcommand in the synopsis.

usage (ctest): QMHOST=... QMSIM=... MAN_DIR=... test_man_pages.py"""

import os
import re
import subprocess
import unittest

PROGRAMS = {"qmhost": os.environ["QMHOST"], "qmsim": os.environ["QMSIM"]}
MAN_DIR = os.environ["MAN_DIR"]
OPTION = re.compile(r"--[a-z][a-z-]*")


def run(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=30,
                          env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})


def page(program):
    with open(os.path.join(MAN_DIR, program + ".1"), encoding="ascii") as f:
        return f.read()


def subcommands(help_text):
    return sorted(set(re.findall(r"^  qmhost ([a-z]+)", help_text, re.M)))


class ManPages(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                result = run(["groff", "-Tutf8", "-ww", "-man", "-z", os.path.join(MAN_DIR, program + ".1")])
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_pages_name_every_option_of_the_help(self):
        for program, path in PROGRAMS.items():
            help_text = run([path, "--help"]).stdout
            helps = [help_text] + [run([path, c, "--help"]).stdout for c in subcommands(help_text)]
            roff = page(program).replace("\\-", "-")
            for option in sorted({o for text in helps for o in OPTION.findall(text)}):
                with self.subTest(program=program, option=option):
                    self.assertRegex(roff, re.escape(option) + r"(?![a-z-])")

    def test_synopsis_has_every_subcommand(self):
        help_text = run([PROGRAMS["qmhost"], "--help"]).stdout
        roff = page("qmhost")
        synopsis = roff[roff.index(".SH SYNOPSIS"):roff.index(".SH DESCRIPTION")]
        self.assertTrue(subcommands(help_text))
        for command in subcommands(help_text):
            with self.subTest(command=command):
                self.assertIn("\\fBqmhost\\fR " + command, synopsis)


if __name__ == "__main__":
    unittest.main()
