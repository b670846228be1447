"""Native functions seen from Python: attributes, binding, signatures, decorators."""
import functools
import gc
import inspect
import pickle
import weakref

import pytest

import badgewright
from badgewright import Badgewright

INIT = vars(Badgewright)["__init__"]
FILTER = vars(Badgewright)["_filter_badge_id"].__func__
UPDATE = vars(Badgewright)["update_version_badge"]


class TestAttributes:
    @pytest.mark.parametrize("func, name, qualname", [
        (INIT, "__init__", "Badgewright.__init__"),
        (FILTER, "_filter_badge_id", "Badgewright._filter_badge_id"),
        (UPDATE, "update_version_badge", "Badgewright.update_version_badge"),
    ])
    def test_names(self, func, name, qualname):
        assert func.__name__ == name
        assert func.__qualname__ == qualname
        assert func.__module__ == "badgewright"
        assert func.__globals__ is vars(badgewright)
        assert repr(func).startswith("<function %s at 0x" % qualname)

    def test_docstrings(self):
        assert INIT.__doc__ is None
        assert UPDATE.__doc__ == " Entry point for version badge "

    def test_defaults(self):
        assert INIT.__defaults__ == ("0.1.0", "NA")
        assert INIT.__kwdefaults__ is None
        assert UPDATE.__defaults__ is None

    @pytest.mark.parametrize("attr, value, message", [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ])
    def test_checked_setters(self, attr, value, message):
        with pytest.raises(TypeError, match="^%s$" % message):
            setattr(FILTER, attr, value)

    @pytest.mark.parametrize("attr", ["__code__", "__globals__"])
    def test_read_only(self, attr):
        with pytest.raises(AttributeError):
            setattr(FILTER, attr, None)

    def test_writable_attributes_round_trip(self):
        def fresh():
            # Each module function is shared; restore what the test changes.
            return {a: getattr(FILTER, a) for a in ("__name__", "__qualname__", "__doc__",
                                                    "__module__", "__defaults__")}
        saved = fresh()
        try:
            FILTER.__name__ = "renamed"
            FILTER.__qualname__ = "X.renamed"
            FILTER.__doc__ = "doc"
            FILTER.__module__ = "elsewhere"
            assert (FILTER.__name__, FILTER.__qualname__, FILTER.__doc__, FILTER.__module__) == \
                ("renamed", "X.renamed", "doc", "elsewhere")
            # The argument messages use the current name, as the interpreter's do.
            with pytest.raises(TypeError, match=r"^renamed\(\) takes exactly 2"):
                FILTER()
        finally:
            for a, v in saved.items():
                setattr(FILTER, a, v)

    def test_defaults_are_live(self):
        b = Badgewright("u", 1, 2, "t")
        assert (b.version, b.qa_value) == ("0.1.0", "NA")
        INIT.__defaults__ = ("9.9", "7")
        try:
            b = Badgewright("u", 1, 2, "t")
            assert (b.version, b.qa_value) == ("9.9", "7")
            INIT.__defaults__ = None
            with pytest.raises(TypeError, match=r"takes exactly 7 positional arguments \(5 given\)"):
                Badgewright("u", 1, 2, "t")
        finally:
            INIT.__defaults__ = ("0.1.0", "NA")

    def test_dict_is_writable_and_replaceable(self):
        f = UPDATE
        f.marker = 1
        assert f.__dict__ == {"marker": 1}
        del f.marker
        f.__dict__ = {"x": 2}
        assert f.x == 2
        with pytest.raises(TypeError):
            f.__dict__ = []
        f.__dict__ = {}

    def test_weakref_and_gc(self):
        ref = weakref.ref(UPDATE)
        assert ref() is UPDATE
        assert gc.is_tracked(UPDATE)


class TestBinding:
    def test_binds_as_method(self):
        b = Badgewright("u", 1, 2, "t")
        bound = b.version_badge_image_url
        assert inspect.ismethod(bound)
        assert bound.__self__ is b and bound.__func__ is vars(Badgewright)["version_badge_image_url"]
        assert bound() == Badgewright.version_badge_image_url(b)

    def test_unbound_access_gives_the_function(self):
        assert Badgewright.__init__ is INIT
        assert INIT.__get__(None, Badgewright) is INIT

    def test_staticmethods_do_not_bind(self):
        b = Badgewright("u", 1, 2, "t")
        assert b.coverage_badge_image_url(0) == Badgewright.coverage_badge_image_url(0)
        assert isinstance(vars(Badgewright)["coverage_badge_image_url"], staticmethod)


class TestSignature:
    def test_signature(self):
        assert str(inspect.signature(INIT)) == (
            "(self, url, project_id, pipeline_id, api_token, version='0.1.0', qa='NA')")
        assert str(inspect.signature(Badgewright)) == (
            "(url, project_id, pipeline_id, api_token, version='0.1.0', qa='NA')")
        assert str(inspect.signature(FILTER)) == "(payload, badge_type)"

    def test_signature_follows_defaults(self):
        INIT.__defaults__ = ("2",)
        try:
            assert str(inspect.signature(INIT)).endswith("version, qa='2')")
        finally:
            INIT.__defaults__ = ("0.1.0", "NA")


class TestDecorators:
    def test_update_wrapper_copies_everything(self):
        UPDATE.__click_params__ = ["p"]
        try:
            @functools.wraps(UPDATE)
            def wrapper(*args, **kwargs):
                return UPDATE(*args, **kwargs)
        finally:
            del UPDATE.__click_params__
        assert wrapper.__name__ == "update_version_badge"
        assert wrapper.__qualname__ == "Badgewright.update_version_badge"
        assert wrapper.__doc__ == UPDATE.__doc__
        assert wrapper.__module__ == "badgewright"
        assert wrapper.__click_params__ == ["p"]
        assert wrapper.__wrapped__ is UPDATE

    def test_click_option_and_command(self):
        click = pytest.importorskip("click")
        f = FILTER
        try:
            decorated = click.option("--badge-type")(f)
            assert decorated is f and len(f.__click_params__) == 1
            cmd = click.command()(f)
            assert cmd.name == "-filter-badge-id" or cmd.name.endswith("filter-badge-id")
            assert [p.name for p in cmd.params] == ["badge_type"]
        finally:
            f.__dict__.pop("__click_params__", None)

    def test_pickle_and_copy_by_reference(self):
        # As for a def'd function: by module and qualified name, or PicklingError where that
        # name holds something else (a click command holds its callback).
        import copy
        import scorewarden, wheelsmith, quaymark_cli
        functions = set()
        for module in (badgewright, scorewarden, wheelsmith, quaymark_cli):
            for value in vars(module).values():
                for v in [value, getattr(value, "callback", None)] + (
                        list(vars(value).values()) if isinstance(value, type) else []):
                    v = getattr(v, "__func__", v)
                    if type(v).__name__ == "quaymark_function":
                        functions.add(v)
        assert len(functions) > 20
        for f in functions:
            assert copy.copy(f) is f and copy.deepcopy(f) is f
            owner = vars(__import__(f.__module__))
            resolved = functools.reduce(getattr, f.__qualname__.split(".")[1:],
                                        owner.get(f.__qualname__.split(".")[0]))
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                if resolved is f:
                    assert pickle.loads(pickle.dumps(f, protocol)) is f
                else:
                    with pytest.raises(pickle.PicklingError):
                        pickle.dumps(f, protocol)
        groups = [quaymark_cli.badgewright, quaymark_cli.scorewarden, quaymark_cli.wheelsmith]
        for group, copied in zip(groups, copy.deepcopy(groups)):
            assert sorted(copied.commands) == sorted(group.commands)
            assert copied.commands[sorted(group.commands)[0]].callback is \
                group.commands[sorted(group.commands)[0]].callback
        import multiprocessing
        with multiprocessing.get_context("fork").Pool(1) as pool:
            assert pool.map(Badgewright.coverage_badge_image_url, [10]) == \
                [Badgewright.coverage_badge_image_url(10)]
