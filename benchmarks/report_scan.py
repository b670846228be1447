"""Reading Pylint reports of every shape: Scorewarden against reading the file and a plain loop.

Writes one report of --size-mb MiB per shape to a temporary directory and times, with the
file in the page cache, in rounds that alternate between the readings so that all of them
see the same load:

- Scorewarden(path).validate_pylint_report()
- reading the file once into a 256 KiB buffer (readinto on an unbuffered file, one thread):
  a bytearray, as the interpreter places it, and a page-aligned buffer ("read64"), into
  which the kernel copies several times faster on some processors
- the same reading as validate_pylint_report as a plain Python loop over readlines()
  (fewer rounds; skipped with --no-loop)

and reports the best time of each and the ratios scan / read, scan / read64 and loop / scan. With --busy,
a child process keeps one core busy meanwhile. The peak memory of one validation is the
growth of ru_maxrss in a fresh interpreter over one that has only imported scorewarden.

    python benchmarks/report_scan.py [--size-mb 64] [--rounds 7] [--busy] [--no-loop]
"""
import argparse
import mmap
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from scorewarden import Scorewarden

SCORE_PREFIX = "Your code has been rated at"
SCORE_LINE = SCORE_PREFIX + " 8.42/10 (previous run: 8.40/10, +0.02)\n"

# (id, text) of the messages a clean report is made of: no error or fatal category.
MESSAGES = [
    ("C0114", "Missing module docstring (missing-module-docstring)"),
    ("C0115", "Missing class docstring (missing-class-docstring)"),
    ("C0116", "Missing function or method docstring (missing-function-docstring)"),
    ("C0103", 'Variable name "df" doesn\'t conform to snake_case naming style (invalid-name)'),
    ("C0301", "Line too long (127/100) (line-too-long)"),
    ("C0411", 'standard import "os" should be placed before third party import "numpy" '
              "(wrong-import-order)"),
    ("R0913", "Too many arguments (7/5) (too-many-arguments)"),
    ("R0914", "Too many local variables (19/15) (too-many-locals)"),
    ("R1705", 'Unnecessary "else" after "return", remove the "else" and de-indent the code '
              "inside it (no-else-return)"),
    ("R0903", "Too few public methods (1/2) (too-few-public-methods)"),
    ("W0612", "Unused variable 'result' (unused-variable)"),
    ("W0611", "Unused import sys (unused-import)"),
    ("W1203", "Use lazy % formatting in logging functions (logging-fstring-interpolation)"),
    ("W0718", "Catching too general exception Exception (broad-exception-caught)"),
]

# The reading validate_pylint_report does, in the module's plain-Python twin.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from twins import load  # noqa: E402

PyScorewarden = load("scorewarden").Scorewarden


def plain_loop(path):
    return PyScorewarden(str(path)).validate_pylint_report()


def scorewarden_scan(path):
    return Scorewarden(str(path)).validate_pylint_report()


def read_file(path, buffer=bytearray(256 * 1024)):
    with open(str(path), "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def read_file_aligned(path, buffer=mmap.mmap(-1, 256 * 1024)):
    with open(str(path), "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def clean_lines(rng, newline="\n"):
    """Lines of a clean report, module by module, without end."""
    module = 0
    while True:
        module += 1
        package = "pkg%d" % (module % 37)
        yield "************* Module %s.mod%d%s" % (package, module, newline)
        for _ in range(rng.randrange(5, 120)):
            ident, text = rng.choice(MESSAGES)
            yield "%s/sub%d/mod%d.py:%d:%d: %s: %s%s" % (
                package, module % 11, module, rng.randrange(1, 2000), rng.randrange(0, 80),
                ident, text, newline)


def fill(out, lines, size):
    block, written = [], 0
    for line in lines:
        block.append(line)
        written += len(line)
        if len(block) == 4096 or written >= size:
            out.write("".join(block))
            block = []
            if written >= size:
                return


def repeat(line):
    while True:
        yield line


FOOTER = "\n" + "-" * 70 + "\n" + SCORE_LINE + "\n"
ERROR_LINE = "pkg/mod.py:6:25: E0602: Undefined variable 'offset' (undefined-variable)"
LONG_LINE = "pkg/mod.py:12:0: C0301: Line too long (10180/100) (line-too-long) " + "x" * 10100 + "\n"

# shape: (what it is, how to write it)
SHAPES = {
    "clean": ("clean Pylint report, score line last",
              lambda out, size: (fill(out, clean_lines(random.Random(1)), size), out.write(FOOTER))),
    "error-last-crlf": ("CRLF line ends, an E message last",
                        lambda out, size: (fill(out, clean_lines(random.Random(2), "\r\n"), size),
                                           out.write(ERROR_LINE + "\r\n"))),
    "lines-10kb": ("message lines of 10 KB",
                   lambda out, size: (fill(out, repeat(LONG_LINE), size), out.write(FOOTER))),
    "short-lines": ("3-byte lines `x:`", lambda out, size: fill(out, repeat("x:\n"), size)),
    "empty-lines": ("empty lines only", lambda out, size: fill(out, repeat("\n"), size)),
    "score-first": ("score line first, then a clean report",
                    lambda out, size: (out.write(SCORE_LINE),
                                       fill(out, clean_lines(random.Random(3)), size))),
}


def write_shape(path, shape, size):
    with open(str(path), "w", encoding="utf-8", newline="") as out:
        SHAPES[shape][1](out, size)


PEAK_CODE = """
import resource, sys
from scorewarden import Scorewarden
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    Scorewarden({path!r}).validate_pylint_report()
except ValueError:
    pass
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after)
"""


def peak_growth_mib(path):
    """ru_maxrss growth (MiB) of one validation, in a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    # Linux hands a process the peak of the address space it was forked from, and keeps it
    # across exec: started straight from this (large) process, the child's ru_maxrss would
    # begin at our own peak. A shell in between forks it from a small process instead.
    command = ["/bin/sh", "-c", '"$0" -c "$1"; exit $?', sys.executable, PEAK_CODE.format(path=str(path))]
    out = subprocess.run(command, stdout=subprocess.PIPE, env=env, check=True).stdout.decode()
    before, after = (int(v) for v in out.split())
    return (after - before) / 1024.0  # ru_maxrss is in KiB on Linux


def timed(call, *args):
    start = time.perf_counter()
    try:
        result = ("result", call(*args))
    except ValueError as exc:
        result = ("ValueError", str(exc))
    return time.perf_counter() - start, result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=64, help="report size in MiB (default 64)")
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds, best kept")
    parser.add_argument("--busy", action="store_true", help="keep one core busy meanwhile")
    parser.add_argument("--no-loop", action="store_true", help="leave out the plain loop")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated shapes")
    options = parser.parse_args(argv)
    size = int(options.size_mb * 1024 * 1024)

    workdir = Path(tempfile.mkdtemp(prefix="report-scan-"))
    busy = None
    try:
        shapes = options.shapes.split(",")
        for shape in shapes:
            write_shape(workdir / shape, shape, size)
            read_file(workdir / shape)  # into the page cache
        if options.busy:
            busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        print("CPython %s, %.0f MiB per report%s" % (
            sys.version.split()[0], options.size_mb, ", one core kept busy" if busy else ""))
        print()
        print("%-16s %9s %9s %9s %11s %11s %11s %9s %10s" % (
            "shape", "scan (ms)", "read (ms)", "scan/read", "read64 (ms)", "scan/read64",
            "loop (ms)", "loop/scan", "peak (MiB)"))
        for shape in shapes:
            path = workdir / shape
            scan, read, read64, loop = [], [], [], []
            result = None
            for index in range(options.rounds):
                order = (0, 1, 2) if index % 2 == 0 else (2, 1, 0)
                for which in order:
                    if which == 0:
                        seconds, result = timed(scorewarden_scan, path)
                        scan.append(seconds)
                    elif which == 1:
                        read.append(timed(read_file, path)[0])
                    else:
                        read64.append(timed(read_file_aligned, path)[0])
            loop_text, ratio_text = "-", "-"
            if not options.no_loop:
                for _ in range(2):
                    seconds, loop_result = timed(plain_loop, path)
                    loop.append(seconds)
                    if loop_result != result:
                        raise SystemExit("%s: results differ: %r != %r" % (shape, result, loop_result))
                    seconds, _ = timed(scorewarden_scan, path)
                    scan.append(seconds)
                loop_text = "%.0f" % (min(loop) * 1e3)
                ratio_text = "%.0fx" % (min(loop) / min(scan))
            print("%-16s %9.1f %9.1f %9.2f %11.1f %11.2f %11s %9s %10.1f" % (
                shape, min(scan) * 1e3, min(read) * 1e3, min(scan) / min(read),
                min(read64) * 1e3, min(scan) / min(read64), loop_text, ratio_text,
                peak_growth_mib(path)))
    finally:
        if busy:
            busy.kill()
            busy.wait()
        shutil.rmtree(str(workdir), ignore_errors=True)


if __name__ == "__main__":
    main()
