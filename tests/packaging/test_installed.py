"""The installed programs: `cmake --install` into a folder, the folder then
moved elsewhere, and the installed qmhost run from there with an empty
environment from another folder: it must find its host library and the
plug-in relative to itself, not in the build tree. The installed bash
completion offers subcommands, options and report members; the README and
the benchmarks are installed where --help and the manual page say, the
alerting rules where the README says.

usage (ctest): BUILD_DIR=... test_installed.py"""

import os
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["BUILD_DIR"]
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUN_TIMEOUT = 60


class InstalledPrograms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qm-install-")
        staged = os.path.join(cls.work, "staged")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", staged], check=True,
                       stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
        # Moved after installing: nothing may point at the folder installed into.
        cls.prefix = os.path.join(cls.work, "moved")
        os.rename(staged, cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def run_installed(self, *args):
        return subprocess.run([os.path.join(self.prefix, "bin", "qmhost"), *args], cwd="/", env={},
                              capture_output=True, text=True, timeout=RUN_TIMEOUT)

    def test_runs_with_nothing_of_the_build_tree(self):
        for program in ("qmhost", "qmsim"):
            dynamic = subprocess.run(["readelf", "-d", os.path.join(self.prefix, "bin", program)],
                                     capture_output=True, text=True, check=True).stdout
            self.assertNotIn(os.path.realpath(BUILD_DIR), dynamic, program)
        version = self.run_installed("--version")
        self.assertEqual(version.returncode, 0, version.stderr)
        self.assertRegex(version.stdout, r"^qmhost \d+\.\d+\.\d+\n$")
        demo = self.run_installed("demo")
        self.assertEqual(demo.returncode, 0, demo.stderr)
        self.assertIn("control result: 1", demo.stdout)

    def test_the_documents_are_where_the_help_and_manual_page_point(self):
        documents = "/usr/share/doc/qmhost/"
        for command in ([], ["serve"]):
            with self.subTest(command=command):
                self.assertIn(documents + "README.md", self.run_installed(*command, "--help").stdout)
        page = os.path.join(self.prefix, "share", "man", "man1", "qmhost.1.gz")
        if os.path.exists(page):  # built where python3 is at hand (QM_BUILD_MAN)
            roff = subprocess.run(["gzip", "-dc", page], capture_output=True, text=True, check=True).stdout
            self.assertIn(documents + "README.md", roff)
        # The package's /usr is this installation's prefix; the README names where the rules go.
        for installed_at, source in (("share/doc/qmhost/README.md", "README.md"),
                                     ("share/doc/qmhost/BENCHMARKS.md", "BENCHMARKS.md"),
                                     ("share/qmhost/prometheus/qmhost-rules.yml",
                                      "packaging/prometheus/qmhost-rules.yml")):
            with self.subTest(installed_at):
                with open(os.path.join(self.prefix, installed_at), "rb") as installed, \
                        open(os.path.join(SOURCE_DIR, source), "rb") as original:
                    self.assertEqual(installed.read(), original.read())
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as readme:
            self.assertIn("/usr/share/qmhost/prometheus/qmhost-rules.yml", readme.read())

    def test_completion_offers_commands_options_and_members(self):
        script = os.path.join(self.prefix, "share", "bash-completion", "completions", "qmhost")
        qmhost = os.path.join(self.prefix, "bin", "qmhost")
        cases = [
            (["po"], {"poll", "points"}),
            (["poll", "--po"], {"--points"}),
            (["poll", "--points", "1#回风温"], {"1#回风温度"}),
            (["poll", "--points", "1#回风温度,回风湿"], {"1#回风温度,回风湿度"}),
            # A name with a blank and parentheses, quoted for the shell.
            (["poll", "--points", "2#压缩机相电流过流"], {"2#压缩机相电流过流", "2#压缩机相电流过流\\ \\(中值\\)"}),
            (["points", "--format", ""], {"text", "csv", "json"}),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                line = " ".join(f"'{w}'" for w in words)
                shell = (f"source '{script}'; COMP_WORDS=('{qmhost}' {line}); COMP_CWORD={len(words)}; "
                         "_qmhost; printf '%s\\n' \"${COMPREPLY[@]}\"")
                out = subprocess.run(["bash", "--norc", "-c", shell], capture_output=True, text=True,
                                     env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"},
                                     timeout=RUN_TIMEOUT, check=True).stdout
                self.assertTrue(expected <= set(out.split("\n")), out)


if __name__ == "__main__":
    unittest.main()
