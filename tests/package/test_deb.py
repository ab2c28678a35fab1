"""The Debian package of the Linux build: what it holds, what it declares,
and that the program unpacked from it converts a page."""
import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

from cpack_support import ROOT, banner_version, make_package

PAGE = b"<p>Fish & chips</p>\n"
SCRIPT_END = b"echo ^<p^>Fish ^& chips^</p^>\r\necho.\r\n"


def run(*args, cwd=None):
    return subprocess.run(list(args), cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quillfen-deb-")
        cls.deb = make_package("DEB", cls.dir, ".deb")
        cls.root = os.path.join(cls.dir, "root")
        unpacked = run("dpkg-deb", "-x", cls.deb, cls.root)
        if unpacked.returncode != 0:
            raise AssertionError(unpacked.stderr.decode(errors="replace"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.decode().strip()

    def test_holds_the_program_and_the_compressed_manual_page(self):
        files = sorted(os.path.relpath(os.path.join(d, f), self.root)
                       for d, _, names in os.walk(self.root) for f in names)
        self.assertEqual(["usr/bin/quillfen", "usr/share/doc/quillfen/changelog.gz",
                          "usr/share/man/man1/quillfen.1.gz"], files)
        self.assertTrue(os.access(os.path.join(self.root, "usr/bin/quillfen"), os.X_OK))
        with gzip.open(os.path.join(self.root, "usr/share/man/man1/quillfen.1.gz")) as f:
            page = f.read()
        with open(os.path.join(ROOT, "doc", "quillfen.1"), "rb") as f:
            self.assertEqual(f.read(), page)

    def test_program_from_the_package_converts_a_page(self):
        work = os.path.join(self.dir, "work")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "page.htm"), "wb") as f:
            f.write(PAGE)
        result = run(os.path.join(self.root, "usr/bin/quillfen"), "page.htm", cwd=work)
        self.assertEqual(1, result.returncode, result.stdout)
        with open(os.path.join(work, "page.bat"), "rb") as f:
            script = f.read()
        self.assertTrue(script.startswith(b"@echo off\r\n"), script)
        self.assertTrue(script.endswith(SCRIPT_END), script)

    def test_declares_the_banner_version_and_the_libraries_it_needs(self):
        self.assertEqual(banner_version(), self.field("Version"))
        self.assertIn("v" + banner_version() + " ",
                      run(os.path.join(self.root, "usr/bin/quillfen"), "/?").stdout.decode())
        self.assertIn("libc6", self.field("Depends"))
        self.assertEqual(run("dpkg", "--print-architecture").stdout.decode().strip(),
                         self.field("Architecture"))
        for name in ("Maintainer", "Section", "Description"):
            self.assertNotEqual("", self.field(name), name)

    def test_lintian_finds_nothing_but_the_missing_copyright(self):
        if shutil.which("lintian") is None:
            self.skipTest("tool not found: lintian")
        # The project states no licence yet, so there is no copyright file to
        # ship; every other error or warning is a fault of the package.
        result = run("lintian", "--suppress-tags", "no-copyright-file", self.deb)
        findings = [line for line in result.stdout.decode().splitlines()
                    if line.startswith(("E:", "W:"))]
        self.assertEqual([], findings)


if __name__ == "__main__":
    unittest.main()
