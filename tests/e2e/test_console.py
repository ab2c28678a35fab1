"""Colours on a terminal, and nothing but text elsewhere."""
import os
import pty
import subprocess

from support import BANNER_TEXT, RUNNER, EXE, WINDOWS, ToolTest

NORMAL = b"\x1b[0m"
BANNER_COLOURS = b"\x1b[0;97;44m"
CLEAR = b"\x1b[H\x1b[2J\x1b[3J"


class Terminal(ToolTest):
    def setUp(self):
        if WINDOWS or RUNNER:
            self.skipTest("ANSI colours belong to the POSIX build")
        super().setUp()

    def run_on_terminal(self, *args, **env):
        controller, terminal = pty.openpty()
        environment = dict(os.environ, TERM="xterm")
        environment.pop("NO_COLOR", None)
        environment.update(env)
        process = subprocess.Popen([EXE] + list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                                   stdout=terminal, stderr=terminal, env=environment)
        os.close(terminal)
        out = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(controller)
        return process.wait(), out.replace(b"\r\n", b"\n")

    def test_banner_is_coloured_and_help_clears_the_screen(self):
        self.write("x.htm", b"x")
        status, out = self.run_on_terminal("x.htm")
        self.assertEqual(0, status)
        banner = (b" " * 15 + BANNER_TEXT).ljust(79)
        self.assertTrue(out.startswith(NORMAL + BANNER_COLOURS + banner + NORMAL + b"\n\n"), out)
        status, out = self.run_on_terminal("/?")
        self.assertEqual(0, status)
        self.assertTrue(out.startswith(NORMAL + CLEAR + BANNER_COLOURS + banner + NORMAL + b"\n"))

    def test_help_options_leave_the_terminal_as_it_is(self):
        for option in ("--help", "-h"):
            status, out = self.run_on_terminal(option)
            self.assertEqual(0, status)
            self.assertTrue(out.startswith(NORMAL + BANNER_COLOURS), out[:40])
            self.assertNotIn(CLEAR, out)
            self.assertIn(b"\n-q, --quiet ", out)

    def test_control_bytes_of_names_show_as_question_marks_on_a_terminal(self):
        name = "a\x1b]0;title\x07\x7f\tb.htm"
        self.write(name, b"x")
        shown = "a?]0;title???b".encode()
        status, out = self.run_on_terminal("*.htm", NO_COLOR="1")
        self.assertEqual(0, status)
        self.assertIn(b"\x10 Processing \"" + self.here(shown.decode() + ".htm") + b"\"...", out)
        self.assertIn(b"\x10 Writing BAT file " + self.here(shown.decode() + ".bat"), out)
        self.assertNotIn(b"\x07", out)
        # The script's own name, and redirected output, keep every byte.
        self.assertTrue(self.exists(name[:-4] + ".bat"))
        redirected = self.run_tool("*.htm")
        self.assertIn(self.here(name), redirected.out)

    def test_c1_controls_of_names_show_as_question_marks_on_a_terminal(self):
        # A raw CSI, a CSI in UTF-8, and letters whose UTF-8 holds such bytes.
        names = [b"a\x9b2Jb", b"c\xc2\x9b2Jd", "\u0101\u00e9".encode(), b"\xe9t\xe9"]
        for name in names:
            with open(os.path.join(self.dir.encode(), name + b".htm"), "wb") as f:
                f.write(b"x")
        status, out = self.run_on_terminal("*.htm", NO_COLOR="1")
        self.assertEqual(0, status, out)
        for shown in (b"a?2Jb.bat", b"c?2Jd.bat", "\u0101\u00e9.bat".encode(), b"\xe9t\xe9.bat"):
            self.assertIn(shown, out)
        self.assertNotIn(b"\x9b", out)

    def test_no_colours_when_asked_not_to(self):
        for env in ({"NO_COLOR": "1"}, {"TERM": "dumb"}):
            status, out = self.run_on_terminal("/?", **env)
            self.assertEqual(0, status)
            self.assertNotIn(b"\x1b", out)
