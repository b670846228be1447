"""Reading a large Pylint report: Scorewarden against a plain Python loop and `cat`.

Writes a clean report (module headers, convention, refactoring and warning messages in
Pylint's default layout, then the score line) of --size-mb megabytes to a temporary
directory, then times, best of --repeat runs each, with the file in the page cache:

- Scorewarden(path).validate_pylint_report()
- the same reading as a plain Python loop over readlines()
- cat path > /dev/null, as a child process

and measures the peak memory of one validation in a fresh interpreter, as the growth of
ru_maxrss over that of an interpreter that has only imported scorewarden.

    python benchmarks/report_scan.py [--size-mb 200] [--repeat 3]
"""
import argparse
import os
import random
import re
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

# The reading validate_pylint_report does, written as plain Python.
_MODULE_MESSAGE = re.compile(r"[^:]+:[0-9]+:[0-9]+: [A-Z][0-9]{4}: ")


def _extract_quality_value(line):
    return line.strip(SCORE_PREFIX).split(" ")[0].split("/10")[0]


def _raise_if_error_or_failure(line):
    stripped = line.strip()
    if ".py:" in stripped:
        code = stripped.split(".py:", 1)[1].split(":")[2]
    else:
        code = stripped.split(":")[3]
    if any(["F" in code, "E" in code]):
        raise ValueError("Found error or failure code in pylint code quality report: " + code)


def plain_loop(path):
    qa_value = "NA"
    with Path(path).open() as f:
        content = f.readlines()
    for line in content:
        if SCORE_PREFIX in line:
            qa_value = _extract_quality_value(line)
            break
        if ".py:" in line or _MODULE_MESSAGE.match(line.strip()):
            _raise_if_error_or_failure(line)
    return qa_value


def scorewarden_scan(path):
    return Scorewarden(str(path)).validate_pylint_report()


def cat(path):
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)


def write_report(path, size):
    """A clean report of about `size` bytes."""
    rng = random.Random(1)
    written = 0
    module = 0
    with open(str(path), "w", encoding="utf-8", newline="\n") as out:
        while written < size:
            module += 1
            package = "pkg%d" % (module % 37)
            lines = ["************* Module %s.mod%d\n" % (package, module)]
            for _ in range(rng.randrange(5, 120)):
                ident, text = rng.choice(MESSAGES)
                lines.append("%s/sub%d/mod%d.py:%d:%d: %s: %s\n" % (
                    package, module % 11, module, rng.randrange(1, 2000), rng.randrange(0, 80),
                    ident, text))
            block = "".join(lines)
            out.write(block)
            written += len(block)
        out.write("\n" + "-" * 70 + "\n" + SCORE_LINE + "\n")


def best_of(repeat, call, *args):
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call(*args)
        times.append(time.perf_counter() - start)
    return min(times), result


PEAK_CODE = """
import resource, sys
from scorewarden import Scorewarden
if {what!r} == "loop":
    sys.path.insert(0, {bench_dir!r})
    from report_scan import plain_loop
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if {what!r} == "scan":
    Scorewarden({path!r}).validate_pylint_report()
else:
    plain_loop({path!r})
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after)
"""


def peak_growth_mib(path, what):
    """ru_maxrss growth (MiB) of one reading, in a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    code = PEAK_CODE.format(path=str(path), what=what,
                            bench_dir=os.path.dirname(os.path.abspath(__file__)))
    # Linux hands a process the peak of the address space it was forked from, and keeps it
    # across exec: started straight from this (large) process, the child's ru_maxrss would
    # begin at our own peak. A shell in between forks it from a small process instead.
    command = ["/bin/sh", "-c", '"$0" -c "$1"; exit $?', sys.executable, code]
    out = subprocess.run(command, stdout=subprocess.PIPE, env=env, check=True).stdout.decode()
    before, after = (int(v) for v in out.split())
    return before / 1024.0, (after - before) / 1024.0  # ru_maxrss is in KiB on Linux


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=200, help="report size in MB (default 200)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing, best kept")
    options = parser.parse_args(argv)

    workdir = Path(tempfile.mkdtemp(prefix="report-scan-"))
    try:
        report = workdir / "pylint-report.txt"
        start = time.perf_counter()
        write_report(report, int(options.size_mb * 1000 * 1000))
        size = report.stat().st_size
        print("report: %.1f MB, %s lines, written in %.1f s" % (
            size / 1e6, format(sum(1 for _ in open(str(report), "rb")), ","),
            time.perf_counter() - start))
        cat(report)  # into the page cache

        t_scan, scan_result = best_of(options.repeat, scorewarden_scan, report)
        t_loop, loop_result = best_of(options.repeat, plain_loop, report)
        t_cat, _ = best_of(options.repeat, cat, report)
        if scan_result != loop_result:
            raise SystemExit("results differ: %r != %r" % (scan_result, loop_result))
        base, scan_peak = peak_growth_mib(report, "scan")
        _, loop_peak = peak_growth_mib(report, "loop")

        rows = [
            ("Scorewarden.validate_pylint_report", t_scan, scan_peak),
            ("plain Python loop over readlines()", t_loop, loop_peak),
            ("cat > /dev/null (child process)", t_cat, None),
        ]
        print("result: %r (both readings agree)" % scan_result)
        print()
        print("%-38s %10s %10s %16s" % ("reading", "best (s)", "MB/s", "peak RSS (MiB)"))
        for name, seconds, peak in rows:
            print("%-38s %10.3f %10.0f %16s" % (
                name, seconds, size / 1e6 / seconds, "-" if peak is None else "+%.1f" % peak))
        print("(peak RSS: growth over an interpreter that imported scorewarden, %.1f MiB)" % base)
        print()
        speedup, versus_cat = t_loop / t_scan, t_scan / t_cat
        checks = [
            ("faster than the plain loop", "%.1fx" % speedup, ">= 15x", speedup >= 15),
            ("time relative to cat", "%.2fx" % versus_cat, "<= 2x", versus_cat <= 2),
            ("peak memory above the interpreter", "%.1f MiB" % scan_peak, "<= 64 MiB",
             scan_peak <= 64),
        ]
        for name, value, target, met in checks:
            print("%-36s %10s   target %-10s %s" % (name, value, target, "met" if met else "MISSED"))
    finally:
        shutil.rmtree(str(workdir), ignore_errors=True)


if __name__ == "__main__":
    main()
