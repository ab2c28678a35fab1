"""Makes a package of the build under test with CPack, in a directory of its
own, and knows the version that the banner shows.

QUILLFEN_CPACK names cpack, QUILLFEN_CPACK_CONFIG the build's CPackConfig.cmake.
"""
import glob
import os
import re
import subprocess

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def banner_version():
    with open(os.path.join(ROOT, "src", "common", "product.h")) as f:
        return re.search(r'#define BANNER_TEXT ".* v([0-9.]+) ', f.read()).group(1)


def make_package(generator, directory, suffix):
    """Runs CPack with `generator` into `directory`; returns the package's path."""
    result = subprocess.run(
        [os.environ.get("QUILLFEN_CPACK", "cpack"), "--config",
         os.environ.get("QUILLFEN_CPACK_CONFIG", os.path.join(ROOT, "build", "CPackConfig.cmake")),
         "-G", generator, "-B", directory],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    if result.returncode != 0:
        raise AssertionError("cpack failed:\n" + result.stdout.decode(errors="replace"))
    packages = glob.glob(os.path.join(directory, "*" + suffix))
    if len(packages) != 1:
        raise AssertionError("cpack made %r" % packages)
    return packages[0]
