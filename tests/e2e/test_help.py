"""The help screen, the version and the options."""
import os

from support import (BAD_COMMAND, BANNER, BANNER_TEXT, FAILED, HOME_URL, NL, WINDOWS, ToolTest, done,
                     typed)

HELP_TEXT = [
    b"",
    b"A line-based compiler which converts HTML files to Windows CGI files",
    b"Creates <filename>.bat - properly formatted for Win32 CGI use",
    b"Can also create a simple 16-bit COM executable binary",
    b"The original file is NOT changed during conversion",
    b"Output filetypes are specified automatically as *.BAT or *.COM",
    b"Wildcards are supported in the filename for multiple file processing",
    b"Directory recursion is NOT currently supported",
    b"Long BAT lines are forcibly wrapped at close tags around 255 chars",
    b"",
    b"Syntax - QUILLFEN filespec [/switches]",
    b"",
    b"Switches:",
    b"",
    b"/BATFILE:<filename> Specify output BAT filename",
    b"/COMPILE            Compile also to executable <filename>.COM file ",
    b"/COMPILE:<filename> Specify output COM filename (not with wildcards)",
    b"/NOCGI              Turn off CGI headers (plain text output) (/NCR)",
    b"/NOBLANK            Remove blank lines",
    b"/T=x                Expand tabs to 'x' spaces (0..20 - default=1)",
    b"",
    b"Website: " + HOME_URL,
]
HELP = (b" " * 15 + BANNER_TEXT).ljust(79) + NL + b"".join(line + NL for line in HELP_TEXT)
# -h and --help add the options and the switches that the screen leaves out.
OPTION_HELP = HELP + b"".join(line + NL for line in [
    b"",
    b"Usage - quillfen [option...] [--] filespec... [/switches]",
    b"",
    b"Options (short ones bundle: -qk is -q -k):",
    b"",
    b"-h, --help          Show this help",
    b"--version           Show the version",
    b"-q, --quiet         No banner and no progress messages",
    b"-k, --keep-going    Skip a page that fails and go on with the next",
    b"--full-stem         Name outputs after the whole name before its last dot",
    b"--entities          Write UTF-8 text outside scripts as &#x...; references",
    b"--plain-status      Exit status 0, 1 or 2 (a cut line fails the run)",
    b"--count-status      Exit status is the number of pages converted",
    b"--                  Every later argument is a filespec",
    b"/NOWRAP             One echo command per line, broken only for length",
    b"/W                  Keep lines past 8096 bytes whole",
    b"/?, /H              Show the help screen",
])


class Help(ToolTest):
    def test_help_requests_show_the_help_and_convert_nothing(self):
        self.write("x.htm", b"x")
        for args in ([], ["/?"], ["/h"], ["x.htm", "/T=5", "/H"], ["x.htm", "/?", "/BOGUS"],
                     ["--help"], ["-h"], ["x.htm", "--HELP"], ["x.htm", "y.htm", "-H"],
                     ["x.htm", "-h", "--version"], ["x.htm", "-kh"]):
            result = self.run_tool(*args)
            options = any(arg.startswith("-") for arg in args)
            self.assertEqual(OPTION_HELP if options else HELP, result.out, args)
            self.assertEqual(b"", result.err)
            self.assertEqual(0, result.status)
        self.assertFalse(self.exists("x.bat"))

    def test_help_has_its_documented_size(self):
        self.assertEqual(81 + 915 + 11 + len(HOME_URL), len(HELP.replace(NL, b"\r\n")))

    def test_version_unless_help_was_asked_first(self):
        self.write("x.htm", b"x")
        for args in (["--version"], ["x.htm", "--VERSION", "/?"], ["/NCR", "x.htm", "--version"]):
            self.assertRun(self.run_tool(*args), b"QUILLFEN 1.04" + NL, 0)
        self.assertFalse(self.exists("x.bat"))

    def test_unknown_switches_are_named_and_fail_the_run(self):
        # Arguments that only begin like a help request are no help request.
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        result = self.run_tool("*.htm", "/HELP", "/?x", "/nocgi")
        self.assertEqual(1, result.status)
        self.assertStarts(result, BANNER + b"Warning: Unknown switch /HELP ignored" + NL +
                          b"Warning: Unknown switch /?X ignored" + NL +
                          b"\x10 CGI headers are DISABLED and will not be generated" + NL)
        self.assertTrue(self.exists("a.bat") and self.exists("b.bat"))
        # The first argument is the file spec, and never an unknown switch.
        self.assertRun(self.run_tool("/bogus", "/NCR"),
                       BANNER + b"Error: No files found matching \"" + typed(b"/bogus") + b"\"" +
                       NL, 1)

    def test_unknown_options_stop_the_run_before_anything_is_read(self):
        # Named as typed, status 2 (1 under the count), with nothing read or
        # written, not even the banner.
        self.write("a.htm", b"a")
        for args, shown, status in ((["--dry-run", "a.htm"], b"--dry-run", BAD_COMMAND),
                                    (["a.htm", "-v", "-Q"], b"-v", BAD_COMMAND),
                                    (["a.htm", "--NoCgi", "--help"], b"--NoCgi", BAD_COMMAND),
                                    (["a.htm", "-qx"], b"-qx", BAD_COMMAND),
                                    (["a.htm", "-q-"], b"-q-", BAD_COMMAND),
                                    (["a.htm", "-"], b"-", BAD_COMMAND),
                                    (["--count-status", "a.htm", "-x"], b"-x", 1),
                                    (["a.htm", "-x", "--plain-status"], b"-x", 2)):
            self.assertRun(self.run_tool(*args), b"Error: Unknown option " + shown + NL +
                           b"  Try 'quillfen --help'" + NL, status)
        self.assertEqual(["a.htm"], os.listdir(self.dir))

    def test_short_options_bundle(self):
        self.write("a.htm", b"a\n")
        self.write("b.htm", b"z" * (8096 + 200000) + b"\n")
        self.write("c.htm", b"c\n")
        fatal = (b"Fatal loop error in fgetstr()" + NL + b"  a line of " + self.here("b.htm") +
                 b" runs past 208,096 bytes; /W keeps long lines" + NL)
        for bundle in ("-qk", "-KQ"):
            self.assertRun(self.run_tool(bundle, "*.htm", "/NCR"), fatal, FAILED)
            self.assertTrue(self.exists("a.bat") and self.exists("c.bat"))
            os.remove(self.path("c.bat"))

    def test_options_end_at_a_double_dash(self):
        # As "quillfen -- *" passes a page whose name looks like an option.
        self.write("--version.htm", b"v")
        self.write("-x.htm", b"x")
        result = self.run_tool("-q", "--", "--version.htm", "-x.htm")
        self.assertRun(result, b"", done(2))
        self.assertTrue(self.exists("--version.bat") and self.exists("-x.bat"))
        # A second "--" is a file spec, which matches nothing here.
        result = self.run_tool("-q", "--", "-x.htm", "--")
        self.assertRun(result, b"Error: No files found matching \"" + self.here("--") + b"\"" + NL,
                       FAILED)
        # With no file spec, options alone ask for the help screen.
        for args in (["-q"], ["--"], ["-k", "--full-stem", "--"]):
            self.assertRun(self.run_tool(*args), HELP, 0)
