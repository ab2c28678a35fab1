"""/COMPILE end to end: programs beside the scripts, refusals and warnings."""
import os

from support import (BANNER, FAILED, NL, SEP, WINDOWS, ToolTest, done, processing, reason, summary,
                     typed, writing, written)

SAME_FILE = b"Error: Input file can't be the same as the output file" + NL + b"  ->"
SAME_OUTPUT = b"Error: BAT and COM outputs can't be the same file" + NL + b"  ->"


def compiled(source, com, code_start):
    return (b"\x10 Compiled " + source + b" as a COM file Ok:" + NL + b"  -> " + com +
            b" (%d bytes)" % code_start + NL)


def image(lines, header=b""):
    """The COM program for `lines` without the CGI header."""
    text = b"\xe9\x00\x00" + header
    offsets = [3] if header else []
    for line in lines:
        offsets.append(len(text))
        text += line + b"\r\n$"
    text += b"$0a"
    code_start = len(text)
    code = b"".join(b"\xba" + (o + 0x100).to_bytes(2, "little") + b"\xb4\x09\xcd\x21"
                    for o in offsets)
    whole = text + code + b"\xb4\x0d\xcd\x21\xb8\x00\x4c\xcd\x21\xcd\x20"
    return whole[:1] + (code_start - 3).to_bytes(2, "little") + whole[3:], code_start


class Compile(ToolTest):
    def test_programs_beside_every_script(self):
        self.write("a.htm", b"Hello\nWorld")
        self.write("b.htm", b"<p>b</p>\n\n")
        result = self.run_tool("*.htm", "/compile", "/NOCGI")
        a_image, a_start = image([b"Hello", b"World"])
        b_image, b_start = image([b"<p>b</p>"])
        self.assertEqual(a_image, self.read("a.com"))
        self.assertEqual(b_image, self.read("b.com"))
        out = BANNER + b"\x10 CGI headers are DISABLED and will not be generated" + NL
        for name, start in (("a", a_start), ("b", b_start)):
            source, bat, com = (self.here(name + ext) for ext in (".htm", ".bat", ".com"))
            out += (processing(source) + writing(bat) + written(bat, len(self.read(name + ".bat"))) +
                    compiled(source, com, start))
        self.assertRun(result, out + summary(2), done(2))

    def test_named_program_for_the_first_source_only(self):
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        result = self.run_tool("*.htm", "/COMPILE:x.com", "/NOCGI")
        self.assertEqual(done(2), result.status)
        self.assertEqual(image([b"a"])[0], self.read("X.COM"))
        self.assertEqual(image([b"b"])[0], self.read("b.com"))
        self.assertFalse(self.exists("a.com"))

    def test_program_that_cannot_be_opened_turns_compiling_off(self):
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        os.mkdir(self.path("a.com"))
        result = self.run_tool("*.htm", "/COMPILE", "/NCR")
        a_bat, b_bat = self.here("a.bat"), self.here("b.bat")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) +
                       b"Error: Can't open COM file " + self.here("a.com") +
                       b" for output (/COMPILE turned OFF)" + NL + reason("is a directory") +
                       writing(a_bat) +
                       written(a_bat, len(self.read("a.bat"))) + processing(self.here("b.htm")) +
                       writing(b_bat) + written(b_bat, len(self.read("b.bat"))) + summary(2),
                       FAILED)
        self.assertFalse(self.exists("b.com"))

    def test_program_in_a_missing_directory_turns_compiling_off(self):
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        result = self.run_tool("*.htm", "/COMPILE:none" + SEP + "x.com", "/NCR")
        a_bat, b_bat = self.here("a.bat"), self.here("b.bat")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) +
                       b"Error: Can't open COM file " + typed("none" + SEP + "x.com").encode() +
                       b" for output (/COMPILE turned OFF)" + NL + reason("missing path") +
                       writing(a_bat) + written(a_bat, len(self.read("a.bat"))) +
                       processing(self.here("b.htm")) + writing(b_bat) +
                       written(b_bat, len(self.read("b.bat"))) + summary(2, 0, 0), FAILED)
        self.assertEqual(["a.bat", "a.htm", "b.bat", "b.htm"], sorted(os.listdir(self.dir)))

    def test_pages_past_the_com_limits_get_mz_programs(self):
        self.write("p.htm", b"".join(b"Price $%d\n" % i for i in range(1030)))
        self.write("q.htm", b"".join(b"%095d\n" % i for i in range(6000)))
        result = self.run_tool("?.htm", "/COMPILE", "/NCR")
        # Both programs are written, but one lost lines: a failure where the
        # status says only done or failed.
        self.assertEqual(2 if WINDOWS else 1, result.status)
        for name in ("p", "q"):
            program = self.read(name + ".com")
            self.assertEqual(b"MZ", program[:2])
            self.assertIn(compiled(self.here(name + ".htm"), self.here(name + ".com"),
                                   len(program)), result.out)
        # 512 KB of text hold 5242 lines of 95 bytes, each led by its length.
        self.assertNotIn(b"Warning: " + self.here("p.com"), result.errors)
        self.assertIn(b"Warning: " + self.here("q.com") + b" holds only the first 5242 of 6000 lines" +
                      NL, result.errors)


class Refusals(ToolTest):
    def test_program_may_not_overwrite_the_source(self):
        self.write("page.htm", b"<p>keep</p>")
        os.symlink("page.htm", self.path("link.htm"))
        for switch, shown in (("/COMPILE:page.htm", typed(b"page.htm")),
                              ("/COMPILE:link.htm", typed(b"link.htm"))):
            result = self.run_tool("page.htm", switch)
            self.assertRun(result, BANNER + processing(self.here("page.htm")) + SAME_FILE + shown + NL,
                           1)
        self.assertEqual(b"<p>keep</p>", self.read("page.htm"))
        self.assertFalse(self.exists("page.bat"))

    def test_program_may_not_overwrite_the_script(self):
        self.write("page.htm", b"x")
        result = self.run_tool("page.htm", "/COMPILE:page.bat")
        self.assertRun(result, BANNER + processing(self.here("page.htm")) + SAME_OUTPUT + b"PAGE.BAT" +
                       NL, 1)
        result = self.run_tool("page.htm", "/BATFILE:out.x", "/COMPILE:." + SEP + "OUT.X")
        self.assertEqual(1, result.status)
        self.assertFalse(self.exists("page.bat") or self.exists("OUT.X"))
        if WINDOWS:
            return  # the Windows build does not follow a link to a file yet to be made
        os.symlink("page.bat", self.path("LINK.COM"))
        result = self.run_tool("page.htm", "/COMPILE:link.com")
        self.assertTrue(result.errors.endswith(SAME_OUTPUT + b"LINK.COM" + NL), result.errors)
        self.assertFalse(self.exists("page.bat"))

    def test_stopped_source_leaves_the_previous_outputs(self):
        self.write("a.bat", b"old script")
        self.write("a.com", b"old program")
        self.write("a.htm", b"first\n" + b"z" * (8096 + 200000) + b"\n")
        result = self.run_tool("a.htm", "/COMPILE")
        self.assertEqual(1, result.status)
        self.assertTrue(result.errors.endswith(b"Fatal loop error in fgetstr()" + NL +
                                               b"  a line of " + self.here("a.htm") +
                                               b" runs past 208,096 bytes; /W keeps long lines" +
                                               NL), result.errors)
        self.assertEqual(b"old script", self.read("a.bat"))
        self.assertEqual(b"old program", self.read("a.com"))
        self.assertEqual(["a.bat", "a.com", "a.htm"], sorted(os.listdir(self.dir)))
