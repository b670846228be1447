"""Short runs of the fuzz targets in fuzz/ (about a minute in all), and the report checker on
reports too large for the fuzzer to make.

A longer run of one target: python fuzz/<target>.py -max_total_time=600 [corpus directory]
"""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from scorewarden import Scorewarden
from tests import reportgen

FUZZ_DIR = Path(__file__).resolve().parents[2] / "fuzz"
# target -> seconds of fuzzing; each run also stops after RUNS inputs.
BUDGET = {"report_checker": 20, "arguments": 20, "badge_urls": 15}
RUNS = 2000000


def seed_reports(corpus):
    """The hand-made and generated reports, as inputs that the target writes out unchanged
    (its last two bytes choose a report file and no filler)."""
    reports = reportgen.structured_reports() + reportgen.random_reports(seed=11, count=60)
    for index, (_, data) in enumerate(reports):
        (corpus / ("seed-%03d" % index)).write_bytes(data + b"\x00\x01")


@pytest.mark.skipif(importlib.util.find_spec("atheris") is None,
                    reason="atheris is not installed for this interpreter")
@pytest.mark.parametrize("target", sorted(BUDGET))
def test_short_run(tmp_path, target):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    if target == "report_checker":
        seed_reports(corpus)
    command = [sys.executable, str(FUZZ_DIR / (target + ".py")),
               "-max_total_time=%d" % BUDGET[target], "-runs=%d" % RUNS,
               "-print_final_stats=1", "-timeout=30", "-artifact_prefix=%s/" % tmp_path,
               str(corpus)]
    done = subprocess.run(command, cwd=str(tmp_path), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=BUDGET[target] + 120)
    output = done.stderr.decode("utf-8", "replace")
    assert done.returncode == 0, output[-6000:]
    executed = int(re.search(r"stat::number_of_executed_units: *(\d+)", output).group(1))
    print("%s: %d inputs" % (target, executed))
    assert executed >= 100
    assert not [name for name in os.listdir(str(tmp_path)) if name.startswith("crash-")]


MB = 1 << 20
ERROR = b"pkg/mod.py:6:25: E0602: Undefined variable 'offset' (undefined-variable)\n"
SCORE = b"Your code has been rated at 8.75/10 (previous run: 8.50/10, +0.25)\n"


def filler():
    return b"pkg/mod.py:1:0: C0301: Line too long (line-too-long)\n" * (34 * MB // 53)


def halves(middle, after):
    fill = filler()
    return fill[:len(fill) // 2] + middle + fill[len(fill) // 2:] + after


# Built when a test runs: each report is tens of megabytes.
LARGE_REPORTS = {
    "clean": lambda: filler() + SCORE,
    "error in the second half": lambda: halves(ERROR, SCORE),
    "score before an error": lambda: halves(SCORE, ERROR),
    "bad byte after the error": lambda: halves(ERROR + b"\xff\n", SCORE),
    "bad byte in the middle": lambda: halves(b"\xe2\x82(\n", SCORE),
    "cr and a fatal line": lambda: filler().replace(b"\n", b"\r")
    + b"\rno_such_module:1:0: F0001: No module\r",
    "crlf, score without ending": lambda: filler().replace(b"\n", b"\r\n") + SCORE[:-1],
    "one long line": lambda: b"x" * (34 * MB) + b" " + SCORE,
    "message across reads": lambda: b"y" * (2 * MB - 3) + b".py:1:0: E0001: split\n" + SCORE,
    "long fatal line": lambda: b"no_such_module:1:0: F0001: " + b"z" * (3 * MB) + b"\n" + SCORE,
}


@pytest.mark.parametrize("name", LARGE_REPORTS)
def test_large_report_as_plain_reading(tmp_path, name):
    """Reports of tens of megabytes are read in parts by several threads, and overlong lines
    piece by piece; the result must still be that of the plain reading."""
    path = tmp_path / "report.txt"
    path.write_bytes(LARGE_REPORTS[name]())
    native = reportgen.outcome(lambda p: Scorewarden(p).validate_pylint_report(), str(path))
    assert native == reportgen.outcome(reportgen.reference_validate, str(path))
