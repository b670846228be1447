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
