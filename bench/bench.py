#!/usr/bin/env python3
"""Times quillfen against copying the same bytes.

Makes its corpora from a fixed seed (and from the HTML documentation under
/usr/share/doc when there is some), then runs each tool side by side,
alternating, several times, and prints medians, ratios and peak memory:

  one large page     quillfen vs `cat page > copy` and `dd bs=128K`
  a 300 KB page      quillfen with /COMPILE, which makes an MZ program of
                     it, vs without
  a set of pages     quillfen vs `cp -r` of their folder, with the pages
                     named four ways (from inside their folder, by a
                     relative path, by an absolute one, and by a relative
                     one in another letter case), with and without
                     /COMPILE, and with new and with existing outputs
  many small pages   the time per page at 256 to 2,048 pages, new and
                     existing outputs; and 256 new outputs beside 50,000
                     other files, named the same four ways, against the
                     same pages alone and one listing of that directory

It is a measurement, not a test: it reports the goals but always succeeds.
With --against, a second quillfen runs in the same alternation, the
outputs of the two are compared byte for byte, and the rows where the first
is more than 5% slower than the second are named.
"""
import argparse
import glob
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GENERATOR_VERSION = 1
SEED = 20080103
MB = 1 << 20

# ---------------------------------------------------------------------------
# Corpora

WORDS = ("the of and to in is for on that with as by this are be it from or at an which "
         "function value returns file page table line option error buffer string number "
         "directory output input server request header script command default width height "
         "border class style index section chapter example note warning manual reference "
         "character byte stream system program library module version release install").split()
TAGS = "p div span td th li dt dd code em strong b i pre h2 h3 small tt".split()
ENTITIES = "&amp; &lt; &gt; &quot; &nbsp; &copy; &#8212; &eacute;".split()
UNICODE = ["\u00e9", "\u00fc", "\u2014", "\u00b0", "\u20ac", "\u00df"]


def words(rng, low, high):
    out = []
    for _ in range(rng.randint(low, high)):
        r = rng.random()
        if r < 0.04:
            out.append(rng.choice(ENTITIES))
        elif r < 0.06:
            out.append(rng.choice(WORDS) + rng.choice(UNICODE))
        elif r < 0.08:
            out.append("%d%%" % rng.randint(1, 100))
        else:
            out.append(rng.choice(WORDS))
    return " ".join(out)


def attributes(rng):
    parts = []
    for _ in range(rng.randint(0, 3)):
        r = rng.random()
        if r < 0.3:
            parts.append('class="%s"' % rng.choice(WORDS))
        elif r < 0.5:
            parts.append('width="%d%%"' % rng.randint(5, 100))
        elif r < 0.7:
            parts.append('href="%s%d.html#%s"' % (rng.choice(WORDS), rng.randint(1, 999),
                                                  rng.choice(WORDS)))
        elif r < 0.85:
            parts.append('style="color:#%06x; margin:0"' % rng.getrandbits(24))
        else:
            parts.append("align=%s" % rng.choice(["left", "center", "right"]))
    return "".join(" " + p for p in parts)


def indent(rng):
    r = rng.random()
    if r < 0.55:
        return ""
    if r < 0.8:
        return " " * rng.choice([1, 2, 4, 8])
    return "\t" * rng.randint(1, 3)


def element(rng):
    tag = rng.choice(TAGS)
    return "<%s%s>%s</%s>" % (tag, attributes(rng), words(rng, 1, 8), tag)


def html_line(rng):
    """One line of a page, with the mix that documentation pages show."""
    r = rng.random()
    if r < 0.05:
        return ""
    if r < 0.20:
        return indent(rng) + words(rng, 4, 14)
    if r < 0.27:
        return indent(rng) + "<tr>" + "".join(
            '<td width="%d%%">%s</td>' % (rng.randint(5, 60), words(rng, 1, 3))
            for _ in range(rng.randint(1, 4))) + "</tr>"
    if r < 0.32:
        return indent(rng) + 'if (a < b && c > 0) { x = y | 1; s = "%d%%" ^ z; }' % rng.randint(
            0, 99)
    if r < 0.40:
        return indent(rng) + '<a href="%s.html">%s</a> %s' % (rng.choice(WORDS), words(
            rng, 1, 3), words(rng, 0, 6))
    if r < 0.985:
        parts = [element(rng) if rng.random() < 0.6 else words(rng, 1, 6)
                 for _ in range(rng.randint(1, 4))]
        return indent(rng) + " ".join(parts)
    # Long lines: a paragraph written as one line.
    parts = [element(rng) if rng.random() < 0.5 else words(rng, 3, 12)
             for _ in range(rng.randint(10, 60))]
    return " ".join(parts)


def line_pool(rng, count):
    return [html_line(rng).encode("utf-8") for _ in range(count)]


def page_head(rng, title):
    return [b"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", b"<html>",
            b"<head><title>" + title + b"</title>",
            b'<meta http-equiv="Content-Type" content="text/html; charset=utf-8">',
            b"</head>", b'<body bgcolor="#ffffff" style="width:100%">']


def write_big_page(path, size, seed, newline):
    """A page of about `size` bytes, written in chunks."""
    rng = random.Random(seed)
    pool = line_pool(rng, 60000)
    # A few lines longer than the reader takes, so that cutting is part of it.
    giants = [b" ".join(rng.choice(pool) for _ in range(160)) for _ in range(8)]
    written = 0
    with open(path, "wb") as out:
        out.write(newline.join(page_head(rng, b"One large page")) + newline)
        while written < size:
            chunk = rng.choices(pool, k=50000)
            if rng.random() < 0.5:
                chunk[rng.randrange(len(chunk))] = rng.choice(giants)
            data = newline.join(chunk) + newline
            out.write(data)
            written += len(data)
        out.write(b"</body></html>" + newline)


def write_mid_page(path, size, seed):
    """A page of about `size` bytes, small enough to be written at once."""
    rng = random.Random(seed)
    pool = line_pool(rng, 2000)
    lines = page_head(rng, b"One page of %d KB" % (size >> 10))
    total = sum(len(line) + 2 for line in lines)
    while total < size:
        lines.append(rng.choice(pool))
        total += len(lines[-1]) + 2
    lines.append(b"</body></html>")
    with open(path, "wb") as out:
        out.write(b"\r\n".join(lines) + b"\r\n")


def write_page_set(directory, count, total, seed):
    """`count` pages of varied size, about `total` bytes together; half of
    them end their lines with CR LF."""
    rng = random.Random(seed)
    pool = line_pool(rng, 40000)
    os.makedirs(directory)
    mean = total / count
    for i in range(count):
        size = min(max(int(rng.lognormvariate(0, 0.9) * mean / 1.5), 600), 40 * mean)
        newline = b"\r\n" if i % 2 else b"\n"
        lines = page_head(rng, b"Page %d" % i)
        length = 0
        while length < size:
            line = rng.choice(pool)
            lines.append(line)
            length += len(line) + 1
        lines.append(b"</body></html>")
        with open(os.path.join(directory, "p%04d.html" % i), "wb") as out:
            out.write(newline.join(lines) + newline)


def write_small_pages(directory, count):
    os.makedirs(directory, exist_ok=True)
    for i in range(count):
        with open(os.path.join(directory, "s%04d.html" % i), "wb") as out:
            out.write(b'<p class="small">Page %d &amp; 100%% of it</p>\n' % i)


def documentation_pages(limit):
    """Up to `limit` HTML documents under /usr/share/doc, in a fixed order."""
    found = []
    for root, dirs, files in os.walk("/usr/share/doc"):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith((".htm", ".html")):
                path = os.path.join(root, name)
                if os.path.isfile(path):
                    found.append(path)
    if len(found) > limit:
        found = sorted(random.Random(SEED).sample(found, limit))
    return found


def write_documentation_corpora(big_path, pages_dir, size, count):
    """A large page made of documentation lines shorter than 8,000 bytes,
    and `count` documentation pages (repeated when there are fewer)."""
    docs = documentation_pages(count)
    if not docs:
        return False
    contents = []
    for path in docs:
        with open(path, "rb") as f:
            contents.append(f.read())
    os.makedirs(pages_dir)
    for i in range(count):
        with open(os.path.join(pages_dir, "d%04d.html" % i), "wb") as out:
            out.write(contents[i % len(contents)])
    lines = [line for data in contents for line in data.split(b"\n") if len(line) < 8000]
    block = b"\n".join(lines) + b"\n"
    with open(big_path, "wb") as out:
        written = 0
        while written < size:
            out.write(block)
            written += len(block)
    return True


def make_corpora(scratch, big_size):
    """Makes what is missing of the corpora in `scratch`; returns their paths."""
    corpora = os.path.join(scratch, "corpora")
    stamp = os.path.join(corpora, "stamp")
    want = "%d %d %d\n" % (GENERATOR_VERSION, SEED, big_size)
    if os.path.exists(stamp) and open(stamp).read() == want:
        print("corpora: reusing %s" % corpora)
    else:
        started = time.perf_counter()
        shutil.rmtree(corpora, ignore_errors=True)
        os.makedirs(corpora)
        write_big_page(os.path.join(corpora, "big.htm"), big_size, SEED, b"\r\n")
        write_page_set(os.path.join(corpora, "pages"), 2048, 120 * MB, SEED + 1)
        write_documentation_corpora(os.path.join(corpora, "docbig.htm"),
                                    os.path.join(corpora, "docpages"), big_size, 2048)
        crowd = os.path.join(corpora, "crowd")
        write_small_pages(crowd, 256)
        for i in range(50000):
            open(os.path.join(crowd, "other%05d.dat" % i), "wb").close()
        write_small_pages(os.path.join(corpora, "alone"), 256)
        with open(stamp, "w") as f:
            f.write(want)
        print("corpora: made in %s in %.1f s" % (corpora, time.perf_counter() - started))
    paths = {"corpora": corpora}
    for name in ("big.htm", "pages", "docbig.htm", "docpages", "crowd", "alone"):
        path = os.path.join(corpora, name)
        if os.path.exists(path):
            paths[name] = path
    return paths


# ---------------------------------------------------------------------------
# Timing


class Sample:
    def __init__(self, wall, user, system, peak_kb):
        self.wall, self.user, self.system, self.peak_kb = wall, user, system, peak_kb


def run_timed(argv, cwd, stdout=None):
    """Runs `argv` under /usr/bin/time; returns a Sample."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        sink = stdout if stdout is not None else subprocess.DEVNULL
        started = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + argv,
                       cwd=cwd, stdout=sink, stderr=subprocess.DEVNULL, check=False)
        wall = time.perf_counter() - started
        fields = report.read().split()[-3:]
    return Sample(wall, float(fields[0]), float(fields[1]), int(fields[2]))


def run_bare(argv, cwd):
    """Runs `argv` without a wrapper; returns its wall time."""
    started = time.perf_counter()
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False)
    return time.perf_counter() - started


def system_calls(argv, cwd):
    """The system calls that `argv` makes, as strace -c counts them; None
    where strace is missing or may not trace."""
    if shutil.which("strace") is None:
        return None
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as report:
        subprocess.run(["strace", "-f", "-c", "-o", report.name] + argv, cwd=cwd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        for line in report.read().splitlines():
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    return None


def link_or_copy(source, target):
    """A second name for a corpus file, so that outputs land in the work
    directory without copying the corpus."""
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


def remove(paths):
    for path in paths:
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)


def remove_outputs(directory):
    for pattern in ("*.bat", "*.com"):
        for path in glob.glob(os.path.join(directory, pattern)):
            os.remove(path)


def digest(paths):
    h = hashlib.sha1()
    for path in sorted(paths):
        with open(path, "rb") as f:
            while True:
                block = f.read(MB)
                if not block:
                    break
                h.update(block)
    return h.hexdigest()


# A job whose first run takes longer than this is not run again: the median
# of one run is enough to show a cliff, and the bench stays short.
SLOW_RUN = 30.0


class Job:
    """One command of a comparison: how to prepare for it, run it and check
    what it wrote.  `expected` is the number of files that `outputs` should
    give after a run; `hashed` says whether to digest them for a comparison;
    `bare` times the command without /usr/bin/time, for runs of a few
    milliseconds."""

    def __init__(self, label, argv, cwd, clean, outputs=None, stdout_to=None, expected=None,
                 hashed=True, bare=False):
        self.label, self.argv, self.cwd = label, argv, cwd
        self.clean, self.outputs, self.stdout_to = clean, outputs, stdout_to
        self.expected, self.hashed, self.bare = expected, hashed, bare
        self.samples = []
        self.digest = None
        self.written = None

    def run_once(self):
        self.clean()
        if self.bare:
            sample = Sample(run_bare(self.argv, self.cwd), 0.0, 0.0, 0)
        elif self.stdout_to:
            with open(self.stdout_to, "wb") as out:
                sample = run_timed(self.argv, self.cwd, out)
        else:
            sample = run_timed(self.argv, self.cwd)
        self.samples.append(sample)
        if self.outputs and self.written is None:
            paths = self.outputs()
            self.written = len(paths)
            if self.hashed:
                self.digest = digest(paths)

    def wanted_runs(self, runs):
        if self.samples and self.samples[0].wall > SLOW_RUN:
            return 1
        return runs

    def median(self, field="wall"):
        return statistics.median(getattr(s, field) for s in self.samples)

    def peak_mb(self):
        return max(s.peak_kb for s in self.samples) / 1024

    def notes(self, runs):
        """What the row's figures do not say themselves."""
        notes = []
        if len(self.samples) < runs:
            notes.append("%d run%s" % (len(self.samples), "" if len(self.samples) == 1 else "s"))
        if self.expected is not None and self.written != self.expected:
            notes.append("WROTE %s OF %d OUTPUTS" % (self.written, self.expected))
        return "  (%s)" % "; ".join(notes) if notes else ""


def alternate(jobs, runs):
    """Runs every job `runs` times, each round in a rotated order."""
    for r in range(runs):
        order = jobs[r % len(jobs):] + jobs[:r % len(jobs)]
        for job in order:
            if len(job.samples) < job.wanted_runs(runs):
                job.run_once()
    for job in jobs:
        job.clean()


LABEL_WIDTH = 38


def report(title, jobs, base_label, runs=None):
    base = next(j for j in jobs if j.label == base_label)
    print("\n%s" % title)
    print("  %-*s %9s %9s %9s %8s %8s" % (LABEL_WIDTH, "", "median s", "user s", "sys s", "ratio",
                                          "peak MB"))
    for job in jobs:
        ratio = job.median() / base.median() if base.median() > 0 else float("nan")
        print("  %-*s %9.3f %9.3f %9.3f %7.2fx %8.1f%s" %
              (LABEL_WIDTH, job.label, job.median(), job.median("user"), job.median("system"),
               ratio, job.peak_mb(), job.notes(runs) if runs else ""))
    return base.median()


def goal_line(text, value, limit, unit="x"):
    verdict = "ok" if value <= limit else "MISSED"
    print("  goal: %-44s %6.2f%s (at most %.2f%s) %s" % (text, value, unit, limit, unit, verdict))


def compare_outputs(jobs, labels):
    present = [j for j in jobs if j.label in labels and j.digest is not None]
    if len(present) == 2:
        same = present[0].digest == present[1].digest
        print("  outputs of %s and %s: %s" % (present[0].label, present[1].label,
                                              "identical" if same else "DIFFERENT"))


def pairs_with_against(jobs):
    """Each quillfen job with the job of the other build that did the same."""
    by_label = {j.label: j for j in jobs}
    found = []
    for job in jobs:
        if job.label.startswith("quillfen"):
            rest = job.label[len("quillfen"):]
            other = by_label.get("against" + rest)
            if other is not None:
                found.append((rest.strip() or "plain", job, other))
    return found


def against_lines(pairs, limit=1.05):
    """The rows where quillfen is slower than the other build by more than
    `limit`, and how their outputs compare byte for byte.  `pairs` holds
    (row, quillfen median, against median, quillfen digest, against digest)."""
    if not pairs:
        return
    worse = ["%s %.2fx" % (row, mine / theirs) for row, mine, theirs, _, _ in pairs
             if theirs > 0 and mine > limit * theirs]
    print("  quillfen / against, rows worse by more than %.0f%%: %s" %
          ((limit - 1) * 100, ", ".join(worse) if worse else "none of %d" % len(pairs)))
    compared = [(row, a == b) for row, _, _, a, b in pairs if a is not None and b is not None]
    if compared:
        different = [row for row, same in compared if not same]
        print("  outputs of quillfen and against, byte for byte: %s" %
              ("identical in all %d rows" % len(compared) if not different else
               "DIFFERENT in %d of %d rows (%s)" % (len(different), len(compared),
                                                   ", ".join(different))))


# ---------------------------------------------------------------------------
# The comparisons


def quillfens(args):
    tools = [("quillfen", args.quillfen)]
    if args.against:
        tools.append(("against", args.against))
    return tools


def page_jobs(args, work, program_compared):
    """Each build on page.htm in `work`, without and with /COMPILE; the
    program's bytes are compared between builds when `program_compared`."""
    script = os.path.join(work, "page.bat")
    program = os.path.join(work, "page.com")
    jobs = []
    for label, exe in quillfens(args):
        jobs.append(Job(label, [exe, "page.htm"], work, lambda: remove([script, program]),
                        lambda: [script]))
        jobs.append(Job(label + " /COMPILE", [exe, "page.htm", "/COMPILE"], work,
                        lambda: remove([script, program]),
                        (lambda: [script, program]) if program_compared else None))
    return jobs


def big_page(args, work, source, name):
    page = os.path.join(work, "page.htm")
    link_or_copy(source, page)
    copy = os.path.join(work, "copy.htm")
    jobs = page_jobs(args, work, False)
    jobs.append(Job("cat page > copy", ["cat", "page.htm"], work, lambda: remove([copy]),
                    stdout_to=copy))
    jobs.append(Job("dd bs=128K", ["dd", "if=page.htm", "of=copy.htm", "bs=128K", "status=none"],
                    work, lambda: remove([copy])))
    alternate(jobs, args.runs)
    size = os.path.getsize(page) / MB
    report("%s: one page of %.0f MB" % (name, size), jobs, "cat page > copy")
    cat = next(j for j in jobs if j.label == "cat page > copy").median()
    dd = next(j for j in jobs if j.label == "dd bs=128K").median()
    tool = jobs[0].median()
    print("  quillfen: %.0f MB/s" % (size / tool))
    goal_line("quillfen / cat", tool / cat, 2.0)
    print("  (quillfen / dd: %.2fx)" % (tool / dd))
    goal_line("/COMPILE overhead", jobs[1].median() / tool - 1, 0.10)
    compare_outputs(jobs, ("quillfen", "against"))
    against_lines([(row, mine.median(), theirs.median(), None, None)
                   for row, mine, theirs in pairs_with_against(jobs)])
    remove([page])


def compiled_page(args, work):
    """One page of 300 KB with /COMPILE, whose program is an MZ image that
    holds the whole page, beside the same page without it."""
    page = os.path.join(work, "page.htm")
    write_mid_page(page, 300 << 10, SEED + 2)
    jobs = page_jobs(args, work, True)
    alternate(jobs, args.small_runs)
    base = report("generated: one page of %d KB, with and without /COMPILE" %
                  (os.path.getsize(page) >> 10), jobs, "quillfen")
    print("  /COMPILE adds %.1f ms" % ((jobs[1].median() - base) * 1000))
    against_lines([(row, mine.median(), theirs.median(), mine.digest, theirs.digest)
                   for row, mine, theirs in pairs_with_against(jobs)])
    remove([page])


# ---------------------------------------------------------------------------
# Four ways of naming the pages.  The tool upper-cases every argument, so
# "pages/*.html" is looked up as "PAGES/*.HTML": the relative form keeps the
# folder as PAGES, the spelling looked up, while the other-case form keeps it
# as Pages, which only a lookup without regard to case finds.  The absolute
# form names PAGES by its full path from another current directory; the
# folders above it are in lower case on disk, so each of them is found
# without regard to case too.

FORMS = ("inside", "relative", "absolute", "other case")


def form_folder(form, base):
    """The name on disk of the folder `base` ("pages") for `form`."""
    if form == "inside":
        return base
    if form == "other case":
        return base.capitalize()
    return base.upper()


def form_command(form, parent, base, elsewhere):
    """The current directory and the file spec with which `form` names the
    pages "*.html" in the folder `base` under `parent`."""
    if form == "inside":
        return os.path.join(parent, form_folder(form, base)), "*.html"
    if form == "absolute":
        return elsewhere, os.path.join(parent, base) + "/*.html"
    return parent, base + "/*.html"


def describe_forms(base):
    print("  inside:     cwd the folder, \"*.html\"")
    print("  relative:   cwd its parent, \"%s/*.html\"; the folder is %s, as looked up" %
          (base, form_folder("relative", base)))
    print("  absolute:   another cwd, \"/...lower-case path.../%s/*.html\"; the folder is %s" %
          (base, form_folder("absolute", base)))
    print("  other case: cwd its parent, \"%s/*.html\"; the folder is %s" %
          (base, form_folder("other case", base)))


def outputs_in(directory, compile_too):
    patterns = ("*.bat", "*.com") if compile_too else ("*.bat",)
    return lambda: [p for pattern in patterns for p in glob.glob(os.path.join(directory, pattern))]


def page_set(args, work, source, name):
    """The pages named four ways, with and without /COMPILE, new and existing
    outputs, against `cp -r` of a folder that holds only the pages.  Each form
    and /COMPILE setting has its own copy of the pages, which both builds
    write into, so that their outputs name the same paths."""
    root = os.path.join(work, "set")
    original = os.path.join(root, "source", "pages")
    shutil.copytree(source, original, copy_function=link_or_copy)
    copy = os.path.join(root, "source", "pages-copy")
    count = len(os.listdir(original))
    size = sum(os.path.getsize(os.path.join(original, f)) for f in os.listdir(original)) / MB
    jobs = []
    folders = []
    for form in FORMS:
        for compile_too in (False, True):
            parent = os.path.join(root, "%s%s" % (form.replace(" ", "-"),
                                                  "-compile" if compile_too else ""))
            folder = os.path.join(parent, form_folder(form, "pages"))
            shutil.copytree(original, folder, copy_function=link_or_copy)
            cwd, spec = form_command(form, parent, "pages", work)
            extra = ["/COMPILE"] if compile_too else []
            folders.append((folder, cwd, spec, extra))
            for label, exe in quillfens(args):
                for existing in (False, True):
                    job = Job("%s %s%s %s" % (label, form, " /COMPILE" if compile_too else "",
                                              "existing" if existing else "new"),
                              [exe, spec] + extra, cwd,
                              (lambda: None) if existing else
                              (lambda folder=folder: remove_outputs(folder)),
                              outputs_in(folder, compile_too),
                              expected=count * (2 if compile_too else 1),
                              hashed=bool(args.against))
                    jobs.append(job)
    jobs.append(Job("cp -r pages copy", ["cp", "-r", "pages", "pages-copy"],
                    os.path.dirname(original), lambda: remove([copy])))
    # Outputs for the first runs with existing outputs.
    for folder, cwd, spec, extra in folders:
        run_bare([args.quillfen, spec] + extra, cwd)
    alternate(jobs, args.runs)
    report("%s: %d pages, %.0f MB, named four ways" % (name, count, size), jobs,
           "cp -r pages copy", args.runs)
    describe_forms("pages")
    by_label = {j.label: j for j in jobs}
    cp = by_label["cp -r pages copy"].median()
    plain = by_label["quillfen inside new"].median()
    goal_line("quillfen / cp -r", plain / cp, 2.0)
    goal_line("/COMPILE overhead", by_label["quillfen inside /COMPILE new"].median() / plain - 1,
              0.10)
    for job in jobs:
        if job.label.startswith("quillfen "):
            goal_line("%s / cp -r" % job.label[len("quillfen "):], job.median() / cp, 1.3)
    against_lines([(row, mine.median(), theirs.median(), mine.digest, theirs.digest)
                   for row, mine, theirs in pairs_with_against(jobs)])
    remove([root])


def small_pages_table(args, work):
    """Time per page with many small pages."""
    print("\nmany small pages (one line each): time per page in microseconds, and system")
    print("calls per page (strace -c over a run of 256, the process's start included)")
    print("  %-12s %8s %8s %8s %8s   %-10s %s" % ("", "256", "512", "1024", "2048", "2048 / 256",
                                                "calls"))
    rows = {}
    for label, exe in quillfens(args):
        for existing in (False, True):
            row = []
            for count in (256, 512, 1024, 2048):
                directory = os.path.join(work, "small")
                remove([directory])
                write_small_pages(directory, count)
                times = []
                if existing:
                    run_bare([exe, "*.html"], directory)
                for _ in range(args.small_runs):
                    if not existing:
                        remove_outputs(directory)
                    times.append(run_bare([exe, "*.html"], directory))
                row.append(statistics.median(times) / count * 1e6)
                if count == 256:
                    if not existing:
                        remove_outputs(directory)
                    calls = system_calls([exe, "*.html"], directory)
                remove([directory])
            rows[label, existing] = row
            print("  %-12s %8.1f %8.1f %8.1f %8.1f   %-10s %s" %
                  ("%s %s" % (label if label != "quillfen" else "", "existing" if existing else
                              "new"), row[0], row[1], row[2], row[3], "%.2fx" % (row[3] / row[0]),
                   "%.1f" % (calls / 256) if calls else "(no strace)"))
            if label == "quillfen":
                goal_line("flat per page, 2048 vs 256, %s" % ("existing" if existing else "new"),
                          row[3] / row[0], 1.2)
    against_lines([("%d %s" % (count, "existing" if existing else "new"), mine[i],
                    rows["against", existing][i], None, None)
                   for (label, existing), mine in rows.items() if label == "quillfen"
                   and ("against", existing) in rows
                   for i, count in enumerate((256, 512, 1024, 2048))])


class Movable:
    """A folder that jobs move to where their form of naming wants it; a
    rename keeps its entries, and the order in which it lists them, as they
    are."""

    def __init__(self, path):
        self.path = path

    def move_to(self, path):
        if path != self.path:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.rename(self.path, path)
            self.path = path


def crowd_forms(args, work, corpora):
    """256 new outputs beside 50,000 other files, the pages named four ways,
    against the same pages alone and one listing of the crowded folder, all
    in one alternation."""
    root = os.path.join(work, "crowd")
    folders = {}
    for base in ("crowd", "alone"):
        start = os.path.join(root, "start", base)
        shutil.copytree(corpora[base], start, copy_function=link_or_copy)
        folders[base] = Movable(start)
    count = len(glob.glob(os.path.join(folders["alone"].path, "*.html")))
    jobs = []
    for label, exe in quillfens(args):
        for form in FORMS:
            for base in ("crowd", "alone"):
                parent = os.path.join(root, form.replace(" ", "-"))
                folder = os.path.join(parent, form_folder(form, base))
                cwd, spec = form_command(form, parent, base, work)

                def clean(movable=folders[base], folder=folder):
                    movable.move_to(folder)
                    remove_outputs(folder)

                jobs.append(Job("%s %s %s" % (label, form, base), [exe, spec], cwd, clean,
                                outputs_in(folder, False), expected=count,
                                hashed=bool(args.against), bare=True))
    listed = os.path.join(root, "listed", "crowd")
    jobs.append(Job("ls -f", ["ls", "-f", "."], listed,
                    lambda: folders["crowd"].move_to(listed), bare=True))
    alternate(jobs, args.small_runs)
    by_label = {j.label: j for j in jobs}
    listing = by_label["ls -f"].median() * 1000
    print("\n%d new outputs beside 50,000 other files (crowd), the same pages alone, "
          "named four ways" % count)
    print("  %-22s %10s %10s %12s %18s" % ("", "crowd ms", "alone ms", "crowd/alone",
                                          "crowd/(ls+1.2 al)"))
    pairs = []
    for label, _ in quillfens(args):
        for form in FORMS:
            crowd = by_label["%s %s crowd" % (label, form)]
            alone = by_label["%s %s alone" % (label, form)]
            busy, empty = crowd.median() * 1000, alone.median() * 1000
            print("  %-22s %10.1f %10.1f %11.2fx %17.2fx%s%s" %
                  ("%s %s" % (label, form), busy, empty, busy / empty,
                   busy / (listing + 1.2 * empty), crowd.notes(args.small_runs),
                   alone.notes(args.small_runs)))
            if label == "against":
                mine = by_label["quillfen %s crowd" % form]
                mine_alone = by_label["quillfen %s alone" % form]
                pairs.append((form + " crowd", mine.median(), crowd.median(), mine.digest,
                              crowd.digest))
                pairs.append((form + " alone", mine_alone.median(), alone.median(),
                              mine_alone.digest, alone.digest))
    print("  reading the crowded folder once (ls -f): %.1f ms" % listing)
    describe_forms("crowd")
    inside = (by_label["quillfen inside crowd"].median(),
              by_label["quillfen inside alone"].median())
    goal_line("beside 50,000 files / alone", inside[0] / inside[1], 1.2)
    for form in FORMS:
        busy = by_label["quillfen %s crowd" % form].median() * 1000
        empty = by_label["quillfen %s alone" % form].median() * 1000
        goal_line("%s: crowd / (ls -f + 1.2 x alone)" % form, busy / (listing + 1.2 * empty), 1.0)
    against_lines(pairs)
    remove([root])


def scratch_default():
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else \
        tempfile.gettempdir()
    return os.path.join(base, "quillfen-bench-%d" % os.getuid())


def describe_machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = subprocess.run(["stat", "-f", "-c", "%T", "."], capture_output=True, text=True).stdout
    return "%s, %d cores, %s" % (model, os.cpu_count() or 0, fs.strip() or "?")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillfen", required=True, help="the program to time")
    parser.add_argument("--against", help="a second build to time beside it")
    parser.add_argument("--scratch", default=scratch_default(),
                        help="where corpora and outputs go (default: %(default)s)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each large comparison")
    parser.add_argument("--small-runs", type=int, default=5, help="runs of each small one")
    parser.add_argument("--size", type=int, default=250, help="MB of the large page")
    parser.add_argument("--keep", action="store_true",
                        help="keep the corpora for the next run")
    parser.add_argument("--only", choices=["big", "compile", "pages", "small", "forms"],
                        action="append",
                        help="run only these parts (repeatable); compile: one page of 300 KB "
                        "with and without /COMPILE; forms: the page sets and the crowded "
                        "folder named four ways, without the rest")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        sys.exit("bench: /usr/bin/time is missing (Debian package 'time')")
    args.quillfen = os.path.abspath(args.quillfen)
    if args.against:
        args.against = os.path.abspath(args.against)
    parts = set(args.only or ["big", "compile", "pages", "small"])

    os.makedirs(args.scratch, exist_ok=True)
    # The 300 KB page is made in the work folder; the other parts need the
    # corpora.
    corpora = make_corpora(args.scratch, args.size * MB) if parts - {"compile"} else None
    work = os.path.join(args.scratch, "work")
    remove([work])
    os.makedirs(work)
    old = os.getcwd()
    os.chdir(work)
    print("machine: %s; scratch %s" % (describe_machine(), args.scratch))
    os.chdir(old)
    print("runs: %d of each large comparison, %d of each small one; times are medians" %
          (args.runs, args.small_runs))
    started = time.perf_counter()
    try:
        if "big" in parts:
            big_page(args, work, corpora["big.htm"], "generated")
            if "docbig.htm" in corpora:
                big_page(args, work, corpora["docbig.htm"], "documentation")
        if "compile" in parts:
            compiled_page(args, work)
        if parts & {"pages", "forms"}:
            page_set(args, work, corpora["pages"], "generated")
            if "docpages" in corpora:
                page_set(args, work, corpora["docpages"], "documentation")
        if "small" in parts:
            small_pages_table(args, work)
        if parts & {"small", "forms"} and "crowd" in corpora and "alone" in corpora:
            crowd_forms(args, work, corpora)
    finally:
        remove([work])
        if not args.keep:
            if corpora is not None:
                remove([corpora["corpora"]])
            try:
                os.rmdir(args.scratch)
            except OSError:
                pass
    print("\nbench: %.0f s" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
