"""Runs the built tool in temporary directories and describes what it prints.

QUILLFEN_EXE names the program; QUILLFEN_RUNNER, when set, is a command
prefix (such as "wine") for a program built for another platform.
"""
import os
import shlex
import shutil
import subprocess
import tempfile
import unittest

EXE = os.path.abspath(os.environ.get("QUILLFEN_EXE", "build/quillfen"))
RUNNER = shlex.split(os.environ.get("QUILLFEN_RUNNER", ""))
WINDOWS = EXE.lower().endswith(".exe")

BANNER_TEXT = b"QUILLFEN v1.04 by Fen - 3rd January 2008"
HOME_URL = b"https://quillfen.example/tools"
NL = b"\r\n" if WINDOWS else b"\n"
SEP = "\\" if WINDOWS else "/"
BANNER = (b" " * 15 + BANNER_TEXT).ljust(79) + NL + NL

CREDITS = (b"rem -------------------------------------------------------------\r\n"
           b"rem  Converted from %s\r\n"
           b"rem  By " + BANNER_TEXT + b"\r\n"
           b"rem  Website: " + HOME_URL + b"\r\n"
           b"rem -------------------------------------------------------------\r\n")
CGI = b"echo Content-type: text/html\r\necho.\r\n"


def header(name, credits=True, cgi=True):
    """The script header for a source named `name`."""
    out = b"@echo off\r\n"
    if credits:
        out += CREDITS % name.encode()
    if cgi:
        out += CGI
    return out


def done(count):
    """The status of a run that converted all its `count` sources: the count on
    Windows, 0 elsewhere."""
    return count if WINDOWS else 0


def counted(count):
    """The status of such a run under --count-status."""
    return count if WINDOWS else min(count, 125)


def typed(text):
    """A path from the command line as messages show it: as typed on POSIX,
    upper-cased on Windows (bytes or text)."""
    return text.upper() if WINDOWS else text


FAILED = 1
BAD_COMMAND = 1 if WINDOWS else 2  # an unknown option


# Where errors and warnings go: standard error on POSIX, standard output
# on Windows.
ERRORS_APART = not WINDOWS


def split_streams(text):
    """Console text as one stream, split as the tool prints it: errors and
    warnings, and the lines that go on from them (two blanks first), on the
    error stream; the rest on standard output."""
    if not ERRORS_APART:
        return text, b""
    out, err = [], []
    target = out
    for line in text.splitlines(keepends=True):
        if line.startswith((b"Error: ", b"Warning: ", b"Fatal ")):
            target = err
        elif not line.startswith(b"  "):
            target = out
        target.append(line)
    return b"".join(out), b"".join(err)


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr
        # The stream that errors and warnings go to.
        self.errors = self.err if ERRORS_APART else self.out


class ToolTest(unittest.TestCase):
    """A test case with its own working directory."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillfen-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        return full

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.lexists(self.path(name))

    def run_tool(self, *args, cwd=None):
        env = dict(os.environ)
        env.pop("NO_COLOR", None)
        completed = subprocess.run(RUNNER + [EXE] + list(args), cwd=cwd or self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env, timeout=120)
        return Result(completed)

    def status_of(self, *args):
        """The full exit status of a run; Wine hands Linux only its low 8
        bits, so a Windows build reports it through the interpreter."""
        if not WINDOWS:
            return self.run_tool(*args).status
        self.write("status.bat", b"@\"" + EXE.encode() + b"\" " + " ".join(args).encode() +
                   b" >nul\r\n@echo %ERRORLEVEL%\r\n")
        completed = subprocess.run(RUNNER + ["cmd", "/c", "status.bat"], cwd=self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=120)
        return int(completed.stdout.strip())

    def here(self, name=""):
        """The tool's spelling of a path in the working directory."""
        if WINDOWS:
            return ("Z:" + self.dir.replace("/", "\\") + "\\" + name).encode()
        return (self.dir + "/" + name).encode()

    def assertStarts(self, result, text):
        """Each stream begins with its part of `text`, console text as one
        stream."""
        out, err = split_streams(text)
        self.assertTrue(result.out.startswith(out), result.out)
        self.assertTrue(result.err.startswith(err), result.err)

    def assertEnds(self, result, text):
        out, err = split_streams(text)
        self.assertTrue(result.out.endswith(out), result.out)
        self.assertTrue(result.err.endswith(err), result.err)

    def assertRun(self, result, text, status):
        """`text` is the console text as one stream."""
        out, err = split_streams(text)
        self.assertEqual(out, result.out)
        self.assertEqual(err, result.err)
        self.assertEqual(status, result.status)


# The second line of an error: the system's reason, as each build words it.
REASONS = {
    "is a directory": (b"Is a directory", b"Access denied"),
    "missing": (b"No such file or directory", b"File not found"),
    "missing path": (b"No such file or directory", b"Path not found"),
    "read error": (b"Input/output error", b""),
    # Wine's runtime keeps no code for a write that found the disk full.
    "no space": (b"No space left on device", b"Write fault"),
    "too large": (b"File too large", b""),
    "not regular": (b"Not a regular file", b"Not a regular file"),
    "denied": (b"Permission denied", b"Access denied"),
}


def reason(name):
    """The reason line that follows an error."""
    return b"  " + REASONS[name][1 if WINDOWS else 0] + NL


def summary(converted, failed=0, warnings=0, untried=0):
    """The line that ends a POSIX run of several sources."""
    if WINDOWS:
        return b""
    line = b"\x10 %d page(s) converted, %d failed, %d warning(s)" % (converted, failed, warnings)
    if untried:
        line += b"; %d not tried (-k goes on past a failure)" % untried
    return line + NL


def processing(path):
    return b"\x10 Processing \"" + path + b"\"..." + NL


def writing(path):
    return b"\x10 Writing BAT file " + path + NL


def written(path, size):
    return b"\x10 %d bytes(s) written to \"" % size + path + b"\"" + NL
