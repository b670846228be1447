"""Argument binding: positional or keyword, defaults, and the interpreter's messages."""
import ctypes

import pytest

from badgewright import Badgewright

FILTER = Badgewright._filter_badge_id
COVERAGE = Badgewright.coverage_badge_image_url
PAYLOAD = [{"image_url": "x/Version-1", "id": 7}]
B = Badgewright("u", 1, 2, "t")


class TestBinding:
    @pytest.mark.parametrize("args, kwargs", [
        ((PAYLOAD, "Version"), {}),
        ((PAYLOAD,), {"badge_type": "Version"}),
        ((), {"payload": PAYLOAD, "badge_type": "Version"}),
        ((), {"badge_type": "Version", "payload": PAYLOAD}),
        # names built at run time are not interned
        ((), {"".join(["pay", "load"]): PAYLOAD, "".join(["badge", "_type"]): "Version"}),
    ])
    def test_positional_or_keyword(self, args, kwargs):
        assert FILTER(*args, **kwargs) == 7

    @pytest.mark.parametrize("args, kwargs, expected", [
        (("u", 1, 2, "t"), {}, ("0.1.0", "NA")),
        (("u", 1, 2, "t", "1.0"), {}, ("1.0", "NA")),
        (("u", 1, 2, "t"), {"qa": "8"}, ("0.1.0", "8")),
        (("u", 1), {"pipeline_id": 2, "api_token": "t", "version": "3"}, ("3", "NA")),
        ((), {"url": "u", "project_id": 1, "pipeline_id": 2, "api_token": "t"}, ("0.1.0", "NA")),
    ])
    def test_defaults_fill_the_rest(self, args, kwargs, expected):
        b = Badgewright(*args, **kwargs)
        assert (b.version, b.qa_value) == expected
        assert b.pipeline_id == 2 and b.header == {"PRIVATE-TOKEN": "t"}


class TestMessages:
    @pytest.mark.parametrize("call, message", [
        # exactly: no defaults
        (lambda: FILTER(), "_filter_badge_id() takes exactly 2 positional arguments (0 given)"),
        (lambda: FILTER(1, 2, 3), "_filter_badge_id() takes exactly 2 positional arguments (3 given)"),
        (lambda: COVERAGE(), "coverage_badge_image_url() takes exactly 1 positional argument (0 given)"),
        (lambda: B.update_version_badge(1), "update_version_badge() takes exactly 1 positional argument (2 given)"),
        # at least / at most, counting the instance
        (lambda: Badgewright(), "__init__() takes at least 5 positional arguments (1 given)"),
        (lambda: Badgewright(1, 2, 3), "__init__() takes at least 5 positional arguments (4 given)"),
        (lambda: Badgewright(1, 2, 3, 4, 5, 6, 7), "__init__() takes at most 7 positional arguments (8 given)"),
        # a required parameter missing after the keywords: its index is the count given
        (lambda: FILTER(badge_type="x"), "_filter_badge_id() takes exactly 2 positional arguments (0 given)"),
        (lambda: FILTER(payload=[]), "_filter_badge_id() takes exactly 2 positional arguments (1 given)"),
        (lambda: Badgewright(1, 2, api_token=4), "__init__() takes at least 5 positional arguments (3 given)"),
        # keywords
        (lambda: FILTER([], "x", colour=1), "_filter_badge_id() got an unexpected keyword argument 'colour'"),
        (lambda: FILTER([], badge_type="x", payload=[]), "_filter_badge_id() got multiple values for keyword argument 'payload'"),
        (lambda: Badgewright(1, 2, 3, 4, url=1), "__init__() got multiple values for keyword argument 'url'"),
        (lambda: COVERAGE(1, **{"coverage_value": 2}), "coverage_badge_image_url() got multiple values for keyword argument 'coverage_value'"),
        # too many positional wins over keyword problems
        (lambda: FILTER(1, 2, 3, nope=1), "_filter_badge_id() takes exactly 2 positional arguments (3 given)"),
    ])
    def test_message(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keyword_names_that_are_not_strings(self):
        # Python code cannot pass them; the C API can, and must get a TypeError.
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        for kwargs in ({1: 2}, {("payload",): []}, {b"payload": []}):
            with pytest.raises(TypeError, match="keywords must be strings"):
                call(FILTER, ([], "x"), kwargs)
        with pytest.raises(TypeError):
            call(FILTER, ([],), {1: "x"})

    def test_huge_argument_counts(self):
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(10000 given\)"):
            FILTER(*range(10000))
        with pytest.raises(TypeError, match="unexpected keyword argument 'k0'"):
            FILTER([], "x", **{"k%d" % i: i for i in range(5000)})
