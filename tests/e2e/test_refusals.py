"""Runs that end early: messages, statuses, and sources left untouched."""
import fcntl
import os
import resource
import shutil
import signal
import subprocess
import threading
import time

from support import (BANNER, EXE, FAILED, NL, RUNNER, SEP, WINDOWS, Result, ToolTest, done, processing,
                     reason, split_streams, summary, typed, writing, written)

SAME_FILE = b"Error: Input file can't be the same as the output file" + NL + b"  ->"


class NoMatch(ToolTest):
    def test_no_file_matches(self):
        result = self.run_tool("*.htm")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" +
                       self.here(typed("*.htm")) + b"\"" + NL, 1)

    def test_switch_in_the_place_of_the_file_spec(self):
        # The slash makes it a name in the root directory; no CGI notice yet.
        result = self.run_tool("/nocgi")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" + typed(b"/nocgi") +
                       b"\"" + NL, 1)

    def test_directory_is_never_a_source(self):
        os.mkdir(self.path("web"))
        result = self.run_tool("web")
        web = typed(b"web")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" + self.here(web.decode()) +
                       b"\"" + NL + b"  (a directory: give " + web + SEP.encode() + b" or " + web +
                       SEP.encode() + b"*.htm)" + NL, 1)

    def test_missing_directory_says_so(self):
        result = self.run_tool("none" + SEP + "*.htm")
        self.assertRun(result, BANNER + b"Error: No files found matching \"" +
                       typed("none" + SEP + "*.htm").encode() + b"\"" + NL + reason("missing path"),
                       1)


class SameFile(ToolTest):
    def test_script_named_like_its_source_is_refused(self):
        self.write("a.htm", b"a")
        self.write("x.bat", b"@echo off\r\n")
        self.write("z.htm", b"z")
        result = self.run_tool("*.*")
        bat = self.here("x.bat")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) + writing(self.here("a.bat")) +
                       b"\x10 " + str(len(self.read("a.bat"))).encode() + b" bytes(s) written to \"" +
                       self.here("a.bat") + b"\"" + NL + processing(bat) + SAME_FILE + bat + NL +
                       summary(1, 1, 0, 1), 1)
        self.assertEqual(b"@echo off\r\n", self.read("x.bat"))
        self.assertFalse(self.exists("z.bat"))

    def test_batfile_naming_the_source_in_another_form_is_refused(self):
        self.write("page.htm", b"<p>keep</p>")
        self.write("web/b.htm", b"<p>keep</p>")
        os.symlink("page.htm", self.path("link.htm"))
        cases = [
            # Shown as the entry is spelt where names are told apart by case.
            ("page.htm", "/BATFILE:PAGE.HTM", typed(b"page.htm")),
            ("page.htm", "/BATFILE:link.htm", typed(b"link.htm")),
            ("page.htm", "/BATFILE:." + SEP + "page.htm", typed("." + SEP + "page.htm").encode()),
            ("web" + SEP + "b.htm", "/BATFILE:web" + SEP + "." + SEP + "b.htm",
             typed("web" + SEP + "." + SEP + "b.htm").encode()),
        ]
        for spec, switch, shown in cases:
            result = self.run_tool(spec, switch)
            self.assertEqual(1, result.status, switch)
            self.assertTrue(result.errors.endswith(SAME_FILE + shown + NL), result.errors)
        self.assertEqual(b"<p>keep</p>", self.read("page.htm"))
        self.assertEqual(b"<p>keep</p>", self.read("web/b.htm"))


class OpenFailures(ToolTest):
    def test_source_that_cannot_be_opened(self):
        self.write("a.htm", b"x")
        result = strace_inject(self, ["-e", "trace=openat", "-e", "inject=openat:error=EACCES",
                                      "-P", "a.htm"], ["a.htm"], self.dir)
        source = self.here("a.htm")
        # strace tells on its standard error how it took the path.
        self.assertEqual((split_streams(BANNER + processing(source) +
                                        b"Error: Can't open source file " + source + b" for input" +
                                        NL + reason("denied"))[0], 1), (result.out, result.status))
        self.assertEqual(["a.htm"], os.listdir(self.dir))

    def test_matches_that_cannot_be_opened_fail_with_their_reason(self):
        # A dangling link is a match like any other: it fails, it is not
        # left out, and with -k the run goes on.
        if WINDOWS:
            self.skipTest("Wine shows no dangling POSIX link")
        self.write("a.htm", b"a\n")
        os.symlink("gone.htm", self.path("b.htm"))
        result = self.run_tool("-k", "*.htm", "/NCR")
        a_bat, b_htm = self.here("a.bat"), self.here("b.htm")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) + writing(a_bat) +
                       written(a_bat, len(self.read("a.bat"))) + processing(b_htm) +
                       b"Error: Can't open source file " + b_htm + b" for input" + NL +
                       reason("missing") + summary(1, 1), FAILED)
        self.assertFalse(self.exists("b.bat"))
        result = self.run_tool("-q", "b.htm")
        self.assertRun(result, b"Error: Can't open source file " + b_htm + b" for input" + NL +
                       reason("missing"), FAILED)

    def test_page_no_one_may_read(self):
        # Run by a user who may not read it, it is that page's failure, on
        # standard error, where -q leaves standard output empty.
        if WINDOWS:
            self.skipTest("permission bits are POSIX's")
        prefix = []
        if os.geteuid() == 0:
            setpriv = shutil.which("setpriv")
            if setpriv is None:
                self.skipTest("tool not found: setpriv (root reads every file)")
            prefix = [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        self.write("page.htm", b"x\n")
        os.chmod(self.path("page.htm"), 0)
        os.chmod(self.dir, 0o777)
        completed = subprocess.run(prefix + [EXE, "-q", "page.htm"], cwd=self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=120)
        if prefix and completed.returncode == 127:
            self.skipTest("nobody may not run the tool here")
        self.assertEqual((b"", b"Error: Can't open source file " + self.here("page.htm") +
                          b" for input" + NL + reason("denied"), FAILED),
                         (completed.stdout, completed.stderr, completed.returncode))
        self.assertEqual(["page.htm"], os.listdir(self.dir))

    def test_a_name_is_one_name_whatever_it_holds(self):
        # Backslashes in a Linux name separate nothing: the name is read as
        # the one file it names, never as a path out of its directory.
        if SEP == "\\":
            self.skipTest("backslash separates on this platform")
        os.mkdir(self.path("pages"))
        os.mkdir(self.path("pages/x"))
        self.write("secret", b"root's secret")
        for name in ("x\\..\\..\\secret.htm", "!\\x.htm", "page.htm"):
            self.write("pages/" + name, b"<p>" + name.encode() + b"</p>")
        result = self.run_tool("*.*", "/NCR", "/NOCGI", cwd=self.path("pages"))
        self.assertEqual(done(3), result.status, result.out)
        self.assertIn(b"echo ^<p^>x\\..\\..\\secret.htm^</p^>", self.read("pages/secret.bat"))
        self.assertIn(b"echo ^<p^>!\\x.htm^</p^>", self.read("pages/x.bat"))
        self.assertNotIn(b"secret", b"".join(self.read("pages/" + name) for name in
                                             ("x.bat", "page.bat")))
        # Their remarks name the last part, and the next run knows its own.
        for _ in range(2):
            result = self.run_tool("-q", "*.htm", cwd=self.path("pages"))
            self.assertEqual((b"", b"", done(3)), (result.out, result.err, result.status))

    def test_output_that_cannot_be_opened(self):
        self.write("page.htm", b"x")
        os.mkdir(self.path("page.bat"))
        result = self.run_tool("page.htm")
        bat = self.here("page.bat")
        self.assertRun(result, BANNER + processing(self.here("page.htm")) +
                       b"Error: Can't open batch file " + bat + b" for output" + NL +
                       reason("is a directory"), 1)

    def test_output_in_a_missing_directory(self):
        self.write("page.htm", b"x")
        result = self.run_tool("page.htm", "/BATFILE:none" + SEP + "x.bat")
        self.assertEqual(1, result.status)
        self.assertEnds(result, b"Error: Can't open batch file " +
                        typed("none" + SEP + "x.bat").encode() + b" for output" + NL +
                        reason("missing path"))
        self.assertEqual(["page.htm"], os.listdir(self.dir))

    def test_source_that_cannot_be_read(self):
        # Reading a process's memory from offset 0 fails; the file opens.
        if SEP == "\\" or not os.path.exists("/proc/self/mem"):
            self.skipTest("needs /proc/self/mem")
        self.write("OUT.BAT", b"old script")
        self.write("OUT.COM", b"old program")
        result = self.run_tool("/proc/self/mem", "/BATFILE:out.bat", "/COMPILE:out.com", "/NCR")
        self.assertRun(result, BANNER + processing(b"/proc/self/mem") + writing(b"OUT.BAT") +
                       b"Error: Can't read source file /proc/self/mem" + NL + reason("read error"), 1)
        self.assertEqual(b"old script", self.read("OUT.BAT"))
        self.assertEqual(b"old program", self.read("OUT.COM"))
        self.assertEqual(["OUT.BAT", "OUT.COM"], sorted(os.listdir(self.dir)))


def completed_result(completed):
    return Result(completed)


def hidden_leftovers(directory):
    """Temporary files that a run left behind."""
    return [name for name in os.listdir(directory) if name.startswith(".")]


class WriteFailures(ToolTest):
    """An output that cannot be written fails the run and leaves the previous
    outputs as they were."""

    def prepare(self, directory):
        big = b"".join(b"<p>line %d of a page that does not fit</p>\n" % i for i in range(100000))
        for name in ("a", "b"):
            with open(os.path.join(directory, name + ".htm"), "wb") as f:
                f.write(big)
            with open(os.path.join(directory, name + ".bat"), "wb") as f:
                f.write(b"old script " + name.encode())
            with open(os.path.join(directory, name + ".com"), "wb") as f:
                f.write(b"old program " + name.encode())

    def assert_failed_cleanly(self, result, directory, shown, why):
        self.assertEqual(1, result.status)
        # Whichever output meets the fault first is named.
        self.assertTrue(result.errors.endswith(b"Error: Can't write batch file " + shown + NL + why) or
                        result.errors.endswith(b"Error: Can't write COM file " +
                                               shown[:-4] + b".com" + NL + why),
                        result.errors[-300:])
        self.assertNotIn(b"bytes(s) written", result.out)
        self.assertNotIn(b"Compiled", result.out)
        for name in ("a", "b"):
            with open(os.path.join(directory, name + ".bat"), "rb") as f:
                self.assertEqual(b"old script " + name.encode(), f.read())
            with open(os.path.join(directory, name + ".com"), "rb") as f:
                self.assertEqual(b"old program " + name.encode(), f.read())
        self.assertEqual([], hidden_leftovers(directory))

    def test_file_size_limit(self):
        if WINDOWS:
            self.skipTest("Wine's own files would meet the size limit first")
        self.prepare(self.dir)
        command = "trap '' XFSZ; ulimit -f 1000; exec \"$@\""
        completed = subprocess.run(["sh", "-c", command, "sh", EXE, "*.htm", "/COMPILE"],
                                   cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=120)
        self.assert_failed_cleanly(completed_result(completed), self.dir, self.here("a.bat"),
                                   reason("too large"))

    def small_file_system(self, size):
        """A tmpfs of `size` under the working directory."""
        mount = self.path("small")
        os.mkdir(mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", mount],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("no tmpfs may be mounted here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        return mount

    def fill_leaving(self, mount, room):
        stat = os.statvfs(mount)
        with open(os.path.join(mount, "filler"), "wb") as f:
            f.write(b"f" * (stat.f_bavail * stat.f_frsize - room))

    def test_full_file_system(self):
        mount = self.small_file_system("256k")
        for name in ("a", "b"):
            with open(os.path.join(mount, name + ".htm"), "wb") as f:
                f.write(b"<p>a line of a page that does not fit</p>\n" * 1000)
            for ext in (".bat", ".com"):
                with open(os.path.join(mount, name + ext), "wb") as f:
                    f.write(b"old " + (b"script " if ext == ".bat" else b"program ") +
                            name.encode())
        # Leave room for a little of the first script only.
        self.fill_leaving(mount, 8192)
        result = self.run_tool("*.htm", "/COMPILE", cwd=mount)
        shown = (mount.replace("/", "\\") if WINDOWS else mount) + SEP + "a.bat"
        if WINDOWS:
            shown = "Z:" + shown
        self.assert_failed_cleanly(result, mount, shown.encode(), reason("no space"))

    def test_program_that_fails_after_its_script_keeps_the_pair(self):
        # Room for the new script, and none for the program beside it, a COM
        # image that is written whole once the script is.
        page = b"".join(b"<p>line %d</p>\n" % i for i in range(1000))
        self.write("probe/a.htm", page)
        self.run_tool("a.htm", "/COMPILE", cwd=self.path("probe"))
        script_size = os.path.getsize(self.path("probe", "a.bat"))
        mount = self.small_file_system("512k")
        for name, data in (("a.htm", page), ("a.bat", b"old script"), ("a.com", b"old program")):
            with open(os.path.join(mount, name), "wb") as f:
                f.write(data)
        block = os.statvfs(mount).f_frsize
        self.fill_leaving(mount, (script_size // block + 2) * block)
        result = self.run_tool("a.htm", "/COMPILE", cwd=mount)
        self.assertEqual(1, result.status)
        self.assertIn(b"Error: Can't write COM file ", result.errors)
        with open(os.path.join(mount, "a.bat"), "rb") as f:
            self.assertEqual(b"old script", f.read())
        with open(os.path.join(mount, "a.com"), "rb") as f:
            self.assertEqual(b"old program", f.read())
        self.assertEqual([], hidden_leftovers(mount))

    def test_device_that_refuses_writes(self):
        if WINDOWS or not os.path.exists("/dev/full"):
            self.skipTest("needs /dev/full")
        self.write("a.htm", b"x\n")
        result = self.run_tool("a.htm", "/BATFILE:/dev/full")
        self.assertRun(result, BANNER + processing(self.here("a.htm")) + writing(b"/dev/full") +
                       b"Error: Can't write batch file /dev/full" + NL + reason("no space"), 1)
        self.assertEqual(["a.htm"], os.listdir(self.dir))


class Replacing(ToolTest):
    """How an output takes the place of the previous one."""

    def test_link_and_permission_bits_are_kept(self):
        if WINDOWS:
            self.skipTest("Wine shows a POSIX link as a plain file, and has no permission bits")
        self.write("a.htm", b"new\n")
        self.write("real.bat", b"old")
        os.chmod(self.path("real.bat"), 0o751)
        os.symlink("real.bat", self.path("a.bat"))
        self.write("a.com", b"old")
        os.chmod(self.path("a.com"), 0o700)
        result = self.run_tool("a.htm", "/COMPILE", "/NCR")
        self.assertEqual(done(1), result.status)
        self.assertTrue(os.path.islink(self.path("a.bat")))
        self.assertTrue(self.read("real.bat").startswith(b"@echo off\r\n"))
        self.assertEqual(0o751, os.stat(self.path("real.bat")).st_mode & 0o7777)
        self.assertEqual(0o700, os.stat(self.path("a.com")).st_mode & 0o7777)
        self.assertEqual([], hidden_leftovers(self.dir))

    def test_standard_output_as_the_script(self):
        if WINDOWS:
            self.skipTest("/dev/stdout is a POSIX name")
        self.write("a.htm", b"x\n")
        result = self.run_tool("a.htm", "/BATFILE:/dev/stdout", "/NCR", "/NOCGI")
        self.assertEqual(done(1), result.status)
        self.assertIn(b"@echo off\r\necho x\r\necho.\r\n", result.out)

    def test_closed_standard_streams(self):
        # Console text that cannot be written is no error, and never lands
        # in an output that took a closed stream's place.
        if WINDOWS:
            self.skipTest("closing the standard streams is a POSIX test")
        self.write("a.htm", b"x\n")
        completed = subprocess.run(["sh", "-c", 'exec "$@" <&- >&-', "sh", EXE, "a.htm", "/NCR"],
                                   cwd=self.dir, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(done(1), completed.returncode)
        self.assertEqual(b"@echo off\r\necho Content-type: text/html\r\necho.\r\necho x\r\n"
                         b"echo.\r\n", self.read("a.bat"))

    def test_leftover_temporary_file_is_no_source(self):
        self.write(".a.htm.quillfen-new-x1y2z3", b"left by a killed run")
        self.write("a.htm", b"x")
        if WINDOWS:
            subprocess.run(RUNNER + ["cmd", "/c", "attrib", "+h", ".a.htm.quillfen-new-x1y2z3"],
                           cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(done(1), self.run_tool("*.*").status)


class WholeRun(ToolTest):
    """What a run checks against all of its sources and outputs."""

    def test_no_output_lands_on_a_listed_source(self):
        cases = [
            (["a.htm", "b.htm"], ("*.htm", "/BATFILE:b.htm"), "a.htm", typed(b"b.htm")),
            (["a.htm", "b.htm"], ("*.htm", "/COMPILE:b.htm"), "a.htm", typed(b"b.htm")),
            # A source of a later file spec counts as well.
            (["a.htm", "b.htm"], ("a.htm", "b.htm", "/BATFILE:b.htm"), "a.htm", typed(b"b.htm")),
            (["A.A.HTM", "A.BAT"], ("*.*",), "A.A.HTM", self.here("A.BAT")),
        ]
        for sources, args, first, shown in cases:
            for name in sources:
                self.write(name, b"source " + name.encode())
            result = self.run_tool(*args)
            self.assertRun(result, BANNER + processing(self.here(first)) + SAME_FILE + shown + NL +
                           summary(0, 1, 0, 1), 1)
            for name in sources:
                self.assertEqual(b"source " + name.encode(), self.read(name))
                os.remove(self.path(name))
            self.assertEqual([], os.listdir(self.dir), args)

    def test_path_too_long_to_hold(self):
        long_name = "x" * 5000
        for args, shown in (((long_name + ".htm",), typed(long_name + ".htm")),
                            (("a.htm", "/BATFILE:" + long_name), long_name.upper()),
                            (("a.htm", "/COMPILE:" + long_name), long_name.upper())):
            self.write("a.htm", b"x")
            result = self.run_tool(*args)
            self.assertRun(result, BANNER + b"Error: Path too long: " + shown.encode() + NL, 1)
            self.assertEqual(["a.htm"], os.listdir(self.dir))

    def test_keep_going_skips_the_sources_that_fail(self):
        self.write("a.htm", b"a")
        self.write("b.htm", b"z" * (8096 + 200000) + b"\n")
        self.write("b.bat", b"old script")
        self.write("c.htm", b"c")
        os.mkdir(self.path("c.bat"))
        self.write("d.htm", b"d")
        fatal = (b"Fatal loop error in fgetstr()" + NL + b"  a line of " + self.here("b.htm") +
                 b" runs past 208,096 bytes; /W keeps long lines" + NL)
        result = self.run_tool("-q", "*.htm", "/NCR")
        self.assertRun(result, fatal, 1)
        self.assertFalse(self.exists("d.bat"))
        for args in (["-k", "-q", "*.htm", "/NCR"], ["--keep-going", "-q", "--count-status",
                                                     "*.htm", "/NCR"]):
            os.remove(self.path("a.bat"))
            result = self.run_tool(*args)
            self.assertRun(result, fatal + b"Error: Can't open batch file " + self.here("c.bat") +
                           b" for output" + NL + reason("is a directory"), 1)
            self.assertEqual(b"old script", self.read("b.bat"))
            self.assertEqual(b"@echo off\r\necho Content-type: text/html\r\necho.\r\necho d\r\n",
                             self.read("d.bat"))
            self.assertTrue(self.exists("a.bat"))
        self.assertEqual([], hidden_leftovers(self.dir))

    def test_every_match_is_converted(self):
        for i in range(2100):
            self.write("p%04d.htm" % i, b"x")
        result = self.run_tool("*.htm", "/NCR", "/NOCGI")
        # Wine hands Linux the low 8 bits of the status.
        self.assertEqual(done(2100) & 0xFF, result.status)
        self.assertNotIn(b"Warning", result.out)
        self.assertEqual([], [i for i in range(2100) if not self.exists("p%04d.bat" % i)])

    def test_no_output_lands_on_a_late_match(self):
        # The last of thousands of matches is a source like the first.
        if WINDOWS:
            self.skipTest("the search order under Wine is the host's, not the names'")
        for i in range(4200):
            self.write("p%04d.htm" % i, b"x")
        self.write("a.zzz.htm", b"page")
        self.write("zzz.bat", b"source zzz")
        result = self.run_tool("*.*", "/NCR")
        bat = self.here("zzz.bat")
        self.assertRun(result, BANNER + processing(self.here("a.zzz.htm")) + SAME_FILE + bat + NL +
                       summary(0, 1, 0, 4201), 1)
        self.assertEqual(b"source zzz", self.read("zzz.bat"))


def root_only(test):
    if WINDOWS or os.geteuid() != 0:
        test.skipTest("needs root on Linux")


class SharedDirectories(ToolTest):
    """A root run in a directory that other users may write."""

    def shared(self):
        root_only(self)
        directory = self.path("shared")
        os.mkdir(directory)
        os.chmod(directory, 0o1777)
        return directory

    def test_special_bits_are_never_carried_over(self):
        directory = self.shared()
        self.write("shared/page.htm", b"x\n")
        self.write("shared/page.bat", b"old")
        os.chown(self.path("shared/page.bat"), 4321, 4322)
        os.chmod(self.path("shared/page.bat"), 0o6777)
        result = self.run_tool("page.htm", "/NCR", cwd=directory)
        self.assertEqual(done(1), result.status, result.out)
        info = os.stat(self.path("shared/page.bat"))
        self.assertEqual(0o777, info.st_mode & 0o7777)
        self.assertEqual((4321, 4322), (info.st_uid, info.st_gid))

    def test_another_users_link_is_not_read_as_a_source(self):
        directory = self.shared()
        self.write("private.htm", b"root's own")
        self.write("shared/page.htm", b"x\n")
        os.symlink(self.path("private.htm"), self.path("shared/link.htm"))
        os.lchown(self.path("shared/link.htm"), 4321, 4321)
        result = self.run_tool("link.htm", cwd=directory)
        source = (directory + "/link.htm").encode()
        self.assertRun(result, BANNER + processing(source) + b"Error: Can't open source file " +
                       source + b" for input" + NL + reason("denied"), 1)
        self.assertFalse(os.path.exists(self.path("shared/link.bat")))
        # The user's own link is read.
        os.lchown(self.path("shared/link.htm"), 0, 0)
        self.assertEqual(done(1), self.run_tool("link.htm", cwd=directory).status)

    def test_a_new_output_is_no_more_readable_than_its_source(self):
        if WINDOWS:
            self.skipTest("permission bits are POSIX's")
        self.write("private.htm", b"x\n")
        os.chmod(self.path("private.htm"), 0o600)
        self.write("open.htm", b"x\n")
        os.chmod(self.path("open.htm"), 0o644)
        self.assertEqual(done(2), self.run_tool("*.htm").status)
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(0o600 & ~mask, os.stat(self.path("private.bat")).st_mode & 0o777)
        self.assertEqual(0o644 & ~mask, os.stat(self.path("open.bat")).st_mode & 0o777)

    def test_another_users_link_is_not_followed(self):
        directory = self.shared()
        self.write("victim.conf", b"root's own")
        self.write("shared/page.htm", b"x\n")
        os.symlink(self.path("victim.conf"), self.path("shared/page.bat"))
        os.lchown(self.path("shared/page.bat"), 4321, 4321)
        result = self.run_tool("page.htm", cwd=directory)
        bat = (directory + "/page.bat").encode()
        self.assertRun(result, BANNER + processing((directory + "/page.htm").encode()) +
                       b"Error: Can't open batch file " + bat + b" for output" + NL +
                       reason("denied"), 1)
        self.assertEqual(b"root's own", self.read("victim.conf"))
        # The directory's owner may point a link anywhere.
        os.lchown(self.path("shared/page.bat"), 0, 0)
        self.assertEqual(done(1), self.run_tool("page.htm", cwd=directory).status)
        self.assertTrue(self.read("victim.conf").startswith(b"@echo off"))


MEMBER = 4321  # a member of the web group, who may write the shared directory
GROUP = 4322


class HostileMembers(ToolTest):
    """Root converting a directory that a group may write (2775, not sticky),
    where a member plants links and outputs."""

    def web(self):
        root_only(self)
        directory = self.path("web")
        os.mkdir(directory)
        os.chown(directory, 0, GROUP)
        os.chmod(directory, 0o2775)
        self.write("secret.htm", b"root's secret\n")
        os.chmod(self.path("secret.htm"), 0o600)
        return directory

    def plant_link(self, target, name):
        os.symlink(target, self.path(name))
        os.lchown(self.path(name), MEMBER, GROUP)

    def test_planted_links_and_outputs(self):
        directory = self.web()
        self.write("victim.conf", b"root's own")
        self.write("web/page.htm", b"x\n")
        self.write("web/draft.htm", b"draft\n")
        os.chmod(self.path("web/draft.htm"), 0o600)
        self.write("web/draft.bat", b"")
        os.chown(self.path("web/draft.bat"), MEMBER, GROUP)
        os.chmod(self.path("web/draft.bat"), 0o666)
        self.write("web/own.htm", b"colleague's page\n")
        os.chown(self.path("web/own.htm"), MEMBER, GROUP)
        self.plant_link(self.path("victim.conf"), "web/page.bat")
        self.plant_link(self.path("victim.conf") + ".new", "web/n.bat")
        self.write("web/n.htm", b"n\n")
        self.plant_link(self.path("secret.htm"), "web/x.htm")
        self.plant_link("own.htm", "web/mine.htm")
        result = self.run_tool("-k", "*.htm", "/NCR", cwd=directory)
        self.assertEqual(FAILED, result.status, result.out)
        denied = reason("denied")
        for line in (b"Error: Can't open batch file " + (directory + "/page.bat").encode() +
                     b" for output" + NL + denied,
                     b"Error: Can't open batch file " + (directory + "/n.bat").encode() +
                     b" for output" + NL + denied,
                     b"Error: Can't open source file " + (directory + "/x.htm").encode() +
                     b" for input" + NL + denied):
            self.assertIn(line, result.errors)
        self.assertEqual(b"root's own", self.read("victim.conf"))
        self.assertFalse(os.path.lexists(self.path("victim.conf.new")))
        self.assertFalse(os.path.exists(self.path("web/x.bat")))
        # The member's own output gives way to a file only root may read.
        info = os.stat(self.path("web/draft.bat"))
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual((0, 0o600 & ~mask), (info.st_uid, info.st_mode & 0o777))
        self.assertIn(b"echo draft", self.read("web/draft.bat"))
        # A colleague's link to their own page still converts.
        self.assertIn(b"echo colleague's page", self.read("web/mine.bat"))

    def test_a_linked_typed_directory_is_refused(self):
        root_only(self)
        shared = self.path("tmp")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        self.write("private/page.htm", b"root only\n")
        self.plant_link(self.path("private"), "tmp/site")
        result = self.run_tool(shared + "/site/*.htm")
        self.assertEqual(FAILED, result.status, result.out)
        self.assertIn(reason("denied"), result.errors)
        self.assertFalse(os.path.exists(self.path("private/page.bat")))
        # Its owner's own link is followed.
        os.lchown(self.path("tmp/site"), 0, 0)
        self.assertEqual(done(1), self.run_tool(shared + "/site/*.htm").status)

    def test_a_typed_backslash_is_a_byte_of_the_name(self):
        if WINDOWS:
            self.skipTest("a backslash separates on Windows")
        self.write("secret/key.html", b"secret\n")
        name = "a\\..\\..\\secret\\key.html"
        self.write("site/" + name, b"page\n")
        result = self.run_tool("site/" + name, "/NCR")
        self.assertEqual(done(1), result.status, result.out)
        self.assertEqual(b"@echo off\r\necho Content-type: text/html\r\necho.\r\necho page\r\necho.\r\n",
                         self.read("site/key.bat"))
        self.assertFalse(self.exists("secret/key.bat"))

    def test_a_link_swapped_during_runs_publishes_nothing(self):
        directory = self.web()
        self.write("web/own.htm", b"colleague's page\n")
        os.chown(self.path("web/own.htm"), MEMBER, GROUP)
        self.plant_link("own.htm", "web/good")
        self.plant_link(self.path("secret.htm"), "web/bad")
        self.plant_link("own.htm", "web/p.htm")
        stop = []

        def swap():
            while not stop:
                for name in ("good", "bad"):
                    os.link(self.path("web/" + name), self.path("web/next"), follow_symlinks=False)
                    os.rename(self.path("web/next"), self.path("web/p.htm"))

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            for _ in range(40):
                self.run_tool("-q", "p.htm", "/NCR", cwd=directory)
                if os.path.exists(self.path("web/p.bat")):
                    self.assertNotIn(b"secret", self.read("web/p.bat"))
        finally:
            stop.append(True)
            swapper.join()

    def test_a_later_run_removes_what_a_killed_run_left(self):
        directory = self.web()
        self.write("web/page.htm", b"x\n")
        leftovers = [".page.bat.quillfen-new-AbC123", ".page.com.quillfen-old-XyZ789"]
        for name in leftovers:
            self.write("web/" + name, b"half")
        # Another user's file, one that a run in flight holds, and another
        # output's are left alone.
        kept = [".page.bat.quillfen-new-Member", ".page.bat.quillfen-new-Locked",
                ".other.bat.quillfen-new-Qwerty"]
        for name in kept:
            self.write("web/" + name, b"keep")
        os.chown(self.path("web/" + kept[0]), MEMBER, GROUP)
        held = open(self.path("web/" + kept[1]), "rb")
        fcntl.flock(held, fcntl.LOCK_EX)
        try:
            result = self.run_tool("-q", "page.htm", "/COMPILE", cwd=directory)
        finally:
            held.close()
        self.assertEqual(done(1), result.status, result.out)
        self.assertEqual(sorted(kept + ["page.bat", "page.com", "page.htm"]),
                         sorted(os.listdir(directory)))

    def test_a_killed_pair_leaves_nothing_after_the_next_run(self):
        directory = self.web()
        needs_strace(self)
        self.write("web/page.htm", b"x\n" * 1000)
        self.assertEqual(done(1), self.run_tool("-q", "page.htm", "/COMPILE", cwd=directory).status)
        # Killed as the pair is put in place, after the kept link is made.
        subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=renameat:signal=KILL",
                        "-e", "trace=renameat,renameat2", EXE, "-q", "page.htm", "/COMPILE"],
                       cwd=directory, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120, check=False)
        self.assertTrue([n for n in os.listdir(directory) if ".quillfen-" in n])
        self.assertEqual(done(1), self.run_tool("-q", "page.htm", "/COMPILE", cwd=directory).status)
        self.assertEqual(["page.bat", "page.com", "page.htm"], sorted(os.listdir(directory)))


def needs_strace(test):
    if WINDOWS:
        test.skipTest("strace traces Linux programs")
    if shutil.which("strace") is None:
        test.skipTest("tool not found: strace")


def strace_inject(test, fault, args, cwd):
    """Runs the tool under strace with a fault injected."""
    needs_strace(test)
    completed = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null"] + fault + [EXE] + args,
                               cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=120)
    if b"PTRACE" in completed.stderr or b"ptrace" in completed.stderr:
        test.skipTest("strace may not trace here")
    return Result(completed)


class InjectedFaults(ToolTest):
    def test_directory_that_cannot_be_read_to_its_end(self):
        for i in range(1500):
            self.write("p%04d.htm" % i, b"x")
        result = strace_inject(self, ["-e", "inject=getdents64:error=EIO:when=2"], ["*.htm"],
                               self.dir)
        self.assertRun(result, BANNER + b"Error: Can't read directory " + self.here() + NL +
                       reason("read error"), 1)
        self.assertEqual([], [name for name in os.listdir(self.dir) if name.endswith(".bat")])

    def test_pair_is_kept_whole_when_the_program_fails_to_close(self):
        needs_strace(self)
        self.write("a.htm", b"new page\n")
        self.write("a.bat", b"old script")
        self.write("a.com", b"old program")
        # Finds which close is the program's, then makes it fail.
        log = self.path("closes")
        subprocess.run(["strace", "-f", "-qq", "-y", "-e", "trace=close", "-o", log, EXE, "a.htm",
                        "/COMPILE"], cwd=self.dir, stdout=subprocess.DEVNULL, timeout=120)
        for name in ("a.bat", "a.com"):
            self.write(name, b"old " + (b"script" if name == "a.bat" else b"program"))
        with open(log, "rb") as f:
            closes = [line for line in f.read().splitlines() if b"close(" in line]
        os.remove(log)
        which = [i for i, line in enumerate(closes) if b".a.com.quillfen-new-" in line]
        self.assertEqual(1, len(which), closes)
        result = strace_inject(self, ["-e", "inject=close:error=EIO:when=%d" % (which[0] + 1)],
                               ["a.htm", "/COMPILE"], self.dir)
        self.assertTrue(result.errors.endswith(b"Error: Can't write COM file " + self.here("a.com") +
                                               NL + reason("read error")), result.errors)
        self.assertEqual(b"old script", self.read("a.bat"))
        self.assertEqual(b"old program", self.read("a.com"))
        self.assertEqual([], hidden_leftovers(self.dir))


class PairRenames(ToolTest):
    def test_a_failed_second_rename_takes_the_first_back(self):
        # The program's rename fails after the script's went through.
        needs_strace(self)
        for old in (False, True):
            self.write("a.htm", b"new page\n")
            if old:
                self.write("a.bat", b"old script")
                self.write("a.com", b"old program")
            result = strace_inject(self, ["-e", "inject=renameat,rename:error=EIO:when=2"],
                                   ["a.htm", "/COMPILE"], self.dir)
            self.assertTrue(result.errors.endswith(b"Error: Can't write COM file " +
                                                   self.here("a.com") + NL + reason("read error")),
                            result.errors)
            self.assertNotIn(b"bytes(s) written", result.out)
            self.assertEqual(FAILED, result.status)
            if old:
                self.assertEqual(b"old script", self.read("a.bat"))
                self.assertEqual(b"old program", self.read("a.com"))
            self.assertEqual(["a.bat", "a.com", "a.htm"] if old else ["a.htm"],
                             sorted(os.listdir(self.dir)))


class Signals(ToolTest):
    """A run that a signal ends: it dies of that signal, leaves no temporary
    file, and every pair of outputs is the old one or the new one."""

    def setUp(self):
        super().setUp()
        if WINDOWS:
            self.skipTest("POSIX signals")

    def old_pairs(self, count):
        for i in range(count):
            self.write("p%03d.htm" % i, b"<p>page %d</p>\n" % i)
            self.write("p%03d.bat" % i, b"old script")
            self.write("p%03d.com" % i, b"old program")

    def assertPairsWhole(self, count):
        self.assertEqual([], hidden_leftovers(self.dir))
        for i in range(count):
            bat, com = self.read("p%03d.bat" % i), self.read("p%03d.com" % i)
            old = (bat, com) == (b"old script", b"old program")
            new = bat.startswith(b"@echo off") and com[:1] == b"\xe9"
            self.assertTrue(old or new, (i, bat[:20], com[:4]))

    def test_a_signal_removes_the_files_in_flight(self):
        line = b"<p>" + b"x" * 200 + b"</p>\n"
        with open(self.path("big.htm"), "wb") as f:
            f.write(line * (400 * 1024 * 1024 // len(line)))
        self.write("big.bat", b"old script")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            run = subprocess.Popen([EXE, "big.htm", "/COMPILE"], cwd=self.dir,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while not hidden_leftovers(self.dir) and time.monotonic() < deadline:
                time.sleep(0.001)
            run.send_signal(number)
            self.assertEqual(-number, run.wait(timeout=60))
            self.assertEqual([], hidden_leftovers(self.dir))
            self.assertEqual(b"old script", self.read("big.bat"))
            self.assertFalse(self.exists("big.com"))

    def test_a_reader_that_goes_away_ends_the_run_between_pairs(self):
        self.old_pairs(600)
        run = subprocess.Popen([EXE, "p*.htm", "/COMPILE"], cwd=self.dir,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        run.stdout.read(10)
        run.stdout.close()
        self.assertEqual(-signal.SIGPIPE, run.wait(timeout=120))
        self.assertPairsWhole(600)

    def test_a_file_size_limit_is_a_write_error(self):
        self.write("a.htm", b"<p>page</p>\n" * 2000)
        self.write("a.bat", b"old script")

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        completed = subprocess.run([EXE, "a.htm"], cwd=self.dir, preexec_fn=limit,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(FAILED, completed.returncode)
        self.assertTrue(completed.stderr.endswith(b"Error: Can't write batch file " +
                                                  self.here("a.bat") + NL +
                                                  b"  File too large" + NL), completed.stderr)
        self.assertEqual(b"old script", self.read("a.bat"))
        self.assertEqual([], hidden_leftovers(self.dir))


class SpecialFiles(ToolTest):
    def test_fifo_without_a_reader_is_refused(self):
        if WINDOWS:
            self.skipTest("FIFOs are POSIX files")
        self.write("page.htm", b"x\n")
        os.mkfifo(self.path("page.bat"))
        result = self.run_tool("page.htm")
        self.assertRun(result, BANNER + processing(self.here("page.htm")) +
                       b"Error: Can't open batch file " + self.here("page.bat") + b" for output" +
                       NL + b"  No such device or address" + NL, 1)

    def test_match_too_long_to_hold(self):
        # The directory fits a path; one of its names takes the whole past it.
        if WINDOWS:
            self.skipTest("Wine's paths stop short of this")
        parts = ["d%03d" % i + "x" * 196 for i in range(20)]
        deep = os.path.join(self.dir, *parts)
        os.makedirs(deep)
        spec = os.path.join(*parts) + "/*.htm"
        long_name = "y" * 150 + ".htm"
        fd = os.open(deep, os.O_RDONLY)
        for name in (long_name, "ok.htm"):
            with open(os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(b"x\n")
        os.close(fd)
        result = self.run_tool(spec, "/NCR")
        shown = os.path.join(*parts).encode() + b"/"
        self.assertEqual(1, result.status)
        self.assertIn(b"Error: Path too long: " + (shown + long_name.encode())[:4095] + NL,
                      result.errors)
        self.assertIn(processing(shown + b"ok.htm"), result.out)
        self.assertTrue(os.path.exists(os.path.join(deep, "ok.bat")))


class ConcurrentRuns(ToolTest):
    def test_four_runs_over_one_directory_warn_of_nothing(self):
        # Each removes the leftovers in its listing: never another's in flight.
        for i in range(80):
            self.write("p%02d.htm" % i, b"<p>page %d</p>\n" % i)
        for _ in range(4):
            runs = [subprocess.Popen(RUNNER + [EXE, "*.htm", "/COMPILE"], cwd=self.dir,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE) for _ in range(4)]
            for run in runs:
                out, err = run.communicate(timeout=300)
                self.assertNotIn(b"Warning", out + err)
                self.assertEqual(done(80) & 0xFF, run.returncode, out[-400:] + err[-400:])
        self.assertEqual([], [name for name in os.listdir(self.dir) if "quillfen-" in name])
