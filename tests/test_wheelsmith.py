"""Tests of the package builder and uploader `wheelsmith`."""
import hashlib
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import urllib.parse
import urllib.request
import zipfile

import pytest

import wheelsmith
from wheelsmith import Wheelsmith

CLEAN = [("rmtree", "dist"), ("rmtree", "build"), ("cwd",)]
BUILD_EXT = ("system", "python setup.py build_ext")
BUILD_PY = ("system", "python setup.py build_py")
BDIST = ("system", "python setup.py bdist_wheel")
PIP = ("system", "pip install twine")


class Recorder:
    """Stands in for the module's `os`, `shutil` and `Path`, logging each use in order.

    `status(command)` is what `os.system` returns (0 unless a test says otherwise).
    The working directory lists `entries`, pairs of name and whether it is a directory.
    """

    def __init__(self):
        self.events = []
        self.entries = []
        self.status = lambda command: 0

    # os
    def system(self, command):
        self.events.append(("system", command))
        return self.status(command)

    # shutil
    def rmtree(self, *args, **kwargs):
        assert args[1:] == () and kwargs == {"ignore_errors": True}
        self.events.append(("rmtree", args[0]))

    # Path
    def cwd(self):
        self.events.append(("cwd",))
        return self

    def iterdir(self):
        for name, is_dir in self.entries:
            yield Entry(name, is_dir)
        self.events.append(("listed",))


class Entry:
    def __init__(self, name, is_dir):
        self.name, self._is_dir = name, is_dir

    def is_dir(self):
        if isinstance(self._is_dir, Exception):
            raise self._is_dir
        return self._is_dir


@pytest.fixture
def fake(tmp_path, monkeypatch):
    # An empty working directory, so that a module that ignored the stand-ins
    # would remove and build nothing of the repository's.
    monkeypatch.chdir(tmp_path)
    recorder = Recorder()
    for name in ("os", "shutil", "Path"):
        monkeypatch.setattr(wheelsmith, name, recorder)
    return recorder


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class TestModuleLayout:
    def test_namespace(self):
        assert [name for name in vars(wheelsmith) if not name.startswith("_")] == [
            "os", "shutil", "Path", "Wheelsmith"]
        assert wheelsmith.os is os and wheelsmith.shutil is shutil
        assert wheelsmith.Path is pathlib.Path and wheelsmith.__doc__ is None

    def test_class(self):
        assert Wheelsmith.__bases__ == (object,) and type(Wheelsmith) is type
        assert Wheelsmith.__doc__ is None and Wheelsmith.__module__ == "wheelsmith"
        assert [name for name in vars(Wheelsmith) if not name.startswith("__")] == [
            "build", "upload"]
        for name in ("build", "upload"):
            assert isinstance(vars(Wheelsmith)[name], staticmethod)
            function = getattr(Wheelsmith, name)
            assert function.__qualname__ == "Wheelsmith." + name and function.__doc__ is None
        assert vars(Wheelsmith)["build"].__func__.__defaults__ == (True, True)

    @pytest.mark.parametrize("call, message", [
        (lambda: Wheelsmith.build(1, 2, 3), "build() takes at most 2 positional arguments (3 given)"),
        (lambda: Wheelsmith.build(x=1), "build() got an unexpected keyword argument 'x'"),
        (lambda: Wheelsmith.build(1, cython=2),
         "build() got multiple values for keyword argument 'cython'"),
        (lambda: Wheelsmith.upload(), "upload() takes exactly 3 positional arguments (0 given)"),
        (lambda: Wheelsmith.upload(1, 2, 3, 4),
         "upload() takes exactly 3 positional arguments (4 given)"),
        (lambda: Wheelsmith.upload("u", password="p"),
         "upload() takes exactly 3 positional arguments (2 given)"),
        (lambda: Wheelsmith.upload(user="u", repository_arg=""),
         "upload() takes exactly 3 positional arguments (1 given)"),
        (lambda: Wheelsmith.upload("u", "p", "", token="t"),
         "upload() got an unexpected keyword argument 'token'"),
    ])
    def test_argument_errors(self, fake, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert fake.events == []


class TestBuildSequence:
    @pytest.mark.parametrize("args, kwargs, clean, cython", [
        ((), {}, True, True),
        ((True, True), {}, True, True),
        ((False, False), {}, False, False),
        ((), {"cython": False}, True, False),
        ((), {"clean_dist": False}, False, True),
        ((False,), {}, True, False),
        ((), {"clean_dist": 0, "cython": 1}, False, True),
        # truth values
        ((0, ""), {}, False, False),
        ((None, None), {}, False, False),
        (("no", "false"), {}, True, True),
        (([], [0]), {}, True, False),
        ((Truth(False), Truth(True)), {}, True, False),
    ])
    def test_flags(self, fake, args, kwargs, clean, cython):
        assert Wheelsmith.build(*args, **kwargs) is None
        expected = (CLEAN + [("listed",)] if clean else []) + (
            [BUILD_EXT, BUILD_PY] if cython else []) + [BDIST]
        assert fake.events == expected

    def test_through_an_instance(self, fake):
        Wheelsmith().build(False, False)
        assert fake.events == [BDIST]

    def test_removes_top_level_egg_info_directories_after_listing(self, fake):
        fake.entries = [("a.egg-info", True), ("b.egg-info", False), ("src", True),
                        ("X.EGG-INFO", True), (".egg-info", True), ("c.egg-info.bak", True)]
        Wheelsmith.build(cython=False)
        assert fake.events == CLEAN + [("listed",), ("rmtree", "a.egg-info"),
                                       ("rmtree", ".egg-info"), BDIST]

    def test_listing_error_propagates_before_any_command(self, fake):
        failure = PermissionError("no entry")
        fake.entries = [("b", failure), ("a.egg-info", True)]
        with pytest.raises(PermissionError) as info:
            Wheelsmith.build()
        assert info.value is failure
        assert [event for event in fake.events if event != ("listed",)] == CLEAN

    @pytest.mark.parametrize("failing, status, code", [
        ("python setup.py build_ext", 256, 1),
        ("python setup.py build_py", 2 << 8, 2),
        ("python setup.py bdist_wheel", 127 << 8, 127),
        ("python setup.py build_ext", 255 << 8, 255),
        ("python setup.py build_ext", 9, -9),          # killed by SIGKILL
        ("python setup.py build_py", 0x80 | 11, -11),  # SIGSEGV with a core dump
    ])
    def test_first_failing_command_stops_the_build(self, fake, failing, status, code):
        fake.status = lambda command: status if command == failing else 0
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.build(True, False)
        assert (info.value.returncode, info.value.cmd) == (code, failing)
        commands = [BUILD_EXT, BUILD_PY, BDIST]
        assert fake.events == commands[:commands.index(("system", failing)) + 1]

    @pytest.mark.parametrize("result", [None, "256", 256.0, object()])
    def test_result_that_is_no_int_is_no_failure(self, fake, result):
        fake.status = lambda command: result
        assert Wheelsmith.build(True, False) is None
        assert fake.events == [BUILD_EXT, BUILD_PY, BDIST]


def twine(command):
    return [PIP, ("system", command)]


class TestUploadCommand:
    @pytest.mark.parametrize("args, command", [
        (("alice", "pw", ""), 'twine upload  -u alice -p "pw" dist/*'),
        (("alice", "pw", "--repository testpypi"),
         'twine upload --repository testpypi -u alice -p "pw" dist/*'),
        (("alice", "pw", "--repository-url http://127.0.0.1:8080/"),
         'twine upload --repository-url http://127.0.0.1:8080/ -u alice -p "pw" dist/*'),
        ((42, 3.5, ""), 'twine upload  -u 42 -p "3.5" dist/*'),
        # the user name is quoted only where the shell needs it
        (("al ice", "pw", ""), "twine upload  -u 'al ice' -p \"pw\" dist/*"),
        (("it's", "pw", ""), "twine upload  -u 'it'\"'\"'s' -p \"pw\" dist/*"),
        (("", "pw", ""), "twine upload  -u '' -p \"pw\" dist/*"),
        # in the password, \ " $ and ` are escaped, nothing else
        (("alice", 'a"b$c\\d`e f', ""), 'twine upload  -u alice -p "a\\"b\\$c\\\\d\\`e f" dist/*'),
        (("alice", "$(touch pwned)", ""), 'twine upload  -u alice -p "\\$(touch pwned)" dist/*'),
        (("alice", "it's; *", ""), 'twine upload  -u alice -p "it\'s; *" dist/*'),
        (("alice", "", ""), 'twine upload  -u alice -p "" dist/*'),
    ])
    def test_command(self, fake, args, command):
        assert Wheelsmith.upload(*args) is None
        assert fake.events == twine(command)
        fake.events.clear()
        Wheelsmith.upload(repository_arg=args[2], password=args[1], user=args[0])
        assert fake.events == twine(command)

    @pytest.mark.parametrize("user, password, words", [
        (None, "pw", ["twine", "upload", "-p", "pw", "dist/*"]),
        ("alice", None, ["twine", "upload", "-u", "alice", "dist/*"]),
        (None, None, ["twine", "upload", "dist/*"]),
    ])
    def test_none_leaves_the_option_out(self, fake, user, password, words):
        Wheelsmith.upload(user, password, "")
        assert fake.events[0] == PIP and len(fake.events) == 2
        assert shlex.split(fake.events[1][1]) == words

    @pytest.mark.parametrize("password", ["pw", 's3cret pass"$\\`x'])
    def test_failing_upload_shows_no_password(self, fake, password):
        fake.status = lambda command: 0 if command == PIP[1] else 256
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload("alice", password, "--repository testpypi")
        masked = 'twine upload --repository testpypi -u alice -p "****" dist/*'
        assert (info.value.returncode, info.value.cmd) == (1, masked)
        assert password not in str(info.value) and password not in repr(info.value.args)
        assert len(fake.events) == 2

    def test_failing_upload_without_password(self, fake):
        fake.status = lambda command: 0 if command == PIP[1] else 3 << 8
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload("alice", None, "")
        assert (info.value.returncode, info.value.cmd) == (3, fake.events[1][1])

    def test_failing_pip_stops_before_twine(self, fake):
        fake.status = lambda command: 1 << 8
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload("alice", "pw", "")
        assert (info.value.returncode, info.value.cmd) == (1, "pip install twine")
        assert fake.events == [PIP]

    def test_result_that_is_no_int_is_no_failure(self, fake):
        fake.status = lambda command: None
        assert Wheelsmith.upload("alice", "pw", "") is None
        assert len(fake.events) == 2


class TestCleanupOnDisk:
    def test_tree(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(wheelsmith, "os", Recorder())  # no command runs
        for directory in ("dist", "build/lib/pkg", "a.egg-info/sub", ".egg-info", "X.EGG-INFO",
                          "sub/y.egg-info", "keep/inner"):
            (tmp_path / directory).mkdir(parents=True)
        for file in ("dist/a-1.0.whl", "build/lib/pkg/m.py", "a.egg-info/PKG-INFO",
                     "x.egg-info", "keep/inner/data.txt"):
            (tmp_path / file).write_text("x")
        # a link that only looks like egg-info must not take its target along
        (tmp_path / "link.egg-info").symlink_to(tmp_path / "keep", target_is_directory=True)
        Wheelsmith.build(False, True)
        left = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")
                      if not p.is_symlink())
        assert left == ["X.EGG-INFO", "keep", "keep/inner", "keep/inner/data.txt", "sub",
                        "sub/y.egg-info", "x.egg-info"]

    def test_nothing_to_remove(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(wheelsmith, "os", Recorder())
        Wheelsmith.build()
        assert list(tmp_path.iterdir()) == []


def wheels():
    return sorted(pathlib.Path("dist").glob("*.whl"))


class TestRealBuild:
    @pytest.mark.parametrize("cython, clean_dist", [(True, True), (False, False)])
    def test_build(self, sample_project, cython, clean_dist):
        stale = ["dist/quaymark_sample-0.0.1.tar.gz", "build/stale.txt",
                 "quaymark_sample.egg-info/stale.txt"]
        for name in stale:
            (sample_project / name).parent.mkdir(exist_ok=True)
            (sample_project / name).write_text("old")
        assert Wheelsmith.build(cython, clean_dist) is None
        [wheel] = wheels()
        assert re.match(r"quaymark_sample-0\.1\.0-cp\d+-cp\d+\w*-\w+\.whl$", wheel.name)
        with zipfile.ZipFile(str(wheel)) as archive:
            names = archive.namelist()
        assert "samplepkg/__init__.py" in names
        assert any(re.match(r"samplepkg/_speed\..*(so|pyd)$", name) for name in names)
        assert [(sample_project / name).exists() for name in stale] == [not clean_dist] * 3

    def test_missing_setup_script_fails(self, sample_project):
        (sample_project / "setup.py").unlink()
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.build(False, False)
        assert (info.value.returncode, info.value.cmd) == (2, "python setup.py bdist_wheel")

    def test_failing_compilation_stops_the_build(self, sample_project):
        (sample_project / "samplepkg" / "_speed.c").write_text("this is no C\n")
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.build()
        assert info.value.cmd == "python setup.py build_ext" and info.value.returncode > 0
        assert not list(sample_project.glob("build/lib*/samplepkg/__init__.py"))  # no build_py
        assert not (sample_project / "dist").exists()


def offline(monkeypatch):
    # `pip install twine` must find twine installed and ask no index; twine talks
    # to the local index directly.
    monkeypatch.setenv("PIP_NO_INDEX", "1")
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    for name in ("TWINE_USERNAME", "TWINE_PASSWORD", "TWINE_REPOSITORY", "TWINE_REPOSITORY_URL"):
        monkeypatch.delenv(name, raising=False)


def fetch(url):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(url, timeout=30) as response:
        return response.read()


class TestRealUpload:
    def test_upload_reaches_the_index(self, sample_project, package_index, monkeypatch):
        offline(monkeypatch)
        Wheelsmith.build(True, True)
        [wheel] = wheels()
        assert Wheelsmith.upload(package_index.user, package_index.password,
                                 "--repository-url " + package_index.url) is None
        assert (package_index.packages_dir / wheel.name).is_file()
        page_url = package_index.simple_url + "quaymark-sample/"
        page = fetch(page_url).decode()
        [href] = [link for link in re.findall(r'href="([^"]+)"', page) if wheel.name in link]
        served = fetch(urllib.parse.urljoin(page_url, href))
        assert hashlib.sha256(served).hexdigest() == hashlib.sha256(wheel.read_bytes()).hexdigest()

    def test_wrong_password_fails(self, sample_project, package_index, monkeypatch):
        offline(monkeypatch)
        Wheelsmith.build(False, True)
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload(package_index.user, "wrong",
                              "--repository-url " + package_index.url)
        assert info.value.returncode == 1
        assert info.value.cmd == ("twine upload --repository-url " + package_index.url
                                  + ' -u alice -p "****" dist/*')


HOSTILE = ["a b", "x;touch pwned", 'q"uote', "$(touch pwned)", "`touch pwned`", "back\\slash\\",
           "it's", "line\nbreak", "*", "", "-u", "caf\u00e9 \u65e5"]


class TestShellQuoting:
    @pytest.fixture
    def project(self, tmp_path, monkeypatch, fake_twine):
        project = tmp_path / "project"
        (project / "dist").mkdir(parents=True)
        for name in ("pkg-1.0.tar.gz", "pkg-1.0-py3-none-any.whl"):
            (project / "dist" / name).write_text("x")
        monkeypatch.chdir(project)
        return project

    @pytest.mark.parametrize("value", HOSTILE)
    def test_values_arrive_as_one_argument(self, project, fake_twine, value):
        for user, password in ((value, "pw"), ("alice", value)):
            Wheelsmith.upload(user, password, "--repository-url http://127.0.0.1:9/")
            *head, first, second = fake_twine.calls()[-1]
            assert head == ["twine", "upload", "--repository-url", "http://127.0.0.1:9/",
                            "-u", user, "-p", password]
            assert {first, second} == {"dist/pkg-1.0.tar.gz", "dist/pkg-1.0-py3-none-any.whl"}
        assert len(fake_twine.calls()) == 2
        assert fake_twine.pip_calls() == [["pip", "install", "twine"]] * 2
        assert not list(project.parent.rglob("pwned"))

    def test_exit_statuses_of_real_commands(self, project, fake_twine):
        fake_twine.exit_with("pip", 3)
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload("alice", "pw", "")
        assert (info.value.returncode, info.value.cmd) == (3, "pip install twine")
        assert fake_twine.calls() == []
        fake_twine.exit_with("pip", 0)
        fake_twine.exit_with("twine", 1)
        with pytest.raises(subprocess.CalledProcessError) as info:
            Wheelsmith.upload("alice", "pw", "")
        assert (info.value.returncode, info.value.cmd) == (1, 'twine upload  -u alice -p "****" dist/*')
