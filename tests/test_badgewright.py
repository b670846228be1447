"""The badge client: image URLs, colour bands and the REST calls, over real HTTP."""
import math

import pytest
import requests

import badgewright
from badgewright import Badgewright

BASE = "https://img.shields.io/badge/"


def client(gitlab, token=None, pipeline_id=1001, **kwargs):
    return Badgewright(gitlab.url, gitlab.project_id, pipeline_id,
                       gitlab.token if token is None else token, **kwargs)


def seed_standard_badges(gitlab, qa="9.5", version="2.0"):
    """The project after setup-badges: quality, coverage, version."""
    client(gitlab, qa=qa, version=version).create_badges_for_project()


class TestModule:
    def test_namespace_in_order(self):
        names = [n for n in vars(badgewright) if not n.startswith("__")]
        assert names == ["logging", "sys", "requests", "log", "DEFAULT_QA", "DEFAULT_VERSION",
                         "COVERAGE_BADGE_NAME", "QA_BADGE_NAME", "VERSION_BADGE_NAME",
                         "Badgewright"]
        assert badgewright.log.name == "badgewright"
        assert (badgewright.DEFAULT_QA, badgewright.DEFAULT_VERSION) == ("NA", "0.1.0")
        assert (badgewright.COVERAGE_BADGE_NAME, badgewright.QA_BADGE_NAME,
                badgewright.VERSION_BADGE_NAME) == ("Coverage", "Code Quality", "Version")
        assert badgewright.__doc__ is None

    def test_class_layout(self):
        assert Badgewright.__bases__ == (object,) and type(Badgewright) is type
        assert Badgewright.__doc__ is None
        assert (Badgewright.__module__, Badgewright.__qualname__) == ("badgewright", "Badgewright")
        members = [n for n in vars(Badgewright) if n not in ("__module__", "__dict__",
                                                              "__weakref__", "__doc__")]
        assert members == ["__init__", "_filter_badge_id", "create_badges_for_project",
                           "update_coverage_badge", "update_quality_badge",
                           "update_version_badge", "get_coverage_value",
                           "coverage_badge_image_url", "qa_badge_image_url",
                           "version_badge_image_url"]
        static = {n for n, v in vars(Badgewright).items() if isinstance(v, staticmethod)}
        assert static == {"_filter_badge_id", "coverage_badge_image_url"}

    def test_docstrings(self):
        assert Badgewright.create_badges_for_project.__doc__ == \
            " Endpoint to initialize a gitlab project with the main badges"
        assert Badgewright.update_coverage_badge.__doc__ == " Entry point for coverage badge "
        assert Badgewright.update_version_badge.__doc__ == " Entry point for version badge "
        doc = Badgewright.get_coverage_value.__doc__
        assert "Auxiliary method to retrieve latest coverage value from the current pipeline" in doc
        assert "Name of the job in which the coverage value should be found" in doc
        assert "coverage_value (int)" in doc
        assert "0 to 100" in Badgewright.coverage_badge_image_url.__doc__

    def test_constructor(self):
        b = Badgewright("https://gitlab.example/", 42, "7", "T")
        assert vars(b) == {"pipeline_id": "7", "version": "0.1.0", "qa_value": "NA",
                           "base_url": "https://gitlab.example/",
                           "api_url": "https://gitlab.example//api/v4/projects/42",
                           "header": {"PRIVATE-TOKEN": "T"}}
        assert list(vars(b)) == ["pipeline_id", "version", "qa_value", "base_url", "api_url",
                                 "header"]


class TestImageUrls:
    @pytest.mark.parametrize("value, colour", [
        # red up to 30, then yellow to 50, green to 70, bright green above
        (0, "red"), (-5, "red"), (30, "red"), (30.0, "red"),
        (30.5, "yellow"), (50, "yellow"),
        (50.01, "green"), (70, "green"),
        (70.5, "brightgreen"), (85.5, "brightgreen"), (100, "brightgreen"), (150, "brightgreen"),
        (math.inf, "brightgreen"), (math.nan, "brightgreen"),
    ])
    def test_coverage_bands(self, value, colour):
        assert Badgewright.coverage_badge_image_url(value) == \
            "%sCoverage-%s-%s" % (BASE, value, colour)

    @pytest.mark.parametrize("value", [None, "80", [80], object()])
    def test_coverage_must_be_orderable(self, value):
        with pytest.raises(TypeError):
            Badgewright.coverage_badge_image_url(value)

    @pytest.mark.parametrize("qa, colour", [
        ("NA", "red"), ("5", "red"), ("5.0", "red"), ("-1", "red"), (5, "red"),
        ("5.01", "yellow"), ("6", "yellow"),
        ("6.5", "green"), ("7", "green"), (7, "green"),
        ("7.01", "brightgreen"), ("10", "brightgreen"), ("11", "brightgreen"),
        ("nan", "brightgreen"), (" 8.5 ", "brightgreen"), ("9.50", "brightgreen"),
    ])
    def test_quality_bands_keep_the_text(self, qa, colour):
        b = Badgewright("u", 1, 2, "t", qa=qa)
        assert b.qa_badge_image_url() == "%sCode Quality-%s/10-%s" % (BASE, qa, colour)

    @pytest.mark.parametrize("qa, error", [("abc", ValueError), ("", ValueError),
                                           (None, TypeError), ([], TypeError)])
    def test_quality_must_be_a_number_or_na(self, qa, error):
        with pytest.raises(error):
            Badgewright("u", 1, 2, "t", qa=qa).qa_badge_image_url()

    def test_na_compares_against_the_current_constant(self, monkeypatch):
        monkeypatch.setattr(badgewright, "DEFAULT_QA", "none")
        assert Badgewright("u", 1, 2, "t", qa="none").qa_badge_image_url().endswith("none/10-red")
        with pytest.raises(ValueError):
            Badgewright("u", 1, 2, "t", qa="NA").qa_badge_image_url()

    @pytest.mark.parametrize("version", ["0.1.0", "1.0.0-rc1", 7, None])
    def test_version(self, version):
        b = Badgewright("u", 1, 2, "t", version=version)
        assert b.version_badge_image_url() == "%sVersion-%s-informational" % (BASE, version)

    def test_labels_are_looked_up_when_used(self, monkeypatch):
        monkeypatch.setattr(badgewright, "VERSION_BADGE_NAME", "Release")
        assert Badgewright("u", 1, 2, "t").version_badge_image_url() == \
            BASE + "Release-0.1.0-informational"

    def test_values_whose_format_raises(self):
        class Odd:
            def __format__(self, spec):
                raise RuntimeError("no text")
        with pytest.raises(RuntimeError):
            Badgewright("u", 1, 2, "t", version=Odd()).version_badge_image_url()


class TestAgainstGitLab:
    def test_setup_creates_three_badges_in_order(self, gitlab):
        client(gitlab, pipeline_id="").create_badges_for_project()
        link = gitlab.url + "/%{project_path}/%{project_id}"
        assert [(b["link_url"], b["image_url"]) for b in gitlab.badges()] == [
            (link, BASE + "Code Quality-NA/10-red"),
            (link, BASE + "Coverage-0-red"),
            (link, BASE + "Version-0.1.0-informational"),
        ]
        assert gitlab.badges()[0]["rendered_link_url"] == \
            gitlab.url + "/group/project/%d" % gitlab.project_id
        posts = gitlab.requests
        assert [r["method"] for r in posts] == ["POST"] * 3
        assert all(r["headers"]["PRIVATE-TOKEN"] == gitlab.token for r in posts)

    @pytest.mark.parametrize("method, badge, expected", [
        ("update_version_badge", 2, BASE + "Version-3.1.4-informational"),
        ("update_quality_badge", 0, BASE + "Code Quality-6.20/10-green"),
    ])
    def test_update_changes_only_that_image(self, gitlab, method, badge, expected):
        seed_standard_badges(gitlab)
        before = gitlab.badges()
        getattr(client(gitlab, version="3.1.4", qa="6.20"), method)()
        after = gitlab.badges()
        assert after[badge]["image_url"] == expected
        assert after[badge]["link_url"] == before[badge]["link_url"]
        assert [b for i, b in enumerate(after) if i != badge] == \
            [b for i, b in enumerate(before) if i != badge]
        put = gitlab.requests[-1]
        assert (put["method"], put["form"]) == ("PUT", {"image_url": expected})

    def test_coverage_comes_from_the_first_matching_successful_job(self, gitlab):
        gitlab.add_pipeline(7, [{"name": "test", "status": "failed", "coverage": 10},
                                {"name": "unit-test", "coverage": 81.2},
                                {"name": "test", "coverage": 90}])
        seed_standard_badges(gitlab)
        b = client(gitlab, pipeline_id=7)
        assert b.get_coverage_value("test") == 81.2
        b.update_coverage_badge("test")
        assert gitlab.badges()[1]["image_url"] == BASE + "Coverage-81.2-brightgreen"
        jobs = [r for r in gitlab.requests if r["path"].endswith("/jobs")]
        assert all(r["query"]["scope"] == ["success"] for r in jobs)

    def test_first_badge_with_the_label_wins(self, gitlab):
        gitlab.add_badge("l", BASE + "Version-old-informational")
        gitlab.add_badge("l", BASE + "Version-older-informational")
        client(gitlab, version="9").update_version_badge()
        assert [b["image_url"] for b in gitlab.badges()] == [
            BASE + "Version-9-informational", BASE + "Version-older-informational"]

    def test_missing_badge_raises_before_any_other_request(self, gitlab):
        with pytest.raises(IndexError):
            client(gitlab).update_coverage_badge("test")
        assert [(r["method"], r["path"].rsplit("/", 1)[-1]) for r in gitlab.requests] == \
            [("GET", "badges")]

    @pytest.mark.parametrize("job, error", [("lint", TypeError), ("deploy", IndexError)])
    def test_unusable_coverage_sends_no_put(self, gitlab, job, error):
        seed_standard_badges(gitlab)
        with pytest.raises(error):
            client(gitlab).update_coverage_badge(job)
        assert "PUT" not in [r["method"] for r in gitlab.requests]

    def test_failed_post_keeps_earlier_badges_and_stops(self, gitlab):
        gitlab.fail(2, 403)
        with pytest.raises(requests.HTTPError) as info:
            client(gitlab).create_badges_for_project()
        assert info.value.response.status_code == 403
        assert [b["image_url"] for b in gitlab.badges()] == [BASE + "Code Quality-NA/10-red"]
        assert len(gitlab.requests) == 2

    @pytest.mark.parametrize("method, args", [
        ("create_badges_for_project", ()), ("update_version_badge", ()),
        ("update_quality_badge", ()), ("update_coverage_badge", ("test",)),
    ])
    def test_wrong_token_is_an_http_error_without_the_token(self, gitlab, method, args):
        with pytest.raises(requests.HTTPError) as info:
            getattr(client(gitlab, token="glpat-wrong-secret", qa="8"), method)(*args)
        assert info.value.response.status_code == 401
        assert "glpat-wrong-secret" not in str(info.value)
        assert gitlab.badges() == []

    @pytest.mark.parametrize("token", ["tok\nen-secret", 123456789, " secret-token"])
    def test_invalid_token_never_shows_in_the_error(self, gitlab, token):
        with pytest.raises(requests.RequestException) as info:
            client(gitlab, token=token).update_version_badge()
        assert str(token) not in str(info.value) and repr(token) not in str(info.value)
        assert gitlab.requests == []

    def test_reply_that_is_not_json(self, gitlab):
        gitlab.fail(1, not_json=True)
        with pytest.raises(ValueError):
            client(gitlab).update_version_badge()

    def test_unknown_project_and_pipeline(self, gitlab):
        seed_standard_badges(gitlab)
        with pytest.raises(requests.HTTPError):
            Badgewright(gitlab.url, 999, 1001, gitlab.token).update_version_badge()
        with pytest.raises(requests.HTTPError):
            client(gitlab, pipeline_id=5).get_coverage_value("test")


class TestPaging:
    """GitLab pages lists by 20: a match beyond the first page must still be found."""

    def test_badge_on_a_later_page(self, gitlab):
        for i in range(25):
            gitlab.add_badge("l", BASE + "Other-%d-blue" % i)
        gitlab.add_badge("l", BASE + "Version-old-informational")
        client(gitlab, version="4").update_version_badge()
        assert gitlab.badges()[-1]["image_url"] == BASE + "Version-4-informational"
        gets = [r["query"] for r in gitlab.requests if r["method"] == "GET"]
        assert gets == [{}, {"page": ["2"]}]

    def test_job_on_a_later_page_keeps_the_scope(self, gitlab):
        gitlab.add_pipeline(8, [{"name": "build-%d" % i} for i in range(45)] +
                            [{"name": "pytest", "coverage": 42}])
        assert client(gitlab, pipeline_id=8).get_coverage_value("pytest") == 42
        queries = [r["query"] for r in gitlab.requests]
        assert queries == [{"scope": ["success"]}, {"scope": ["success"], "page": ["2"]},
                           {"scope": ["success"], "page": ["3"]}]

    def test_no_match_on_any_page(self, gitlab):
        for i in range(21):
            gitlab.add_badge("l", BASE + "Other-%d-blue" % i)
        with pytest.raises(IndexError):
            client(gitlab).update_quality_badge()
        assert len(gitlab.requests) == 2


class FakeResponse:
    def __init__(self, payload=None, headers=None):
        self.payload, self.headers = payload, headers or {}

    def raise_for_status(self):
        pass

    def json(self):
        return self.payload


class RecordingRequests:
    """Stands in for the requests module to pin the exact calls."""

    def __init__(self, replies=()):
        self.calls, self.replies = [], list(replies)

    def _call(self, method, url, **kwargs):
        snapshot = {k: dict(v) if isinstance(v, dict) else v for k, v in kwargs.items()}
        self.calls.append((method, url, list(kwargs), snapshot, kwargs))
        return self.replies.pop(0) if self.replies else FakeResponse()

    def get(self, url, **kwargs):
        return self._call("get", url, **kwargs)

    def post(self, url, **kwargs):
        return self._call("post", url, **kwargs)

    def put(self, url, **kwargs):
        return self._call("put", url, **kwargs)


class TestCallContract:
    def test_create_posts_one_form_updated_in_place(self, monkeypatch):
        fake = RecordingRequests()
        monkeypatch.setattr(badgewright, "requests", fake)
        b = Badgewright("U", 42, "", "T")
        b.create_badges_for_project()
        assert [(m, u, kw) for m, u, kw, _, _ in fake.calls] == \
            [("post", "U/api/v4/projects/42/badges", ["headers", "data"])] * 3
        forms = [snap["data"] for _, _, _, snap, _ in fake.calls]
        assert [list(f) for f in forms] == [["link_url", "image_url"]] * 3
        assert [f["image_url"] for f in forms] == [
            BASE + "Code Quality-NA/10-red", BASE + "Coverage-0-red",
            BASE + "Version-0.1.0-informational"]
        assert len({id(kw["data"]) for *_, kw in fake.calls}) == 1
        assert all(kw["headers"] is b.header for *_, kw in fake.calls)

    def test_coverage_update_requests(self, monkeypatch):
        badges = [{"image_url": "x/Coverage-1-red", "id": 5}]
        jobs = [{"name": "unit-test", "coverage": 55}]
        fake = RecordingRequests([FakeResponse(badges), FakeResponse(jobs), FakeResponse()])
        monkeypatch.setattr(badgewright, "requests", fake)
        Badgewright("U", "g%2Fp", 9, "T").update_coverage_badge("test")
        assert [(m, u, kw) for m, u, kw, _, _ in fake.calls] == [
            ("get", "U/api/v4/projects/g%2Fp/badges", ["headers"]),
            ("get", "U/api/v4/projects/g%2Fp/pipelines/9/jobs", ["params", "headers"]),
            ("put", "U/api/v4/projects/g%2Fp/badges/5", ["headers", "data"]),
        ]
        assert fake.calls[1][3]["params"] == {"scope": "success"}
        assert fake.calls[2][3]["data"] == {"image_url": BASE + "Coverage-55-green"}

    def test_match_on_the_first_page_reads_no_headers(self, monkeypatch):
        class NoHeaders(FakeResponse):
            @property
            def headers(self):
                raise AssertionError("headers read")

            @headers.setter
            def headers(self, value):
                pass
        fake = RecordingRequests([NoHeaders([{"image_url": "Version", "id": 1}])])
        monkeypatch.setattr(badgewright, "requests", fake)
        Badgewright("U", 1, 2, "T").update_version_badge()
        assert len(fake.calls) == 2

    @pytest.mark.parametrize("next_page", ["", None, "1", "x", "-3", "２"])
    def test_no_usable_next_page(self, monkeypatch, next_page):
        headers = {} if next_page is None else {"X-Next-Page": next_page}
        fake = RecordingRequests([FakeResponse([], headers)])
        monkeypatch.setattr(badgewright, "requests", fake)
        with pytest.raises(IndexError):
            Badgewright("U", 1, 2, "T").update_version_badge()
        assert len(fake.calls) == 1
