"""The manual page: clean under groff's and mandoc's warnings, fit for a
terminal, and describing every switch, option and environment variable that
the tool reads."""
import glob
import os
import re
import shutil
import subprocess
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MANUAL = os.path.join(ROOT, "doc", "quillfen.1")


def groff(*args):
    return subprocess.run(["groff", "-man"] + list(args) + [MANUAL], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


def rendered():
    result = groff("-Tutf8", "-P-c", "-P-b", "-P-u", "-P-o")
    if result.returncode != 0:
        raise AssertionError(result.stderr.decode(errors="replace"))
    return result.stdout.decode("utf-8")


class Manual(unittest.TestCase):
    def test_groff_reports_nothing(self):
        result = groff("-ww", "-z")
        self.assertEqual("", (result.stdout + result.stderr).decode(errors="replace"))
        self.assertEqual(0, result.returncode)

    def test_mandoc_reports_nothing(self):
        if shutil.which("mandoc") is None:
            self.skipTest("tool not found: mandoc")
        result = subprocess.run(["mandoc", "-Tlint", "-W", "warning", MANUAL],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual("", result.stdout.decode(errors="replace"))
        self.assertEqual(0, result.returncode)

    def test_renders_within_a_terminal_with_every_section(self):
        text = rendered()
        self.assertEqual([], [line for line in text.splitlines() if len(line) > 80])
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT",
                        "EXAMPLES", "LIMITS"):
            self.assertRegex(text, "(?m)^" + section + "$")

    def test_every_switch_of_the_tool_is_described(self):
        with open(os.path.join(ROOT, "src", "front", "switches.cc")) as f:
            source = f.read()
        switches = set(re.findall(r'"(/[A-Z?]+)"', source))
        self.assertTrue({"/BATFILE", "/COMPILE", "/T", "/W"} <= switches, switches)
        options = set(re.findall(r'\{"(-[-a-z]+)"', source)) | {"--"}
        self.assertTrue({"-q", "--keep-going", "--count-status"} <= options, options)
        switches |= options
        text = rendered()
        options = text[text.index("\nOPTIONS\n"):text.index("\nEXIT STATUS\n")]
        for switch in sorted(switches):
            # A tag line: the switch at the tag's indent, perhaps after another.
            tag = r"(?m)^ {7}(\S+, )?" + re.escape(switch) + "(?![A-Z])"
            self.assertRegex(options, tag, switch)

    def test_every_variable_the_tool_reads_is_described(self):
        variables = set()
        for source in glob.glob(os.path.join(ROOT, "src", "*", "*.cc")):
            with open(source) as f:
                variables |= set(re.findall(r'getenv\("(\w+)"\)', f.read()))
        self.assertTrue({"NO_COLOR", "TERM"} <= variables, variables)
        text = rendered()
        environment = text[text.index("\nENVIRONMENT\n"):text.index("\nEXAMPLES\n")]
        for variable in sorted(variables):
            self.assertRegex(environment, r"(?m)^ {7}" + variable + r"\b", variable)


if __name__ == "__main__":
    unittest.main()
