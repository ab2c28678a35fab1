"""tests/run_suite.py, the runner of the Python suites, against small suites
of its own: the status that ctest reads from it in each case."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUNNER = os.path.join(ROOT, "tests", "run_suite.py")

SUITE = """import unittest
class Suite(unittest.TestCase):
%s
"""
PASSES = "    def test_passes(self): pass"
FAILS = "    def test_fails(self): self.fail('no')"
NEEDS_TOOL = "    def test_needs_a_tool(self): self.skipTest('tool not found: frob')"
OTHER_SKIP = "    def test_elsewhere(self): self.skipTest('belongs to the other platform')"
CLASS_NEEDS_TOOL = ("    @classmethod\n    def setUpClass(cls):\n"
                    "        raise unittest.SkipTest('tool not found: frob')\n" + PASSES)
BROKEN = "    def test_passes(self): pass\nimport no_such_module"


class RunSuite(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillfen-run-suite-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_suite(self, *args, **env):
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("QUILLFEN_NO_SKIPS", "QUILLFEN_RUNNER")}
        environment.update(env)
        return subprocess.run([sys.executable, RUNNER] + list(args), cwd=self.dir,
                              env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)

    def test_status_of_each_outcome(self):
        for name, body, status, no_skips_status in (
                ("passes", PASSES, 0, 0),
                ("skips for another reason", PASSES + "\n" + OTHER_SKIP, 0, 0),
                ("a test lacks a tool", PASSES + "\n" + NEEDS_TOOL, 77, 1),
                ("the suite lacks a tool", CLASS_NEEDS_TOOL, 77, 1),
                ("fails where a tool is missing too", FAILS + "\n" + NEEDS_TOOL, 1, 1),
                ("holds no test", "    pass", 1, 1),
                ("does not import", BROKEN, 1, 1)):
            with self.subTest(name):
                with open(os.path.join(self.dir, "test_case.py"), "w") as f:
                    f.write(SUITE % body)
                result = self.run_suite("test_case")
                self.assertEqual(status, result.returncode, result.stdout.decode())
                result = self.run_suite("test_case", QUILLFEN_NO_SKIPS="1")
                self.assertEqual(no_skips_status, result.returncode, result.stdout.decode())
                if status == 77:
                    self.assertIn(b"frob not found", result.stdout)

    def test_a_missing_runner_or_emulator_is_a_missing_tool(self):
        with open(os.path.join(self.dir, "test_case.py"), "w") as f:
            f.write(SUITE % FAILS)
        for args, env in ((["test_case"], {"QUILLFEN_RUNNER": "no-such-frob --quiet"}),
                          (["--missing", "no-such-frob"], {})):
            with self.subTest(args[0]):
                result = self.run_suite(*args, **env)
                self.assertEqual(77, result.returncode, result.stdout.decode())
                self.assertIn(b"no-such-frob not found", result.stdout)
                self.assertEqual(1, self.run_suite(*args, QUILLFEN_NO_SKIPS="1", **env).returncode)
        self.assertEqual(1, self.run_suite("test_case", QUILLFEN_RUNNER="env").returncode)


if __name__ == "__main__":
    unittest.main()
