"""The Debian package of the Linux build: what it holds, what it declares,
and that the program unpacked from it converts a page."""
import gzip
import os
import re
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

    def test_holds_the_program_the_compressed_manual_page_and_the_licence(self):
        files = sorted(os.path.relpath(os.path.join(d, f), self.root)
                       for d, _, names in os.walk(self.root) for f in names)
        self.assertEqual(["usr/bin/quillfen", "usr/share/doc/quillfen/changelog.gz",
                          "usr/share/doc/quillfen/copyright",
                          "usr/share/doc/quillfen/examples/serve/bat-cgi",
                          "usr/share/doc/quillfen/examples/serve/lighttpd.conf",
                          "usr/share/man/man1/quillfen.1.gz"], files)
        self.assertTrue(os.access(os.path.join(self.root, "usr/bin/quillfen"), os.X_OK))
        with gzip.open(os.path.join(self.root, "usr/share/man/man1/quillfen.1.gz")) as f:
            page = f.read()
        with open(os.path.join(ROOT, "doc", "quillfen.1"), "rb") as f:
            self.assertEqual(f.read(), page)

    def test_holds_the_serving_recipe_as_the_tree_has_it(self):
        serve = os.path.join(self.root, "usr/share/doc/quillfen/examples/serve")
        for name in ("bat-cgi", "lighttpd.conf"):
            with open(os.path.join(serve, name), "rb") as f, \
                    open(os.path.join(ROOT, "examples", "serve", name), "rb") as g:
                self.assertEqual(g.read(), f.read(), name)
        self.assertTrue(os.access(os.path.join(serve, "bat-cgi"), os.X_OK))

    def test_copyright_file_states_the_licence_of_the_tree(self):
        with open(os.path.join(self.root, "usr/share/doc/quillfen/copyright")) as f:
            fields = f.read().split("\n\n")
        with open(os.path.join(ROOT, "LICENSE")) as f:
            licence = f.read()
        holders = re.search(r"^Copyright \(c\) (.+)$", licence, re.M).group(1)
        files = dict(re.findall(r"^(Files|Copyright|License): (.*)$", fields[1], re.M))
        self.assertEqual({"Files": "*", "Copyright": holders, "License": "Expat"}, files)
        self.assertTrue(fields[0].startswith("Format: https://www.debian.org/doc/"
                                             "packaging-manuals/copyright-format/1.0/\n"))
        # The licence's text, continuation lines unfolded, word for word.
        text = fields[1].split("License: Expat\n", 1)[1]
        unfolded = [line[1:] if line != " ." else "" for line in text.splitlines()]
        self.assertEqual(licence.split(holders + "\n", 1)[1].strip().splitlines(), unfolded)

    def test_program_from_the_package_converts_a_page(self):
        work = os.path.join(self.dir, "work")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "page.htm"), "wb") as f:
            f.write(PAGE)
        result = run(os.path.join(self.root, "usr/bin/quillfen"), "page.htm", cwd=work)
        self.assertEqual(0, result.returncode, result.stdout)
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

    def test_lintian_finds_nothing(self):
        if shutil.which("lintian") is None:
            self.skipTest("tool not found: lintian")
        result = run("lintian", self.deb)
        findings = [line for line in result.stdout.decode().splitlines()
                    if line.startswith(("E:", "W:"))]
        self.assertEqual([], findings, result.stderr.decode(errors="replace"))


if __name__ == "__main__":
    unittest.main()
