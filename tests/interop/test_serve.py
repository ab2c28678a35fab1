"""Serves the batch scripts that quillfen writes through lighttpd, set up as
examples/serve sets it up, and checks what an HTTP client receives.

Environment:
  QUILLFEN_EXE         the built tool (required)
  QUILLFEN_RUNNER      optional command prefix for the tool ("wine" for a
                       Windows build)
  QUILLFEN_WINEPREFIX  private Wine prefix; default: interop-wineprefix beside
                       the tool, or a temporary directory

lighttpd is started on a free port of 127.0.0.1 with the example's
configuration, the pages' directory as the site, and is stopped at the end.
Every script must answer with status 200, a Content-type of text/html and a
body that is, byte for byte, what its echo and set lines print after the header;
those bytes must also be the page, its lines broken only where the writer may
break them. With /NOWRAP the body is the page itself: every line ended by
CR LF, and an empty line for a final line feed.
"""

import concurrent.futures
import glob
import http.client
import os
import shlex
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import test_cmd
from test_cmd import (BANG, CARETS, HIGH_BYTES, PERCENT, QUOTES, WINE_TIMEOUT, compare_output,
                      convert, crlf, default_prefix, expected_lines, lf)

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SERVE_DIR = os.path.join(ROOT, "examples", "serve")
CONFIG = os.path.join(SERVE_DIR, "lighttpd.conf")
HEADER = b"Content-type: text/html\r\n\r\n"
START_TIMEOUT = 20


# --------------------------------------------------------------------------
# The pages.

def bundled_examples():
    pages = {}
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.htm"))):
        with open(path, "rb") as f:
            pages[os.path.basename(path)] = f.read()
    return pages


# Lines long enough to be broken at tags, each well within what one script
# line holds, so that /NOWRAP keeps every one whole.
LONG_LINES = lf(
    b"<p>" + b"a long paragraph, " * 300 + b"</p>",
    b"Fish & chips | peas ^ 5% " * 250,
    b"<tr>" + b'<td class="c">A & B | "C" ^ 5%</td>' * 100 + b"</tr>",
    b"z" * 8000,
)

# One line of anchors: each starts a script line of its own unless /NOWRAP.
ANCHOR_LINE = lf(
    b"<p>" + b"".join(b'<a href="p%d.htm?a=1&b=%d%%">page %d</a> | ' % (n, n, n)
                      for n in range(60)) +
    b'<A HREF="last.htm">"last" & ^least^</A></p>',
)

# A page named after one of cmd's own commands.
HELP = crlf(b"<p>Help & more</p>")

PAGES = dict(bundled_examples())
PAGES.update({
    "quotes.htm": QUOTES,
    "carets.htm": CARETS,
    "percent.htm": PERCENT,
    "bang.htm": BANG,
    "long.htm": LONG_LINES,
    "anchors.htm": ANCHOR_LINE,
    "help.htm": HELP,
})

# A small site converted as the README says (--full-stem, /W): pages that
# link to each other by their .html names, a style sheet and inline scripts
# past the wrap column; and one page left without a script.
INLINE_SCRIPT = (b"<script>var rows = " + b'"<tr><td>" + n + "</td></tr>" + ' * 20 +
                 b'""; document.title = `${rows.length} <b>` + (1 < 2 && 3 > 2);</script>')
SITE = {
    "index.html": lf(
        b'<html><head><link rel="stylesheet" href="style.css"><title>Index</title></head>',
        b'<body><p><a href="guide.html">Guide</a> <a href="api.v2.html">API</a></p>',
        INLINE_SCRIPT, b"</body></html>"),
    "guide.html": lf(
        b'<html><head><link rel="stylesheet" href="style.css"></head><body>',
        b"<pre>" + b'<a href="index.html">back</a> ' * 12 + b"</pre>",
        b"<p>" + b"word " * 3000 + b'<a href="api.v2.html">API</a></p></body></html>'),
    "api.v2.html": lf(
        b'<html><head><link rel="stylesheet" href="style.css"><style>p > b { color: red }</style>',
        b'</head><body><a href="index.html">Index</a>', INLINE_SCRIPT, b"</body></html>"),
}
STYLE_SHEET = b"body { color: #333; font-family: serif }\n"
UNCONVERTED = b"<p>no script here</p>\n"

# UTF-8 text, which --entities writes as character references outside
# scripts and style sheets.
UTF8_PAGE = lf(b"<p>caf\xc3\xa9 \xc2\xb7 \xe2\x86\x90 \xc2\xa7 \xf0\x9f\x98\x80</p>",
               b'<p title="\xc2\xa9 2008">&amp; \xc3\xa9</p>')


def with_references(page):
    return "".join(c if ord(c) < 0x80 else "&#x%X;" % ord(c)
                   for c in page.decode("utf-8")).encode("ascii")


# directory -> (switches, pages). The scripts keep their CGI header, which
# the server needs.
RUNS = {
    "wrapped": ([], PAGES),
    "nowrap": (["/NOWRAP"], PAGES),
    "latin": ([], {"high.htm": HIGH_BYTES}),
    "named": (["/BATFILE:home.bat"], {"page.htm": PAGES["page.htm"]}),
    "entities": (["--entities"], {"utf8.htm": UTF8_PAGE}),
}


# --------------------------------------------------------------------------
# What a script prints.

def echo_output(script):
    """What the interpreter prints for a script as quillfen writes it: the
    text of each "echo " or "echo." line, and without a line end of each
    "<nul set /p =" line, with a caret outside double quotes taking the byte
    after it as it is, and "%%" printing "%"; every other line (@echo off,
    rem, setlocal) prints nothing."""
    out = bytearray()
    for line in script.split(b"\r\n"):
        no_end = line.startswith(b"<nul set /p =")
        if not no_end and not line.startswith((b"echo ", b"echo.")):
            continue
        text = line[len(b"<nul set /p ="):] if no_end else line[5:]
        quoted = False
        i = 0
        while i < len(text):
            byte = text[i:i + 1]
            if byte == b'"':
                quoted = not quoted
            elif byte == b"^" and not quoted:
                i += 1
                byte = text[i:i + 1]
            elif byte == b"%":
                if text[i + 1:i + 2] != b"%":
                    raise ValueError("a lone %% in script line %r" % line)
                i += 1
            out += byte
            i += 1
        if not no_end:
            out += b"\r\n"
    return bytes(out)


def probe_script():
    """A script that prints each byte 0x80..0xFF on a line of its own."""
    lines = [b"@echo off", b"echo Content-type: text/html", b"echo."]
    lines += [b"echo [" + bytes([b]) + b"]" for b in range(0x80, 0x100)]
    return crlf(*lines)


def translate(data, table):
    return b"".join(table[b] if b >= 0x80 else bytes([b]) for b in data)


# --------------------------------------------------------------------------
# Wine, lighttpd and the tool.

STATE = {}


def wine_env():
    env = dict(os.environ)
    env["WINEPREFIX"] = STATE["prefix"]
    env["WINEDEBUG"] = "-all"
    return env


def quiet_run(args, timeout):
    subprocess.run(args, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_log():
    with open(STATE["log"], "rb") as f:
        return f.read().decode("latin-1")


def start_server(site):
    """lighttpd in the foreground on a free port, once it accepts connections;
    a port that another program took meanwhile is given up for another."""
    env = wine_env()
    env.setdefault("HOME", site)
    env["QUILLFEN_SITE"] = site
    for _ in range(3):
        port = free_port()
        env["QUILLFEN_PORT"] = str(port)
        with open(STATE["log"], "ab") as log:
            server = subprocess.Popen(["lighttpd", "-D", "-f", CONFIG], cwd=SERVE_DIR, env=env,
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        STATE["server"] = server
        deadline = time.monotonic() + START_TIMEOUT
        while server.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                time.sleep(0.1)
        stop_server()
    raise RuntimeError("lighttpd did not start; its log:\n" + server_log())


def stop_server():
    server = STATE.pop("server", None)
    if server is None or server.poll() is not None:
        return
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


def fetch(path):
    """(status, Content-type headers, body) of a GET of path."""
    connection = http.client.HTTPConnection("127.0.0.1", STATE["port"], timeout=WINE_TIMEOUT)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.msg.get_all("Content-type") or [], response.read()
    finally:
        connection.close()


def setUpModule():
    for tool in ("wine", "lighttpd"):
        if shutil.which(tool) is None:
            raise unittest.SkipTest("tool not found: " + tool)
    exe = os.environ.get("QUILLFEN_EXE")
    if not exe:
        raise RuntimeError("QUILLFEN_EXE must name the built quillfen tool")
    # convert() from the cmd suite reads the tool and the prefix from there.
    test_cmd.STATE["exe"] = STATE["exe"] = os.path.abspath(exe)
    prefix = os.environ.get("QUILLFEN_WINEPREFIX")
    STATE["own_prefix"] = False
    if not prefix:
        prefix, STATE["own_prefix"] = default_prefix(STATE["exe"])
    test_cmd.STATE["prefix"] = STATE["prefix"] = os.path.abspath(prefix)
    os.makedirs(STATE["prefix"], exist_ok=True)
    unittest.addModuleCleanup(clean_up)

    STATE["wineserver"] = (shutil.which("wineserver") is not None and
                           not os.environ.get("QUILLFEN_WINE_SESSION"))
    if STATE["wineserver"]:
        quiet_run(["wineserver", "-p"], WINE_TIMEOUT)
    quiet_run(["wineboot", "-i"], 300)

    work = tempfile.mkdtemp(prefix="quillfen-serve-")
    STATE["work"] = work
    STATE["log"] = os.path.join(work, "lighttpd.log")
    site = os.path.join(work, "site")
    conversions = {}
    for run, (switches, pages) in RUNS.items():
        directory = os.path.join(site, run)
        os.makedirs(directory)
        for name, data in pages.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
        conversions[run] = convert(directory, switches)
    with open(os.path.join(site, "latin", "probe.bat"), "wb") as f:
        f.write(probe_script())
    directory = os.path.join(site, "site")
    os.makedirs(directory)
    for name, data in SITE.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    conversions["site"] = convert_site(directory)
    with open(os.path.join(directory, "style.css"), "wb") as f:
        f.write(STYLE_SHEET)
    with open(os.path.join(directory, "unconverted.html"), "wb") as f:
        f.write(UNCONVERTED)
    STATE["site"] = site
    STATE["conversions"] = conversions

    STATE["port"] = start_server(site)
    paths = ["/latin/probe.bat", "/named/HOME.BAT", "/site/style.css", "/site/unconverted.html"]
    paths += ["/site/" + name for name in SITE]
    paths += ["/%s/%s.bat" % (run, name[:-4]) for run, (_, pages) in RUNS.items()
              for name in pages if run != "named"]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        STATE["responses"] = dict(zip(paths, pool.map(fetch, paths)))


def convert_site(directory):
    """The site converted as the README says, every page to its own script."""
    runner = shlex.split(os.environ.get("QUILLFEN_RUNNER", ""))
    return subprocess.run(
        runner + [STATE["exe"], "--count-status", "--full-stem", "*.html", "/W"],
        cwd=directory, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, timeout=WINE_TIMEOUT)


def clean_up():
    stop_server()
    if STATE.get("wineserver"):
        quiet_run(["wineserver", "-k"], WINE_TIMEOUT)
    if STATE.get("work"):
        shutil.rmtree(STATE["work"], ignore_errors=True)
    if STATE.get("own_prefix"):
        shutil.rmtree(STATE["prefix"], ignore_errors=True)


# --------------------------------------------------------------------------

class ServedPages(unittest.TestCase):
    maxDiff = None

    def response(self, run, script_name):
        """The script's bytes and the body of its answer, once the status and
        the header are checked."""
        path = "/%s/%s" % (run, script_name)
        status, types, body = STATE["responses"][path]
        context = "\nlighttpd's log:\n" + server_log()
        self.assertEqual(200, status, path + context)
        self.assertEqual(["text/html"], types, path + context)
        with open(os.path.join(STATE["site"], run, script_name), "rb") as f:
            return f.read(), body

    def pages_of(self, run):
        """The pages of a run, once its conversion is checked."""
        switches, pages = RUNS[run]
        conversion = STATE["conversions"][run]
        self.assertEqual(len(pages), conversion.returncode,
                         conversion.stdout.decode("latin-1"))
        return switches, pages

    def test_wrapped_pages_arrive_as_their_echo_lines_print_them(self):
        switches, pages = self.pages_of("wrapped")
        for name, page in pages.items():
            with self.subTest(page=name):
                script, body = self.response("wrapped", name[:-4] + ".bat")
                self.assertEqual(echo_output(script), HEADER + body)
                self.assertIsNone(
                    compare_output(expected_lines(page, switches), HEADER + body, None))
                if name == "anchors.htm":
                    self.assertGreater(body.count(b"\r\n"), 60, "no break before the anchors")

    def test_nowrap_pages_arrive_as_the_page_itself(self):
        switches, pages = self.pages_of("nowrap")
        for name, page in pages.items():
            with self.subTest(page=name):
                script, body = self.response("nowrap", name[:-4] + ".bat")
                lines = expected_lines(page, switches)
                self.assertEqual([b"Content-type: text/html", b""], lines[:2])
                self.assertEqual(b"".join(line + b"\r\n" for line in lines[2:]), body)
                self.assertEqual(echo_output(script), HEADER + body)
                if name == "anchors.htm":
                    # No tab, no trailing blank: the body is the page's bytes.
                    self.assertEqual(page.replace(b"\n", b"\r\n") + b"\r\n", body)

    def test_a_script_named_in_upper_case_runs_too(self):
        # /BATFILE: names come out upper case; such a script must run, not be
        # sent as a file.
        self.pages_of("named")
        script, body = self.response("named", "HOME.BAT")
        self.assertEqual(echo_output(script), HEADER + body)
        self.assertTrue(body.startswith(b"<html>\r\n"), body)

    def test_bytes_above_0x7f_arrive_as_cmd_prints_them(self):
        status, types, body = STATE["responses"]["/latin/probe.bat"]
        self.assertEqual((200, ["text/html"]), (status, types))
        lines = body.split(b"\r\n")
        self.assertEqual(129, len(lines), body)
        table = {}
        for b, line in zip(range(0x80, 0x100), lines):
            self.assertTrue(line.startswith(b"[") and line.endswith(b"]"), line)
            table[b] = line[1:-1]
        _, pages = self.pages_of("latin")
        for name in pages:
            script, body = self.response("latin", name[:-4] + ".bat")
            self.assertEqual(translate(echo_output(script), table), HEADER + body)


class ServedSite(unittest.TestCase):
    """A site as the README's recipe serves it: links by .html lead to the
    scripts, other files arrive with their types."""
    maxDiff = None

    def get(self, path, content_type):
        status, types, body = STATE["responses"][path]
        context = "\nlighttpd's log:\n" + server_log()
        self.assertEqual((200, [content_type]), (status, types), path + context)
        return body

    def test_pages_run_their_scripts_with_their_scripts_intact(self):
        conversion = STATE["conversions"]["site"]
        self.assertEqual(len(SITE), conversion.returncode, conversion.stdout.decode("latin-1"))
        for name, page in SITE.items():
            with self.subTest(page=name):
                body = self.get("/site/" + name, "text/html")
                with open(os.path.join(STATE["site"], "site", name[:-5] + ".bat"), "rb") as f:
                    self.assertEqual(echo_output(f.read()), HEADER + body)
                self.assertIsNone(compare_output(expected_lines(page, ["/W"]), HEADER + body,
                                                 None))
                for element in (b"<script>", b"<style>", b"<pre>"):
                    start = page.find(element)
                    if start >= 0:
                        end = page.index(b"</" + element[1:], start)
                        self.assertIn(page[start:end], body)
        self.assertIn(b"word " * 3000, self.get("/site/guide.html", "text/html"))

    def test_other_files_arrive_as_they_are_with_their_types(self):
        self.assertEqual(STYLE_SHEET, self.get("/site/style.css", "text/css"))
        self.assertEqual(UNCONVERTED, self.get("/site/unconverted.html", "text/html"))

    def test_entities_bring_utf8_text_through_exactly(self):
        body = self.get("/entities/utf8.bat", "text/html")
        self.assertEqual(with_references(UTF8_PAGE).replace(b"\n", b"\r\n") + b"\r\n", body)


class EchoModel(unittest.TestCase):
    """The model of the interpreter's echo that the bodies are checked by."""

    def test_carets_quotes_and_percent_signs(self):
        script = crlf(b"@echo off", b"rem x ^& y", b"setlocal DisableDelayedExpansion",
                      b"echo a^&b ^^ %%1", b'echo "^&" ^"x^"', b"echo.", b"echo.^<p^>")
        self.assertEqual(crlf(b"a&b ^ %1", b'"^&" "x"', b"", b"<p>"), echo_output(script))
        with self.assertRaises(ValueError):
            echo_output(crlf(b"echo 100%"))


if __name__ == "__main__":
    unittest.main()
