"""The shortcuts native code takes (cached globals, attribute and method lookups keyed on the
type, comparisons and formatting in C, direct instantiation) give the interpreter's results
after anything that invalidates them."""
import builtins
import math
import sys

import pytest

import badgewright
import scorewarden
from badgewright import Badgewright
from scorewarden import Scorewarden

BASE = "https://img.shields.io/badge/"
SCORE = "Your code has been rated at 8.50/10 (previous run: 8.50/10, +0.00)\n"
ANY = any
MESSAGE = "demo/core.py:12:4: C0116: Missing function or method docstring (missing-docstring)\n"


class TestGlobals:
    @pytest.mark.parametrize("name, value, call, expected", [
        ("VERSION_BADGE_NAME", "Release",
         lambda: Badgewright("u", 1, 2, "t").version_badge_image_url(),
         BASE + "Release-0.1.0-informational"),
        ("COVERAGE_BADGE_NAME", "Cov",
         lambda: Badgewright.coverage_badge_image_url(10), BASE + "Cov-10-red"),
        ("DEFAULT_QA", "8.5", lambda: Badgewright("u", 1, 2, "t", qa="8.5").qa_badge_image_url(),
         BASE + "Code Quality-8.5/10-red"),
    ])
    def test_rebound_global_is_seen_at_once(self, monkeypatch, name, value, call, expected):
        call()  # the value found first is cached
        monkeypatch.setattr(badgewright, name, value)
        assert call() == expected
        monkeypatch.undo()
        assert call() != expected

    def test_deleted_global_raises_name_error_then_comes_back(self):
        call = lambda: Badgewright("u", 1, 2, "t").version_badge_image_url()
        call()
        namespace = vars(badgewright)
        order = list(namespace)
        value = namespace.pop("VERSION_BADGE_NAME")
        try:
            with pytest.raises(NameError, match="name 'VERSION_BADGE_NAME' is not defined"):
                call()
        finally:
            namespace["VERSION_BADGE_NAME"] = value
            for name in order[order.index("VERSION_BADGE_NAME") + 1:]:
                namespace[name] = namespace.pop(name)  # the module's own order again
        assert call() == BASE + "Version-0.1.0-informational"

    def test_scorewarden_prefix_rebound(self, monkeypatch):
        assert Scorewarden.extract_quality_value(SCORE) == "8.50"
        monkeypatch.setattr(scorewarden, "PYLINT_SCORE_LINE_STARTS_WITH", "Y")
        assert Scorewarden.extract_quality_value(SCORE) == "our"

    @pytest.mark.parametrize("change, undo, expected", [
        # A builtin replaced in the builtins module.
        (lambda: setattr(builtins, "any", lambda items: True),
         lambda: setattr(builtins, "any", ANY), ValueError),
        # A module global that shadows the builtin, then deleted again.
        (lambda: setattr(scorewarden, "any", lambda items: True),
         lambda: delattr(scorewarden, "any"), ValueError),
        # The module's builtins replaced by a namespace without `any`: from 3.10 a function
        # keeps the builtins it was defined with, before it reads them at each call.
        (lambda: setattr(scorewarden, "__builtins__", {}),
         lambda: setattr(scorewarden, "__builtins__", vars(builtins)),
         None if sys.version_info >= (3, 10) else NameError),
    ])
    def test_builtin_replaced_or_shadowed(self, change, undo, expected):
        check = lambda: Scorewarden.raise_if_error_or_failure(MESSAGE)
        check()  # the builtin found first is cached
        change()
        try:
            if expected is None:
                assert check() is None
            else:
                with pytest.raises(expected):
                    check()
        finally:
            undo()
        assert check() is None



class Loud(str):
    """A str subclass whose methods the shortcuts for exact strs must not take."""
    def strip(self, chars=None):
        return "Your 7/10"

    def __format__(self, spec):
        return "loud"


class TestAttributes:
    def test_subclass_descriptor_and_getattr(self):
        class Prop(Badgewright):
            version = property(lambda self: "p")

        class Lazy(Badgewright):
            def __getattr__(self, name):
                return "missing-" + name

        assert Prop.__new__(Prop).version_badge_image_url() == BASE + "Version-p-informational"
        with pytest.raises(AttributeError):
            Prop("u", 1, 2, "t")  # the property has no setter, as in Python
        assert Lazy.__new__(Lazy).version_badge_image_url() == \
            BASE + "Version-missing-version-informational"

    @pytest.mark.parametrize("change, expected", [
        # A data descriptor added to the class after the first calls wins over the instance.
        (lambda cls: setattr(cls, "version", property(lambda self: "desc")),
         BASE + "Version-desc-informational"),
        # A plain class attribute does not: the instance dict still holds version.
        (lambda cls: setattr(cls, "version", "class"), BASE + "Version-1.0-informational"),
        # The method itself replaced on the class.
        (lambda cls: setattr(cls, "version_badge_image_url", lambda self: "replaced"), "replaced"),
    ])
    def test_type_changed_after_first_calls(self, change, expected):
        class Sub(Badgewright):
            pass
        b = Sub("u", 1, 2, "t", version="1.0")
        for _ in range(3):
            assert b.version_badge_image_url() == BASE + "Version-1.0-informational"
        change(Sub)
        assert b.version_badge_image_url() == expected

    def test_instance_attribute_shadows_method(self, monkeypatch):
        calls = []

        class Requests:
            @staticmethod
            def post(url, headers, data):
                calls.append(dict(data)["image_url"])
                return type("R", (), {"raise_for_status": lambda self: None})()

        monkeypatch.setattr(badgewright, "requests", Requests)
        b = Badgewright("u", 1, 2, "t")
        b.create_badges_for_project()
        b.qa_badge_image_url = lambda: "mine"
        b.create_badges_for_project()
        assert calls[3] == "mine" and calls[0] == BASE + "Code Quality-NA/10-red"

    def test_deleted_attribute_raises(self):
        b = Badgewright("u", 1, 2, "t")
        b.version_badge_image_url()
        del b.version
        with pytest.raises(AttributeError, match="version"):
            b.version_badge_image_url()

    @pytest.mark.parametrize("prepare", [
        lambda obj: None,
        lambda obj: vars(obj),  # the __dict__ made before the attributes are stored
        lambda obj: setattr(obj, "__dict__", {"extra": 1}),  # replaced by a dict of its own
        # More names than the first instances have room for inline.
        lambda obj: [setattr(obj, "a%d" % i, i) for i in range(40)],
    ])
    def test_attributes_kept_wherever_the_instance_keeps_them(self, prepare):
        class Sub(Badgewright):
            def __init__(self, *args, **kwargs):
                prepare(self)
                super().__init__(*args, **kwargs)

        for version in ("1", "2", "3"):
            b = Sub("u", 1, 2, "t", version=version)
            assert b.version_badge_image_url() == BASE + "Version-%s-informational" % version
            assert vars(b)["version"] == version and b.api_url == "u/api/v4/projects/1"
            Badgewright.__init__(b, "w", 2, 3, "t", version=version + "!")  # stored over
            assert b.version_badge_image_url() == BASE + "Version-%s!-informational" % version
            assert b.api_url == "w/api/v4/projects/2"
            del b.version
            with pytest.raises(AttributeError):
                b.version_badge_image_url()

    def test_str_subclass_methods_and_format_are_its_own(self):
        assert Scorewarden.extract_quality_value(Loud(SCORE)) == "Your"
        b = Badgewright("u", 1, 2, "t", version=Loud("1"))
        assert b.version_badge_image_url() == BASE + "Version-loud-informational"


class Ordered(int):
    def __le__(self, other):
        return True

    def __format__(self, spec):
        raise RuntimeError("no format")


class TestOperations:
    @pytest.mark.parametrize("value, expected", [
        (30, "red"), (31, "yellow"), (50, "yellow"), (70, "green"), (71, "brightgreen"),
        (-2 ** 70, "red"), (2 ** 70, "brightgreen"), (30.0, "red"), (30.5, "yellow"),
        (math.nan, "brightgreen"), (True, "red"),
    ])
    def test_coverage_bands(self, value, expected):
        assert Badgewright.coverage_badge_image_url(value).endswith("-" + expected)

    def test_overridden_comparison_and_raising_format(self):
        with pytest.raises(RuntimeError, match="no format"):
            Badgewright.coverage_badge_image_url(Ordered(99))

    @pytest.mark.parametrize("qa, expected", [
        ("NA", "red"), (Loud("NA"), "red"), ("6", "yellow"), (6.5, "green"), (7, "green"),
        ("nan", "brightgreen"), ("é", ValueError), (None, TypeError),
    ])
    def test_quality_bands(self, qa, expected):
        b = Badgewright("u", 1, 2, "t", qa=qa)
        if isinstance(expected, type):
            with pytest.raises(expected):
                b.qa_badge_image_url()
        else:
            assert b.qa_badge_image_url().endswith("/10-" + expected)

    def test_wide_characters_are_joined(self):
        b = Badgewright("u", 1, 2, "t", version="✓é\U0001F600")
        assert b.version_badge_image_url() == BASE + "Version-✓é\U0001F600-informational"


class TestInstantiation:
    def test_init_replaced_after_first_calls(self, monkeypatch):
        Badgewright("u", 1, 2, "t")
        original = Badgewright.__init__
        monkeypatch.setattr(Badgewright, "__init__", lambda self, *a: 1)
        with pytest.raises(TypeError, match="__init__\\(\\) should return None, not 'int'"):
            Badgewright("u", 1, 2, "t")
        monkeypatch.setattr(Badgewright, "__init__", original)
        assert Badgewright("u", 1, pipeline_id=2, api_token="t").api_url == "u/api/v4/projects/1"

    def test_subclass_init_and_new(self):
        class Sub(Badgewright):
            def __new__(cls, *args, **kwargs):
                obj = super().__new__(cls)
                obj.made = True
                return obj

            def __init__(self, url):
                super().__init__(url, 7, 8, "t")

        s = Sub("v")
        assert (s.made, s.api_url, type(s)) == (True, "v/api/v4/projects/7", Sub)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "__init__() takes at least 5 positional arguments (1 given)"),
        (("u", 1, 2, "t", "v", "q", "x"), {}, "__init__() takes at most 7 positional arguments (8 given)"),
        (("u", 1, 2, "t"), {"token": "t"}, "__init__() got an unexpected keyword argument 'token'"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Badgewright(*args, **kwargs)
        assert str(info.value) == message
