"""Plain-Python twins of the four modules, written as the modules' own code.

With this directory first on the search path, the bare names badgewright, scorewarden,
wheelsmith and quaymark_cli are the twins (and the twin quaymark_cli imports the twin
workers). Beside the native modules in one process, `load` gives a twin under a name of
its own.
"""
import importlib.util
import os

DIRECTORY = os.path.dirname(os.path.abspath(__file__))


def load(name):
    """A fresh copy of the twin of module `name`, as the module twin_<name>; a twin that
    imports a sibling gets the module of the sibling's bare name."""
    spec = importlib.util.spec_from_file_location(
        "twin_" + name, os.path.join(DIRECTORY, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
