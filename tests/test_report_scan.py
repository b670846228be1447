"""The byte scan behind Scorewarden.validate_pylint_report, at the places where a scan
that reads a file piecewise goes wrong: read boundaries, lines longer than a read,
several readers over one large file, and rebound module globals.

Every case is compared with the line-by-line reference reading; `read_report` also
tells whether the scan itself decided (no call of the codec's `decode`, through which
readlines() reads) or whether the report was read line by line, so that a scan which
silently gives up is noticed. The cases where the scan finds lines are also read by the
engine alone, through its test driver (tests/engine/scan_driver.cpp), with each finder the
processor runs: the module always takes the widest.
"""
import codecs
import locale
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import unicodedata

import pytest

import scorewarden
from scorewarden import Scorewarden
from tests.reportgen import SCORE_PREFIX, TWIN, UNICODE_SPACES, outcome, reference_validate

SCORE = (SCORE_PREFIX + " 8.75/10 (previous run: 8.50/10, +0.25)\n").encode()
CLEAN = b"pkg/mod.py:1:0: C0114: Missing module docstring (missing-module-docstring)\n"
ERROR = b"pkg/mod.py:6:25: E0602: Undefined variable 'x' (undefined-variable)\n"
FATAL = b"no_such_module:1:0: F0001: No module named no_such_module (fatal)\n"
KIB = 1024
MIB = 1024 * KIB
# Plausible read sizes; a piece of a report is placed across each of them.
BOUNDARIES = [64 * KIB, 256 * KIB, MIB]


ROOT = pathlib.Path(__file__).resolve().parent.parent


class ScanDriver:
    """The engine's test driver: the engine on report files with a finder named."""

    def __init__(self, path, encoding):
        self.path, self.encoding = str(path), encoding
        self.finders = self.run("finders").decode().split()

    def run(self, *args):
        return subprocess.run([self.path, *map(str, args)], stdout=subprocess.PIPE,
                              check=True).stdout

    def mismatches(self, cases):
        """Cases (label, path, reference outcome) where the engine, under some finder,
        comes to another outcome, as (finder, label, want, got). The outcome of a stop line
        is what the twin makes of it; a report the reference cannot decode must make the
        engine give up ("fallback")."""
        found = []
        for finder in self.finders:
            lines = self.run(finder, SCORE_PREFIX, self.encoding, *(path for _, path, _ in cases))
            for (label, _, want), line in zip(cases, lines.splitlines()):
                if want[0] == "UnicodeDecodeError":
                    want = ("fallback",)
                got = self.outcome(*line.split(b" "))
                if got != want:
                    found.append((finder, label, want, got))
        return found

    @staticmethod
    def outcome(result, kind, line):
        if result == b"no_stop":
            return ("result", "NA")
        if result != b"stopped":
            return (result.decode(),)
        check = (TWIN.Scorewarden.extract_quality_value if kind == b"score"
                 else TWIN.Scorewarden.raise_if_error_or_failure)
        return outcome(check, bytes.fromhex(line.decode()).decode())


@pytest.fixture(scope="session")
def scan_driver(tmp_path_factory):
    """The test driver, built once with the engine's source by the system's C++ compiler, or
    the one QUAYMARK_TEST_SCAN_DRIVER names (built elsewhere for this machine: tests/run.sh
    cross-compiles it for an emulated run). Code points above U+007F are decimal digits for it
    as for this interpreter."""
    encoding = codecs.lookup(locale.getpreferredencoding(False)).name
    if encoding not in ("utf-8", "ascii"):
        pytest.skip("the scan reads UTF-8 and ASCII only, and text files here are %s" % encoding)
    zeros = sorted({code - unicodedata.decimal(chr(code))
                    for code in range(0x80, sys.maxunicode + 1) if chr(code).isdecimal()})
    built = os.environ.get("QUAYMARK_TEST_SCAN_DRIVER")
    if built:
        driver = ScanDriver(built, encoding)
        assert driver.run("zeros").decode().split() == list(map(hex, zeros)), \
            "%s was built for another version's decimal digits" % built
        return driver
    compiler = next(filter(None, map(shutil.which, ("g++", "c++", "clang++"))), None)
    if compiler is None:
        pytest.skip("no C++ compiler (g++, c++ or clang++) on PATH to build the engine's "
                    "test driver")
    driver = tmp_path_factory.mktemp("engine") / "scan_driver"
    engine = ROOT / "quaymark" / "report_scan"
    subprocess.run([compiler, "-std=c++20", "-O2", "-pthread", "-I", str(engine),
                    "-DQM_DECIMAL_ZEROS=" + ",".join(map(hex, zeros)),
                    str(ROOT / "tests" / "engine" / "scan_driver.cpp"),
                    str(engine / "report_scan.cpp"), "-o", str(driver)], check=True)
    return ScanDriver(driver, encoding)


@pytest.fixture(params=["module", "engine"])
def reading(request):
    """Who reads the cases: the module (its engine with the widest finder), or the engine
    alone with each finder the processor runs (the test driver)."""
    return request.getfixturevalue("scan_driver") if request.param == "engine" else None


def filler(size):
    """Clean report lines of exactly `size` bytes."""
    out = CLEAN * (size // len(CLEAN))
    rest = size - len(out)
    return out + (b"x" * (rest - 1) + b"\n" if rest else b"")


def place(tail, index, offset):
    """Clean lines, then `tail` with its byte `index` at file offset `offset`."""
    return filler(offset - index) + tail


def run_python(code, *args, **env):
    """What `code` prints, stripped, run by this interpreter in a process of its own, with
    `env` added to the environment."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        os.path.abspath(entry) for entry in sys.path if entry), **env)
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env,
                          stdout=subprocess.PIPE, check=True).stdout.decode().strip()


class OwnOpen(type(pathlib.Path())):
    """A path whose open() is its own: the checker reads it line by line."""

    def open(self, *args, **kwargs):
        return super().open(*args, **kwargs)


def read_report(path, path_type=None):
    """(outcome, whether the scan decided without reading line by line); `path_type`, if
    given, is the type of the checker's `file_path`."""
    def validate(p):
        checker = Scorewarden(str(p))
        if path_type:
            checker.file_path = path_type(str(p))
        return checker.validate_pylint_report()

    decoded = []

    def watch(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "decode":
            decoded.append(frame.f_code.co_filename)

    sys.setprofile(watch)
    try:
        result = outcome(validate, path)
    finally:
        sys.setprofile(None)
    return result, not decoded


def mismatches(tmp_path, cases, scanned=True, deciding=None, engine=None):
    """Cases (label, bytes) whose outcome differs from the reference, or that were not
    decided by the scan when `scanned` says they should be. `deciding(content)`, if given,
    is the part of a case the reference reading needs (lines before it decide nothing).
    With `engine` (a ScanDriver), the engine alone reads them, under each finder; it must
    give up where the reference cannot decode, and only there."""
    found, held = [], []
    for index, (label, content) in enumerate(cases):
        report = tmp_path / ("report-%d.txt" % index if engine else "report.txt")
        report.write_bytes(deciding(content) if deciding else content)
        want = outcome(reference_validate, report)
        report.write_bytes(content)
        if engine:
            held.append((label, report, want))
            continue
        got, by_scan = read_report(report)
        if got != want or (scanned and not by_scan):
            found.append((label, want, got, by_scan))
    return engine.mismatches(held) if engine else found


def without_clean_lines(content):
    """The lines of `content` that can decide a reading: a clean message line raises nothing
    and holds no score, so the reference reading needs the others only."""
    clean = (CLEAN, CLEAN[:-1] + b"\r")
    return b"".join(line for line in content.splitlines(keepends=True) if line not in clean)


@pytest.mark.parametrize("boundary", BOUNDARIES)
class TestReadBoundaries:
    def test_lines_across_the_boundary(self, tmp_path, reading, boundary):
        cases = [
            ("crlf split", place(b"note\r\nm:1:0: E0602: x\n" + SCORE, 5, boundary)),
            ("cr before a one-letter module", place(b"note\rm:1:0: E0602: x\n", 5, boundary)),
            ("cr at the end of the read", place(b"x.py:1\r" + SCORE, 6, boundary - 1)),
            ("multi-byte character split", place("caf\u00e9.py:1:0: C0103: \u65e5\n".encode()
                                                 + SCORE, 4, boundary)),
            ("ideographic space split", place("\u3000".encode() + FATAL, 1, boundary)),
            ("score prefix split", place(b"ab " + SCORE, 10, boundary)),
            ("score at the start of a read", place(CLEAN + SCORE, len(CLEAN), boundary)),
        ]
        # the error line cut at each of its bytes up to past the id
        cases += [("error line cut at %d" % k, place(ERROR + SCORE, k, boundary))
                  for k in range(0, 30)]
        cases += [("too few fields cut at %d" % k, place(b"pkg/mod.py:12\n" + SCORE, k, boundary))
                  for k in range(9, 14)]
        assert mismatches(tmp_path, cases, deciding=without_clean_lines,
                          engine=reading) == []

    def test_file_ends_at_the_boundary(self, tmp_path, reading, boundary):
        cases = [
            ("ends with lf", place(b"\n", 0, boundary - 1)),
            ("ends with cr", place(b"\r", 0, boundary - 1)),
            ("score without line break", place(SCORE[:-1], len(SCORE) - 2, boundary - 1)),
            ("error without line break", place(ERROR[:-1], len(ERROR) - 2, boundary - 1)),
            ("one byte more, lf after cr", place(b"x.py:1:2: E1\r\n", 12, boundary - 1)),
        ]
        assert mismatches(tmp_path, cases, deciding=without_clean_lines,
                          engine=reading) == []

    def test_undecodable_bytes_near_the_boundary(self, tmp_path, reading, boundary):
        # The interpreter refuses these files whatever comes before: even an error line
        # must not be reported before the whole file is known to decode.
        cases = [
            ("bad byte first in a read", place(ERROR + b"\xff\n", len(ERROR), boundary)),
            ("bad byte last in a read", place(ERROR + b"\xff\n", len(ERROR), boundary - 1)),
            ("character cut by the end of file", place(SCORE + b"\xe6\x97", len(SCORE) + 1,
                                                       boundary - 1)),
            ("surrogate across the boundary", place(SCORE + b"\xed\xa0\x80\n", len(SCORE) + 1,
                                                    boundary)),
        ]
        assert mismatches(tmp_path, cases, scanned=False, deciding=without_clean_lines,
                          engine=reading) == []


class TestLongLines:
    """Lines longer than what the scan keeps of a line at once."""

    @pytest.mark.parametrize("length", [300 * KIB, 3 * MIB])
    def test_long_lines(self, tmp_path, reading, length):
        pad = b"w" * length
        cases = [
            ("long score line", CLEAN + SCORE[:-1] + b" " + pad + b"\n" + ERROR),
            ("score prefix far into the line", CLEAN + pad + b" " + SCORE + ERROR),
            ("error id far into the line", b"x.py:1:0:" + pad + b"E: x\n" + SCORE),
            ("second colon far into the line", b"x.py:1" + pad + b":0: E0602: x\n"),
            ("too few fields", b"x.py:1" + pad + b"\n" + SCORE),
            (".py: far into the line", pad + b"x.py:1:0: E0602: x\n" + SCORE),
            ("module message with a long text", b"m:1:0: F0001: " + pad + b"\n" + SCORE),
            ("long line that ends nothing", pad + b"\r\n" + CLEAN + ERROR + SCORE),
            ("long line ending with cr", pad + b"\r" + FATAL),
            ("long last line", CLEAN + pad),
            ("long last score line", CLEAN + SCORE[:-1] + pad),
            ("long last score line, one word", CLEAN + SCORE_PREFIX.encode() + b" " + pad),
        ]
        assert mismatches(tmp_path, cases, engine=reading) == []

    def test_marks_across_reads_inside_a_long_line(self, tmp_path, reading):
        # each byte of ".py:1:0: E" in turn across a read boundary, inside a line of
        # megabytes; likewise the score prefix
        cases = []
        for boundary in (256 * KIB, MIB + 256 * KIB, 2 * MIB):
            for cut in range(1, 12):
                line = b"w" * (boundary - cut) + b"x.py:1:0: E0602: x" + b"w" * MIB + b"\n"
                cases.append(("cut %d before %d" % (cut, boundary), line + SCORE))
            cases.append(("prefix across %d" % boundary, b"w" * (boundary - 7) + SCORE))
        assert mismatches(tmp_path, cases, engine=reading) == []

    def test_blanks_around_a_long_module_message(self, tmp_path, reading):
        cases = [("blanks before a module message", b" " * 3 * MIB + FATAL),
                 ("blanks after a module message id", b"m:1:0: F0001: " + b" " * 3 * MIB + b"\n"),
                 ("text after blanks after the id", b"m:1:0: F0001: " + b" " * 3 * MIB + b"x\n"),
                 ("long module name", b"m" * 3 * MIB + b":1:0: E0602: x\n"),
                 ("long line number", b"m:" + b"1" * 3 * MIB + b":0: E0602: x\n"),
                 ("ideographic spaces, one cut by each read",
                  "\u3000".encode() * MIB + FATAL)]
        assert mismatches(tmp_path, cases, engine=reading) == []


class TestFieldShapes:
    def test_id_fields(self, tmp_path, reading):
        # the id field of path messages in many widths and places, and module messages
        # that almost have Pylint's layout
        lines = [b"x.py:1:0:E0602", b"x.py:1:0:  E0602  : x", b"x.py:1:0:", b"x.py:1:",
                 b"x.py::", b"x.py:::E", b"a.py:b.py:1:F", b":1:0: E0602: x", b" :1:0: E0602: x",
                 b"m:1:0: E0602:x", b"m:1:0: E06020: x", b"m:1:0 : E0602: x", b"m::0: E0602: x"]
        for width in range(0, 40):
            lines += [b"x.py:1:0:" + b"C" * width + b"E: x", b"x.py:1:0:" + b"C" * width,
                      b"x.py:1:" + b"2" * width + b":F", b"x.py:" + b"1" * width + b":0: F",
                      b"x.py:1:0: C" + b"\t" * width + b"F"]
        cases = [(line.decode(), CLEAN + line + b"\n" + SCORE) for line in lines]
        assert mismatches(tmp_path, cases, engine=reading) == []


class TestOddBytes:
    @pytest.mark.parametrize("space", UNICODE_SPACES + [" ", "\t", "\u1680", "\u2007",
                                                        "\u202f", "\u205f"])
    def test_unicode_whitespace_around_messages(self, tmp_path, reading, space):
        cases = [
            ("before a module message", (space + "m:1:0: E0602: x\n").encode()),
            ("after a module message id", ("m:1:0: E0602:" + space + "\n").encode()),
            ("only blanks after the id", ("m:1:0: E0602: " + space + "\n").encode()),
            ("around a path message", (space + "m.py:1:0: F0001" + space + "\n").encode()),
        ]
        assert mismatches(tmp_path, cases, engine=reading) == []

    @pytest.mark.parametrize("char", ["\u180e", "\u200b", "\u2060", "\ufeff", "\x00", "\x7f"])
    def test_characters_that_are_no_blanks(self, tmp_path, reading, char):
        cases = [
            ("after the id", ("m:1:0: E0602: " + char + "\n").encode()),
            ("before a module message", (char + "m:1:0: E0602: x\n").encode()),
        ]
        assert mismatches(tmp_path, cases, engine=reading) == []

    def test_nul_bytes_and_bom(self, tmp_path, reading):
        cases = [
            ("nul in a message", b"x.py:1:0: C\x000114: t\x00\n" + SCORE),
            ("nul in the id", b"x.py:1:0: \x00E0602: t\n" + SCORE),
            ("nul in the score line", SCORE[:-1] + b"\x00\n"),
            ("bom before a module message", b"\xef\xbb\xbf" + FATAL),
            ("bom before the score line", b"\xef\xbb\xbf" + SCORE),
            ("bom only", b"\xef\xbb\xbf"),
        ]
        assert mismatches(tmp_path, cases, engine=reading) == []


class TestLargeReports:
    """Reports large enough to be read in parts by several threads."""

    SIZE = 36 * MIB

    def test_parts(self, tmp_path):
        clean = filler(self.SIZE)
        middle = self.SIZE // 2 // len(CLEAN) * len(CLEAN)
        cases = [("clean", clean + SCORE),
                 ("score before, error after the middle",
                  clean[:middle - MIB] + SCORE + clean[middle - MIB:] + ERROR),
                 ("error in the last line", clean + ERROR[:-1]),
                 ("cr line breaks only", clean.replace(b"\n", b"\r") + ERROR)]
        # an error line on either side of where the file is cut into parts
        for eighth in (1, 4, 7):
            cut = self.SIZE * eighth // 8 // len(CLEAN) * len(CLEAN)
            for lines in range(-2, 3):
                at = cut + lines * len(CLEAN)
                cases.append(("error at %+d lines from %d/8" % (lines, eighth),
                              clean[:at] + ERROR + clean[at:] + SCORE))
        # a score line whose value is its line break, holding the middle byte of the file
        bare = SCORE_PREFIX.encode() + b" " * 100 + b"\n"
        at = (len(clean) + len(bare)) // 2 // len(CLEAN) * len(CLEAN)
        cases.append(("bare score line in the middle", clean[:at] + bare + clean[at:]))
        assert mismatches(tmp_path, cases, deciding=without_clean_lines) == []

    def test_stop_in_one_part_settles_the_later_ones(self, tmp_path):
        # a stop in an early part lets later parts only check the encoding; an error line
        # after it must not count, a score line before it must
        size = 36 * MIB
        early = filler(MIB)
        cases = [("score early, errors in every part",
                  early + SCORE + (ERROR + filler(MIB)) * (size // MIB)),
                 ("error early, score late", early + ERROR + filler(size) + SCORE)]
        assert mismatches(tmp_path, cases, deciding=without_clean_lines) == []
        empty = [("empty lines, then an error near the end", b"\n" * size + FATAL + SCORE)]
        assert mismatches(tmp_path, empty, deciding=lambda content: content.lstrip(b"\n")) == []

    def test_one_processor(self, tmp_path):
        # one part, read by the calling thread alone
        report = tmp_path / "report.txt"
        report.write_bytes(filler(self.SIZE) + ERROR + SCORE)
        code = ("import os, sys\n"
                "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
                "from scorewarden import Scorewarden\n"
                "try:\n"
                "    Scorewarden(sys.argv[1]).validate_pylint_report()\n"
                "except ValueError as exc:\n"
                "    print(exc)\n")
        assert run_python(code, report) == outcome(reference_validate, report)[1]

    def test_error_early_and_bad_bytes_late(self, tmp_path):
        content = ERROR + filler(self.SIZE) + b"\xff\n" + SCORE
        assert mismatches(tmp_path, [("bad bytes late", content)], scanned=False) == []


class TestRebinding:
    @pytest.mark.parametrize("prefix", ["Score:", "\u00e9t\u00e9", "a\x00b", "rated at 8",
                                        "8.75/10 (", "\n", "", "Your"])
    def test_score_prefix(self, tmp_path, monkeypatch, prefix):
        monkeypatch.setattr(scorewarden, "PYLINT_SCORE_LINE_STARTS_WITH", prefix)
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + "Score: 9/10 \u00e9t\u00e9 a\x00b\n".encode() + ERROR + SCORE)
        want = outcome(lambda p: reference_validate(p, prefix), report)
        assert read_report(report)[0] == want

    def test_replaced_check_sees_every_message_line(self, tmp_path, monkeypatch):
        seen = []
        monkeypatch.setattr(Scorewarden, "raise_if_error_or_failure", staticmethod(seen.append))
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + b"header\r" + ERROR + FATAL + b"m:1:0 x\n" + SCORE + ERROR)
        assert Scorewarden(str(report)).validate_pylint_report() == "8.75"
        assert seen == [CLEAN.decode(), ERROR.decode(), FATAL.decode()]

    def test_replaced_extraction(self, tmp_path, monkeypatch):
        monkeypatch.setattr(Scorewarden, "extract_quality_value", staticmethod(repr))
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + SCORE[:-1] + b"\r\n")
        assert Scorewarden(str(report)).validate_pylint_report() == repr(SCORE.decode())

    def test_path_subclass_is_opened_its_own_way(self, tmp_path):
        opened = []

        class Report(type(tmp_path)):
            def open(self, *args, **kwargs):
                opened.append(args)
                return super().open(*args, **kwargs)

        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + ERROR)
        checker = Scorewarden(str(report))
        checker.file_path = Report(str(report))
        with pytest.raises(ValueError):
            checker.validate_pylint_report()
        assert opened == [()]


def test_fifo_is_read_line_by_line(tmp_path):
    fifo = tmp_path / "report.fifo"
    os.mkfifo(str(fifo))
    writer = threading.Thread(target=lambda: fifo.write_bytes(CLEAN + SCORE))
    writer.start()
    try:
        assert Scorewarden(str(fifo)).validate_pylint_report() == "8.75"
    finally:
        writer.join()


# The checker and the same reading in Python, each on a fresh checker of the report at
# argv[1], in one process: what each gives, and what an audit hook saw meanwhile (argv[2]:
# "record", or the number of the "open" event it refuses). The patches of argv[3] hold for
# both: "decode", "_buffer_decode", "ascii_decode" or "__init__" of the decoder of the text
# file's encoding, made to read every "C0114" as "E0114".
BESIDE_PYTHON = """
import codecs, sys
from unittest import mock
from scorewarden import Scorewarden
from tests.reportgen import TWIN, outcome

def python_reading(checker):
    return TWIN.Scorewarden(str(checker.file_path)).validate_pylint_report()

def swap(text):
    return text.replace("C0114", "E0114")

def patch(target):
    with Scorewarden(sys.argv[1]).file_path.open() as f:
        decoder = codecs.lookup(f.encoding).incrementaldecoder
    if target == "decode":
        decode = decoder.decode
        return mock.patch.object(decoder, "decode", lambda self, data, final=False:
                                 swap(decode(self, data, final)))
    if target == "_buffer_decode":
        buffer_decode = decoder._buffer_decode
        return mock.patch.object(decoder, "_buffer_decode", staticmethod(
            lambda data, errors, final: (lambda text, used: (swap(text), used))(
                *buffer_decode(data, errors, final))))
    if target == "ascii_decode":
        ascii_decode = codecs.ascii_decode
        return mock.patch.object(codecs, "ascii_decode", lambda data, errors=None:
                                 (swap(ascii_decode(data, errors)[0]), len(data)))
    init = codecs.IncrementalDecoder.__init__
    def swapping_init(self, errors="strict"):
        init(self, errors)
        self.decode = lambda data, final=False: swap(type(self).decode(self, data, final))
    return mock.patch.object(codecs.IncrementalDecoder, "__init__", swapping_init)

seen, opened = None, 0
def hook(event, args):
    global opened
    if seen is None:
        return
    seen.append((event, args))
    if event == "open":
        opened += 1
        if str(opened) == sys.argv[2]:
            raise PermissionError("refused")
sys.addaudithook(hook)

with patch(sys.argv[3]) if len(sys.argv) > 3 else mock.patch.dict({}):
    for read in (lambda checker: checker.validate_pylint_report(), python_reading):
        checker = Scorewarden(sys.argv[1])
        seen, opened = [], 0
        got = outcome(lambda path: read(checker), sys.argv[1])
        print(repr((got, seen)))
        seen = None
"""


def beside_python(report, hook="record", patched=None, **env):
    """(native, python): what the checker and the same reading in Python each gave, with
    the audit events each raised."""
    args = [report, hook] + ([patched] if patched else [])
    lines = run_python(BESIDE_PYTHON, *args, **env).splitlines()
    return lines[0], lines[1]


class TestHooksAndPatches:
    """What hooks and patches see and change is what they see and change in Python."""

    @pytest.mark.parametrize("content", [CLEAN + SCORE, CLEAN + ERROR + SCORE, b"\xff\n", b""],
                             ids=["score", "error", "undecodable", "empty"])
    def test_audit_events(self, tmp_path, content):
        report = tmp_path / "report.txt"
        report.write_bytes(content)
        native, python = beside_python(report)
        assert native == python and "'open'" in native

    @pytest.mark.parametrize("refused", ["1", "2"])
    def test_refusing_hook(self, tmp_path, refused):
        # On 3.8 and 3.9 pathlib's opener raises a second "open" event.
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + SCORE)
        native, python = beside_python(report, refused)
        assert native == python
        assert ("PermissionError" in native) == (python.count("'open'") >= int(refused))

    @pytest.mark.parametrize("encoding, target", [
        ("utf-8", "decode"), ("utf-8", "_buffer_decode"), ("utf-8", "__init__"),
        ("ascii", "decode"), ("ascii", "ascii_decode"), ("ascii", "__init__")])
    def test_patched_decoder(self, tmp_path, encoding, target):
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + SCORE)
        env = {"utf-8": dict(PYTHONUTF8="1"),
               "ascii": dict(LC_ALL="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")}[encoding]
        native, python = beside_python(report, patched=target, **env)
        assert native == python and "E0114" in native

    @pytest.mark.parametrize("where", ["builtins", "scorewarden"])
    def test_patched_any(self, tmp_path, monkeypatch, where):
        # raise_if_error_or_failure calls any() for every message line it is given
        seen = []

        def fake_any(checks):
            seen.append(checks)
            return False
        monkeypatch.setattr(where + ".any", fake_any, raising=False)
        report = tmp_path / "report.txt"
        report.write_bytes(CLEAN + ERROR + SCORE + ERROR)
        assert Scorewarden(str(report)).validate_pylint_report() == "8.75"
        assert seen == [[False, False], [False, True]]


def shape_report(shape, size):
    """A report of about `size` bytes in one of the shapes the scan must read quickly."""
    clean_crlf = CLEAN.replace(b"\n", b"\r\n")
    long_line = b"pkg/mod.py:12:0: C0301: Line too long (" + b"x" * 10200 + b")\n"
    shapes = {
        "clean": (CLEAN, SCORE),
        "crlf, error last": (clean_crlf, ERROR.replace(b"\n", b"\r\n")),
        "lines of 10 KB": (long_line, SCORE),
        "3-byte lines": (b"x:\n", FATAL),
        "empty lines": (b"\n", ERROR[:-1]),
        "score first": (b"", SCORE + filler(size) + ERROR),
    }
    line, tail = shapes[shape]
    return line * (size // len(line)) + tail if line else tail


SHAPES = ["clean", "crlf, error last", "lines of 10 KB", "3-byte lines", "empty lines",
          "score first"]


class TestShapes:
    """Every shape of report, with the line that decides placed across read boundaries."""

    @pytest.mark.parametrize("shape", SHAPES)
    def test_shape(self, tmp_path, reading, shape):
        cases = [("%s, %d bytes" % (shape, size), shape_report(shape, size))
                 for size in (0, 1, 63, 64, 65, 1000, 256 * KIB - 7, 256 * KIB, 700 * KIB)]
        assert mismatches(tmp_path, cases, engine=reading) == []

    @pytest.mark.parametrize("shape", ["clean", "3-byte lines", "empty lines"])
    def test_marks_at_word_and_read_boundaries(self, tmp_path, reading, shape):
        # the ".py:" and ": " marks of a message line at each offset around a bitmap word
        # and a read, behind report lines of the shape
        body = shape_report(shape, 256 * KIB)[:256 * KIB - 80]
        body = body[:body.rfind(b"\n") + 1] if b"\n" in body else body
        cases = []
        for pad in range(0, 140):
            cases.append(("error at +%d" % pad, body + b"w" * pad + b"\n" + ERROR + SCORE))
            cases.append(("module message at +%d" % pad, body + b"w" * pad + b"\r\n" + FATAL))
        assert mismatches(tmp_path, cases, deciding=lambda content: content[len(body):],
                          engine=reading) == []

class TestModuleMessages:
    """The layout of a message about a module named without a path, one rule for both
    readings: line, column and id digits are any decimal digits, the rest exactly Pylint's."""

    LINES = [
        "m:\u0661:0: F0001: x",          # ARABIC-INDIC DIGIT ONE as the line
        "m:1:\u0660: E0602: x",          # ... as the column
        "m:1:0: E\u0660\u0666\u0660\u0662: x",  # ... in the id
        "m:\uff11\uff12:0: F0001: x",    # FULLWIDTH DIGITS
        "m:\U0001d7d9:0: F0001: x",      # MATHEMATICAL DOUBLE-STRUCK DIGIT ONE (4 bytes)
        "m:\u00b2:0: F0001: x",          # SUPERSCRIPT TWO: a digit, but not decimal
        "m:\u2460:0: F0001: x",          # CIRCLED DIGIT ONE: numeric, not decimal
        "m:1:0: \u0100\u0660\u0660\u0660\u0660: x",  # the letter stays A-Z
        "m:1:0: C\u0660\u0660\u0660\u0660: x",
        # the layout around the id
        "m:1:0: E0602:x", "m:1:0: E0602: ", "m:1:0: E0602:\u3000\u3000y", "m:1:0:  E0602: x",
        ":1:0: E0602: x", "\u3000:1:0: E0602: x", "m::0: E0602: x", "m:1:: E0602: x",
        "m:1:0: e0602: x", "m:1:0: E060: x", "m:1:0: E06021: x", "m:1:0 : F0001: x",
        "\u2003m.n:12:4: F0001: x\u2003", "m:1:0: F0001: a: b: E",
    ]

    def test_in_the_scan(self, tmp_path, reading):
        cases = [(line, (line + "\n").encode() + SCORE) for line in self.LINES]
        # a digit of several bytes cut by a read
        cases += [("cut %d" % k, place("m:1:\u0660: E\U0001d7d9\u0660\u0660\u0660: x\n".encode(),
                                       k, 256 * KIB)) for k in range(4, 12)]
        assert mismatches(tmp_path, cases, engine=reading) == []

    def test_line_by_line(self, tmp_path):
        report = tmp_path / "report.txt"
        for line in self.LINES:
            report.write_bytes((line + "\n").encode() + SCORE)
            assert read_report(report, OwnOpen) == (outcome(reference_validate, report), False), line


class TestReplacedReading:
    """Whatever the line-by-line reading would call, once replaced, makes it the one that
    runs: a file object of a mock, an encoding of a patched locale."""

    @pytest.mark.parametrize("target", ["io.open", "io.text_encoding",
                                        "_bootlocale.getpreferredencoding",
                                        "locale.getpreferredencoding", "os.open"])
    def test_replaced(self, tmp_path, monkeypatch, target):
        import importlib
        import io
        module_name, name = target.rsplit(".", 1)
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            pytest.skip("no %s here" % module_name)
        if not hasattr(module, name):
            pytest.skip("no %s here" % target)
        replacements = {
            "open": lambda *args, **kwargs: io.StringIO(SCORE.decode()),
            "text_encoding": lambda encoding, stacklevel=2: "latin-1",
            "getpreferredencoding": lambda do_setlocale=True: "latin-1",
        }
        report = tmp_path / "report.txt"
        # in Latin-1 the Arabic-Indic digit is two letters: no module message then
        report.write_bytes("m:\u0661:0: F0001: x\n".encode() + ERROR + SCORE)
        monkeypatch.setattr(module, name, replacements[name])
        assert outcome(lambda p: Scorewarden(str(p)).validate_pylint_report(), report) == \
            outcome(reference_validate, report)

