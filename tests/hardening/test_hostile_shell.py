"""Account names, passwords and index URLs that a shell would read as code reach twine as
one argument each, unchanged, and run nothing of their own.

The upload goes through the real shell to stand-ins of `pip` and `twine` that record their
argv. Every hostile value would create the file `canary` in the working directory if the
shell ever executed a piece of it.
"""
import os
import shutil
import subprocess
import sys

import pytest

from tests.fixtures_tools import fake_twine, interpreter_on_path  # noqa: F401 - fixtures
from wheelsmith import Wheelsmith

CANARY = "canary"
HOSTILE = [
    "two words",
    "it's",
    'say "hi"',
    "$(touch canary)",
    "`touch canary`",
    "x; touch canary",
    "x && touch canary",
    "x || touch canary",
    "x | touch canary",
    "x\ntouch canary",
    "x\r\ntouch canary\n",
    "trailing\\",
    "\\$(touch canary)",
    '"; touch canary; echo "',
    "'; touch canary; echo '",
    '\\"; touch canary #',
    "${IFS}touch${IFS}canary",
    "$HOME ~ * ?",
    "> canary",
    "-p",
    "",
    "a'b\"c$(touch canary)d`touch canary`e\\f;g&&h|i\nj",
    "caf\u00e9 \u65e5\u672c",
]


@pytest.fixture
def workdir(tmp_path, monkeypatch, fake_twine):  # noqa: F811 - fixture
    work = tmp_path / "project"
    work.mkdir()
    monkeypatch.chdir(work)
    yield work
    assert not (work / CANARY).exists(), "the shell ran a piece of a value"
    assert sorted(os.listdir(str(work))) == []


class TestDirectCall:
    @pytest.mark.parametrize("value", HOSTILE)
    def test_user(self, workdir, fake_twine, value):  # noqa: F811 - fixture
        Wheelsmith.upload(value, "pw", "--repository testpypi")
        assert fake_twine.pip_calls() == [["pip", "install", "twine"]]
        assert fake_twine.calls() == [["twine", "upload", "--repository", "testpypi",
                                       "-u", value, "-p", "pw", "dist/*"]]

    @pytest.mark.parametrize("value", HOSTILE)
    def test_password(self, workdir, fake_twine, value):  # noqa: F811 - fixture
        Wheelsmith.upload("alice", value, "")
        assert fake_twine.calls() == [["twine", "upload", "-u", "alice", "-p", value,
                                       "dist/*"]]

    def test_failed_upload_masks_the_password(self, workdir, fake_twine):  # noqa: F811
        fake_twine.exit_with("twine", 3)
        secret = HOSTILE[-2]
        with pytest.raises(subprocess.CalledProcessError) as caught:
            Wheelsmith.upload("alice", secret, "")
        assert caught.value.returncode == 3
        assert secret not in str(caught.value) and secret not in repr(caught.value.args)
        assert fake_twine.calls()[0][-2] == secret


def upload_command():
    script = shutil.which("wheelsmith", path=os.path.dirname(sys.executable))
    if script:
        return [script, "upload"]
    return [sys.executable, "-c", "import quaymark_cli; quaymark_cli.wheelsmith()", "upload"]


class TestCommandLine:
    @pytest.mark.parametrize("value", HOSTILE)
    def test_every_option_at_once(self, workdir, fake_twine, value):  # noqa: F811 - fixture
        user, password, url = "u-" + value, "p-" + value, "http://127.0.0.1:1/" + value
        done = subprocess.run(
            upload_command() + ["--pypi", "custom", "--repository-url", url,
                                "--user", user, "--password", password],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        assert done.returncode == 0, done.stderr.decode()
        assert fake_twine.calls() == [["twine", "upload", "--repository-url", url,
                                       "-u", user, "-p", password, "dist/*"]]

    def test_failed_upload_masks_the_password(self, workdir, fake_twine):  # noqa: F811
        fake_twine.exit_with("twine", 1)
        password = "p-" + HOSTILE[-2]
        done = subprocess.run(
            upload_command() + ["--pypi", "custom", "--repository-url", "http://127.0.0.1:1/",
                                "--user", "alice", "--password", password],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        assert done.returncode == 1
        assert password.encode() not in done.stdout + done.stderr
        assert b"****" in done.stderr
        assert fake_twine.calls()[0][-2] == password
