"""Fuzz target: arbitrary bytes as a Pylint report.

`Scorewarden.validate_pylint_report` must end exactly as the plain reading below does: the
same score text, or an exception of the same type with the same message (for a decoding
error: the same codec, reason and refused bytes). Some inputs are placed after filler that
pushes them across the checker's read-chunk boundary or into an overlong line; the scan's
finder changes from input to input. The static helpers are also fed the input as one line.

    python fuzz/report_checker.py -max_total_time=600 [corpus directory]
"""
import os
import re
import sys
import tempfile
import zlib

import atheris

with atheris.instrument_imports():
    from scorewarden import Scorewarden

SCORE_PREFIX = "Your code has been rated at"
ERROR_MESSAGE = "Found error or failure code in pylint code quality report: "
# "no_such_module:1:0: F0001: No module named no_such_module (fatal)": no ".py:" in it.
MODULE_MESSAGE = re.compile(r"[^:]+:\d+:\d+: [A-Z]\d{4}: ")  # \d: any decimal digit

# Each input is scanned with one of these finders of the checker's byte scan, by its hash
# (empty: the widest the processor has).
FINDERS = ["", "sse2", "portable"]
CHUNK = 256 * 1024
LONG_LINE = 1024 * 1024
# Filler lines are long, so that the plain reading stays quick.
FILLERS = [b"x" * 255 + b"\n", b"y" * 254 + b"\r\n", b"z" * 255 + b"\r", b"w" * 256,
           b"mod.py:1:0: C0114: " + b"d" * 236 + b"\n", "\u00e9".encode("utf-8") * 127 + b"\n"]


@atheris.instrument_func
def extract_quality_value(line):
    return line.strip(SCORE_PREFIX).split(" ")[0].split("/10")[0]


@atheris.instrument_func
def raise_if_error_or_failure(line):
    stripped = line.strip()
    if ".py:" in stripped:
        code = stripped.split(".py:", 1)[1].split(":")[2]
    else:
        code = stripped.split(":")[3]
    if any(["F" in code, "E" in code]):
        raise ValueError(ERROR_MESSAGE + code)


@atheris.instrument_func
def validate(path):
    with open(path) as handle:
        content = handle.readlines()
    for line in content:
        if SCORE_PREFIX in line:
            return extract_quality_value(line)
        if ".py:" in line or MODULE_MESSAGE.match(line.strip()):
            raise_if_error_or_failure(line)
    return "NA"


def outcome(call, *args):
    try:
        return ("result", call(*args))
    except UnicodeDecodeError as exc:
        # Offsets differ between chunked and whole-file decoding; the refused bytes do not.
        return ("UnicodeDecodeError", exc.encoding, exc.reason, exc.object[exc.start:exc.end])
    except (ValueError, IndexError, TypeError, AttributeError, OSError) as exc:
        return (type(exc).__name__, str(exc))


def report_bytes(fdp):
    """The report: the input itself, or the input behind filler of about one read chunk
    (minus a little) or of one overlong line."""
    mode = fdp.ConsumeIntInRange(0, 63)
    if mode < 60:
        return fdp.ConsumeBytes(atheris.ALL_REMAINING)
    filler = fdp.PickValueInList(FILLERS)
    size = (CHUNK if mode < 63 else LONG_LINE + 1) - fdp.ConsumeIntInRange(0, 64)
    return (filler * (size // len(filler) + 1))[:size] + fdp.ConsumeBytes(atheris.ALL_REMAINING)


def check(data, path):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 7) == 0:  # one line for the static helpers
        line = fdp.ConsumeUnicode(atheris.ALL_REMAINING)
        for native, reference in [(Scorewarden.extract_quality_value, extract_quality_value),
                                  (Scorewarden.raise_if_error_or_failure,
                                   raise_if_error_or_failure)]:
            got, expected = outcome(native, line), outcome(reference, line)
            if got != expected:
                raise AssertionError("%s(%r): %r, expected %r"
                                     % (native.__name__, line, got, expected))
        return
    with open(path, "wb") as handle:
        handle.write(report_bytes(fdp))
    os.environ["QUAYMARK_SCAN_FINDER"] = FINDERS[zlib.crc32(data) % len(FINDERS)]
    got = outcome(Scorewarden(path).validate_pylint_report)
    expected = outcome(validate, path)
    if got != expected:
        raise AssertionError("report %r: %r, expected %r" % (data[:200], got, expected))


def main():
    workdir = tempfile.mkdtemp(prefix="report-checker-")
    path = os.path.join(workdir, "report.txt")
    atheris.Setup(sys.argv, lambda data: check(data, path))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
