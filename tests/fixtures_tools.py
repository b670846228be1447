"""Fixtures for the report-checker and packaging tests.

- `pylint_reports`: real Pylint text reports of the modules in data/pylint_samples.
- `sample_project`: a fresh copy of data/sample_project as the working directory.
- `package_index`: a pypiserver index on 127.0.0.1 that takes uploads from one account.
- `fake_twine`: `twine` and `pip` stand-ins first on PATH that record how they were called.
"""
import contextlib
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

DATA_DIR = Path(__file__).resolve().parent / "data"
PYLINT_SAMPLES = DATA_DIR / "pylint_samples"
SAMPLE_PROJECT = DATA_DIR / "sample_project"

INDEX_USER = "alice"
# A blank and every character that is special inside double quotes of the shell.
INDEX_PASSWORD = 's3cret pass"$\\`x'

# name -> (extra Pylint arguments, what to lint)
PYLINT_RUNS = {
    "clean": ([], "clean.py"),
    "warnings": ([], "warnings_only.py"),
    "error": ([], "has_error.py"),
    "syntax": ([], "broken_syntax.py"),
    "missing_module": ([], "no_such_module_xyz"),
    "no_score": (["--score=n"], "clean.py"),
}


@pytest.fixture(scope="session")
def pylint_reports(tmp_path_factory):
    """Report files written by the real Pylint, by name.

    Pylint runs in a scratch directory on copies of the samples, so the message
    lines carry short relative paths ("has_error.py:6:25: E0602: ..."), and with
    an empty configuration, so no project or user settings leak in.
    """
    root = tmp_path_factory.mktemp("pylint")
    work = root / "src"
    shutil.copytree(str(PYLINT_SAMPLES), str(work))
    rcfile = root / "empty.rc"
    rcfile.write_text("")
    env = dict(os.environ, PYLINTHOME=str(root / "home"))
    env.pop("PYLINTRC", None)
    reports = {}
    for name, (extra, target) in PYLINT_RUNS.items():
        command = [sys.executable, "-m", "pylint", "--rcfile", str(rcfile),
                   "--persistent=n", "--jobs=1"] + extra + [target]
        done = subprocess.run(command, cwd=str(work), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        # Pylint's exit status encodes the message categories; a crash shows
        # up as a traceback or as no report at all.
        if b"Traceback" in done.stderr or (not done.stdout.strip() and name != "no_score"):
            raise RuntimeError("pylint failed on %s:\n%s" % (target, done.stderr.decode()))
        report = root / (name + ".txt")
        report.write_bytes(done.stdout)
        reports[name] = report
    return reports


@pytest.fixture
def interpreter_on_path(monkeypatch):
    """Put the running interpreter's directory first on PATH.

    The shell commands say `python` and `pip`; they must reach the interpreter
    (with setuptools, wheel and twine) that runs the tests.
    """
    bindir = os.path.dirname(sys.executable)
    monkeypatch.setenv("PATH", bindir + os.pathsep + os.environ.get("PATH", ""))
    return bindir


@pytest.fixture
def sample_project(tmp_path, monkeypatch, interpreter_on_path):
    """A copy of the sample project, made the current working directory."""
    target = tmp_path / "sample_project"
    shutil.copytree(str(SAMPLE_PROJECT), str(target))
    monkeypatch.chdir(target)
    return target


class PackageIndex:
    def __init__(self, port, packages_dir):
        self.url = "http://127.0.0.1:%d/" % port
        self.simple_url = self.url + "simple/"
        self.user = INDEX_USER
        self.password = INDEX_PASSWORD
        self.packages_dir = packages_dir


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _answers(url):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(url, timeout=2) as response:
            return response.status == 200
    except (urllib.error.URLError, OSError):
        return False


@contextlib.contextmanager
def running_index(root, user=INDEX_USER, password=INDEX_PASSWORD, serve=()):
    """A pypiserver on 127.0.0.1 that stores uploads in root/packages and also serves the
    packages in the directories of `serve`."""
    from passlib.apache import HtpasswdFile

    packages = root / "packages"
    packages.mkdir()
    htpasswd = HtpasswdFile(str(root / "htpasswd"), new=True, default_scheme="apr_md5_crypt")
    htpasswd.set_password(user, password)
    htpasswd.save()
    port = _free_port()
    log = (root / "server.log").open("wb")
    server = subprocess.Popen(
        [sys.executable, "-m", "pypiserver", "run", "--host", "127.0.0.1", "--port", str(port),
         "--authenticate", "update", "--passwords", str(root / "htpasswd"),
         # Several tests upload the same sample release; the newest upload stands.
         "--overwrite", "--disable-fallback", "--server", "wsgiref", str(packages)]
        + [str(path) for path in serve],
        stdout=log, stderr=subprocess.STDOUT)
    index = PackageIndex(port, packages)
    index.user, index.password = user, password
    try:
        deadline = time.monotonic() + 60
        while not _answers(index.simple_url):
            if server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("package index did not start:\n"
                                   + (root / "server.log").read_text(errors="replace"))
            time.sleep(0.2)
        yield index
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        log.close()


@pytest.fixture(scope="session")
def package_index(tmp_path_factory):
    """A pypiserver index on 127.0.0.1 at a free port; uploads need INDEX_USER's password."""
    with running_index(tmp_path_factory.mktemp("index")) as index:
        yield index


_RECORDER = """\
import json, os, sys
name = sys.argv[1]
with open(os.path.join(sys.argv[2], name + ".jsonl"), "a", encoding="utf-8") as log:
    log.write(json.dumps([name] + sys.argv[3:]) + "\\n")
status = os.path.join(sys.argv[2], name + ".status")
sys.exit(int(open(status).read()) if os.path.exists(status) else 0)
"""


class FakeTools:
    """`twine` and `pip` stand-ins; each call is one JSON line of its argv."""

    def __init__(self, bindir):
        self.bindir = bindir

    def _read(self, name):
        log = self.bindir / (name + ".jsonl")
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()]

    def calls(self):
        """argv lists of the twine calls, each starting with "twine"."""
        return self._read("twine")

    def pip_calls(self):
        return self._read("pip")

    def exit_with(self, name, status):
        """Make the next calls of `name` ("twine" or "pip") exit with `status`."""
        (self.bindir / (name + ".status")).write_text(str(status))


@pytest.fixture
def fake_twine(tmp_path, monkeypatch, interpreter_on_path):
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    recorder = bindir / "record.py"
    recorder.write_text(_RECORDER)
    for name in ("twine", "pip"):
        script = bindir / name
        script.write_text('#!/bin/sh\nexec %s %s %s %s "$@"\n' % (
            shlex.quote(sys.executable), shlex.quote(str(recorder)), name,
            shlex.quote(str(bindir))))
        script.chmod(0o755)
    monkeypatch.setenv("PATH", str(bindir) + os.pathsep + os.environ["PATH"])
    return FakeTools(bindir)
