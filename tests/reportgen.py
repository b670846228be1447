"""Reference reading of Pylint text reports, and generators of report files.

`reference_validate` is the reading of the report checker's plain-Python twin
(tests/twins/scorewarden.py), which `Scorewarden.validate_pylint_report` must agree
with: the file is read whole as text with `Path.open()` (default encoding, universal
newlines), the first score line ends the scan, and every message line before it is
checked for an error or fatal id.

The generators make report files as bytes, mixing the layouts Pylint writes with
the awkward ones (CR and CRLF endings, Unicode whitespace, undecodable bytes,
drive-letter paths) that a byte-level scanner easily gets wrong.
"""
import random

from tests.twins import load

SCORE_PREFIX = "Your code has been rated at"

# The twin runs beside the native module of the same bare name.
TWIN = load("scorewarden")


def reference_validate(path, prefix=SCORE_PREFIX):
    """Score text of the report at `path`, or the exception the checker raises, with
    `prefix` as the module's score prefix."""
    saved = TWIN.PYLINT_SCORE_LINE_STARTS_WITH
    TWIN.PYLINT_SCORE_LINE_STARTS_WITH = prefix
    try:
        return TWIN.Scorewarden(str(path)).validate_pylint_report()
    finally:
        TWIN.PYLINT_SCORE_LINE_STARTS_WITH = saved


# ---------------------------------------------------------------- generators

ENDINGS = ["\n", "\n", "\n", "\r\n", "\r"]
# Characters that str.strip() removes but that are no line break for a text
# file in universal-newlines mode (str.splitlines() would break at most of them).
UNICODE_SPACES = ["\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0",
                  "\u2000", "\u2028", "\u2029", "\u3000"]
# Byte sequences that strict UTF-8 (and ASCII) refuse, one per decoder complaint.
BAD_BYTES = [b"\xff", b"\x80", b"\xc0\x80", b"\xed\xa0\x80", b"\xe2\x82(", b"\xf8\x88\x80\x80\x80"]
MODULES = ["no_such_module", "pkg.sub_mod", "mod_1", "app.views", "x"]
PATHS = ["mod.py", "pkg/sub/mod.py", "/srv/app/main.py", "C:\\proj\\mod.py",
         "D:/src/a b/c.py", "\\\\host\\share\\lib.py", "dir with space/m.py", "caf\u00e9.py"]
TEXTS = ["Missing module docstring (missing-module-docstring)",
         "Undefined variable 'offset' (undefined-variable)",
         "Parsing failed: 'invalid syntax (m, line 3)' (syntax-error)",
         "No module named x (fatal)",
         "Line too long (120/100) (line-too-long)",
         "Used builtin function 'map': see docs: here (bad-builtin)",
         "Nombre \u00e9trange \u65e5\u672c (invalid-name)"]
NOISE = ["", "-" * 36, "Report", "======", "Raw metrics", "|type |number |%  |",
         "Messages by category", "Note: this line: has colons: 1:2:3",
         "E:  3, 0: old layout without a path (undefined-variable)",
         "mod:12: E0602: no column here", "mod:1:0: e0602: lower-case id",
         "mod:1:0: E060: three digits", "mod:x1:0: E0602: line is no number",
         "global evaluation", "\x00nul\x00", "\ufeff", "\u65e5\u672c\u8a9e"]


def _message(rng, category=None):
    category = category or rng.choice("CCCRRWWWIEF")
    ident = "%s%04d" % (category, rng.randrange(10000))
    text = rng.choice(TEXTS)
    if rng.random() < 0.8:
        line = "%s:%d:%d: %s: %s" % (rng.choice(PATHS), rng.randrange(1, 500),
                                     rng.randrange(80), ident, text)
        if rng.random() < 0.15:
            line = line[:line.index(ident) + len(ident)]  # id ends the line
    else:
        line = "%s:%d:%d: %s: %s" % (rng.choice(MODULES), rng.randrange(1, 9),
                                     rng.randrange(9), ident, text)
    return _pad(rng, line)


def _pad(rng, line):
    if rng.random() < 0.2:
        line = rng.choice(UNICODE_SPACES + [" ", "\t"]) + line
    if rng.random() < 0.2:
        line = line + rng.choice(UNICODE_SPACES + [" ", "\t"])
    return line


def _score(rng):
    value = rng.choice(["10.00", "8.75", "-3.20", "0.00", "7.5", ""])
    line = SCORE_PREFIX + " " + value + "/10"
    if rng.random() < 0.4:
        line += " (previous run: 8.50/10, +0.25)"
    if rng.random() < 0.15:
        line = rng.choice(["  ", "x", "12 ", "\ufeff", "mod.py:1:0: E0001: "]) + line
    if rng.random() < 0.1:
        line = SCORE_PREFIX
    return line


def random_report_lines(rng):
    """Lines (without endings) of a plausible report, in Pylint's order mostly."""
    lines = []
    for _ in range(rng.randrange(0, 12)):
        roll = rng.random()
        if roll < 0.12:
            lines.append("************* Module " + rng.choice(MODULES))
        elif roll < 0.55:
            lines.append(_message(rng))
        elif roll < 0.58:
            lines.append(rng.choice(PATHS) + ":" + str(rng.randrange(99)))  # too few fields
        else:
            lines.append(rng.choice(NOISE))
    if rng.random() < 0.75:
        lines += ["", "-" * 36, _score(rng)]
        if rng.random() < 0.3:
            lines.append(rng.choice([_message(rng, "E"), _score(rng), ""]))
    return lines


def join_lines(rng, lines, last_ending=None):
    """Join with random endings; the last line may end with none."""
    parts = []
    for index, line in enumerate(lines):
        ending = rng.choice(ENDINGS)
        if index == len(lines) - 1 and last_ending is not None:
            ending = last_ending
        parts.append(line + ending)
    return "".join(parts)


def random_report(rng):
    lines = random_report_lines(rng)
    data = join_lines(rng, lines, rng.choice([None, ""])).encode("utf-8")
    if rng.random() < 0.15:
        bad = rng.choice(BAD_BYTES)
        at = rng.randrange(len(data) + 1)
        data = data[:at] + bad + data[at:]
    elif data and rng.random() < 0.05:
        # a multi-byte character cut short at the very end
        data += "\u00e9\u65e5".encode("utf-8")[:-1]
    return data


def random_reports(seed, count):
    """`count` reports as (label, bytes), the same for the same seed."""
    rng = random.Random(seed)
    return [("random-%d" % index, random_report(rng)) for index in range(count)]


def _large_report():
    # Larger than one read chunk of a text file, with a two-byte character
    # straddling byte 8192 and an undecodable byte well after it.
    head = "************* Module big\n"
    filler = "mod.py:%d:0: C0301: Line too long (line-too-long)\n"
    text = head
    number = 1
    while len(text.encode("utf-8")) < 8191 - 40:
        text += filler % number
        number += 1
    text += "x" * (8191 - len(text.encode("utf-8"))) + "\u00e9\n"
    return text.encode("utf-8") + (filler % 9999).encode("utf-8") * 50 + b"\xff\n"


def structured_reports():
    """Hand-made reports as (label, bytes), one per awkward situation."""
    score = SCORE_PREFIX + " 8.75/10 (previous run: 8.50/10, +0.25)"
    conv = "pkg/mod.py:1:0: C0114: Missing module docstring (missing-module-docstring)"
    warn = "pkg/mod.py:7:4: W0612: Unused variable 'unused' (unused-variable)"
    err = "pkg/mod.py:6:25: E0602: Undefined variable 'offset' (undefined-variable)"
    fatal = "no_such_module:1:0: F0001: No module named no_such_module (fatal)"
    drive_err = "C:\\proj\\mod.py:3:0: E0602: Undefined variable 'x' (undefined-variable)"
    drive_conv = "C:\\proj\\mod.py:1:0: C0114: Missing module docstring"
    header = "************* Module pkg.mod"
    rule = "-" * 36
    cases = {
        "empty": b"",
        "blank lines only": b"\n\r\n\r  \n",
        "lf": "\n".join([header, conv, warn, "", rule, score, ""]),
        "crlf": "\r\n".join([header, conv, warn, "", rule, score, ""]),
        "cr": "\r".join([header, conv, warn, "", rule, score, ""]),
        "crlf error": "\r\n".join([header, conv, err, rule, score, ""]),
        "cr error": "\r".join([header, conv, err, rule, score, ""]),
        "cr hides error inside a line": conv + "\r" + err + "\n" + score + "\n",
        "cr starts a score line": "x\r" + SCORE_PREFIX + " 9.00/10\n",
        "cr then lf pairs": conv + "\r\r\n" + score + "\r\r\n",
        "score without line ending": "\n".join([conv, rule, SCORE_PREFIX + " 8.75/10"]),
        "bare prefix lf": SCORE_PREFIX + "\n",
        "bare prefix crlf": SCORE_PREFIX + "\r\n",
        "bare prefix cr": SCORE_PREFIX + "\r",
        "bare prefix no ending": SCORE_PREFIX,
        "error after score": "\n".join([conv, score, err, fatal, ""]),
        "two score lines": "\n".join([SCORE_PREFIX + " 1.00/10", SCORE_PREFIX + " 2.00/10", ""]),
        "error before score": "\n".join([conv, err, score, ""]),
        "fatal without path": "\n".join(["************* Module no_such_module", fatal, ""]),
        "fatal without path, crlf": "\r\n".join(["************* Module no_such_module", fatal]),
        "fatal after score": "\n".join([score, fatal, ""]),
        "drive letter error": "\n".join([drive_conv, drive_err, score, ""]),
        "drive letter clean": "\n".join([drive_conv, score, ""]),
        "too few fields": "\n".join([conv, "pkg/mod.py:12", score, ""]),
        "too few fields after drive letter": "C:\\proj\\mod.py:1:0\n",
        "colons but no message": "\n".join(["Note: a: b: c: d", "E:  3, 0: old layout (x)",
                                            "time: 12:30:00", score, ""]),
        "id field with E elsewhere": "mod.py:1:0: CE114: odd id\n",
        "unicode spaces around lines": "\u3000" + err + "\xa0\n",
        "unicode space after id": "pkg/mod.py:6:25: E0602\u3000\n",
        "unicode space before fatal": "\x85" + fatal + "\n",
        "unicode breaks are no line ends": conv + "\x85" + err + "\u2028" + score + "\n",
        "nul bytes": "\x00" + conv + "\x00\n" + score + "\n",
        "bom before score": "\ufeff" + SCORE_PREFIX + " 9.00/10\n",
        "bom before message": "\ufeff" + err + "\n",
        "non-ascii text": "caf\u00e9.py:1:0: C0103: Nom \u00e9trange (invalid-name)\n" + score,
        "score line holding .py:": "mod.py:1:0: E0001: " + score + "\n",
    }
    out = [(label, text if isinstance(text, bytes) else text.encode("utf-8"))
           for label, text in cases.items()]
    out += [
        ("bad bytes before error", b"\xff\n" + err.encode() + b"\n"),
        ("bad bytes after error", err.encode() + b"\n\xff\n"),
        ("bad bytes after score", score.encode() + b"\nmod \xe9\n"),
        ("bad bytes inside score line", (SCORE_PREFIX + " 9.0").encode() + b"\xc0\x80/10\n"),
        ("surrogate bytes", conv.encode() + b"\n\xed\xa0\x80\n"),
        ("truncated character at end", score.encode() + b"\n\xe6\x97"),
        ("truncated character before lf", b"\xe6\x97\n" + score.encode()),
        ("large report", _large_report()),
    ]
    return out


def outcome(call, path):
    """What `call(path)` gives, in a form two readers of a report can be compared by.

    A UnicodeDecodeError is described by its codec, its reason and the bytes it
    refused. Its offsets are left out: a text file is decoded chunk by chunk, so
    the line-by-line reader reports positions within one chunk, while a reader
    of the whole file may report them within the file; the refused bytes are
    the same either way.
    """
    try:
        return ("result", call(path))
    except UnicodeDecodeError as exc:
        return ("UnicodeDecodeError", exc.encoding, exc.reason,
                bytes(exc.object[exc.start:exc.end]))
    except (ValueError, IndexError, OSError) as exc:
        return (type(exc).__name__, str(exc))


def disagreements(paths, check):
    """(name, reference outcome, outcome of `check`) for each report where they differ."""
    found = []
    for path in paths:
        want, got = outcome(reference_validate, path), outcome(check, path)
        if got != want:
            found.append((path.name, want, got))
    return found


if __name__ == "__main__":
    # python -m tests.reportgen DIR: compare the checker with the reference on the
    # reports in DIR, in this interpreter's default text encoding; prints JSON.
    import codecs
    import json
    import locale
    import pathlib
    import sys

    from scorewarden import Scorewarden

    FOUND = disagreements(sorted(pathlib.Path(sys.argv[1]).iterdir()),
                          lambda path: Scorewarden(str(path)).validate_pylint_report())
    print(json.dumps({"encoding": codecs.lookup(locale.getpreferredencoding(False)).name,
                      "disagreements": [[name, repr(want), repr(got)]
                                        for name, want, got in FOUND]}))
