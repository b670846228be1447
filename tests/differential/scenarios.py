"""The differential table: hostile scenarios that the native modules must come through
exactly as their plain-Python twins in tests/twins do.

Each scenario is the code of a main program (see harness.py for the helpers it finds in its
namespace: `show`, `outcome`, `run_cli`, `Reply`, `Requests`, `GITLAB`, `TOKEN`). It runs in
a fresh working directory holding `files`, with `programs` (shell scripts) first on PATH and,
where `gitlab` is given, a fresh stand-in GitLab seeded with it. What it prints, how it
ends and the requests the stand-in received are compared between the two runs.
"""
import textwrap


class Scenario:
    def __init__(self, id, code, files=None, programs=None, gitlab=None, timeout=60,
                 not_under_asan=None):
        self.id = id
        self.code = textwrap.dedent(code)
        self.files = files or {}
        self.programs = programs or {}
        self.gitlab = gitlab  # None: no stand-in; else {"badges": [...], "pipelines": {...}}
        self.timeout = timeout
        self.not_under_asan = not_under_asan  # why AddressSanitizer cannot run it, if so

    def __repr__(self):
        return self.id


SCORE = "Your code has been rated at 8.75/10 (previous run: 8.50/10, +0.25)\n"
CLEAN = "pkg/mod.py:1:0: C0114: Missing module docstring (missing-module-docstring)\n"
WARNING = "pkg/mod.py:7:4: W0612: Unused variable 'unused' (unused-variable)\n"
ERROR = "pkg/mod.py:6:25: E0602: Undefined variable 'offset' (undefined-variable)\n"
FATAL = "no_such_module:1:0: F0001: No module named no_such_module (fatal)\n"
DRIVE_ERROR = "C:\\proj\\mod.py:3:0: E0602: Undefined variable 'x' (undefined-variable)\n"

REPORTS = {
    "clean.txt": CLEAN + WARNING + "\n" + SCORE,
    "error.txt": CLEAN + ERROR + SCORE,
    "fatal.txt": "************* Module no_such_module\n" + FATAL,
    "drive.txt": DRIVE_ERROR + SCORE,
    "noscore.txt": CLEAN + WARNING,
    "bad-bytes.txt": (CLEAN + "caf\xe9\n").encode("latin-1") + SCORE.encode(),
}

BADGE_BASE = "https://img.shields.io/badge/"
STANDARD_BADGES = [BADGE_BASE + "Code Quality-NA/10-red", BADGE_BASE + "Coverage-0-red",
                   BADGE_BASE + "Version-0.1.0-informational"]
JOBS = [{"name": "unit-test", "coverage": 81.2}, {"name": "test", "coverage": 90},
        {"name": "lint", "coverage": None}]

# A stand-in for python, pip and twine: prints its name and arguments, one [...] each, and
# exits with the status written to bin/status-<name>, if any.
TOOL = """#!/bin/sh
name="$(basename "$0")"
printf '%s' "$name"
for arg in "$@"; do printf ' [%s]' "$arg"; done
echo
status="$(dirname "$0")/status-$name"
if [ -f "$status" ]; then exit "$(cat "$status")"; fi
exit 0
"""
TOOLS = {"python": TOOL, "pip": TOOL, "twine": TOOL}

# Fakes shared by the scenarios that call the badge client without a server.
FAKE_GITLAB = """
import requests
from unittest import mock
BADGES = [{"id": 1, "image_url": "https://img.shields.io/badge/Code Quality-NA/10-red"},
          {"id": 2, "image_url": "https://img.shields.io/badge/Coverage-0-red"},
          {"id": 3, "image_url": "https://img.shields.io/badge/Version-0.1.0-informational"}]
def answer(method, url, kwargs):
    if method == "get" and url.endswith("/badges"):
        return Reply(BADGES)
    if method == "get":
        return Reply([{"name": "test", "coverage": 90}])
    return Reply({})
FAKE = Requests(answer)
"""


def with_fake_gitlab(code):
    """`code` after the definitions of FAKE_GITLAB."""
    return FAKE_GITLAB + textwrap.dedent(code)


def shadowing(name, module, value, call, before=""):
    """A module global that shadows the builtin `name`, as mock.patch("module.name", ...,
    create=True) makes it, then `call`."""
    return Scenario("shadowed-builtin-" + name, """
        from unittest import mock
        import %(module)s
        %(before)s
        with mock.patch("%(module)s.%(name)s", %(value)s, create=True):
            show(%(call)r, lambda: %(call)s)
        """ % {"module": module, "name": name, "value": value, "call": call, "before": before},
        files={"clean.txt": REPORTS["clean.txt"], "error.txt": REPORTS["error.txt"]},
        programs=TOOLS)


SCENARIOS = [
    # ------------------------------------------------------------------ what a module is
    Scenario("module-surface", """
        import inspect
        import click.testing
        import badgewright, scorewarden, wheelsmith, quaymark_cli

        def public(module):
            return [name for name in vars(module) if not name.startswith("_")]

        def doc(function):
            # From 3.13 the compiler strips the indentation of docstrings.
            return function.__doc__ and repr(inspect.cleandoc(function.__doc__))

        for module, cls in [(badgewright, badgewright.Badgewright),
                            (scorewarden, scorewarden.Scorewarden),
                            (wheelsmith, wheelsmith.Wheelsmith)]:
            print(module.__name__, public(module), repr(module.__doc__))
            print(cls.__module__, cls.__qualname__, cls.__bases__, type(cls), repr(cls.__doc__))
            for name, member in vars(cls).items():
                if name.startswith("__") and name != "__init__":
                    continue
                function = getattr(member, "__func__", member)
                print(" ", name, type(member).__name__ if isinstance(member, staticmethod) else "",
                      function.__name__, function.__qualname__, function.__module__,
                      inspect.signature(function), function.__defaults__,
                      function.__kwdefaults__, doc(function))
        for name in ("DEFAULT_QA", "DEFAULT_VERSION", "COVERAGE_BADGE_NAME", "QA_BADGE_NAME",
                     "VERSION_BADGE_NAME"):
            print(name, repr(getattr(badgewright, name)))
        print(repr(scorewarden.PYLINT_SCORE_LINE_STARTS_WITH))
        print(public(quaymark_cli), repr(quaymark_cli.__doc__))
        runner = click.testing.CliRunner()
        for group, commands in [("badgewright", ["setup-badges", "update-badge"]),
                                ("scorewarden", ["raise-for-code", "get-qa-value"]),
                                ("wheelsmith", ["build", "upload"])]:
            for args in [["--help"]] + [[command, "--help"] for command in commands]:
                print(runner.invoke(getattr(quaymark_cli, group), args, prog_name=group).output)
        """),

    # ------------------------------------------------------------------ ordinary runs
    Scenario("cli-badges", """
        options = ["--url", GITLAB, "--api-token", TOKEN, "--project-id", "42"]
        run_cli("badgewright", "update-badge", *options)
        run_cli("badgewright", "setup-badges", *options)
        run_cli("badgewright", "update-badge", *options, "--pipeline-id", "1001",
                "--test-job-name", "test", "--version", "1.2.0", "--qa-value", "6.5")
        run_cli("badgewright", "update-badge", *options, "--pipeline-id", "1001",
                "--test-job-name", "lint", "--version", "9")
        run_cli("badgewright", "update-badge", *options, "--pipeline-id", "1001",
                "--test-job-name", "deploy")
        run_cli("badgewright", "update-badge", "--url", GITLAB, "--api-token", "wrong",
                "--project-id", "42", "--qa-value", "NA")
        run_cli("badgewright", "update-badge", *options, "--qa-value", "abc")
        """, gitlab={"badges": [], "pipelines": {1001: JOBS}}),
    Scenario("cli-report", """
        for report in sorted(%r) + ["missing.txt", ""]:
            for command in ("raise-for-code", "get-qa-value"):
                run_cli("scorewarden", "--pylint-report-path", report, command)
        run_cli("scorewarden", "get-qa-value", "--pylint-report-path", "clean.txt")
        """ % sorted(REPORTS), files=REPORTS),
    Scenario("cli-packaging", """
        import os
        for name in ("dist", "build", "pkg.egg-info", "keep"):
            os.mkdir(name)
        open("file.egg-info", "w").close()
        run_cli("wheelsmith", "build")
        run_cli("wheelsmith", "build", "--cython", "--clean-dist")
        print(sorted(os.listdir(".")))
        password = 's3cret pass"$\\\\`x'
        run_cli("wheelsmith", "upload", "--user", "alice", "--password", password)
        run_cli("wheelsmith", "upload", "--user", "a b", "--pypi", "TestPyPI")
        run_cli("wheelsmith", "upload", "--pypi", "custom", "--repository-url", "http://h/a b")
        run_cli("wheelsmith", "upload", "--pypi", "custom")
        run_cli("wheelsmith", "upload", "--pypi", "other")
        with open("../bin/status-twine", "w") as f:
            f.write("3")
        run_cli("wheelsmith", "upload", "--user", "alice", "--password", password)
        with open("../bin/status-python", "w") as f:
            f.write("2")
        run_cli("wheelsmith", "build", "--cython")
        """, programs=TOOLS),

    # ------------------------------------------------------------------ cached look-ups
    # A type that is changed often enough gets no version tag any more; what a cache
    # remembered of it must not be handed out then (the method patched in last is gone).
    Scenario("type-without-version-tag", with_fake_gitlab("""
        from badgewright import Badgewright
        client = Badgewright("http://gitlab.invalid", 42, 7, "token")
        with mock.patch.object(requests, "post", lambda url, **kwargs: Reply({})):
            for round in range(1500):
                image = "round %d" % round
                with mock.patch.object(Badgewright, "version_badge_image_url",
                                       lambda self, image=image: image):
                    client.create_badges_for_project()
        # Functions made now take the places of those freed.
        spare = [lambda self, n=n: "spare %d" % n for n in range(50)]
        with FAKE.patched():
            client.create_badges_for_project()
        """)),
    # A metaclass with its own mro() keeps the class out of the interpreter's type cache.
    Scenario("metaclass-with-mro", with_fake_gitlab("""
        from badgewright import Badgewright
        class Meta(type):
            def mro(cls):
                return super().mro()
        class Sub(Badgewright, metaclass=Meta):
            def version_badge_image_url(self):
                return "sub's own"
        with FAKE.patched():
            Badgewright("http://gitlab.invalid", 42, 7, "token").create_badges_for_project()
            Sub("http://gitlab.invalid", 42, 7, "token").create_badges_for_project()
        """)),
    # The search of the instance dict runs a key's __eq__, which rebinds the method being
    # looked up: the call goes to the method found before, which must still be alive.
    Scenario("instance-dict-key-rebinds-method", with_fake_gitlab("""
        from badgewright import Badgewright
        spare = []
        class Key:
            armed = True
            def __hash__(self):
                return hash("version_badge_image_url")
            def __eq__(self, other):
                if Key.armed:
                    Key.armed = False
                    Badgewright.version_badge_image_url = lambda self: "rebound"
                    spare.extend(lambda self, n=n: "reused %d" % n for n in range(50))
                return False
        Badgewright.version_badge_image_url = lambda self: "found first"
        client = Badgewright("http://gitlab.invalid", 42, 7, "token")
        client.__dict__[Key()] = None
        with FAKE.patched():
            client.create_badges_for_project()
            client.create_badges_for_project()
        """)),

    # ------------------------------------------------------------------ interpreter exit
    # A daemon thread waits in os.system for a `python` that outlives the main thread.
    Scenario("daemon-thread-in-build-at-exit", """
        import gc, threading, time
        from wheelsmith import Wheelsmith

        class HoldsFinalisationUp:
            def __del__(self, sleep=time.sleep):
                sleep(3)

        started = threading.Event()
        def work():
            started.set()
            Wheelsmith.build(False, False)
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep(0.3)
        gc.disable()
        holder = HoldsFinalisationUp()
        holder.cycle = holder
        del holder
        print("main thread done", flush=True)
        """, programs={"python": "#!/bin/sh\nsleep 1.5\n"}),

    # ------------------------------------------------------------------ builtins
    # A new __builtins__ for the module: functions made before keep theirs from 3.10, and
    # read the module's at each call before.
    Scenario("module-builtins-replaced", """
        import builtins
        import scorewarden, quaymark_cli
        from scorewarden import Scorewarden
        scorewarden.__builtins__ = dict(vars(builtins), any=lambda values: True)
        quaymark_cli.__builtins__ = dict(vars(builtins), print=lambda *args: builtins.print("new print", *args))
        show("raise_if_error_or_failure", Scorewarden.raise_if_error_or_failure, %r)
        run_cli("scorewarden", "--pylint-report-path", "score.txt", "get-qa-value")
        """ % CLEAN, files={"score.txt": SCORE}),
    shadowing("any", "scorewarden", "lambda values: True",
              "scorewarden.Scorewarden.raise_if_error_or_failure(%r)" % CLEAN),
    shadowing("float", "badgewright", "lambda value: 9.5",
              "badgewright.Badgewright('u', 1, 2, 't', qa='1.0').qa_badge_image_url()"),
    shadowing("str", "scorewarden", "lambda value: '<%s>' % type(value).__name__",
              "scorewarden.Scorewarden('missing.txt')"),
    shadowing("FileNotFoundError", "scorewarden", "PermissionError",
              "scorewarden.Scorewarden('missing.txt')"),
    shadowing("ValueError", "scorewarden", "KeyError",
              "scorewarden.Scorewarden('error.txt').validate_pylint_report()"),
    shadowing("isinstance", "wheelsmith", "lambda value, kinds: False",
              "wheelsmith.Wheelsmith.build(False, False)",
              before="open('../bin/status-python', 'w').write('1')"),
    shadowing("NotImplementedError", "quaymark_cli", "LookupError",
              "run_cli('badgewright', 'update-badge')"),
    shadowing("Exception", "quaymark_cli", "KeyError",
              "run_cli('scorewarden', '--pylint-report-path', 'error.txt', 'raise-for-code')"),
    shadowing("print", "quaymark_cli", "lambda *args: __builtins__.print('shadowed', *args)",
              "run_cli('scorewarden', '--pylint-report-path', 'clean.txt', 'get-qa-value')"),
    # The check of every message line calls any(), also where a scan could skip the line.
    Scenario("builtins-any-patched-during-report-check", """
        from unittest import mock
        from scorewarden import Scorewarden
        seen = []
        def any(values):
            seen.append(list(values))
            return len(seen) == 2
        with mock.patch("builtins.any", any):
            show("clean", Scorewarden("clean.txt").validate_pylint_report)
        print(seen)
        """, files={"clean.txt": REPORTS["clean.txt"]}),

    # ------------------------------------------------------------------ evaluation order
    # The badge name is read after the badge list has come.
    Scenario("badge-name-read-after-request", with_fake_gitlab("""
        import badgewright
        def answer_and_rename(method, url, kwargs):
            badgewright.VERSION_BADGE_NAME = badgewright.COVERAGE_BADGE_NAME
            return answer(method, url, kwargs)
        with Requests(answer_and_rename).patched():
            show("update_version_badge",
                 badgewright.Badgewright("http://gitlab.invalid", 42, 7, "t").update_version_badge)
        """)),
    # Every attribute read and call of the workers, in order, on a subclass that logs them.
    Scenario("worker-subclass-operation-order", with_fake_gitlab("""
        import badgewright, scorewarden
        log = []
        class Traced(badgewright.Badgewright):
            def __getattribute__(self, name):
                log.append("self." + name)
                return super().__getattribute__(name)
        class TracedReply(Reply):
            def __getattribute__(self, name):
                log.append("reply." + name)
                return super().__getattribute__(name)
        class TracedRequests:
            def __getattr__(self, name):
                log.append("requests." + name)
                def call(url, **kwargs):
                    log.append("call " + name)
                    return TracedReply(answer(name, url, kwargs).payload)
                return call
        with mock.patch.object(badgewright, "requests", TracedRequests()):
            client = Traced("http://gitlab.invalid", 42, 7, "t", qa="6.5")
            for method in ("update_coverage_badge", "update_quality_badge",
                           "update_version_badge", "create_badges_for_project"):
                log.clear()
                args = ("test",) if method == "update_coverage_badge" else ()
                show(method, getattr(client, method), *args)
                print(log)
        class Checker(scorewarden.Scorewarden):
            def __getattribute__(self, name):
                log.append("self." + name)
                return super().__getattribute__(name)
        for report in ("clean.txt", "error.txt"):
            log.clear()
            show(report, Checker(report).validate_pylint_report)
            print(log)
        """), files={"clean.txt": REPORTS["clean.txt"], "error.txt": REPORTS["error.txt"]}),

    # ------------------------------------------------------------------ paging
    # X-Next-Page names a page when, stripped, it is ASCII decimal digits only.
    Scenario("x-next-page-values", """
        from badgewright import Badgewright
        for value in (" 0002\\xa0", "+2", "2", "0002", " 2\\t", "", "1", "\\u0662",
                      "2.0", "12345678901", None):
            def answer(method, url, kwargs, value=value):
                page = kwargs.get("params", {}).get("page", 1)
                if url.endswith("/badges"):
                    badges = [{"id": page, "image_url": "Version" if page != 1 else "x"}]
                    return Reply(badges, headers={} if value is None else {"X-Next-Page": value})
                jobs = [{"name": "test" if page != 1 else "x", "coverage": page}]
                return Reply(jobs, headers={} if value is None else {"X-Next-Page": value})
            with Requests(answer).patched():
                client = Badgewright("http://gitlab.invalid", 42, 7, "t")
                show(repr(value) + " badges", client.update_version_badge)
                show(repr(value) + " jobs", client.get_coverage_value, "test")
        """),
    Scenario("paged-lists", """
        run_cli("badgewright", "update-badge", "--url", GITLAB, "--api-token", TOKEN,
                "--project-id", "42", "--pipeline-id", "7", "--test-job-name", "test",
                "--version", "2.0", "--qa-value", "7.5")
        run_cli("badgewright", "update-badge", "--url", GITLAB, "--api-token", TOKEN,
                "--project-id", "42", "--pipeline-id", "7", "--test-job-name", "nowhere")
        """, gitlab={"badges": [BADGE_BASE + "Other %d-x-blue" % n for n in range(38)]
                     + STANDARD_BADGES,
                     "pipelines": {7: [{"name": "build-%d" % n, "coverage": n}
                                       for n in range(45)] + [{"name": "test", "coverage": 55}]}}),

    # ------------------------------------------------------------------ raising
    # A failed `from X import Y` in a module body, and the retry once the cause is gone.
    Scenario("from-import-fails-in-module-body", """
        import sys, types, pathlib
        stub = types.ModuleType("badgewright")
        sys.modules["badgewright"] = stub
        def attempt(name):
            try:
                __import__(name)
                print(name, "imported")
            except ImportError as error:
                print(name, kind(error), error.name, error.path,
                      getattr(error, "name_from", "-"), name in sys.modules)
        attempt("quaymark_cli")
        stub.__file__ = "/nowhere/badgewright.py"
        attempt("quaymark_cli")
        del sys.modules["badgewright"]
        path = pathlib.Path
        del pathlib.Path
        attempt("scorewarden")
        pathlib.Path = path
        attempt("quaymark_cli")
        """),
    # raise of a class whose call returns something other than an exception.
    Scenario("raised-class-returns-non-exception", """
        import os, subprocess
        from unittest import mock
        from wheelsmith import Wheelsmith
        class Odd(Exception):
            def __new__(cls, *args):
                return 5
        with mock.patch.object(subprocess, "CalledProcessError", lambda *args: Odd), \\
                mock.patch.object(os, "system", lambda command: 256):
            show("build", Wheelsmith.build, False, False)
        """),
    # Managers of the report reading that are no managers, or swallow the reading's error.
    Scenario("with-statement-managers", """
        from scorewarden import Scorewarden
        class Entered:
            def __enter__(self):
                return self
            def readlines(self):
                raise OSError("unreadable")
        class Exited:
            def __exit__(self, *exc):
                return False
        class Swallowing(Entered):
            def __exit__(self, *exc):
                print("exit with", exc[0].__name__)
                return True
        for manager in (Entered, Exited, Swallowing, int):
            checker = Scorewarden("clean.txt")
            checker.file_path = type("Report", (), {"open": lambda self: manager()})()
            show(manager.__name__, checker.validate_pylint_report)
        """, files={"clean.txt": REPORTS["clean.txt"]}),

    # ------------------------------------------------------------------ the report reading
    # Audit events of reading a report: what the interpreter raises for Path.open().
    Scenario("audit-events-of-report-reading", """
        import os, sys
        from scorewarden import Scorewarden
        events = []
        def hook(event, args):
            if event.startswith("open") and args and str(args[0]).endswith(".txt"):
                events.append((event, os.path.basename(str(args[0]))) + tuple(args[1:]))
        sys.addaudithook(hook)
        for report in ("clean.txt", "error.txt", "bad-bytes.txt", "missing.txt"):
            events.clear()
            show(report, lambda: Scorewarden(report).validate_pylint_report())
            print(events)
        """, files=REPORTS),
    # An audit hook that allows one opening of each file stops the second.
    Scenario("audit-hook-refuses-open", """
        import sys
        from scorewarden import Scorewarden
        opened = []
        def hook(event, args):
            if event == "open" and str(args[0]).endswith(".txt"):
                if str(args[0]) in opened:
                    raise PermissionError("opened once already: " + str(args[0]))
                opened.append(str(args[0]))
        sys.addaudithook(hook)
        for report in ("clean.txt", "error.txt", "bad-bytes.txt"):
            show(report, Scorewarden(report).validate_pylint_report)
        """, files=REPORTS),
    # The incremental decoder of the locale's encoding, patched.
    Scenario("locale-decoder-patched", """
        import codecs, locale
        from unittest import mock
        from scorewarden import Scorewarden
        decoder = codecs.getincrementaldecoder(locale.getpreferredencoding(False))
        decode = decoder.decode
        def patched(self, data, final=False):
            return decode(self, data, final).replace("C0114", "E0114")
        with mock.patch.object(decoder, "decode", patched):
            show("clean", Scorewarden("clean.txt").validate_pylint_report)
        """, files={"clean.txt": REPORTS["clean.txt"]}),

    # ------------------------------------------------------------------ patched globals
    Scenario("module-globals-rebound", with_fake_gitlab("""
        import os, pathlib
        import badgewright, scorewarden, wheelsmith
        client = badgewright.Badgewright("http://gitlab.invalid", 42, 7, "t", qa="5.5")
        with FAKE.patched():
            for name, value in [("DEFAULT_QA", "5.5"), ("QA_BADGE_NAME", "Coverage"),
                                ("COVERAGE_BADGE_NAME", "Version"), ("VERSION_BADGE_NAME", 7)]:
                with mock.patch.object(badgewright, name, value):
                    show(name, client.create_badges_for_project)
                    show(name, client.update_quality_badge)
        with mock.patch.object(badgewright, "requests", FAKE):
            show("requests", client.update_coverage_badge, "test")
        for prefix in ("Score:", "rated at", ""):
            with mock.patch.object(scorewarden, "PYLINT_SCORE_LINE_STARTS_WITH", prefix):
                show(repr(prefix), scorewarden.Scorewarden("clean.txt").validate_pylint_report)
        class Report(pathlib.PosixPath):
            def open(self, *args):
                print("open", self, args)
                return super().open(*args)
        with mock.patch.object(scorewarden, "Path", Report):
            show("Path", scorewarden.Scorewarden("error.txt").validate_pylint_report)
        class Shell:
            def system(self, command):
                print("system", command)
                return 0
        class Removal:
            def rmtree(self, path, **kwargs):
                print("rmtree", path, kwargs)
        with mock.patch.object(wheelsmith, "os", Shell()), \\
                mock.patch.object(wheelsmith, "shutil", Removal()):
            show("build", wheelsmith.Wheelsmith.build, 0, "yes")
            show("upload", wheelsmith.Wheelsmith.upload, None, None, "")
        """), files={"clean.txt": REPORTS["clean.txt"], "error.txt": REPORTS["error.txt"],
                    "pkg.egg-info/PKG-INFO": ""}),
    Scenario("open-and-encoding-replaced", """
        import importlib, io
        from unittest import mock
        from scorewarden import Scorewarden
        targets = [("io", "open", lambda *args, **kwargs: io.StringIO(%r)),
                   ("io", "text_encoding", lambda encoding, stacklevel=2: "latin-1"),
                   ("_bootlocale", "getpreferredencoding", lambda do_setlocale=True: "latin-1"),
                   ("pathlib.Path", "open", lambda self, *args: io.StringIO(%r))]
        for module_name, name, value in targets:
            module_name, _, attribute = module_name.partition(".")
            try:
                owner = importlib.import_module(module_name)
            except ImportError:
                continue
            owner = getattr(owner, attribute) if attribute else owner
            if not hasattr(owner, name):
                continue
            with mock.patch.object(owner, name, value):
                show(name, Scorewarden("digits.txt").validate_pylint_report)
        """ % (ERROR + SCORE, FATAL), files={
            "digits.txt": "m:\u0661:0: F0001: x\n" + CLEAN + SCORE}),

    # ------------------------------------------------------------------ values of subclasses
    Scenario("str-and-int-subclasses", """
        import os
        from unittest import mock
        from badgewright import Badgewright
        from scorewarden import Scorewarden
        from wheelsmith import Wheelsmith
        log = []
        class Text(str):
            def strip(self, *args):
                log.append(("strip",) + args)
                return Text(str.strip(self, *args))
            def split(self, *args):
                log.append(("split",) + args)
                return [Text(part) for part in str.split(self, *args)]
            def __contains__(self, item):
                log.append(("contains", item))
                return str.__contains__(self, item)
            def __eq__(self, other):
                log.append(("eq", other))
                return str.__eq__(self, other)
            __hash__ = str.__hash__
            def __format__(self, spec):
                log.append(("format", spec))
                return "T(" + str.__format__(self, spec) + ")"
            def __float__(self):
                log.append(("float",))
                return float(str(self))
        class Number(int):
            def __le__(self, other):
                log.append(("le", other))
                return int.__le__(self, other)
            def __gt__(self, other):
                log.append(("gt", other))
                return int.__gt__(self, other)
            def __bool__(self):
                log.append(("bool",))
                return True
            def __format__(self, spec):
                log.append(("format", spec))
                return "N" + int.__format__(self, spec)
        calls = [
            ("extract_quality_value", Scorewarden.extract_quality_value, Text(%r)),
            ("raise_if_error_or_failure", Scorewarden.raise_if_error_or_failure, Text(%r)),
            ("module message", Scorewarden.raise_if_error_or_failure, Text(%r)),
            ("coverage", Badgewright.coverage_badge_image_url, Number(55)),
            ("quality", Badgewright("u", 1, 2, "t", qa=Text("6.5")).qa_badge_image_url),
            ("quality NA", Badgewright("u", 1, 2, "t", qa=Text("NA")).qa_badge_image_url),
            ("version", Badgewright(Text("u"), Number(1), 2, "t", version=Text("1.0")).version_badge_image_url),
            ("url", lambda: Badgewright(Text("u"), Number(1), 2, "t").api_url),
            ("report path", lambda: Scorewarden(Text("clean.txt")).validate_pylint_report()),
        ]
        for label, call, *args in calls:
            log.clear()
            show(label, call, *args)
            print(log)
        def system(command):
            print(repr(command))
            return Number(256) if command.startswith("twine") else 0
        with mock.patch.object(os, "system", system):
            log.clear()
            show("upload", Wheelsmith.upload, Text("a b"), Text('p"$'), Text("--repository x"))
            print(log)
        """ % (SCORE, ERROR, FATAL), files={"clean.txt": REPORTS["clean.txt"]}),

    # ------------------------------------------------------------------ the access token
    Scenario("token-never-shown", """
        from badgewright import Badgewright
        for token in ("glpat-\\nbroken", " lead", b"bytes\\n", 12345, None):
            client = Badgewright(GITLAB, 42, 1001, token)
            show(repr(type(token)), client.update_version_badge)
            show(repr(type(token)), client.get_coverage_value, "test")
        """, gitlab={"badges": STANDARD_BADGES, "pipelines": {1001: JOBS}}),

    # ------------------------------------------------------------------ audit hooks
    Scenario("audit-events-of-packaging", """
        import os, sys
        from wheelsmith import Wheelsmith
        def hook(event, args):
            if event in ("os.system", "shutil.rmtree", "os.listdir", "os.scandir", "os.rmdir",
                         "os.remove", "subprocess.Popen"):
                print("audit", event, [os.path.basename(str(arg)) for arg in args[:1]],
                      flush=True)
        for name in ("dist", "build", "a.egg-info", "b.egg-info/sub"):
            os.makedirs(name)
        sys.addaudithook(hook)
        show("build", Wheelsmith.build)
        show("upload", Wheelsmith.upload, "alice", "pw", "--repository testpypi")
        """, programs=TOOLS),

    # ------------------------------------------------------------------ threads
    Scenario("threads", """
        import threading
        import badgewright
        from badgewright import Badgewright
        from scorewarden import Scorewarden
        results = {}
        def work(number):
            seen = []
            for round in range(40):
                for report in ("clean.txt", "error.txt", "fatal.txt", "noscore.txt"):
                    seen.append(outcome(Scorewarden(report).validate_pylint_report))
                client = Badgewright("u", number, round, "t", qa=str(round % 11))
                seen.append(client.qa_badge_image_url())
                seen.append(Badgewright.coverage_badge_image_url(round * 3))
            results[number] = seen
        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for number in sorted(results):
            print(number, results[number] == results[0], len(results[number]))
        print(sorted(set(results[0])))
        """, files=REPORTS),

    # ------------------------------------------------------------------ greenlets
    # Switching out inside a call, rebinding the module's globals meanwhile, and coming back.
    Scenario("greenlets", """
        import gc
        import greenlet
        import badgewright, scorewarden
        main = greenlet.getcurrent()
        class Score:
            def __float__(self):
                main.switch("switched in float()")
                return 6.5
            def __format__(self, spec):
                return "6.5"
        class Checker(scorewarden.Scorewarden):
            @staticmethod
            def raise_if_error_or_failure(line):
                main.switch("switched in the check of " + line.split(":")[0])
                return scorewarden.Scorewarden.raise_if_error_or_failure(line)
        def finish(task):
            while not task.dead:
                print(task.switch())
        def quality():
            return badgewright.Badgewright("u", 1, 2, "t", qa=Score()).qa_badge_image_url()
        tasks = [greenlet.greenlet(lambda: outcome(quality)),
                 greenlet.greenlet(lambda: outcome(Checker("clean.txt").validate_pylint_report))]
        print(tasks[0].switch())
        badgewright.QA_BADGE_NAME = "Quality"
        print(tasks[1].switch())
        scorewarden.PYLINT_SCORE_LINE_STARTS_WITH = "Your code"
        finish(tasks[1])
        finish(tasks[0])
        # One left inside a native call: it ends with GreenletExit thrown in there.
        abandoned = greenlet.greenlet(lambda: print("abandoned:", outcome(quality)))
        print(abandoned.switch())
        del abandoned
        gc.collect()
        print("collected")
        """, files={"clean.txt": REPORTS["clean.txt"]},
        not_under_asan="greenlet copies stacks of instrumented frames, which AddressSanitizer "
                       "takes for overflows"),
]
