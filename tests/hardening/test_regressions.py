"""Faults found while hardening the native modules, kept as regression tests."""
import pytest

import wheelsmith
from wheelsmith import Wheelsmith


class Shell:
    def __init__(self):
        self.commands = []

    def system(self, command):
        self.commands.append(command)
        return 0

    def rmtree(self, path, ignore_errors=False):
        self.commands.append("rm " + path)

    def cwd(self):
        return self

    def iterdir(self):
        return iter(())


def test_overlong_defaults_fill_the_last_parameters(monkeypatch):
    # A Python function whose __defaults__ holds more values than it has parameters takes the
    # last ones: for def build(cython, clean_dist) and (False, False, True, True), both True.
    shell = Shell()
    for name in ("os", "shutil", "Path"):
        monkeypatch.setattr(wheelsmith, name, shell)
    monkeypatch.setattr(Wheelsmith.build, "__defaults__", (False, False, True, True))
    Wheelsmith.build()
    assert shell.commands == ["rm dist", "rm build", "python setup.py build_ext",
                              "python setup.py build_py", "python setup.py bdist_wheel"]


# -------------------------------------------------------------------------------------------
# Crashes and hangs: each case runs in its own interpreter, with a time bound
# -------------------------------------------------------------------------------------------

def python(code, *args, timeout=60):
    """Runs `code` in a fresh interpreter; a hang fails the test instead of blocking it."""
    import subprocess
    import sys
    import textwrap
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + list(args),
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("hung for %d s" % timeout)


RECURSION = """
    import sys
    from badgewright import Badgewright
    from scorewarden import Scorewarden
    sys.setrecursionlimit(int(sys.argv[2]))
    try:
        if sys.argv[1] == "report":  # file_path.open is the same check again
            check = Scorewarden.__new__(Scorewarden)
            check.file_path = type("P", (), {})()
            check.file_path.open = check.validate_pylint_report
            check.validate_pylint_report()
        elif sys.argv[1] == "badge":  # float(qa_value) is the same badge again
            class Q:
                __float__ = Badgewright.qa_badge_image_url
            q = Q()
            q.qa_value = q
            Badgewright.qa_badge_image_url(q)
        else:  # a Python frame and a native one per round: both count
            depth = 0
            class Q:
                def __float__(self):
                    global depth
                    depth += 1
                    return Badgewright.qa_badge_image_url(self)
            q = Q()
            q.qa_value = q
            try:
                Badgewright.qa_badge_image_url(q)
            finally:
                print(depth)
    except RecursionError:
        print("RecursionError")
"""


@pytest.mark.parametrize("case", ["report", "badge"])
@pytest.mark.parametrize("limit", [1000, 100000])
def test_native_recursion_raises_recursion_error(case, limit):
    # A high limit must not let native frames overflow the C stack either.
    done = python(RECURSION, case, str(limit))
    assert (done.returncode, done.stdout.split()[-1:]) == (0, ["RecursionError"]), done.stderr


def test_native_frames_count_like_python_frames():
    done = python(RECURSION, "mixed", "400")
    depth = int(done.stdout.split()[0])
    assert 400 // 2 - 20 <= depth <= 400 // 2 + 2, done.stdout


GREENLETS = """
    import pathlib, sys, tempfile, traceback
    import greenlet
    from badgewright import Badgewright
    from scorewarden import Scorewarden

    def entries(e):
        return [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                if f.filename.startswith("quaymark/")]

    # Two report checks, each switching to the other while inside the native call.
    d = pathlib.Path(tempfile.mkdtemp())
    (d / "good.txt").write_text("Your code has been rated at 7.50/10\\n")
    (d / "bad.txt").write_text("m.py:1:0: E0602: Undefined variable 'x' (undefined-variable)\\n")
    class Report:
        def __init__(self, path):
            self.path, self.peer = path, None
        def open(self):
            peer, self.peer = self.peer, None
            if peer:
                peer.switch()
            return self.path.open()
    def check(name):
        c = Scorewarden(str(d / name))
        c.file_path = Report(d / name)
        return c
    try:
        check("bad.txt").validate_pylint_report()
    except ValueError as e:
        expected = entries(e)
    one, two = check("good.txt"), check("bad.txt")
    g1 = greenlet.greenlet(one.validate_pylint_report)
    g2 = greenlet.greenlet(two.validate_pylint_report)
    one.file_path.peer, two.file_path.peer = g2, g1
    assert g1.switch() == "7.50"
    try:
        g2.switch()
        raise AssertionError("no error")
    except ValueError as e:
        assert entries(e) == expected, (entries(e), expected)

    # Two badges whose scores switch greenlets on every float().
    class Score:
        def __init__(self, value):
            self.value = value
        def __float__(self):
            greenlet.getcurrent().parent.switch()
            return self.value
    def badge(value):
        b = Badgewright.__new__(Badgewright)
        b.qa_value = Score(value)
        return b
    gs = [greenlet.greenlet(badge(v).qa_badge_image_url) for v in (9.0, 5.5, "x")]
    results = [None] * 3
    while not all(g.dead for g in gs):
        for i, g in enumerate(gs):
            if not g.dead:
                try:
                    results[i] = g.switch()
                except TypeError as e:
                    results[i] = [n for n, _ in entries(e)]
    assert [r.rsplit("-", 1)[-1] if isinstance(r, str) else r for r in results] == [
        "brightgreen", "yellow", ["badgewright.Badgewright.qa_badge_image_url"]], results
    print("ok")
"""


def test_greenlet_switches_inside_native_calls():
    pytest.importorskip("greenlet")
    done = python(GREENLETS)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr


SUBINTERPRETER = """
    import os, sys
    try:
        import _interpreters as interpreters
        interpreter = interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create()
    if sys.argv[1] == "refused":
        import badgewright
    interpreters.run_string(interpreter, {
        "raises": "import os, scorewarden\\n"
                  "try:\\n"
                  "    scorewarden.Scorewarden('/no/such/report')\\n"
                  "except FileNotFoundError as e:\\n"
                  "    os.write(1, b'FileNotFoundError\\\\n')\\n",
        "refused": "import os\\n"
                   "try:\\n"
                   "    import quaymark_cli\\n"
                   "except ImportError as e:\\n"
                   "    os.write(1, str(e).encode() + b'\\\\n')\\n",
    }[sys.argv[1]])
"""


@pytest.mark.parametrize("case, printed", [
    ("raises", "FileNotFoundError"),
    ("refused", "Interpreter change detected - this module can only be loaded into one "
                "interpreter per process."),
])
def test_sub_interpreter_errors_do_not_hang(case, printed):
    pytest.importorskip("_interpreters" if __import__("sys").version_info >= (3, 13)
                        else "_xxsubinterpreters")
    done = python(SUBINTERPRETER, case, timeout=30)
    assert (done.returncode, done.stdout) == (0, printed + "\n"), done.stderr
