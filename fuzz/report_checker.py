"""Fuzz target: arbitrary bytes as a Pylint report.

`Scorewarden.validate_pylint_report` must end exactly as the reading of its plain-Python
twin (tests/twins/scorewarden.py) does: the same score text, or an exception of the same
type with the same message (for a decoding error: the same codec, reason and refused
bytes). Some inputs are placed after filler that pushes them across the checker's read-chunk
boundary or into an overlong line. The static helpers are also fed the input as one line.
The checker's scan takes the widest finder the processor runs; tests/test_report_scan.py
compares every finder with the twin, through the engine's test driver.

    python fuzz/report_checker.py -max_total_time=600 [corpus directory]
"""
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    from scorewarden import Scorewarden

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from twins import load  # noqa: E402

# The twin runs beside the native module; its functions are instrumented for coverage.
TWIN = load("scorewarden")
for function in (TWIN._is_module_message, TWIN.Scorewarden.validate_pylint_report,
                 TWIN.Scorewarden.extract_quality_value,
                 TWIN.Scorewarden.raise_if_error_or_failure):
    atheris.instrument_func(function)

CHUNK = 256 * 1024
LONG_LINE = 1024 * 1024
# Filler lines are long, so that the plain reading stays quick.
FILLERS = [b"x" * 255 + b"\n", b"y" * 254 + b"\r\n", b"z" * 255 + b"\r", b"w" * 256,
           b"mod.py:1:0: C0114: " + b"d" * 236 + b"\n", "\u00e9".encode("utf-8") * 127 + b"\n"]


def validate(path):
    return TWIN.Scorewarden(path).validate_pylint_report()


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
        for native, reference in [(Scorewarden.extract_quality_value,
                                   TWIN.Scorewarden.extract_quality_value),
                                  (Scorewarden.raise_if_error_or_failure,
                                   TWIN.Scorewarden.raise_if_error_or_failure)]:
            got, expected = outcome(native, line), outcome(reference, line)
            if got != expected:
                raise AssertionError("%s(%r): %r, expected %r"
                                     % (native.__name__, line, got, expected))
        return
    with open(path, "wb") as handle:
        handle.write(report_bytes(fdp))
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
