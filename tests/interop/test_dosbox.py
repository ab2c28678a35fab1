"""Runs the COM programs that quillfen compiles in DOSBox and checks what they print.

Environment:
  QUILLFEN_EXE     the quillfen executable (default: build/quillfen of this tree)
  QUILLFEN_RUNNER  optional command prefix for it, such as "wine"
  QUILLFEN_WINEPREFIX  with a runner, the Wine prefix to use

Every page is converted with /COMPILE in one temporary directory, then one
headless DOSBox session runs each program with its output redirected to a file.
The test is skipped when dosbox is not on PATH.
"""

import os
import random
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

CRLF = b"\r\n"
CGI_HEADER = b"Content-type: text/html\r\n\r\n"

DOSBOX_CONF = """[sdl]
output=surface
[dosbox]
machine=svga_s3
[cpu]
core=auto
cycles=max
[mixer]
nosound=true
[speaker]
pcspeaker=false
tandy=off
disney=false
[sblaster]
sbtype=none
[gus]
gus=false
[midi]
mpu401=none
mididevice=none
[dos]
xms=false
ems=false
umb=false
"""


def product_constants():
    """BANNER_TEXT and HOME_URL as the build compiles them in."""
    with open(os.path.join(ROOT, "src", "common", "product.h"), "rb") as f:
        text = f.read()
    banner = re.search(rb'#define BANNER_TEXT "(.*)"', text).group(1)
    url = re.search(rb'#define HOME_URL "(.*)"', text).group(1)
    return banner, url


def numbered(count, width):
    """Lines 'Line 0001 ...' padded with letters to `width` bytes."""
    letters = b"abcdefghijklmnopqrstuvwxyz" * 8
    return [(b"Line %04d " % i + letters)[:width] for i in range(1, count + 1)]


# A page with the usual troubles: CR LF and LF ends, blank lines, trailing
# blanks and tabs, inner tabs, a line of blanks only, bytes above 0x7F, the
# characters a batch script escapes, and no line feed after the last line.
BASIC_PAGE = (
    b"<html>\r\n<head><title>Hi</title></head>\r\n\r\n\r\n<body>  \t\r\n"
    b"\tIndented\ttab \t \n   \n\xe9t\xe9 caf\xe9 \xfc\xff\r\n"
    b'<a href="x?a=1&b=2">link</a> | 100% ^ "q" > < \r\n</body></html>'
)
BASIC_LINES = [
    b"<html>",
    b"<head><title>Hi</title></head>",
    b"<body>",
    b" Indented tab",
    b"",
    b"\xe9t\xe9 caf\xe9 \xfc\xff",
    b'<a href="x?a=1&b=2">link</a> | 100% ^ "q" > <',
    b"</body></html>",
]

MANY_LINES = numbered(1100, 30)  # below the text limit, past the record limit
# Records of 97 + 3 bytes from offset 3: 499 lines end at 49903, and the 94th
# byte of line 500 would bring the text to 49997.
BIG_LINES = numbered(600, 97)
# Lines of 95 bytes take 100 bytes of an MZ image's 512 KB text part each,
# with the length that leads them; the end mark leaves room for 5242.
HUGE_LINES = numbered(6000, 95)
HUGE_HELD = 5242


def generated_page(size, seed):
    """A page of about `size` bytes of lines of 0 to 150 bytes: words, '$'s,
    tabs, bytes 0x80 to 0xFF, blank lines and lines of blanks; returns the
    page and the lines that its program prints."""
    rng = random.Random(seed)
    alphabet = (b"abcdefghijklmnopqrstuvwxyz<>/=\"&|%^ 0123456789$$\t" +
                bytes(range(0x80, 0x100)))
    page, lines = [], []
    total = 0
    while total < size:
        kind = rng.random()
        if kind < 0.05:
            line = b""
        elif kind < 0.08:
            line = b" \t " * rng.randint(1, 3)
        else:
            line = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 150)))
        page.append(line)
        total += len(line) + 2
        if line:
            # One blank for each tab, then trailing blanks trimmed.
            lines.append(line.replace(b"\t", b" ").rstrip(b" "))
    return b"\r\n".join(page) + b"\r\n", lines


GENERATED = {name: generated_page(size, seed)
             for name, size, seed in (("GEN60", 60 << 10, 60), ("GEN150", 150 << 10, 150),
                                      ("GEN400", 400 << 10, 400))}

# A line of 20,000 bytes, which /W keeps whole: the program prints its
# pieces without a line end between them.
LONG_LINE = (b'<td class="c">A & B $5 | 100% ^ "q"</td> ' * 500)[:19999] + b"x"

# name, page bytes, switches
PAGES = [
    ("BASIC", BASIC_PAGE, []),
    ("NCR", BASIC_PAGE, ["/NCR"]),
    ("NOCGI", BASIC_PAGE, ["/NOCGI"]),
    ("EMPTY", b"", []),
    ("BLANKS", b"\r\n\n\r\n", ["/NCR"]),
    ("DOLLAR", b"Price $5\nnext\na$b$c\n$\n$$\nends$\nlast\n", ["/NCR"]),
    ("MANY", b"\r\n".join(MANY_LINES) + b"\r\n", ["/NOCGI"]),
    ("MANYH", b"\n".join(MANY_LINES), ["/NCR"]),
    ("BIG", b"\r\n".join(BIG_LINES) + b"\r\n", ["/NOCGI"]),
    ("HUGE", b"\r\n".join(HUGE_LINES) + b"\r\n", ["/NOCGI"]),
    ("LONGW", b"<p>\r\n" + LONG_LINE + b"\r\n</p>\r\n", ["/NOCGI", "/W"]),
    ("LONGMZ", b"\r\n".join(BIG_LINES + [LONG_LINE, b"end"]) + b"\r\n", ["/NOCGI", "/W"]),
] + [(name, page, ["/NCR"]) for name, (page, _) in sorted(GENERATED.items())]


def lines_out(lines):
    return b"".join(line + CRLF for line in lines)


def quillfen_command():
    exe = os.path.abspath(os.environ.get("QUILLFEN_EXE") or os.path.join(ROOT, "build", "quillfen"))
    if not os.path.isfile(exe):
        raise RuntimeError("quillfen executable not found: %s (set QUILLFEN_EXE)" % exe)
    runner = shlex.split(os.environ.get("QUILLFEN_RUNNER", ""))
    return runner + [exe]


def find_file(directory, name):
    """The file in `directory` whose name equals `name` without regard to case."""
    for entry in os.listdir(directory):
        if entry.upper() == name.upper():
            return os.path.join(directory, entry)
    return None


class DosboxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        dosbox = shutil.which("dosbox")
        if dosbox is None:
            raise unittest.SkipTest("tool not found: dosbox")
        cls.banner, cls.url = product_constants()
        # The '$' in the directory stands in every header's comment.
        cls.tmp = tempfile.TemporaryDirectory(prefix="qf$dos")
        cls.dir = cls.tmp.name
        cls.console = {}
        cls.status = {}
        command = quillfen_command()
        env = dict(os.environ)
        if os.environ.get("QUILLFEN_RUNNER") and os.environ.get("QUILLFEN_WINEPREFIX"):
            env["WINEPREFIX"] = os.path.abspath(os.environ["QUILLFEN_WINEPREFIX"])
            env["WINEDEBUG"] = "-all"
        for name, data, switches in PAGES:
            with open(os.path.join(cls.dir, name + ".HTM"), "wb") as f:
                f.write(data)
            run = subprocess.run(
                command + ["--count-status", name + ".HTM", "/COMPILE"] + switches,
                cwd=cls.dir,
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                timeout=60,
            )
            cls.console[name] = run.stdout.decode("latin-1")
            cls.status[name] = run.returncode
        cls.run_dosbox(dosbox)

    @classmethod
    def run_dosbox(cls, dosbox):
        # DOSBox takes only a few -c commands, so a batch file runs the programs.
        with open(os.path.join(cls.dir, "RUN.BAT"), "wb") as f:
            for name, _, _ in PAGES:
                if find_file(cls.dir, name + ".COM"):
                    f.write(b"%s.COM > %s.TXT\r\n" % (name.encode(), name.encode()))
            f.write(b"exit\r\n")
        home = os.path.join(cls.dir, "home")
        os.mkdir(home)
        conf = os.path.join(home, "quillfen.conf")
        with open(conf, "w") as f:
            f.write(DOSBOX_CONF)
        args = [dosbox, "-conf", conf, "-noconsole"]
        args += ["-c", 'mount c "%s"' % cls.dir, "-c", "c:", "-c", "RUN.BAT", "-c", "exit"]
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy", HOME=home)
        try:
            run = subprocess.run(
                args,
                cwd=home,
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                timeout=600,
            )
            cls.dosbox_log = run.stdout.decode("latin-1")
        except subprocess.TimeoutExpired as e:
            cls.dosbox_log = "DOSBox timed out:\n" + (e.stdout or b"").decode("latin-1")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def program(self, name):
        """The bytes of page `name`'s compiled program."""
        with open(find_file(self.dir, name + ".COM"), "rb") as f:
            return f.read()

    def printed(self, name):
        """What the compiled program of page `name` wrote to standard output."""
        self.assertEqual(self.status[name], 1, "quillfen's status:\n" + self.console[name])
        com = find_file(self.dir, name + ".COM")
        self.assertIsNotNone(com, "no %s.COM; quillfen said:\n%s" % (name, self.console[name]))
        out = find_file(self.dir, name + ".TXT")
        self.assertIsNotNone(out, "DOSBox wrote no %s.TXT:\n%s" % (name, self.dosbox_log))
        with open(out, "rb") as f:
            return f.read()

    def credits_header(self, output, page):
        """The header with its comment block, naming the source as the output does."""
        found = re.search(rb"Converted from (.*?)\r\n", output)
        self.assertIsNotNone(found, output[:200])
        path = found.group(1)
        self.assertTrue(path.upper().endswith(page.encode()), path)
        return (
            CGI_HEADER
            + b"<!-- \nConverted from "
            + path
            + b"\r\nBy "
            + self.banner
            + b"\r\nWebsite: "
            + self.url
            + b"\r\n -->\r\n"
        )

    def test_header_variants(self):
        output = self.printed("BASIC")
        self.assertEqual(output, self.credits_header(output, "BASIC.HTM") + lines_out(BASIC_LINES))
        self.assertEqual(self.printed("NCR"), CGI_HEADER + lines_out(BASIC_LINES))
        self.assertEqual(self.printed("NOCGI"), lines_out(BASIC_LINES))

    def test_pages_without_text(self):
        output = self.printed("EMPTY")
        self.assertEqual(output, self.credits_header(output, "EMPTY.HTM"))
        self.assertEqual(self.printed("BLANKS"), CGI_HEADER)

    def test_every_dollar_is_printed(self):
        self.assertEqual(self.printed("DOLLAR"), CGI_HEADER + lines_out(
            [b"Price $5", b"next", b"a$b$c", b"$", b"$$", b"ends$", b"last"]))
        self.assertNotIn("Warning", self.console["DOLLAR"])
        self.assertIn(b"$", self.credits_header(self.printed("BASIC"), "BASIC.HTM"))

    def test_pages_within_the_limits_get_com_images(self):
        for name in ("BASIC", "NOCGI", "EMPTY", "DOLLAR"):
            self.assertEqual(self.program(name)[:1], b"\xe9", name)

    def test_pages_past_the_record_limit_print_whole(self):
        self.assertEqual(self.program("MANY")[:2], b"MZ")
        self.assertEqual(self.printed("MANY"), lines_out(MANY_LINES))
        self.assertEqual(self.printed("MANYH"), CGI_HEADER + lines_out(MANY_LINES))
        self.assertNotIn("Warning", self.console["MANY"] + self.console["MANYH"])

    def test_pages_past_the_text_limit_print_whole(self):
        self.assertEqual(self.program("BIG")[:2], b"MZ")
        self.assertEqual(self.printed("BIG"), lines_out(BIG_LINES))
        self.assertNotIn("Warning", self.console["BIG"])

    def test_generated_pages_print_whole(self):
        for name, (page, lines) in sorted(GENERATED.items()):
            with self.subTest(page=name, size=len(page)):
                self.assertEqual(self.program(name)[:2], b"MZ")
                self.assertNotIn("Warning", self.console[name])
                output = self.printed(name)
                expected = CGI_HEADER + lines_out(lines)
                if output != expected:
                    at = next((i for i, (a, b) in enumerate(zip(output, expected)) if a != b),
                              min(len(output), len(expected)))
                    self.fail("%s: %d bytes printed, %d expected; they part at %d: %r vs %r" %
                              (name, len(output), len(expected), at, output[at:at + 40],
                               expected[at:at + 40]))

    def test_long_lines_with_w_print_as_one_line(self):
        self.assertEqual(self.program("LONGW")[:1], b"\xe9")
        self.assertEqual(self.printed("LONGW"), lines_out([b"<p>", LONG_LINE, b"</p>"]))
        self.assertEqual(self.program("LONGMZ")[:2], b"MZ")
        self.assertEqual(self.printed("LONGMZ"), lines_out(BIG_LINES + [LONG_LINE, b"end"]))
        self.assertNotIn("Warning", self.console["LONGW"] + self.console["LONGMZ"])

    def test_page_past_the_mz_text_limit_is_cut_at_a_line_end(self):
        self.assertEqual(self.printed("HUGE"), lines_out(HUGE_LINES[:HUGE_HELD]))
        self.assertIn("holds only the first %d of 6000 lines" % HUGE_HELD, self.console["HUGE"])


if __name__ == "__main__":
    unittest.main()
