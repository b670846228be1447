"""Fuzz target: arbitrary positional and keyword arguments for every native function.

Each call goes through the C API's PyObject_Call, so keyword names may be any object, and
argument counts may be huge. A call binds exactly when the same call binds to a plain Python
function with the same parameters and defaults. A call that cannot bind must raise TypeError
with one of the interpreter's argument messages; a call that binds runs the body, which may
end in any ordinary exception but never in SystemError (a C++ failure or a broken error
state) or in an argument message of its own. Fakes stand in for the network, the shell and
the file system, and report paths lead into a scratch directory.

    python fuzz/arguments.py -max_total_time=600 [corpus directory]
"""
import ctypes
import io
import os
import pathlib
import re
import reprlib
import sys
import tempfile
from contextlib import redirect_stderr, redirect_stdout

import atheris

import badgewright
import quaymark_cli
import scorewarden
import wheelsmith

PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.restype = ctypes.py_object
PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

# Newer interpreters refuse keywords that are no strings before the function is reached.
ARGUMENT_ERROR = re.compile(
    r"(\w+\(\) )?keywords must be strings$|"
    r"\w+\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
    r"|got an unexpected keyword argument '.*'|got multiple values for keyword argument '.*')$",
    re.DOTALL)
BADGES = [{"id": 3, "image_url": "x/Version-1-informational/Coverage/Code Quality"}]
JOBS = [{"name": "unit-test", "coverage": 81.2}]


class Reply:
    def __init__(self, url):
        self.payload = JOBS if str(url).endswith("/jobs") else BADGES
        self.headers = {}

    def raise_for_status(self):
        pass

    def json(self):
        return self.payload


class Fakes:
    """requests, os, shutil and Path for the modules under test."""

    def __init__(self, sandbox):
        self.sandbox = sandbox

    def get(self, url, **kwargs):
        return Reply(url)

    post = put = get

    def system(self, command):
        return 0

    def rmtree(self, path, ignore_errors=False):
        pass

    def cwd(self):
        return pathlib.Path(self.sandbox)

    def report_path(self, report):
        """Path() of the report checker, kept inside the sandbox."""
        if isinstance(report, (str, bytes)):
            report = os.path.basename(os.fsdecode(report).replace("\0", ""))
            return pathlib.Path(self.sandbox, report)
        return pathlib.Path(report)


class NullLogger:
    def info(self, *args, **kwargs):
        pass

    exception = info


def setup():
    sandbox = tempfile.mkdtemp(prefix="arguments-")
    with open(os.path.join(sandbox, "report.txt"), "w") as handle:
        handle.write("m.py:1:0: C0114: doc\nYour code has been rated at 9.00/10\n")
    fakes = Fakes(sandbox)
    badgewright.requests = fakes
    wheelsmith.os = wheelsmith.shutil = wheelsmith.Path = fakes

    def report_path(report):
        return fakes.report_path(report)
    report_path.cwd = fakes.cwd
    scorewarden.Path = report_path
    quaymark_cli.log = NullLogger()
    return sandbox


def native_functions():
    found = []
    for owner in (badgewright.Badgewright, scorewarden.Scorewarden, wheelsmith.Wheelsmith):
        for value in vars(owner).values():
            value = getattr(value, "__func__", value)
            if type(value).__name__ == "quaymark_function":
                found.append(value)
    found.append(quaymark_cli.gitlab_instance_options)
    for name in ("badgewright", "update_badge", "setup_badges", "scorewarden",
                 "raise_for_code", "get_qa_value", "wheelsmith", "build", "upload"):
        callback = getattr(quaymark_cli, name).callback
        found.append(getattr(callback, "__wrapped__", callback))
    return found


def plain_twin(function):
    """A Python function with the same parameters and defaults."""
    code = function.__code__
    names = code.co_varnames[:code.co_argcount]
    namespace = {}
    exec("def twin(%s): pass" % ", ".join(names), namespace)
    twin = namespace["twin"]
    twin.__defaults__ = function.__defaults__
    return twin


FUNCTIONS = []
VALUES = []
KEYS = []


@atheris.instrument_func
def pick_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20))
    if kind == 1:
        return fdp.ConsumeInt(4)
    if kind == 2:  # a new one each time: click options get attached to it
        return lambda *args, **kwargs: None
    return fdp.PickValueInList(VALUES)


@atheris.instrument_func
def pick_key(fdp, names):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind < 6 and names:
        return fdp.PickValueInList(names)
    if kind < 8:
        return fdp.PickValueInList(KEYS)
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8))


@atheris.instrument_func
def check(data):
    fdp = atheris.FuzzedDataProvider(data)
    function, twin = fdp.PickValueInList(FUNCTIONS)
    code = function.__code__
    names = list(code.co_varnames[:code.co_argcount])
    count = fdp.ConsumeIntInRange(0, 8)
    if count == 8:
        count = fdp.PickValueInList([9, 17, 100, 100000])
    args = tuple(pick_value(fdp) for _ in range(min(count, 20)))
    args += (None,) * (count - len(args))
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        try:
            kwargs[pick_key(fdp, names)] = pick_value(fdp)
        except TypeError:  # an unhashable key
            pass
    if fdp.ConsumeIntInRange(0, 63) == 0:
        kwargs.update(("k%d" % i, i) for i in range(10000))

    try:
        PyObject_Call(twin, args, kwargs)
        binds = True
    except TypeError:
        binds = False
    bound = True
    try:
        PyObject_Call(function, args, kwargs)
    except SystemError:
        raise
    except TypeError as exc:
        bound = not ARGUMENT_ERROR.match(str(exc))
        if binds != bound:
            raise AssertionError("%s%s %s: %r, binds: %s" % (
                function.__qualname__, reprlib.repr(args), reprlib.repr(kwargs), exc, binds))
    except (Exception, SystemExit):  # the body's own failure: fine
        pass
    if bound and not binds:
        raise AssertionError("%s bound the call %s %s" % (
            function.__qualname__, reprlib.repr(args), reprlib.repr(kwargs)))


def main():
    sandbox = setup()
    FUNCTIONS.extend((function, plain_twin(function)) for function in native_functions())
    client = badgewright.Badgewright("http://127.0.0.1:9", 42, 7, "token")
    VALUES.extend([None, True, 0, -1, 2 ** 70, 85.5, float("nan"), "", "NA", "8.5", "test",
                   "report.txt", "..", os.path.join(sandbox, "report.txt"), b"report.txt",
                   pathlib.Path("report.txt"), [], {}, (), object(), client,
                   scorewarden.Scorewarden(os.path.join(sandbox, "report.txt")),
                   badgewright.Badgewright, wheelsmith.Wheelsmith, print])
    KEYS.extend([0, None, b"url", 1.5, ("self",), "self", "", "x" * 300, "\u00e9"])
    atheris.Setup(sys.argv, check)
    sink = io.StringIO()
    sink.write = len
    with redirect_stdout(sink), redirect_stderr(sink):
        atheris.Fuzz()


if __name__ == "__main__":
    main()
