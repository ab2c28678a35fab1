"""Runs that end early: messages, statuses, and sources left untouched."""
import os

from support import BANNER, NL, SEP, ToolTest, processing, writing

SAME_FILE = b"Error: Input file can't be the same as the output file" + NL + b"  ->"


class NoMatch(ToolTest):
    def test_no_file_matches(self):
        result = self.run_tool("*.htm")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" + self.here("*.HTM") +
                       b"\"" + NL, 1)

    def test_switch_in_the_place_of_the_file_spec(self):
        # The slash makes it a name in the root directory; no CGI notice yet.
        result = self.run_tool("/nocgi")
        self.assertRun(result, BANNER + b"Error: No files found matching \"/NOCGI\"" + NL, 1)

    def test_directory_is_never_a_source(self):
        os.mkdir(self.path("web"))
        result = self.run_tool("web")
        self.assertEqual(1, result.status)
        self.assertIn(b"Error: No files found", result.out)


class SameFile(ToolTest):
    def test_script_named_like_its_source_is_refused(self):
        self.write("a.htm", b"a")
        self.write("x.bat", b"@echo off\r\n")
        self.write("z.htm", b"z")
        result = self.run_tool("*.*")
        bat = self.here("x.bat")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) + writing(self.here("a.bat")) +
                       b"\x10 " + str(len(self.read("a.bat"))).encode() + b" bytes(s) written to \"" +
                       self.here("a.bat") + b"\"" + NL + processing(bat) + SAME_FILE + bat + NL, 1)
        self.assertEqual(b"@echo off\r\n", self.read("x.bat"))
        self.assertFalse(self.exists("z.bat"))

    def test_batfile_naming_the_source_in_another_form_is_refused(self):
        self.write("page.htm", b"<p>keep</p>")
        self.write("web/b.htm", b"<p>keep</p>")
        os.symlink("page.htm", self.path("link.htm"))
        cases = [
            ("page.htm", "/BATFILE:PAGE.HTM", b"PAGE.HTM"),
            ("page.htm", "/BATFILE:link.htm", b"LINK.HTM"),
            ("page.htm", "/BATFILE:." + SEP + "page.htm", ("." + SEP + "PAGE.HTM").encode()),
            ("web" + SEP + "b.htm", "/BATFILE:web" + SEP + "." + SEP + "b.htm",
             ("WEB" + SEP + "." + SEP + "B.HTM").encode()),
        ]
        for spec, switch, shown in cases:
            result = self.run_tool(spec, switch)
            self.assertEqual(1, result.status, switch)
            self.assertTrue(result.out.endswith(SAME_FILE + shown + NL), result.out)
        self.assertEqual(b"<p>keep</p>", self.read("page.htm"))
        self.assertEqual(b"<p>keep</p>", self.read("web/b.htm"))


class OpenFailures(ToolTest):
    def test_source_that_cannot_be_opened(self):
        # A name with a backslash is listed, but no path can reach it here.
        if SEP == "\\":
            self.skipTest("backslash separates on this platform")
        self.write("a\\b.htm", b"x")
        result = self.run_tool("*.htm")
        source = self.here("a\\b.htm")
        self.assertRun(result, BANNER + processing(source) + b"Error: Can't open source file " +
                       source + b" for input" + NL, 1)
        self.assertFalse(self.exists("b.bat"))

    def test_output_that_cannot_be_opened(self):
        self.write("page.htm", b"x")
        os.mkdir(self.path("page.bat"))
        result = self.run_tool("page.htm")
        bat = self.here("page.bat")
        self.assertRun(result, BANNER + processing(self.here("page.htm")) +
                       b"Error: Can't open batch file " + bat + b" for output" + NL, 1)

    def test_output_in_a_missing_directory(self):
        self.write("page.htm", b"x")
        result = self.run_tool("page.htm", "/BATFILE:none" + SEP + "x.bat")
        self.assertEqual(1, result.status)
        self.assertTrue(result.out.endswith(b"Error: Can't open batch file " +
                                            ("NONE" + SEP + "X.BAT").encode() + b" for output" + NL))

    def test_source_that_cannot_be_read(self):
        # Reading a process's memory from offset 0 fails; the file opens.
        if SEP == "\\" or not os.path.exists("/proc/self/mem"):
            self.skipTest("needs /proc/self/mem")
        result = self.run_tool("/proc/self/mem", "/BATFILE:out.bat", "/COMPILE:out.com", "/NCR")
        self.assertRun(result, BANNER + processing(b"/PROC/SELF/mem") + writing(b"OUT.BAT") +
                       b"Error: Can't read source file /PROC/SELF/mem" + NL, 1)
        self.assertEqual(b"@echo off\r\necho Content-type: text/html\r\necho.\r\necho.\r\n",
                         self.read("OUT.BAT"))
        self.assertFalse(self.exists("OUT.COM"))
