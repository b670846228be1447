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
        else:  # a Python frame and a native one per round: both count, as two Python ones
            def python_twin(self):
                if self.qa_value == "NA":
                    return "red"
                return float(self.qa_value)
            for badge in (python_twin, Badgewright.qa_badge_image_url):
                depth = 0
                class Q:
                    def __float__(self):
                        global depth
                        depth += 1
                        return badge(self)
                q = Q()
                q.qa_value = q
                try:
                    badge(q)
                except RecursionError:
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
    python_depth, native_depth = map(int, done.stdout.split())
    assert abs(native_depth - python_depth) <= 2, done.stdout


GREENLETS = """
    import pathlib, tempfile, traceback
    import greenlet
    from badgewright import Badgewright
    from scorewarden import Scorewarden
    main = greenlet.getcurrent()

    def entries(e):
        return [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                if f.filename.startswith("quaymark/")]

    def outcome(call):
        try:
            return call()
        except Exception as e:
            return type(e).__name__, entries(e)

    def interleaved(first, second):
        # Both start and switch out inside the native call; the first then ends before the
        # second goes on.
        g1, g2 = greenlet.greenlet(lambda: outcome(first)), greenlet.greenlet(lambda: outcome(second))
        results = [g1.switch(), g2.switch()]
        for index, g in enumerate((g1, g2)):
            while not g.dead:
                results[index] = g.switch()
        return results

    class Score:
        def __init__(self, value, switch):
            self.value, self.switch = value, switch
        def __float__(self):
            if self.switch:
                main.switch()
            return self.value
        def __format__(self, spec):
            return str(self.value)
    def badge(value, switch=True):
        b = Badgewright.__new__(Badgewright)
        b.qa_value = Score(value, switch)
        return b.qa_badge_image_url

    class Checker(Scorewarden):
        switch = False
        def switching(self, method):
            if self.switch:
                self.switch = False
                main.switch()
            return method
        extract_quality_value = property(
            lambda self: self.switching(Scorewarden.extract_quality_value))
        raise_if_error_or_failure = property(
            lambda self: self.switching(Scorewarden.raise_if_error_or_failure))
    d = pathlib.Path(tempfile.mkdtemp())
    (d / "good.txt").write_text("Your code has been rated at 7.50/10\\n")
    (d / "bad.txt").write_text("m.py:1:0: E0602: Undefined variable 'x' (undefined-variable)\\n")
    def check(name, switch=True):
        c = Checker(str(d / name))
        c.switch = switch
        return c.validate_pylint_report

    # Results, exceptions and traceback entries as without switching.
    for make, first, second in [(badge, 9.0, 5.5), (badge, 9.0, "x"),
                                (check, "good.txt", "bad.txt"), (check, "bad.txt", "good.txt")]:
        got = interleaved(make(first), make(second))
        want = [outcome(make(first, False)), outcome(make(second, False))]
        assert got == want, (got, want)
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
        # 3.12 makes an interpreter with a GIL of its own unless told otherwise.
        interpreter = (interpreters.create(isolated=False) if sys.version_info >= (3, 12)
                       else interpreters.create())
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


DAEMON = """
    import gc, subprocess, sys, threading, time
    case, target = sys.argv[1], sys.argv[2]

    class HoldsFinalisationUp:
        # Sleeps while the interpreter finalises, so that the daemon thread wakes meanwhile.
        def __del__(self, sleep=time.sleep):
            sleep(3)

    started = threading.Event()
    def work():
        if case == "requests":
            from badgewright import Badgewright
            client = Badgewright(target, 1, 2, "token")
            started.set()
            client.update_version_badge()
        else:
            from scorewarden import Scorewarden
            check = Scorewarden(target)
            started.set()
            check.validate_pylint_report()
    if case == "fifo":  # its writer opens it at once and writes later
        subprocess.Popen(["sh", "-c", 'exec 3>"$1"; sleep 1.5; echo "x.py:1:0: C0114: d (d)" >&3',
                          "sh", target])
    threading.Thread(target=work, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    # In a reference cycle it goes with the interpreter's last collection, once finalisation
    # has begun.
    gc.disable()
    holder = HoldsFinalisationUp()
    holder.cycle = holder
    del holder
"""


@pytest.mark.parametrize("case", ["fifo", "scan", "requests"])
def test_daemon_thread_inside_a_native_call_at_exit(case, tmp_path):
    # The interpreter ends such a thread when it wakes up during finalisation; the process
    # exits as the same Python program would.
    import os
    import socket
    import threading
    import time
    if case == "fifo":
        target = str(tmp_path / "report")
        os.mkfifo(target)
    elif case == "scan":  # large enough to be read on after finalisation begins
        target = str(tmp_path / "report")
        with open(target, "wb") as f:
            f.truncate(256 << 20)
    else:  # a stand-in GitLab that answers too late
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen()
        target = "http://127.0.0.1:%d" % server.getsockname()[1]

        def answer_late():
            try:
                connection, _ = server.accept()
                with connection:
                    time.sleep(1.5)
                    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                       b"Content-Length: 2\r\n\r\n[]")
            except OSError:
                pass
        answering = threading.Thread(target=answer_late, daemon=True)
        answering.start()
    try:
        done = python(DAEMON, case, target, timeout=60)
    finally:
        if case == "requests":
            answering.join(5)
            server.close()
    assert (done.returncode, done.stderr) == (0, "")


# -------------------------------------------------------------------------------------------
# Faithfulness: what the same module in Python would raise
# -------------------------------------------------------------------------------------------

def test_read_error_leaves_unchanged_and_closes_the_file():
    # readlines() on /proc/self/mem fails with EIO from C, with no Python frame between.
    import errno
    from scorewarden import Scorewarden

    class Report:
        def open(self):
            self.file = open("/proc/self/mem")
            return self.file
    check = Scorewarden("/proc/self/mem")
    check.file_path = Report()
    with pytest.raises(OSError) as info:
        check.validate_pylint_report()
    assert type(info.value) is OSError and info.value.errno == errno.EIO
    assert check.file_path.file.closed


@pytest.mark.parametrize("made", [("a", "b"), None, KeyError("k")], ids=["tuple", "None", "exc"])
def test_raise_calls_the_exception_type(made):
    # raise ValueError(message + code): the sum is the one argument, whatever it is.
    from scorewarden import Scorewarden

    class Code(str):
        def __radd__(self, other):
            return made

    class Stripped(str):
        def split(self, sep=None, maxsplit=-1):
            return ["m", "1", "0", Code("E0602")]

    class Line:
        def strip(self, chars=None):
            return Stripped("m:1:0:E0602")
    with pytest.raises(ValueError) as info:
        Scorewarden.raise_if_error_or_failure(Line())
    assert info.value.args == (made,)


def test_token_masked_only_where_a_message_carries_it():
    from badgewright import Badgewright
    with pytest.raises(TypeError) as info:
        Badgewright(None, 1, 2, "t").create_badges_for_project()
    assert str(info.value) == "unsupported operand type(s) for +: 'NoneType' and 'str'"
    with pytest.raises(ValueError) as info:  # requests quotes an invalid header value
        Badgewright("http://127.0.0.1:9", 1, 2, "t\n").update_version_badge()
    assert "'t\\n'" not in str(info.value) and "****" in str(info.value)


def test_small_differences(monkeypatch):
    import sys
    import badgewright
    import scorewarden
    from badgewright import Badgewright
    from scorewarden import Scorewarden

    # A NameError names the missing global (3.10+), for the interpreter's hint.
    namespace = vars(badgewright)
    kept = dict(namespace)
    try:
        del namespace["VERSION_BADGE_NAME"]
        with pytest.raises(NameError) as info:
            Badgewright.version_badge_image_url(Badgewright(None, 1, 2, "t"))
    finally:  # in the same order
        namespace.clear()
        namespace.update(kept)
    if sys.version_info >= (3, 10):
        assert info.value.name == "VERSION_BADGE_NAME"

    # The missing report's message shows str() of the paths.
    class Missing:
        def __init__(self, *args):
            pass
        def exists(self):
            return False
        def __str__(self):
            return "shown"
        def __format__(self, spec):
            return "formatted"
        cwd = classmethod(lambda cls: cls())
    monkeypatch.setattr(scorewarden, "Path", Missing)
    with pytest.raises(FileNotFoundError, match="^File shown not found. Current Path: shown$"):
        Scorewarden("report.txt")

    # X-Next-Page is read as int() reads it.
    class Reply:
        def __init__(self, badges, next_page=""):
            self.badges, self.headers = badges, {"X-Next-Page": next_page}
        def json(self):
            return self.badges
        def raise_for_status(self):
            pass

    class Requests:
        put_to = None
        def get(self, url, headers, params=None):
            if params is None:
                return Reply([{"id": 1, "image_url": "other"}], "2 ")
            return Reply([{"id": 7, "image_url": "x/Version-1"}])
        def put(self, url, headers, data):
            self.put_to = url
            return Reply([])
    requests = Requests()
    monkeypatch.setattr(badgewright, "requests", requests)
    Badgewright("http://h", 1, 2, "t").update_version_badge()
    assert requests.put_to == "http://h/api/v4/projects/1/badges/7"
