"""Reference and memory leaks: every native function, called many times on its success path
and on each of its error paths, must leave the heap as it found it.

Each case runs ROUNDS rounds of CALLS calls. After the warm-up rounds the number of objects
the collector tracks may not grow by more than a few, and the number of allocated memory
blocks may not grow in every round (a leak of one object per call grows it by a hundred per
round). Fakes stand in for the network, the shell and the file system and keep nothing.
"""
import ctypes
import gc
import io
import json
import subprocess
import sys
from contextlib import redirect_stderr, redirect_stdout
from types import SimpleNamespace

import click
import pytest
import requests

import badgewright
import quaymark_cli
import scorewarden
import wheelsmith
from badgewright import Badgewright
from scorewarden import Scorewarden
from wheelsmith import Wheelsmith

ROUNDS = 8
WARM_UP = 3
CALLS = 100
MAX_OBJECTS = 10

TOKEN = "glpat-leak-check"
BASE = "https://img.shields.io/badge/"
BADGES = [{"id": 1, "image_url": BASE + "Code Quality-NA/10-red"},
          {"id": 2, "image_url": BASE + "Coverage-0-red"},
          {"id": 3, "image_url": BASE + "Version-0.1.0-informational"}]
JOBS = [{"name": "lint", "coverage": None}, {"name": "unit-test", "coverage": 81.2}]
NOT_JSON = object()

PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.restype = ctypes.py_object
PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def measure():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


def assert_no_growth(action):
    samples = []
    for _ in range(ROUNDS):
        for _ in range(CALLS):
            action()
        samples.append(measure())
    samples = samples[WARM_UP - 1:]
    objects = samples[-1][1] - samples[0][1]
    assert objects <= MAX_OBJECTS, "gc objects grew by %d: %s" % (objects, samples)
    # Memory blocks come and go with the interpreter's own caches (newer versions keep
    # filling some for a while), so only growth in every single round counts as a leak.
    # Without pymalloc (PYTHONMALLOC=malloc, as under the sanitizers) the count is always 0.
    rounds = [after[0] - before[0] for before, after in zip(samples, samples[1:])]
    if samples[0][0]:
        assert min(rounds) < CALLS // 2, "allocated blocks grew every round: %s" % rounds


def raising(error, call):
    """An action that must end in `error` (an exception class)."""
    def action():
        try:
            call()
        except error:
            return
        raise AssertionError("%s not raised" % error.__name__)
    return action


# ---------------------------------------------------------------------------- fakes

class FakeResponse:
    def __init__(self, payload, status=200, headers=None):
        self.payload, self.status, self.headers = payload, status, headers or {}

    def raise_for_status(self):
        if self.status >= 400:
            raise requests.HTTPError("%d Client Error" % self.status, response=self)

    def json(self):
        if self.payload is NOT_JSON:
            return json.loads("<html>")
        return self.payload


class FakeRequests:
    """Answers each request from `replies`: "get /badges" -> reply (a FakeResponse, an
    exception class or factory, or a list of replies by page)."""

    def __init__(self, replies):
        self.replies = replies

    def _reply(self, method, url, params=None, **_):
        key = "%s %s" % (method, url.rsplit("/", 1)[-1] if method != "put" else "put")
        reply = self.replies[key]
        if isinstance(reply, list):
            reply = reply[(params or {}).get("page", 1) - 1]
        if not isinstance(reply, FakeResponse):
            raise reply()  # a new exception each time: a raised one keeps its traceback
        return reply

    def get(self, url, **kwargs):
        return self._reply("get", url, **kwargs)

    def post(self, url, **kwargs):
        return self._reply("post", url, **kwargs)

    def put(self, url, **kwargs):
        return self._reply("put", url, **kwargs)


def gitlab(**changes):
    replies = {"get badges": FakeResponse(BADGES), "get jobs": FakeResponse(JOBS),
               "put put": FakeResponse({}), "post badges": FakeResponse({})}
    return FakeRequests(dict(replies, **changes))


class FakeShell:
    """os, shutil and Path of the packaging module: a working directory with one egg-info."""

    def __init__(self, status=0, cwd_error=None):  # cwd_error: makes an exception
        self.status, self.cwd_error = status, cwd_error
        self.entries = [SimpleNamespace(name="pkg.egg-info", is_dir=lambda: True),
                        SimpleNamespace(name="setup.py", is_dir=lambda: False)]

    def system(self, command):
        return self.status

    def rmtree(self, path, ignore_errors=False):
        pass

    def cwd(self):
        if self.cwd_error:
            raise self.cwd_error()
        return self

    def iterdir(self):
        return iter(self.entries)


class NullLogger:
    def info(self, *args, **kwargs):
        pass

    def exception(self, *args, **kwargs):
        pass


@pytest.fixture
def quiet(monkeypatch):
    """No log records, printing or captured output piling up while the loops run."""
    monkeypatch.setattr(quaymark_cli, "log", NullLogger())
    sink = io.StringIO()
    sink.write = len
    with redirect_stdout(sink), redirect_stderr(sink):
        yield


def use(monkeypatch, requests_fake=None, shell=None):
    if requests_fake is not None:
        monkeypatch.setattr(badgewright, "requests", requests_fake)
    if shell is not None:
        for name in ("os", "shutil", "Path"):
            monkeypatch.setattr(wheelsmith, name, shell)


# ---------------------------------------------------------------------------- badge client

def client(**kwargs):
    return Badgewright("https://gitlab.example", 42, 1001, TOKEN, **kwargs)


PAGED = [FakeResponse([BADGES[0]], headers={"X-Next-Page": "2"}), FakeResponse(BADGES[2:])]
EMPTY_PAGES = [FakeResponse([], headers={"X-Next-Page": "2"}), FakeResponse([])]
BADGE_CASES = {  # name: (replies that differ, exception expected, call)
    "construct": ({}, None, lambda: client(version="1.0", qa="9.5")),
    "create": ({}, None, lambda: client().create_badges_for_project()),
    "update version": ({}, None, lambda: client().update_version_badge()),
    "update quality": ({}, None, lambda: client(qa="6.5").update_quality_badge()),
    "update coverage": ({}, None, lambda: client().update_coverage_badge("unit")),
    "coverage value": ({}, None, lambda: client().get_coverage_value("unit")),
    "second page": ({"get badges": PAGED}, None, lambda: client().update_version_badge()),
    "filter": ({}, None, lambda: Badgewright._filter_badge_id(BADGES, "Version")),
    "coverage url": ({}, None, lambda: Badgewright.coverage_badge_image_url(85.5)),
    "quality url": ({}, None, lambda: client(qa=" 7.5 ").qa_badge_image_url()),
    "version url": ({}, None, lambda: client(version=3).version_badge_image_url()),
    "http error on get": ({"get badges": FakeResponse(None, 401)}, requests.HTTPError,
                          lambda: client().update_version_badge()),
    "http error on put": ({"put put": FakeResponse(None, 500)}, requests.HTTPError,
                          lambda: client().update_quality_badge()),
    "http error on post": ({"post badges": FakeResponse(None, 403)}, requests.HTTPError,
                           lambda: client().create_badges_for_project()),
    "refused": ({"get jobs": lambda: requests.ConnectionError("refused")},
                requests.ConnectionError, lambda: client().get_coverage_value("unit")),
    "token in a message": ({"get badges": lambda: requests.exceptions.InvalidHeader(TOKEN)},
                           requests.exceptions.InvalidHeader,
                           lambda: client().update_version_badge()),
    "not json": ({"get jobs": FakeResponse(NOT_JSON)}, ValueError,
                 lambda: client().update_coverage_badge("unit")),
    "no badge": ({"get badges": FakeResponse([])}, IndexError,
                 lambda: client().update_version_badge()),
    "no badge on any page": ({"get badges": EMPTY_PAGES}, IndexError,
                             lambda: client().update_version_badge()),
    "no job": ({}, IndexError, lambda: client().get_coverage_value("deploy")),
    "badge without image": ({"get badges": FakeResponse([{"id": 1}])}, KeyError,
                            lambda: client().update_version_badge()),
    "null coverage": ({}, TypeError, lambda: client().update_coverage_badge("lint")),
    "bad quality text": ({}, ValueError, lambda: client(qa="abc").create_badges_for_project()),
    "coverage text": ({}, TypeError, lambda: Badgewright.coverage_badge_image_url("80")),
    "missing attribute": ({}, AttributeError,
                          lambda: Badgewright.qa_badge_image_url(SimpleNamespace())),
}


@pytest.mark.parametrize("name", BADGE_CASES)
def test_badge_client(monkeypatch, name):
    replies, error, call = BADGE_CASES[name]
    use(monkeypatch, gitlab(**replies))
    assert_no_growth(raising(error, call) if error else call)


# ---------------------------------------------------------------------------- report checker

REPORTS = {
    "score": ("pkg/mod.py:1:0: C0114: Missing module docstring\n"
              "Your code has been rated at 8.75/10 (previous run: 8.50/10, +0.25)\n", None),
    "no score": ("pkg/mod.py:7:4: W0612: Unused variable 'x'\n", None),
    "error": ("pkg/mod.py:6:25: E0602: Undefined variable 'offset'\n", ValueError),
    "fatal module": ("no_such_module:1:0: F0001: No module named no_such_module\n", ValueError),
    "too few fields": ("pkg/mod.py:12\n", IndexError),
    "undecodable": (b"\xff\xfe\n", UnicodeDecodeError),
}


@pytest.mark.parametrize("name", REPORTS)
def test_report_checker(tmp_path, name):
    text, error = REPORTS[name]
    path = tmp_path / "report.txt"
    (path.write_bytes if isinstance(text, bytes) else path.write_text)(text)
    checker = Scorewarden(str(path))
    call = checker.validate_pylint_report
    assert_no_growth(raising(error, call) if error else call)


@pytest.mark.parametrize("error, call", [
    (None, lambda: Scorewarden.extract_quality_value("Your code has been rated at 9.1/10\n")),
    (None, lambda: Scorewarden.raise_if_error_or_failure("a.py:1:0: C0114: doc")),
    (ValueError, lambda: Scorewarden.raise_if_error_or_failure("a.py:1:0: E0602: x")),
    (IndexError, lambda: Scorewarden.raise_if_error_or_failure("a.py:1")),
    (FileNotFoundError, lambda: Scorewarden("no/such/report.txt")),
    (IsADirectoryError, lambda: Scorewarden(".").validate_pylint_report()),
], ids=["extract", "harmless line", "error line", "short line", "missing file", "directory"])
def test_report_checker_parts(error, call):
    assert_no_growth(raising(error, call) if error else call)


# ---------------------------------------------------------------------------- packaging

@pytest.mark.parametrize("shell, error, call", [
    (FakeShell(), None, lambda: Wheelsmith.build()),
    (FakeShell(), None, lambda: Wheelsmith.build(False, clean_dist=False)),
    (FakeShell(), None, lambda: Wheelsmith.upload("alice", 's3"cret$', "--repository testpypi")),
    (FakeShell(), None, lambda: Wheelsmith.upload(None, None, "")),
    (FakeShell(status=256), subprocess.CalledProcessError, lambda: Wheelsmith.build(1, 0)),
    (FakeShell(status=2), subprocess.CalledProcessError, lambda: Wheelsmith.upload("a", "b", "")),
    (FakeShell(cwd_error=PermissionError), PermissionError, lambda: Wheelsmith.build()),
], ids=["build", "wheel only", "upload", "upload without account", "failed build",
        "failed upload", "unlistable directory"])
def test_packaging(monkeypatch, shell, error, call):
    use(monkeypatch, shell=shell)
    assert_no_growth(raising(error, call) if error else call)


# ---------------------------------------------------------------------------- command line

def command(name):
    """The native function behind a click command (click's pass_* wrappers unwrapped)."""
    callback = getattr(quaymark_cli, name).callback
    return getattr(callback, "__wrapped__", callback)


def cli_main(group, args):
    return lambda: getattr(quaymark_cli, group).main(args, standalone_mode=False)


GITLAB_OPTIONS = ["--url", "https://gitlab.example", "--api-token", TOKEN, "--project-id", "42"]
CLI_CASES = {  # name: (replies that differ, os.system's status, exception expected, call)
    "update badge": ({}, 0, SystemExit, lambda: command("update_badge")(
        "https://gitlab.example", TOKEN, "42", "1001", "unit", "1.0", "8.5")),
    "setup badges": ({}, 0, None, lambda: command("setup_badges")("https://g.example", TOKEN,
                                                                  "42")),
    "nothing to update": ({}, 0, NotImplementedError, lambda: command("update_badge")(
        "u", "t", "1", None, None, None, None)),
    "failed update": ({"get badges": FakeResponse(None, 404)}, 0, requests.HTTPError,
                      lambda: command("update_badge")("u", TOKEN, "1", "2", None, "1.0", None)),
    "update through click": ({}, 0, SystemExit, cli_main(
        "badgewright", ["update-badge", "--version", "2.0"] + GITLAB_OPTIONS)),
    "option decorator": ({}, 0, None, lambda: quaymark_cli.gitlab_instance_options(
        lambda url, api_token, project_id: None)),
    "build": ({}, 0, None, lambda: command("build")(True, True)),
    "build through click": ({}, 0, None, cli_main("wheelsmith", ["build", "--clean-dist"])),
    "upload": ({}, 0, None, lambda: command("upload")("alice", "pw", "testpypi", None)),
    "failed upload": ({}, 256, click.ClickException, lambda: command("upload")(
        "alice", "pw", "custom", "http://127.0.0.1:1/x y")),
    "usage error": ({}, 0, click.UsageError, cli_main("wheelsmith", ["upload", "--pypi", "x"])),
    "missing report": ({}, 0, FileNotFoundError, cli_main(
        "scorewarden", ["--pylint-report-path", "no/such/report.txt", "get-qa-value"])),
}


@pytest.mark.parametrize("name", CLI_CASES)
def test_command_line(monkeypatch, quiet, name):
    replies, status, error, call = CLI_CASES[name]
    use(monkeypatch, gitlab(**replies), FakeShell(status=status))
    assert_no_growth(raising(error, call) if error else call)


@pytest.mark.parametrize("name", REPORTS)
@pytest.mark.parametrize("commands", [("raise-for-code",), ("get-qa-value",)])
def test_report_commands(tmp_path, quiet, name, commands):
    text, error = REPORTS[name]
    path = tmp_path / "report.txt"
    (path.write_bytes if isinstance(text, bytes) else path.write_text)(text)
    run = cli_main("scorewarden", ["--pylint-report-path", str(path)] + list(commands))
    if commands[0] == "raise-for-code":
        assert_no_growth(raising(SystemExit, run))
    else:
        assert_no_growth(raising(error, run) if error else run)


# ---------------------------------------------------------------------------- argument errors

def native_functions():
    found = {}
    for module, owner in [(badgewright, Badgewright), (scorewarden, Scorewarden),
                          (wheelsmith, Wheelsmith)]:
        for name, value in vars(owner).items():
            value = getattr(value, "__func__", value)
            if type(value).__name__ == "quaymark_function":
                found["%s.%s" % (module.__name__, value.__qualname__)] = value
    found["quaymark_cli.gitlab_instance_options"] = quaymark_cli.gitlab_instance_options
    for name in ("badgewright", "update_badge", "setup_badges", "scorewarden", "raise_for_code",
                 "get_qa_value", "wheelsmith", "build", "upload"):
        found["quaymark_cli." + name] = command(name)
    return found


NATIVE = native_functions()


def wrong_calls(function):
    """Calls that cannot bind: too few, too many, unknown keyword, a value given twice and a
    keyword that is no string. None of them reaches the function's body."""
    code = function.__code__
    names = code.co_varnames[:code.co_argcount]
    required = len(names) - len(function.__defaults__ or ())
    filled = tuple(range(required))
    calls = [lambda: function(*range(len(names) + 1)),
             lambda: function(*filled, no_such_parameter=1),
             lambda: PyObject_Call(function, filled, {1: 2})]
    if required:
        calls += [lambda: function(), lambda: function(*filled, **{names[0]: 0})]
    return calls


@pytest.mark.parametrize("name", NATIVE)
def test_argument_errors(name):
    calls = wrong_calls(NATIVE[name])

    def action():
        for call in calls:
            try:
                call()
            except TypeError:
                continue
            raise AssertionError("call bound")
    assert_no_growth(action)
