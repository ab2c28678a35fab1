"""make install and make uninstall, staged below a temporary DESTDIR.

Environment:
  QUILLFEN_EXE  the built tool; the Release tree that make install builds is
                kept beside it, in install-tree, from one run to the next
"""
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PREFIX = "/opt/quillfen"
FILES = ("bin/quillfen", "share/man/man1/quillfen.1")


def make(target, destdir):
    build = os.path.join(os.path.dirname(os.path.abspath(os.environ["QUILLFEN_EXE"])),
                         "install-tree")
    # Not the settings of a make that runs ctest (make test).
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    return subprocess.run(["make", "-C", ROOT, target, "DESTDIR=" + destdir, "PREFIX=" + PREFIX,
                           "INSTALL_BUILD=" + build, "JOBS=2"], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=900)


def sections(path):
    result = subprocess.run(["readelf", "-S", "-W", path], stdout=subprocess.PIPE, check=True)
    return result.stdout.decode()


class InstallAndUninstall(unittest.TestCase):
    def setUp(self):
        for tool in ("make", "readelf"):
            if shutil.which(tool) is None:
                self.skipTest("tool not found: " + tool)
        self.stage = tempfile.mkdtemp(prefix="quillfen-install-")
        self.addCleanup(shutil.rmtree, self.stage, True)

    def staged(self, name):
        return os.path.join(self.stage, PREFIX.lstrip("/"), name)

    def test_installs_a_stripped_release_build_and_removes_what_it_installed(self):
        result = make("install", self.stage)
        self.assertEqual(0, result.returncode, result.stdout.decode(errors="replace"))
        for name in FILES:
            self.assertTrue(os.path.isfile(self.staged(name)), name)
        binary = self.staged("bin/quillfen")
        self.assertTrue(os.access(binary, os.X_OK))
        table = sections(binary)
        self.assertNotIn(".symtab", table)
        self.assertNotIn(".debug_", table)
        version = subprocess.run([binary, "--version"], stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(0, version.returncode)
        self.assertTrue(version.stdout.startswith(b"QUILLFEN "), version.stdout)

        # A file of the user's beside them stays.
        mine = self.staged("bin/mine")
        open(mine, "w").close()
        result = make("uninstall", self.stage)
        self.assertEqual(0, result.returncode, result.stdout.decode(errors="replace"))
        for name in FILES:
            self.assertFalse(os.path.exists(self.staged(name)), name)
        self.assertTrue(os.path.exists(mine))

        # Nothing is left to remove, and that is said.
        result = make("uninstall", self.stage)
        self.assertNotEqual(0, result.returncode)
        self.assertIn(b"nothing was installed", result.stdout)


if __name__ == "__main__":
    unittest.main()
