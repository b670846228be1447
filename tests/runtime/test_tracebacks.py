"""Exceptions leaving native functions carry an entry naming module.qualname and the C++ line."""
import pathlib
import traceback

import pytest

from badgewright import Badgewright

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "quaymark" / "badgewright.cpp"


def source_line(text, after=None):
    """1-based line of the first source line holding `text` (after the line holding `after`)."""
    lines = SOURCE.read_text().splitlines()
    start = 0
    if after is not None:
        start = next(i for i, l in enumerate(lines) if after in l)
    return next(i for i, l in enumerate(lines) if i >= start and text in l) + 1


def native_entries(exc):
    return [(f.filename, f.lineno, f.name)
            for f in traceback.extract_tb(exc.__traceback__) if f.filename.startswith("quaymark/")]


class TestEntries:
    def test_entry_names_function_file_and_line(self):
        with pytest.raises(TypeError) as info:
            Badgewright.coverage_badge_image_url("80")
        assert native_entries(info.value) == [(
            "quaymark/badgewright.cpp",
            source_line("if (le(coverage_value, 30))"),
            "badgewright.Badgewright.coverage_badge_image_url",
        )]

    def test_nested_native_calls_stack_up_in_order(self):
        b = Badgewright("u", 1, 2, "t", qa="abc")
        with pytest.raises(ValueError) as info:
            b.create_badges_for_project()
        names = [e[2] for e in native_entries(info.value)]
        assert names == ["badgewright.Badgewright.create_badges_for_project",
                         "badgewright.Badgewright.qa_badge_image_url"]

    def test_argument_errors_add_no_entry_for_the_callee(self):
        # Python binds the arguments before the callee's frame exists.
        with pytest.raises(TypeError) as info:
            Badgewright._filter_badge_id()
        assert native_entries(info.value) == []

    def test_python_frames_inside_are_kept(self):
        class Payload:
            def __iter__(self):
                raise KeyError("from python")
        with pytest.raises(KeyError) as info:
            Badgewright._filter_badge_id(Payload(), "x")
        frames = traceback.extract_tb(info.value.__traceback__)
        assert [f.name for f in frames][-2:] == ["badgewright.Badgewright._filter_badge_id",
                                                 "__iter__"]

    def test_rendered_with_source_line_from_project_root(self, monkeypatch):
        monkeypatch.chdir(SOURCE.parents[1])
        with pytest.raises(TypeError) as info:
            Badgewright.coverage_badge_image_url(None)
        text = "".join(traceback.format_exception(type(info.value), info.value,
                                                  info.value.__traceback__))
        assert 'File "quaymark/badgewright.cpp", line' in text
        assert "in badgewright.Badgewright.coverage_badge_image_url" in text
