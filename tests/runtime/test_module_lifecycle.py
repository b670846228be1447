"""Loading: one exported symbol, the module table, one body run, one interpreter."""
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

MODULES = ["badgewright", "scorewarden", "wheelsmith", "quaymark_cli"]


def run(code, env=None, check=True):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, cwd=os.path.dirname(__file__))
    if check and proc.returncode != 0:
        raise AssertionError(proc.stdout + proc.stderr)
    return proc


def module_file(name):
    return run("import importlib.util as u; print(u.find_spec(%r).origin)" % name).stdout.strip()


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm")
@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    path = module_file(name)
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_" + name]


@pytest.mark.parametrize("name", MODULES)
def test_second_body_run_is_refused_and_reload_is_harmless(name):
    out = run("""
        import importlib, sys
        m = importlib.import_module(%(n)r)
        assert importlib.reload(m) is m
        del sys.modules[%(n)r]
        try:
            importlib.import_module(%(n)r)
        except ImportError as e:
            print(e)
    """ % {"n": name}).stdout
    assert out.strip() == ("Module '%s' has already been imported. "
                           "Re-initialisation is not supported." % name)


def test_enters_itself_under_its_bare_name_unless_taken():
    run("""
        import importlib.util, sys
        origin = importlib.util.find_spec("badgewright").origin
        spec = importlib.util.spec_from_file_location("vendored.badgewright", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        assert m.__name__ == "vendored.badgewright"
        assert sys.modules["badgewright"] is m
    """)
    run("""
        import importlib.util, sys
        origin = importlib.util.find_spec("badgewright").origin
        sentinel = object()
        sys.modules["badgewright"] = sentinel
        spec = importlib.util.spec_from_file_location("vendored.badgewright", origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        assert sys.modules["badgewright"] is sentinel
    """)


def test_failed_body_can_be_retried():
    out = run("""
        import sys
        sys.modules["requests"] = None          # import of requests fails
        try:
            import badgewright
        except ImportError as e:
            print("first:", isinstance(e, ImportError))
        assert "badgewright" not in sys.modules
        del sys.modules["requests"]
        import badgewright
        print("second:", badgewright.Badgewright.__name__)
    """).stdout.split("\n")
    assert out[:2] == ["first: True", "second: Badgewright"]


def test_module_body_failure_has_a_traceback_entry():
    err = run("""
        import sys
        sys.modules["requests"] = None
        import badgewright
    """, check=False).stderr
    assert 'File "quaymark/badgewright.cpp", line' in err and "in <module>" in err


def _subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return __import__(name)
        except ImportError:
            continue
    return None


@pytest.mark.skipif(_subinterpreters() is None, reason="no subinterpreter support")
def test_second_interpreter_is_refused():
    out = run("""
        import badgewright
        try:
            import _interpreters as interp
            i = interp.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interp
            try:
                i = interp.create(isolated=False)
            except TypeError:
                i = interp.create()
        try:
            result = interp.run_string(i, "import badgewright")
            print(result)
        except Exception as e:
            print(e)
        finally:
            interp.destroy(i)
    """).stdout
    assert "Interpreter change detected - this module can only be loaded into one " \
           "interpreter per process." in out


def libpython_is_loaded():
    """Whether this interpreter runs on a shared libpython (Debian's executables hold the
    library themselves, though they ship one for embedding): only then can a preloaded
    library stand in for its functions."""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return False
    try:
        with open("/proc/self/maps") as maps:
            return "/libpython" in maps.read()
    except OSError:
        return True


@pytest.mark.skipif(not shutil.which("cc") or not libpython_is_loaded(),
                    reason="needs a C compiler and an interpreter on a shared libpython")
def test_version_mismatch_warns_and_loads(tmp_path):
    # A preloaded Py_GetVersion makes the running interpreter claim another version.
    shim = tmp_path / "version.c"
    shim.write_text('const char *Py_GetVersion(void) { return "3.99.1 (shim)"; }\n')
    lib = tmp_path / "libversion.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(shim)], check=True)
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)])))
    proc = run("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import badgewright
        # Modules of dependencies compiled by other tools may warn in their own words.
        print([(w.category.__name__, str(w.message)) for w in caught
               if not str(w.message).startswith("compile time Python version")])
        print(badgewright.DEFAULT_QA)
    """, env=env)
    compiled = "%d.%d" % sys.version_info[:2]
    assert proc.stdout.splitlines() == [
        str([("RuntimeWarning", "compiletime version %s of module 'badgewright' does not "
                                "match runtime version 3.99" % compiled)]),
        "NA",
    ]
