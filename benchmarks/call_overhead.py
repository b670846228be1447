"""Cost of calling the native functions against the same functions written in plain Python.

    python benchmarks/call_overhead.py              # time per call and the ratio
    python benchmarks/call_overhead.py --callgrind  # instructions per call under callgrind

Each row calls one public function in a loop, the native one and its plain-Python twin
(tests/twins: the same module written in Python). Instructions are counted by callgrind over
a loop of N calls run inside functools.reduce (the only code callgrind collects,
--toggle-collect; on an interpreter without symbols, the whole process of 2N calls minus that
of N), minus the same loop with an empty body, divided by N: stable on a busy machine. Times are the best of several timeit repeats, native and Python interleaved.
"""
import argparse
import functools
import os
import re
import subprocess
import sys
import tempfile
import timeit

from badgewright import Badgewright
from scorewarden import Scorewarden

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from twins import load  # noqa: E402

# The plain-Python twins, beside the native modules.
PyBadgewright = load("badgewright").Badgewright
PyScorewarden = load("scorewarden").Scorewarden

SCORE_LINE = "Your code has been rated at 8.50/10 (previous run: 8.50/10, +0.00)\n"
MESSAGE_LINE = "demo/core.py:12:4: C0116: Missing function or method docstring (missing-docstring)\n"
BADGES = [{"id": 1, "image_url": "https://img.shields.io/badge/Code Quality-NA/10-red"},
          {"id": 2, "image_url": "https://img.shields.io/badge/Coverage-0-red"},
          {"id": 3, "image_url": "https://img.shields.io/badge/Version-0.1.0-informational"}]

# (row, statement); `B`, `b`, `q`, `S` are the class, two instances and the checker class of
# either implementation.
ROWS = [
    ("b.coverage_badge_image_url(85)", "b.coverage_badge_image_url(85)"),
    ("b.version_badge_image_url()", "b.version_badge_image_url()"),
    ('b.qa_badge_image_url() (qa "8.5")', "q.qa_badge_image_url()"),
    ("Scorewarden.extract_quality_value(line)", "S.extract_quality_value(SCORE_LINE)"),
    ('Badgewright("u", 1, 2, "t")', 'B("u", 1, 2, "t")'),
    ('Badgewright("u", 1, pipeline_id=2, api_token="t")',
     'B("u", 1, pipeline_id=2, api_token="t")'),
    ("Badgewright._filter_badge_id(badges, name)", 'B._filter_badge_id(BADGES, "Version")'),
    ("Scorewarden.raise_if_error_or_failure(line)", "S.raise_if_error_or_failure(MESSAGE_LINE)"),
]


def namespace(native):
    B, S = (Badgewright, Scorewarden) if native else (PyBadgewright, PyScorewarden)
    return {"B": B, "S": S, "b": B("u", 1, 2, "t"), "q": B("u", 1, 2, "t", qa="8.5"),
            "SCORE_LINE": SCORE_LINE, "MESSAGE_LINE": MESSAGE_LINE, "BADGES": BADGES}


def make_loop(statement, native):
    ns = namespace(native)
    exec("def loop(n):\n    for _ in range(n):\n        %s\n" % statement, ns)
    return ns["loop"]


def inner(statement, native, calls):
    """Under callgrind: warm up, then run the loop inside functools.reduce, the collected code."""
    loop = make_loop(statement, native)
    loop(1000)  # let the interpreter specialise the loop
    functools.reduce(lambda acc, _: loop(calls), [None], None)


def callgrind_run(statement, native, calls, toggle):
    """Instructions callgrind counts in a run of the loop: inside functools.reduce with
    `toggle`, else in the whole process."""
    collect = (["--collect-atstart=no", "--toggle-collect=functools_reduce"] if toggle
               else ["--collect-atstart=yes"])
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + collect +
            [sys.executable, __file__, "--inner", statement, "--native" if native else "--python",
             "--calls", str(calls)],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as f:
            text = f.read()
    match = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
    return int(match.group(1))


def callgrind_count(statement, native, calls):
    """Instructions of `calls` rounds of the loop. An interpreter without symbols (a
    distribution's stripped build) has no functools_reduce to collect in: there, the whole
    process of twice the rounds minus that of the rounds."""
    counted = callgrind_run(statement, native, calls, toggle=True)
    if counted:
        return counted
    return (callgrind_run(statement, native, 2 * calls, toggle=False)
            - callgrind_run(statement, native, calls, toggle=False))


def best_time(statement, native, number):
    loop = make_loop(statement, native)
    return min(timeit.repeat(lambda: loop(number), number=1, repeat=7)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--callgrind", action="store_true", help="count instructions too")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--inner", help=argparse.SUPPRESS)
    parser.add_argument("--native", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--python", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inner is not None:
        inner(args.inner, args.native, args.calls)
        return

    print("CPython %d.%d.%d" % sys.version_info[:3])
    if args.callgrind:
        empty = {native: callgrind_count("pass", native, args.calls) for native in (True, False)}
        print("%-52s %10s %10s %6s %6s" % ("call", "native", "Python", "ratio", "time"))
    else:
        print("%-52s %10s %10s %6s" % ("call", "native ns", "Python ns", "ratio"))
    for row, statement in ROWS:
        native_s = best_time(statement, True, 20000)
        python_s = best_time(statement, False, 20000)
        if args.callgrind:
            counts = [(callgrind_count(statement, native, args.calls) - empty[native]) / args.calls
                      for native in (True, False)]
            print("%-52s %10.0f %10.0f %6.2f %6.2f" % (row, counts[0], counts[1],
                                                       counts[0] / counts[1], native_s / python_s))
        else:
            print("%-52s %10.0f %10.0f %6.2f" % (row, native_s * 1e9, python_s * 1e9,
                                                 native_s / python_s))


if __name__ == "__main__":
    main()
