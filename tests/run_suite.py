"""Runs one Python test suite for ctest, and tells a suite that could not run
from one that passed.

    run_suite.py MODULE           runs the unittest module MODULE, found in the
                                  current directory
    run_suite.py --missing TOOL   stands for a suite that cannot run here
                                  because TOOL was not found

A test that cannot run because a program it needs is missing skips with a
reason that begins "tool not found: " and names the program; other skips
(a check that belongs to the other platform, say) are the suite's own
business.  When QUILLFEN_RUNNER names a program to run quillfen with (Wine,
for the Windows build) and that program is missing, no test of the suite
can run, and none is tried.

Exit status: 1 when a test failed or raised, or when the suite holds no
test; otherwise SKIPPED (77, the suites' SKIP_RETURN_CODE) when a test was
skipped for a missing program; otherwise 0.  With QUILLFEN_NO_SKIPS=1 in the
environment a missing program is a failure too: make test, which installs
every program the tests need first, runs ctest so.
"""
import os
import shlex
import shutil
import sys
import unittest

SKIPPED = 77
TOOL_NOT_FOUND = "tool not found: "


def missing_tools(result):
    return sorted({reason[len(TOOL_NOT_FOUND):] for _, reason in result.skipped
                   if reason.startswith(TOOL_NOT_FOUND)})


def not_run(tools):
    """The status of a suite that some missing tools kept from running in full."""
    names = ", ".join(tools)
    if os.environ.get("QUILLFEN_NO_SKIPS", "0") not in ("", "0"):
        print("FAILED: not run in full, %s not found (QUILLFEN_NO_SKIPS is set)" % names)
        return 1
    print("SKIPPED: not run in full, %s not found" % names)
    return SKIPPED


def run_module(name):
    runner = shlex.split(os.environ.get("QUILLFEN_RUNNER", ""))
    if runner and shutil.which(runner[0]) is None:
        return not_run([runner[0]])
    sys.path.insert(0, os.getcwd())
    suite = unittest.defaultTestLoader.loadTestsFromName(name)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 and not result.skipped:
        print("FAILED: %s holds no test" % name)
        return 1
    tools = missing_tools(result)
    return not_run(tools) if tools else 0


def main(args):
    if len(args) == 1 and not args[0].startswith("-"):
        return run_module(args[0])
    if len(args) == 2 and args[0] == "--missing":
        return not_run([args[1]])
    print("usage: run_suite.py MODULE | --missing TOOL", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
