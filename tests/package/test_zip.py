"""The .zip archive of the Windows build: what it holds, and that the program
from it converts a page under Wine."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from cpack_support import ROOT, banner_version, make_package

PAGE = b"<p>Fish & chips</p>\r\n"
SCRIPT_END = b"echo ^<p^>Fish ^& chips^</p^>\r\necho.\r\n"


class WindowsArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quillfen-zip-")
        cls.zip = make_package("ZIP", cls.dir, ".zip")
        cls.top = "quillfen-%s-win64" % banner_version()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def read(self, name):
        with zipfile.ZipFile(self.zip) as archive:
            return archive.read(self.top + "/" + name)

    def test_holds_the_program_the_readme_the_licence_and_the_manual_as_text(self):
        with zipfile.ZipFile(self.zip) as archive:
            self.assertEqual(sorted(self.top + "/" + name for name in
                                    ("quillfen.exe", "README.txt", "LICENSE.txt", "quillfen.txt")),
                             sorted(archive.namelist()))
        self.assertIn(b"\r\nEXIT STATUS\r\n", self.read("quillfen.txt"))
        with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
            self.assertEqual(f.read().replace(b"\n", b"\r\n"), self.read("LICENSE.txt"))

    def test_text_files_are_plain_ascii_with_cr_lf_line_ends(self):
        for name in ("README.txt", "LICENSE.txt", "quillfen.txt"):
            with self.subTest(name):
                text = self.read(name)
                self.assertTrue(text.endswith(b"\r\n"))
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))
                self.assertEqual(text.count(b"\r"), text.count(b"\r\n"))
                # No overstrikes or escape sequences left by the formatter.
                strays = [c for c in set(text) if c > 0x7E or (c < 0x20 and c not in b"\r\n")]
                self.assertEqual([], strays)

    def test_readme_is_written_for_windows(self):
        readme = self.read("README.txt").decode("ascii")
        self.assertIsNone(re.search(r"\bapt\b|\bsudo\b", readme))
        for usage in ("quillfen *.htm", "quillfen page.htm /COMPILE", "ERRORLEVEL",
                      "AddHandler cgi-script .bat", "LICENSE.txt"):
            self.assertIn(usage, readme)
        # Every switch of the Markdown README's table, and no other.
        with open(os.path.join(ROOT, "README.md")) as f:
            cells = re.findall(r"^\| (`/.*?) \|", f.read(), re.M)
        switches = set(re.findall(r"/[A-Z?]+", " ".join(cells)))
        self.assertLessEqual({"/COMPILE", "/NOWRAP", "/H"}, switches)
        entries = re.findall(r"^  (/.*?)(?:  |$)", readme, re.M)
        self.assertEqual(switches, set(re.findall(r"/[A-Z?]+", " ".join(entries))))

    def test_program_from_the_archive_converts_a_page_under_wine(self):
        if shutil.which("wine") is None:
            self.skipTest("tool not found: wine")
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(self.dir)
        work = os.path.join(self.dir, "work")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "page.htm"), "wb") as f:
            f.write(PAGE)
        env = dict(os.environ, WINEDEBUG="-all")
        result = subprocess.run(["wine", os.path.join(self.dir, self.top, "quillfen.exe"),
                                 "page.htm"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(1, result.returncode, result.stdout)
        with open(os.path.join(work, "page.bat"), "rb") as f:
            script = f.read()
        self.assertTrue(script.startswith(b"@echo off\r\n"), script)
        self.assertTrue(script.endswith(SCRIPT_END), script)


if __name__ == "__main__":
    unittest.main()
