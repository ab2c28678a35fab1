"""tools/setup-tests.sh, run against stand-ins for dpkg-query, apt-get, sudo
and id, so that no package of this machine is touched."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRIPT = os.path.join(ROOT, "tools", "setup-tests.sh")

# One program plays every stand-in, by the name it is called with.  State:
# "installed" holds the installed packages, "log" the calls of apt-get.
STAND_IN = """#!%s
import os, sys
state = os.environ["STAND_IN_STATE"]
name = os.path.basename(sys.argv[0])
args = sys.argv[1:]
def installed():
    with open(os.path.join(state, "installed")) as f:
        return f.read().split()
if name == "id":
    print(os.environ["STAND_IN_UID"])
elif name == "sudo":
    os.environ["STAND_IN_SUDO"] = "sudo "
    os.execvp(args[0], args)
elif name == "dpkg-query":
    packages = [a for a in args if not a.startswith("-")]
    for package in packages:
        if package in installed():
            print("ii  " + package)
    sys.exit(0 if set(packages) <= set(installed()) else 1)
elif name == "apt-get":
    with open(os.path.join(state, "log"), "a") as f:
        print(os.environ.get("STAND_IN_SUDO", "") + " ".join(["apt-get"] + args) +
              " (%%s)" %% os.environ.get("DEBIAN_FRONTEND", "-"), file=f)
    if os.environ.get("STAND_IN_APT") == "fails":
        sys.exit(100)
    if args[0] == "install" and os.environ.get("STAND_IN_APT") != "installs nothing":
        with open(os.path.join(state, "installed"), "a") as f:
            print(" ".join(a for a in args[1:] if not a.startswith("-")), file=f)
""" % sys.executable


def needed_packages():
    listed = subprocess.run(["/bin/sh", SCRIPT, "--list"], stdout=subprocess.PIPE, check=True)
    return listed.stdout.decode().split()


class SetupScript(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillfen-setup-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        stand_in = os.path.join(self.dir, "stand-in")
        with open(stand_in, "w") as f:
            f.write(STAND_IN)
        os.chmod(stand_in, 0o755)
        for name in ("id", "dpkg-query", "apt-get"):
            os.symlink(stand_in, os.path.join(self.bin, name))
        os.symlink(shutil.which("env"), os.path.join(self.bin, "env"))
        self.stand_in = stand_in
        self.packages = needed_packages()

    def with_sudo(self):
        os.symlink(self.stand_in, os.path.join(self.bin, "sudo"))

    def run_script(self, installed, uid=0, apt="works", *args):
        with open(os.path.join(self.dir, "installed"), "w") as f:
            f.write(" ".join(installed) + "\n")
        open(os.path.join(self.dir, "log"), "w").close()
        env = {"PATH": self.bin, "STAND_IN_STATE": self.dir, "STAND_IN_UID": str(uid),
               "STAND_IN_APT": apt}
        result = subprocess.run(["/bin/sh", SCRIPT] + list(args), env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        with open(os.path.join(self.dir, "log")) as f:
            log = f.read().splitlines()
        return result.returncode, result.stdout.decode(), log

    def test_installs_only_what_is_missing(self):
        self.with_sudo()
        status, out, log = self.run_script(self.packages)
        self.assertEqual((0, []), (status, log), out)

        some = [p for p in self.packages if p not in ("dosbox", "clang")]
        status, out, log = self.run_script(some)
        self.assertEqual(0, status, out)
        self.assertEqual(["apt-get update -q (-)",
                          "apt-get install -y -q dosbox clang (noninteractive)"], log)

        status, out, log = self.run_script(some, 1000)
        self.assertEqual(0, status, out)
        self.assertEqual(["sudo apt-get update -q (-)",
                          "sudo apt-get install -y -q dosbox clang (noninteractive)"], log)

    def test_names_the_missing_packages_where_it_cannot_install_them(self):
        some = [p for p in self.packages if p not in ("wine", "lintian")]
        for case, uid, apt, args, calls in (
                ("only checking", 0, "works", ["--check"], 0),
                ("no sudo", 1000, "works", [], 0),
                ("apt-get fails", 0, "fails", [], 1),
                ("apt-get installs nothing", 0, "installs nothing", [], 2)):
            with self.subTest(case):
                status, out, log = self.run_script(some, uid, apt, *args)
                self.assertEqual(1, status, out)
                self.assertIn("missing: wine lintian\n", out)
                self.assertEqual(calls, len(log), log)

    def test_without_dpkg_it_lists_the_packages_and_fails(self):
        os.remove(os.path.join(self.bin, "dpkg-query"))
        status, out, log = self.run_script([])
        self.assertEqual(1, status)
        self.assertIn(" ".join(self.packages), out)
        self.assertEqual([], log)


if __name__ == "__main__":
    unittest.main()
