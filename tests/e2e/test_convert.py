"""Conversions that succeed: scripts, console text and exit statuses."""
import os
import subprocess

from support import (BANNER, EXE, FAILED, NL, RUNNER, SEP, WINDOWS, ToolTest, counted, done, header,
                     processing, summary, typed, writing, written)

EXAMPLE_PAGE = (b"<html>\r\n"
                b"<body bgcolor=\"#FFFFFF\">\r\n"
                b"<p>Fish & chips | \"A & B\"</p>   \r\n"
                b"\r\n"
                b"<A HREF=\"menu.htm\">Menu</A>\r\n"
                b"\t\r\n"
                b"</body></html>\r\n")

EXAMPLE_LINES = (b"echo ^<html^>\r\n"
                 b"echo ^<body bgcolor=\"#FFFFFF\"^>\r\n"
                 b"echo ^<p^>Fish ^& chips ^| \"A & B\"^</p^>\r\n"
                 b"echo.\r\n"
                 b"echo ^<A HREF=\"menu.htm\"^>Menu^</A^>\r\n"
                 b"echo.\r\n"
                 b"echo ^</body^>^</html^>\r\n"
                 b"echo.\r\n")


class WorkedExample(ToolTest):
    def test_example_page_becomes_its_script(self):
        self.write("page.htm", EXAMPLE_PAGE)
        result = self.run_tool("page.htm")
        script = header("page.htm") + EXAMPLE_LINES
        self.assertEqual(script, self.read("page.bat"))
        self.assertRun(result,
                       BANNER + processing(self.here("page.htm")) + writing(self.here("page.bat")) +
                       written(self.here("page.bat"), len(script)), done(1))
        self.assertEqual(EXAMPLE_PAGE, self.read("page.htm"))

    def test_switches_shape_the_header_and_blank_lines(self):
        self.write("page.htm", EXAMPLE_PAGE)
        result = self.run_tool("page.htm", "/nocgi", "/NCR", "/NOBLANK")
        lines = EXAMPLE_LINES.replace(b"echo.\r\n", b"")
        # The tab line trims to nothing but was not empty when read.
        lines = lines.replace(b"Menu^</A^>\r\n", b"Menu^</A^>\r\necho.\r\n")
        self.assertEqual(header("page.htm", credits=False, cgi=False) + lines, self.read("page.bat"))
        self.assertRun(result,
                       BANNER + b"\x10 CGI headers are DISABLED and will not be generated" + NL +
                       processing(self.here("page.htm")) + writing(self.here("page.bat")) +
                       written(self.here("page.bat"), len(self.read("page.bat"))), done(1))


class Sources(ToolTest):
    def test_several_sources_in_name_order(self):
        for name in ("b.htm", "A.htm", "c.HTM", "skip.txt"):
            self.write(name, b"<p>" + name.encode() + b"</p>")
        result = self.run_tool("*.htm")
        out = BANNER
        for name in ("A", "b", "c"):
            source = self.here(name + ".htm" if name != "c" else "c.HTM")
            bat = self.here(name + ".bat")
            size = len(self.read(name + ".bat"))
            out += processing(source) + writing(bat) + written(bat, size)
        self.assertRun(result, out + summary(3), done(3))
        self.assertEqual(header("b.htm") + b"echo ^<p^>b.htm^</p^>\r\n", self.read("b.bat"))
        self.assertFalse(self.exists("skip.bat"))

    def converted(self, *shown):
        """What a run prints for each source, by the shown source path and
        the script's path in the working directory."""
        out = b""
        for source, bat, local in shown:
            out += processing(source) + writing(bat) + written(bat, len(self.read(local)))
        return out

    def test_several_file_specs_in_the_order_given(self):
        # As a shell passes "quillfen b.htm none.htm web/*.htm /abs/a.htm":
        # the specs are all searched first, and each one's matches converted.
        for name in ("a.htm", "b.htm", "web/c.htm", "web/d.htm"):
            self.write(name, b"<p>" + name.encode() + b"</p>")
        absolute = self.here("a.htm").decode()
        shown_dir = typed(absolute[:-len("a.htm")]).encode()
        web = typed("web" + SEP).encode()
        result = self.run_tool("b.htm", "none.htm", "web" + SEP + "*.htm", absolute, "/NCR",
                               "/NOCGI")
        self.assertRun(result, BANNER +
                       b"Error: No files found matching \"" + self.here(typed("none.htm")) + b"\"" +
                       NL +
                       b"\x10 CGI headers are DISABLED and will not be generated" + NL +
                       self.converted((self.here("b.htm"), self.here("b.bat"), "b.bat"),
                                      (web + b"c.htm", web + b"c.bat", "web/c.bat"),
                                      (web + b"d.htm", web + b"d.bat", "web/d.bat"),
                                      (shown_dir + b"a.htm", shown_dir + b"a.bat", "a.bat")) +
                       summary(4), FAILED)
        self.assertEqual(b"@echo off\r\necho ^<p^>web/d.htm^</p^>\r\n", self.read("web/d.bat"))
        # Every spec matching: the status counts the sources of all.
        self.assertEqual(done(4), self.run_tool("b.htm", "web" + SEP + "*.htm", absolute).status)
        self.assertEqual(FAILED, self.run_tool("none.htm", "nix.htm").status)

    def test_switch_before_file_specs_is_only_a_switch(self):
        # As a shell passes "quillfen /COMPILE *.htm": no file named COMPILE
        # is looked for, and the switch applies to every source.
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        result = self.run_tool("/COMPILE:first.com", "a.htm", "b.htm", "/NCR")
        self.assertEqual(done(2), result.status)
        self.assertNotIn(b"Error", result.out)
        self.assertEqual(["FIRST.COM", "a.bat", "a.htm", "b.bat", "b.com", "b.htm"],
                         sorted(os.listdir(self.dir)))

    def test_empty_source_gets_no_size_message(self):
        self.write("empty.htm", b"")
        result = self.run_tool("EMPTY.HTM", "/NCR")
        self.assertEqual(header("", credits=False) + b"echo.\r\n", self.read("empty.bat"))
        self.assertRun(result, BANNER + processing(self.here("empty.htm")) +
                       writing(self.here("empty.bat")), done(1))

    def test_blank_only_line_counts_as_written(self):
        self.write("blank.htm", b"   \n")
        result = self.run_tool("blank.htm", "/NCR", "/NOCGI", "/NOBLANK")
        script = b"@echo off\r\necho.\r\n"
        self.assertEqual(script, self.read("blank.bat"))
        self.assertIn(written(self.here("blank.bat"), len(script)), result.out)

    def test_hidden_and_read_only_files_are_skipped(self):
        # On POSIX a read-only page is converted, and only a wildcard passes
        # over a name that begins with a dot.
        self.write(".hidden.htm", b"x")
        self.write("locked.htm", b"x")
        os.chmod(self.path("locked.htm"), 0o444)
        self.write("open.htm", b"x")
        if WINDOWS:
            subprocess.run(RUNNER + ["cmd", "/c", "attrib", "+h", ".hidden.htm"], cwd=self.dir,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        result = self.run_tool("*.htm")
        self.assertEqual(done(1 if WINDOWS else 2), result.status)
        self.assertEqual(not WINDOWS, self.exists("locked.bat"))
        self.assertFalse(self.exists(".hidden.bat"))
        self.assertTrue(self.exists("open.bat"))
        result = self.run_tool(".hidden.htm")
        self.assertEqual(FAILED if WINDOWS else done(1), result.status)

    def test_directory_holding_only_skipped_files_matches_nothing(self):
        self.write("web/.x.htm", b"x")
        os.mkdir(self.path("web", "sub.htm"))
        result = self.run_tool("web" + SEP)
        pattern = typed("web" + SEP).encode()
        skipped = (b"directories, read-only, hidden or system files" if WINDOWS else
                   b"directories, special files or names that begin with a dot")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" + pattern + b"\"" + NL +
                       b"  (2 matching entries are " + skipped + b")" + NL, 1)

    def test_many_sources_give_their_count_under_the_count_status(self):
        for i in range(300):
            self.write("p%03d.htm" % i, b"x")
        self.assertEqual(done(300), self.status_of("*.htm", "/NCR"))
        # The count stops short of the statuses that shells keep for themselves.
        self.assertEqual(counted(300), self.status_of("--count-status", "*.htm", "/NCR"))
        self.assertEqual(0, self.status_of("--count-status", "--plain-status", "*.htm", "/NCR"))
        self.assertEqual(FAILED, self.status_of("--count-status", "none.htm"))
        self.assertTrue(self.exists("p299.bat"))

    def test_derived_names_can_collide(self):
        # The later script replaces the earlier one, and the run says so.
        self.write("PAGE.HTM", b"first")
        self.write("PAGE.HTML", b"second")
        self.write("README", b"plain")
        result = self.run_tool("*.*", "/NCR", "/NOCGI")
        self.assertEqual(FAILED, result.status)
        self.assertStarts(result, BANNER + b"\x10 CGI headers are DISABLED and will not be generated" +
                          NL + processing(self.here("PAGE.HTM")) + writing(self.here("PAGE.bat")) +
                          written(self.here("PAGE.bat"), 23) + processing(self.here("PAGE.HTML")) +
                          writing(self.here("PAGE.bat")) + written(self.here("PAGE.bat"), 24) +
                          b"Warning: " + self.here("PAGE.bat") +
                          b" replaces the output written for \"" + self.here("PAGE.HTM") + b"\"" + NL +
                          processing(self.here("README")))
        self.assertEqual(b"@echo off\r\necho second\r\n", self.read("PAGE.bat"))
        self.assertEqual(b"@echo off\r\necho plain\r\n", self.read(".bat"))
        self.assertEqual(b"first", self.read("PAGE.HTM"))

    def test_no_page_replaces_the_script_of_another_run(self):
        # One page per run, as make or a loop converts them: the stem rule
        # gives all three foo.bat, and only the first one's stays.
        names = ["fn.foo.html", "macro.foo.html", "struct.Foo.html"]
        for name in names:
            self.write(name, name.encode() + b"\n")
        self.assertRun(self.run_tool("-q", names[0], "/COMPILE"), b"", done(1))
        script, program = self.read("foo.bat"), self.read("foo.com")
        for name in names[1:]:
            result = self.run_tool("-q", name, "/COMPILE")
            self.assertRun(result, b"Error: " + self.here("foo.bat") + b" was converted from "
                           b"fn.foo.html; not replaced with the output of " + self.here(name) + NL +
                           b"  (--full-stem keeps the pages apart)" + NL, FAILED)
        # A program's remark counts alike; -k goes on to the next page.
        os.remove(self.path("foo.bat"))
        self.write("other.htm", b"other\n")
        result = self.run_tool("-q", "-k", names[1], "other.htm", "/COMPILE")
        self.assertRun(result, b"Error: " + self.here("foo.com") + b" was converted from "
                       b"fn.foo.html; not replaced with the output of " + self.here(names[1]) + NL +
                       b"  (--full-stem keeps the pages apart)" + NL, FAILED)
        self.assertEqual(program, self.read("foo.com"))
        self.assertFalse(self.exists("foo.bat"))
        self.assertTrue(self.exists("other.bat"))
        # The page itself replaces its outputs; a script without the remark
        # is replaced by any page, as ever.
        self.assertEqual(done(1), self.run_tool("-q", names[0]).status)
        self.assertEqual(script, self.read("foo.bat"))
        self.assertEqual(done(1), self.run_tool("-q", names[0], "/NCR").status)
        self.assertEqual(done(1), self.run_tool("-q", names[1]).status)
        self.assertIn(b"echo macro.foo.html", self.read("foo.bat"))


class Shell(ToolTest):
    """Runs that shells, make and xargs start, which read the status."""

    def setUp(self):
        if WINDOWS:
            self.skipTest("POSIX tools run the POSIX build")
        super().setUp()

    def shell(self, command):
        return subprocess.run(["sh", "-c", command, EXE], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)

    def test_find_and_xargs_convert_a_tree(self):
        # find hands over the pages of every directory and xargs splits them
        # over runs of 260 and 40 pages; xargs would stop at once on a status
        # of 255.
        pages = [os.path.join(directory, "page%d.html" % i)
                 for directory in ("", "news", "news/2007", "shop", "shop/items Old")
                 for i in range(60)]
        for page in pages:
            self.write(page, b"<p>" + page.encode() + b"</p>")
        completed = self.shell('find . -name "*.html" -print0 | xargs -0 -n 260 "$0" -q /NCR')
        self.assertEqual((0, b"", b""), (completed.returncode, completed.stdout, completed.stderr))
        for page in pages:
            self.assertEqual(header(os.path.basename(page), credits=False) +
                             b"echo ^<p^>" + page.encode() + b"^</p^>\r\n",
                             self.read(page[:-len(".html")] + ".bat"), page)

    def test_make_pattern_rule_and_and_list(self):
        # The rule of the README: with --full-stem every target is made, so
        # a second make has nothing to do.
        for name in ("a", "b", "c.d"):
            self.write(name + ".htm", b"<p>" + name.encode() + b"</p>")
        self.write("Makefile", b"all: a.bat b.bat c.d.bat\n"
                               b"%.bat: %.htm ; $(QUILLFEN) -q --full-stem $<\n")
        completed = self.shell('make QUILLFEN="$0"')
        self.assertEqual(0, completed.returncode, completed.stdout + completed.stderr)
        for name in ("a", "b", "c.d"):
            self.assertIn(b"echo ^<p^>" + name.encode(), self.read(name + ".bat"))
        self.assertEqual(0, self.shell('make -q QUILLFEN="$0"').returncode)
        completed = self.shell('"$0" -q a.htm && echo published')
        self.assertEqual(b"published\n", completed.stdout)


class Options(ToolTest):
    def test_quiet_keeps_warnings_and_errors_only(self):
        self.write("a.htm", b"a")
        self.write("a.html", b"y" * 9000)
        result = self.run_tool("--quiet", "a.htm*", "/NOCGI", "/COMPILE")
        self.assertRun(result, b"Warning: " + self.here("a.bat") + b" replaces the output written "
                       b"for \"" + self.here("a.htm") + b"\"" + NL +
                       b"Warning: " + self.here("a.com") + b" replaces the output written for \"" +
                       self.here("a.htm") + b"\"" + NL +
                       b"Warning: 1 line(s) of " + self.here("a.html") +
                       b" cut at 8096 bytes (/W keeps them whole)" + NL, FAILED)

    def test_full_stem_keeps_pages_apart(self):
        for name in ("mod.rs.html", "lib.rs.html", "README"):
            self.write(name, name.encode())
        result = self.run_tool("-q", "--full-stem", "*", "/NCR", "/NOCGI")
        self.assertRun(result, b"", done(3))
        for name, bat in (("mod.rs.html", "mod.rs.bat"), ("lib.rs.html", "lib.rs.bat"),
                          ("README", "README.bat")):
            self.assertEqual(b"@echo off\r\necho " + name.encode() + b"\r\n", self.read(bat))


class Paths(ToolTest):
    def test_directory_in_the_file_spec_is_upper_cased(self):
        self.write("web/Index.htm", b"x\n")
        for spec in ("web/*.htm", "web" + SEP + "*.htm", "WEB//*.HTM"):
            result = self.run_tool(spec)
            source = (typed(spec[:3]) + SEP + "Index.htm").encode()
            bat = (typed(spec[:3]) + SEP + "Index.bat").encode()
            self.assertRun(result, BANNER + processing(source) + writing(bat) +
                           written(bat, len(self.read("web/Index.bat"))), done(1))
            self.assertEqual(header("Index.htm") + b"echo x\r\necho.\r\n",
                             self.read("web/Index.bat"))
            os.remove(self.path("web/Index.bat"))

    def test_batfile_names_the_first_script_only(self):
        self.write("a.htm", b"a")
        self.write("b.htm", b"b")
        result = self.run_tool("*.htm", "/batfile:out.bat", "/NCR", "/NOCGI")
        self.assertEqual(done(2), result.status)
        self.assertIn(writing(b"OUT.BAT"), result.out)
        self.assertEqual(b"@echo off\r\necho a\r\n", self.read("OUT.BAT"))
        self.assertEqual(b"@echo off\r\necho b\r\n", self.read("b.bat"))
        self.assertFalse(self.exists("a.bat"))

    def test_output_made_in_the_run_is_found_in_any_case(self):
        self.write("a.htm", b"a")
        self.write("out.htm", b"out")
        result = self.run_tool("*.htm", "/BATFILE:OUT.BAT", "/NCR", "/NOCGI")
        self.assertEqual(FAILED, result.status)
        # The file written is named as it is spelt.
        self.assertEnds(result, b"Warning: " + self.here("OUT.BAT") +
                        b" replaces the output written for \"" + self.here("a.htm") + b"\"" + NL +
                        summary(2, 0, 1))
        self.assertEqual(["OUT.BAT", "a.htm", "out.htm"], sorted(os.listdir(self.dir)))
        self.assertEqual(b"@echo off\r\necho out\r\n", self.read("OUT.BAT"))

    def test_existing_output_is_found_in_any_case(self):
        self.write("page.htm", b"new")
        self.write("out.bat", b"old")
        result = self.run_tool("page.htm", "/BATFILE:out.bat", "/NCR", "/NOCGI")
        self.assertEqual(done(1), result.status)
        self.assertEqual(b"@echo off\r\necho new\r\n", self.read("out.bat"))
        self.assertFalse(self.exists("OUT.BAT") and not os.path.samefile(
            self.path("OUT.BAT"), self.path("out.bat")))

    def test_the_exact_spelling_wins(self):
        if WINDOWS:
            self.skipTest("Windows names ignore case")
        self.write("index.html", b"lower")
        self.write("Index.html", b"upper")
        self.write("docs/a.html", b"docs")
        self.write("DOCS/a.html", b"DOCS")
        # A spec without wildcards names one file: the one spelt so, else
        # the first alike in name order; each directory likewise.
        for spec, converted, other in (("index.html", "index", "Index"),
                                       ("INDEX.HTML", "Index", "index"),
                                       ("docs/a.html", "docs/a", "DOCS/a"),
                                       ("Docs/A.HTML", "DOCS/a", "docs/a")):
            result = self.run_tool(spec, "/NCR", "/NOCGI")
            self.assertEqual(done(1), result.status, result.out)
            self.assertIn(processing((os.path.dirname(spec) + SEP if "/" in spec else
                                      self.here().decode()).encode() + os.path.basename(
                                          converted).encode() + b".html"), result.out)
            self.assertTrue(self.exists(converted + ".bat"), spec)
            self.assertFalse(self.exists(other + ".bat"), spec)
            os.remove(self.path(converted + ".bat"))


class Names(ToolTest):
    def test_names_beyond_the_ansi_code_page(self):
        # Every name is converted, and its outputs keep it.
        names = ["0\u65e5\u672c".encode(), b"\x80a", b"page"]
        for name in names:
            with open(os.path.join(self.dir.encode(), name + b".htm"), "wb") as f:
                f.write(b"x\n")
        result = self.run_tool("*.htm")
        self.assertEqual(done(3), result.status, result.out)
        listing = os.listdir(self.dir.encode())
        self.assertEqual(3, len([name for name in listing if name.endswith(b".bat")]), listing)
        for name in names:
            # Wine has no UTF-16 name for a byte that is no UTF-8: the
            # script is written under the name that Wine makes of it.
            if not (WINDOWS and name == b"\x80a"):
                self.assertIn(name + b".bat", listing)

    def test_typed_names_beyond_the_ansi_code_page(self):
        # Typed, not found by a wildcard: on Windows they arrive as UTF-16.
        page = "0\u65e5\u672c"
        self.write(page + ".htm", b"a\n")
        self.write("\u65e5\u672c/p.htm", b"b\n")
        self.write("q.htm", b"c\n")
        for args, output in (([page + ".htm"], page + ".bat"),
                             (["\u65e5\u672c" + SEP + "p.htm"], "\u65e5\u672c/p.bat"),
                             (["q.htm", "/BATFILE:\u51fa\u529b.bat"], "\u51fa\u529b.BAT")):
            result = self.run_tool("-q", *args)
            self.assertEqual(done(1), result.status, result.out)
            self.assertTrue(self.exists(output), (output, result.out))

    def test_names_with_special_bytes(self):
        # The credit line stays a remark; the size is that of the named file.
        for name, credit in (("50%~off.htm", b"50%%~off.htm"), ("what?.htm", b"what?.htm")):
            if WINDOWS and "?" in name:
                continue
            self.write(name, b"x")
            result = self.run_tool(name, "/NOCGI")
            bat = name.replace(".htm", ".bat")
            script = header(credit.decode(), cgi=False) + b"echo x\r\n"
            self.assertEqual(script, self.read(bat))
            self.assertIn(written(self.here(bat), len(script)), result.out)

    def test_line_feed_in_a_name_stays_inside_the_remark(self):
        if WINDOWS:
            self.skipTest("a Windows file name cannot hold a line feed")
        name = "x\necho INJECTED>pwned & rem .htm"
        self.write(name, b"x")
        result = self.run_tool("*.htm")
        bat = name.replace(".htm", ".bat")
        script = header("x?echo INJECTED>pwned & rem .htm") + b"echo x\r\n"
        self.assertEqual(script, self.read(bat))
        self.assertRun(result, BANNER + processing(self.here(name)) + writing(self.here(bat)) +
                       written(self.here(bat), len(script)), done(1))

    def test_absolute_file_spec_is_no_switch(self):
        if WINDOWS:
            self.skipTest("an absolute path begins with a drive")
        self.write("page2/page.htm", b"\tx")
        result = self.run_tool(self.path("page2", "*.htm"))
        self.assertEqual(done(1), result.status)
        self.assertEqual(header("page.htm") + b"echo  x\r\n", self.read("page2/page.bat"))


class Lines(ToolTest):
    def test_tabs_and_overlong_lines(self):
        # A '!' in the part of a line that is read away calls for nothing.
        self.write("t.htm", b"\tx\n" + b"y" * 8096 + b"y!y!\n")
        self.run_tool("t.htm", "/T=4", "/NCR", "/NOCGI")
        self.assertEqual(b"@echo off\r\necho     x\r\necho " + b"y" * 8096 + b"\r\necho.\r\n",
                         self.read("t.bat"))
        # /W keeps the line whole: its first script line prints without a
        # line end, and the mark turns expansion off before the last one.
        self.run_tool("t.htm", "/T=0", "/W", "/NCR", "/NOCGI")
        self.assertEqual(b"@echo off\r\necho \tx\r\n<nul set /p =" + b"y" * 7143 +
                         b"\r\nsetlocal DisableDelayedExpansion\r\necho " + b"y" * 953 +
                         b"y!y!\r\necho.\r\n", self.read("t.bat"))

    def test_a_nul_ends_a_long_line_kept_with_w(self):
        # The text of a line ends at its first NUL, in whichever piece.
        self.write("n.htm", b"y" * 8000 + b"\0" + b"z" * 9000 + b"\n\0" + b"x" * 9000 + b"\nend")
        self.run_tool("n.htm", "/W", "/NCR", "/NOCGI")
        self.assertEqual(b"@echo off\r\necho " + b"y" * 8000 + b"\r\necho.\r\necho end\r\n",
                         self.read("n.bat"))

    def test_cut_lines_are_told_at_the_end_of_their_source(self):
        # Only lines that lose text count: not one that ends at the limit,
        # nor one that loses blanks, tabs and carriage returns alone.
        self.write("a.htm", b"y" * 8097 + b"\r\n" + b"y" * 8096 + b"\r\n" + b"y" * 8096 + b" \t \r\n" +
                   b"y" * 9000 + b"\nend")
        self.write("b.htm", b"y" * 8096 + b"\n")
        # The outputs are written, and the run goes on, but a cut fails it
        # where the status says only done or failed.
        result = self.run_tool("*.htm", "/NCR", "/NOCGI")
        self.assertEqual(2 if WINDOWS else 1, result.status)
        self.assertEqual(1, self.run_tool("*.htm", "/NCR", "/NOCGI", "--plain-status").status)
        bat = self.read("a.bat")
        self.assertIn((written(self.here("a.bat"), len(bat)) if WINDOWS else b"") +
                      b"Warning: 2 line(s) of " + self.here("a.htm") +
                      b" cut at 8096 bytes (/W keeps them whole)" + NL, result.errors)
        self.assertEqual(1, result.errors.count(b"Warning"), result.errors)
        self.assertEqual(b"@echo off\r\n" + (b"echo " + b"y" * 8096 + b"\r\n") * 4 + b"echo end\r\n",
                         bat)
        result = self.run_tool("*.htm", "/NCR", "/NOCGI", "/W")
        self.assertNotIn(b"Warning", result.errors)
        self.assertEqual(done(2), result.status)

    def test_endless_tail_ends_the_run(self):
        self.write("a.htm", b"first\n" + b"z" * (8096 + 200000) + b"\nlast\n")
        result = self.run_tool("a.htm", "/NCR")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) + writing(self.here("a.bat")) +
                       b"Fatal loop error in fgetstr()" + NL + b"  a line of " + self.here("a.htm") +
                       b" runs past 208,096 bytes; /W keeps long lines" + NL, 1)
        # No partial script that looks complete is left behind.
        self.assertEqual(["a.htm"], os.listdir(self.dir))


class LongPaths(ToolTest):
    def test_paths_past_260_characters_are_not_cut(self):
        directory = "d" * 200
        name = "n" * 196 + ".htm"
        self.write(os.path.join(directory, name), b"x")
        result = self.run_tool(directory + SEP + "*.htm", "/NCR", "/NOCGI")
        bat = (typed(directory) + SEP + "n" * 196 + ".bat").encode()
        self.assertIn(writing(bat), result.out)
        self.assertEqual(done(1), result.status)
        self.assertEqual(b"@echo off\r\necho x\r\n", self.read(os.path.join(directory,
                                                                          "n" * 196 + ".bat")))

    def test_file_spec_past_260_characters_keeps_its_directory(self):
        directory = os.path.join("d" * 150, "e" * 150)
        self.write(os.path.join(directory, "page.htm"), b"deep")
        self.write("page.htm", b"shallow")
        spec = directory.replace("/", SEP) + SEP + "page.htm"
        result = self.run_tool(spec, "/NCR", "/NOCGI")
        if WINDOWS:
            # Beyond what the platform's file services take.
            self.assertRun(result, BANNER + b"Error: Path too long: " + spec.upper().encode() + NL, 1)
            return
        self.assertEqual(done(1), result.status)
        self.assertEqual(b"@echo off\r\necho deep\r\n",
                         self.read(os.path.join(directory, "page.bat")))
        self.assertFalse(self.exists("page.bat"))

    def test_current_directory_too_long_to_query(self):
        if WINDOWS:
            self.skipTest("Wine starts a program whose directory is too long elsewhere")
        deep = self.dir
        while len(deep) < 300:
            deep = os.path.join(deep, "sub" * 20)
        os.makedirs(deep)
        with open(os.path.join(deep, "page.htm"), "wb") as f:
            f.write(b"x")
        result = self.run_tool("*.htm", "/NCR", "/NOCGI", cwd=deep)
        # The query fails, so the paths stay relative.
        self.assertRun(result, BANNER + b"\x10 CGI headers are DISABLED and will not be generated" + NL +
                       processing(b"page.htm") + writing(b"page.bat") + written(b"page.bat", 19),
                       done(1))
