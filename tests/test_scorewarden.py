"""Tests of the Pylint report checker `scorewarden`."""
import json
import logging
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import scorewarden
from scorewarden import Scorewarden
from tests.reportgen import (SCORE_PREFIX, disagreements, outcome, random_reports,
                             reference_validate, structured_reports)

ERR = "Found error or failure code in pylint code quality report: "
SCORE = SCORE_PREFIX + " 8.75/10 (previous run: 8.50/10, +0.25)"
CONV = "pkg/mod.py:1:0: C0114: Missing module docstring (missing-module-docstring)"
WARN = "pkg/mod.py:7:4: W0612: Unused variable 'unused' (unused-variable)"
ERROR = "pkg/mod.py:6:25: E0602: Undefined variable 'offset' (undefined-variable)"
FATAL = "no_such_module:1:0: F0001: No module named no_such_module (fatal)"


def write(path, content):
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return path


def child_env(**changes):
    """Environment for a child interpreter that imports what this one does."""
    path = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    return dict(os.environ, PYTHONPATH=path, **changes)


def check(tmp_path, content):
    return Scorewarden(str(write(tmp_path / "report.txt", content))).validate_pylint_report()


class TestModuleLayout:
    def test_public_globals_in_order(self):
        names = [name for name in vars(scorewarden) if not name.startswith("_")]
        assert names == ["Path", "sys", "logging", "PYLINT_SCORE_LINE_STARTS_WITH", "log",
                         "Scorewarden"]

    def test_global_values(self):
        assert scorewarden.Path is pathlib.Path
        assert scorewarden.sys is sys and scorewarden.logging is logging
        assert scorewarden.PYLINT_SCORE_LINE_STARTS_WITH == "Your code has been rated at"
        assert scorewarden.log is logging.getLogger("scorewarden")

    def test_class_layout(self):
        assert Scorewarden.__bases__ == (object,) and type(Scorewarden) is type
        assert Scorewarden.__doc__ is None
        assert (Scorewarden.__module__, Scorewarden.__qualname__) == ("scorewarden", "Scorewarden")
        members = [name for name in vars(Scorewarden)
                   if name == "__init__" or not name.startswith("__")]
        assert members == ["__init__", "validate_pylint_report", "extract_quality_value",
                           "raise_if_error_or_failure"]
        for name in members:
            assert getattr(Scorewarden, name).__qualname__ == "Scorewarden." + name
        assert isinstance(vars(Scorewarden)["extract_quality_value"], staticmethod)
        assert isinstance(vars(Scorewarden)["raise_if_error_or_failure"], staticmethod)
        assert not isinstance(vars(Scorewarden)["validate_pylint_report"], staticmethod)

    def test_docstrings(self):
        assert Scorewarden.validate_pylint_report.__doc__ == (
            " Analyses a pylint report searching for Error or Failure codes and retrieves the"
            " final score ")
        assert Scorewarden.extract_quality_value.__doc__ is None
        doc = Scorewarden.raise_if_error_or_failure.__doc__
        keys = ["Codes correspond to a category of the check:",
                "convention related checks", "refactoring related checks", "various warnings",
                "errors, for probable bugs in the code",
                "fatal, if an error occurred which prevented pylint from doing further processing.",
                "e.g of the type of lines that we will receive -->",
                "<file_path><file>.py:1:0: C0114: Missing module docstring",
                "Args:", "line (string): Pylint message to review",
                "Return:", "Raises ValueError if an Error or a Fatal message was found"]
        positions = [doc.find(key) for key in keys]
        assert -1 not in positions and positions == sorted(positions)
        for letter, meaning in zip("CRWEF", keys[1:6]):
            line = next(line for line in doc.splitlines() if meaning in line)
            assert letter in line.split(meaning)[0].split()

    def test_import_sets_up_logging_on_stdout(self):
        code = ("import logging, sys, scorewarden; root = logging.getLogger();"
                "print(root.level, len(root.handlers), root.handlers[0].stream is sys.stdout)")
        out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             env=child_env(), check=True).stdout
        assert out.split() == [b"20", b"1", b"True"]


class TestConstructor:
    def test_keeps_only_the_path(self, tmp_path):
        report = write(tmp_path / "r.txt", "")
        for argument in (str(report), report):
            checker = Scorewarden(argument)
            assert vars(checker) == {"file_path": report}
            assert type(checker.file_path) is type(report)

    @pytest.mark.parametrize("given, shown", [
        ("missing.txt", "missing.txt"),
        ("./missing.txt", "missing.txt"),
        ("sub//missing.txt", "sub/missing.txt"),
        ("./sub/./missing.txt/", "sub/missing.txt"),
    ])
    def test_missing_report(self, tmp_path, monkeypatch, given, shown):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as info:
            Scorewarden(given)
        message = "File " + shown + " not found. Current Path: " + os.getcwd()
        assert info.value.args == (message,)
        assert info.value.errno is None and info.value.filename is None

    @pytest.mark.parametrize("given", ["<tmp>", ".", ""])
    def test_directory_fails_only_when_read(self, tmp_path, monkeypatch, given):
        monkeypatch.chdir(tmp_path)
        checker = Scorewarden(str(tmp_path) if given == "<tmp>" else given)
        with pytest.raises(IsADirectoryError):
            checker.validate_pylint_report()


class TestRealPylintReports:
    def test_clean_module_scores_ten(self, pylint_reports):
        assert Scorewarden(str(pylint_reports["clean"])).validate_pylint_report() == "10.00"

    def test_warnings_do_not_fail(self, pylint_reports):
        report = pylint_reports["warnings"]
        score = Scorewarden(str(report)).validate_pylint_report()
        assert float(score) < 10 and SCORE_PREFIX + " " + score + "/10" in report.read_text()

    def test_no_score_line_gives_na(self, pylint_reports):
        assert Scorewarden(str(pylint_reports["no_score"])).validate_pylint_report() == "NA"

    @pytest.mark.parametrize("name, code", [
        ("error", " E0602"), ("syntax", " E0001"), ("missing_module", " F0001")])
    def test_error_and_fatal_fail(self, pylint_reports, name, code):
        with pytest.raises(ValueError) as info:
            Scorewarden(str(pylint_reports[name])).validate_pylint_report()
        assert info.value.args == (ERR + code,)
        # the fatal message names a module, not a file
        assert (".py:" in pylint_reports[name].read_text()) == (name != "missing_module")


def lines(*items, end="\n"):
    return end.join(items) + end


# (report text, expected score text, or exception type and message)
OUT_OF_RANGE = (IndexError, "list index out of range")
REPORTS = {
    # no score line
    "empty": ("", "NA"),
    "only C, R, W": (lines(CONV, WARN, "pkg/mod.py:9:0: R1705: Unnecessary else"), "NA"),
    # score lines
    "score with note": (lines(CONV, WARN, "", "-" * 36, SCORE), "8.75"),
    "score at end of file": (lines(CONV) + SCORE_PREFIX + " 8.75/10", "8.75"),
    "first score wins": (lines(SCORE_PREFIX + " 1.00/10", SCORE_PREFIX + " 2.00/10"), "1.00"),
    "E, F after score": (lines(SCORE, ERROR, FATAL), "8.75"),
    "score line with .py:": (lines("mod.py:1:0: E0001: " + SCORE), "mod.py:1:0:"),
    "crlf": (lines(CONV, SCORE, end="\r\n"), "8.75"),
    "cr ends a line": ("x\r" + SCORE_PREFIX + " 9.00/10\n", "9.00"),
    "crlf read as lf": (SCORE_PREFIX + "\r\n", "\n"),
    # error and fatal messages before the score
    "E": (lines(CONV, ERROR, SCORE), (ValueError, ERR + " E0602")),
    "F": (lines(CONV, "pkg/mod.py:1:0: F0002: astroid crashed", SCORE),
          (ValueError, ERR + " F0002")),
    "E, cr endings": (lines(CONV, ERROR, SCORE, end="\r"), (ValueError, ERR + " E0602")),
    "E after cr": (CONV + "\r" + ERROR + "\n" + SCORE, (ValueError, ERR + " E0602")),
    "E inside id": (lines("pkg/mod.py:1:0: CE114: odd id"), (ValueError, ERR + " CE114")),
    "unicode blanks": (lines("\u3000" + ERROR + "\xa0"), (ValueError, ERR + " E0602")),
    "unicode blank after id": (lines("pkg/mod.py:6:25: E0602\u3000"), (ValueError, ERR + " E0602")),
    # paths with a drive letter
    "drive, C": (lines("C:\\proj\\mod.py:1:0: C0114: Missing module docstring", SCORE), "8.75"),
    "drive, E": (lines("C:\\proj\\mod.py:3:0: E0602: Undefined variable 'x'", SCORE),
                 (ValueError, ERR + " E0602")),
    # too few fields
    "too few fields": (lines(CONV, "pkg/mod.py:12", SCORE), OUT_OF_RANGE),
    "drive, too few fields": (lines("C:\\proj\\mod.py:1:0"), OUT_OF_RANGE),
    # messages about modules named without a path
    "F0001": (lines("************* Module no_such_module", FATAL), (ValueError, ERR + " F0001")),
    "no path, E, blanks": (lines("  pkg.sub:12:4: E1101: Instance of 'A' has no 'b' member  "),
                           (ValueError, ERR + " E1101")),
    "no path, nel": (lines("\x85" + FATAL), (ValueError, ERR + " F0001")),
    "no path, C": (lines("mod:1:0: C0114: Missing module docstring", SCORE), "8.75"),
    "no path, after score": (lines(SCORE, FATAL), "8.75"),
    # lines with colons that are no messages
    "no messages": (lines("Note: a: b: E: F", "E:  3, 0: old layout (undefined-variable)",
                          "mod:1: F0001: no column", "mod:1:0: f0001: lower case",
                          "mod:1:0: F001: three", "mod:1:0: F00001: five",
                          "mod:one:0: F0001: word", "mod:1:0:F0001: no blank", SCORE), "8.75"),
}


class TestReports:
    @pytest.mark.parametrize("content, expected", list(REPORTS.values()), ids=list(REPORTS))
    def test_report(self, tmp_path, content, expected):
        if isinstance(expected, str):
            assert check(tmp_path, content) == expected
        else:
            with pytest.raises(expected[0]) as info:
                check(tmp_path, content)
            assert type(info.value) is expected[0] and str(info.value) == expected[1]

    @pytest.mark.parametrize("content", [
        b"mod \xff\n" + SCORE.encode(),
        SCORE.encode() + b"\nafter the score \xe9\n",
        ERROR.encode() + b"\n\xed\xa0\x80",
    ])
    def test_undecodable_report(self, tmp_path, content):
        with pytest.raises(UnicodeDecodeError):
            check(tmp_path, content)

    def test_each_call_reads_the_file_again(self, tmp_path):
        report = write(tmp_path / "r.txt", SCORE)
        checker = Scorewarden(str(report))
        assert checker.validate_pylint_report() == "8.75"
        write(report, lines(ERROR, SCORE))
        with pytest.raises(ValueError):
            checker.validate_pylint_report()
        report.unlink()
        with pytest.raises(FileNotFoundError):
            checker.validate_pylint_report()

    @pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
    def test_no_file_stays_open(self, tmp_path):
        reports = [write(tmp_path / ("r%d" % number), content) for number, content in
                   enumerate([SCORE, lines(ERROR), "x.py:1\n", b"\xff", ""])]
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(20):
            for report in reports:
                try:
                    Scorewarden(str(report)).validate_pylint_report()
                except (ValueError, IndexError):
                    pass
        assert len(os.listdir("/proc/self/fd")) == before


class TestExtractQualityValue:
    @pytest.mark.parametrize("line, expected", [
        (SCORE + "\n", "8.75"),
        (SCORE_PREFIX + " 10.00/10", "10.00"),
        ("  " + SCORE_PREFIX + "  -3.20/10\n", "-3.20"),
        (SCORE_PREFIX + " 7.00/10/10", "7.00"),
        # a strip by character set: "banana " is made of such characters
        (SCORE_PREFIX + " banana 5/10\n", "5"),
        ("x" + SCORE_PREFIX + " 9.00/10\n", "xYour"),
        ("12.5/10 " + SCORE_PREFIX, "12.5"),
        (SCORE_PREFIX, ""),
        (SCORE_PREFIX + "\n", "\n"),
    ])
    def test_extract(self, line, expected):
        assert Scorewarden.extract_quality_value(line) == expected
        assert Scorewarden.extract_quality_value(line=line) == expected


class TestRaiseIfErrorOrFailure:
    @pytest.mark.parametrize("line", [
        "mod.py:1:0: C0114: Missing module docstring",
        "  mod.py:1:0: W0611: Unused import os  \n",
        "mod.py:1:0: R0201: text: with: colons: E: F",
        "C:\\proj\\mod.py:3:0: C0114: Fatal Errors only in the text",
        "mod.py:1:0: e0602: lower case",
        "mod:1:0: I0011: Locally disabling (locally-disabled)",
    ])
    def test_passes(self, line):
        assert Scorewarden.raise_if_error_or_failure(line) is None

    @pytest.mark.parametrize("line, code", [
        ("mod.py:1:0: E0602: x", " E0602"),
        ("mod.py:3:0: F0001: x", " F0001"),
        ("C:\\proj\\mod.py:3:0: E0602: Undefined variable 'x'", " E0602"),
        ("\\\\host\\share\\m.py:3:0: F0010: error: while parsing", " F0010"),
        ("\tmod.py:1:0: E0602\t\n", " E0602"),
        ("mod.py:1:0:E0602", "E0602"),
        ("mod.py:1:0:  E0602  : x", "  E0602  "),
        ("a:b:c: F", " F"),
        (FATAL, " F0001"),
    ])
    def test_raises(self, line, code):
        with pytest.raises(ValueError) as info:
            Scorewarden.raise_if_error_or_failure(line)
        assert type(info.value) is ValueError and info.value.args == (ERR + code,)

    @pytest.mark.parametrize("line", ["a:b:c", "mod.py:1:0", "C:\\p\\mod.py:1", ""])
    def test_too_few_fields(self, line):
        with pytest.raises(IndexError):
            Scorewarden.raise_if_error_or_failure(line)

    def test_reached_through_an_instance(self, tmp_path):
        checker = Scorewarden(str(write(tmp_path / "r.txt", "")))
        with pytest.raises(ValueError):
            checker.raise_if_error_or_failure(line="mod.py:1:0: E0602: x")
        assert checker.extract_quality_value(SCORE) == "8.75"


class TestModuleRebinding:
    def test_score_prefix_is_read_at_each_call(self, tmp_path, monkeypatch):
        monkeypatch.setattr(scorewarden, "PYLINT_SCORE_LINE_STARTS_WITH", "Score ")
        assert Scorewarden.extract_quality_value("Score 7.5/10 (good)") == "7.5"
        assert check(tmp_path, lines(CONV, "Score 7.5/10", ERROR)) == "7.5"
        with pytest.raises(ValueError):
            check(tmp_path, lines(SCORE, ERROR))

    def test_path_is_read_at_each_call(self, tmp_path, monkeypatch):
        other = write(tmp_path / "other.txt", lines(SCORE_PREFIX + " 3.00/10"))

        class FakePath:
            def __init__(self, report):
                self.report = report

            def exists(self):
                return self.report == "redirect"

            def open(self):
                return other.open()

            def __str__(self):
                return "<%s>" % self.report

            @staticmethod
            def cwd():
                return "nowhere"

        monkeypatch.setattr(scorewarden, "Path", FakePath)
        with pytest.raises(FileNotFoundError) as info:
            Scorewarden("gone")
        assert info.value.args == ("File <gone> not found. Current Path: nowhere",)
        assert Scorewarden("redirect").validate_pylint_report() == "3.00"


def checker_result(path):
    return Scorewarden(str(path)).validate_pylint_report()


class TestFastScanAgreement:
    """The checker must read every report exactly as the line-by-line reference does."""

    @pytest.mark.parametrize("label, content", structured_reports(),
                             ids=[label for label, _ in structured_reports()])
    def test_structured(self, tmp_path, label, content):
        report = write(tmp_path / "report.txt", content)
        assert outcome(checker_result, report) == outcome(reference_validate, report)

    def test_random(self, tmp_path):
        paths = [write(tmp_path / (label + ".txt"), content)
                 for label, content in random_reports(seed=20240607, count=300)]
        assert disagreements(paths, checker_result) == []
        # the batch is only worth something if it reaches every outcome
        assert {outcome(reference_validate, path)[0] for path in paths} == {
            "result", "ValueError", "IndexError", "UnicodeDecodeError"}

    @pytest.mark.parametrize("mode, encoding", [
        ("utf-8 mode", "utf-8"), ("ascii", "ascii"), ("latin-1", "iso8859-1")])
    def test_other_default_encodings(self, tmp_path, mode, encoding):
        env = child_env(LC_ALL="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
        if mode == "utf-8 mode":
            env.update(PYTHONUTF8="1")
        elif mode == "latin-1":
            locales = tmp_path / "locales"
            locales.mkdir()
            made = shutil.which("localedef") and subprocess.run(
                ["localedef", "-i", "en_US", "-f", "ISO-8859-1", str(locales / "latin1")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
            if not made:
                pytest.skip("cannot make an ISO-8859-1 locale here")
            env.update(LOCPATH=str(locales), LC_ALL="latin1")
        reports = tmp_path / "reports"
        reports.mkdir()
        for label, content in structured_reports() + random_reports(seed=7, count=100):
            write(reports / (label + ".txt"), content)
        done = subprocess.run([sys.executable, "-m", "tests.reportgen", str(reports)], env=env,
                              stdout=subprocess.PIPE, check=True)
        result = json.loads(done.stdout.decode("ascii").splitlines()[-1])
        assert result == {"encoding": encoding, "disagreements": []}
