"""Cost of calling a native function against the same function written in Python.

    python benchmarks/call_overhead.py
"""
import timeit

from badgewright import Badgewright

BASE = "https://img.shields.io/badge/"


class PyBadgewright:
    def __init__(self, url, project_id, pipeline_id, api_token, version="0.1.0", qa="NA"):
        self.pipeline_id = pipeline_id
        self.version = version
        self.qa_value = qa
        self.base_url = url
        self.api_url = f"{self.base_url}/api/v4/projects/{project_id}"
        self.header = {"PRIVATE-TOKEN": api_token}

    def version_badge_image_url(self):
        return f"{BASE}Version-{self.version}-informational"

    @staticmethod
    def coverage_badge_image_url(coverage_value):
        if coverage_value <= 30:
            color = "red"
        elif 30 < coverage_value <= 50:
            color = "yellow"
        elif 50 < coverage_value <= 70:
            color = "green"
        else:
            color = "brightgreen"
        return f"{BASE}Coverage-{coverage_value}-{color}"


def best(stmt, number=200_000):
    return min(timeit.repeat(stmt, number=number, repeat=5)) / number * 1e9


def main():
    native, python = Badgewright("u", 1, 2, "t"), PyBadgewright("u", 1, 2, "t")
    rows = [
        ("constructor, 4 positional", lambda: Badgewright("u", 1, 2, "t"),
         lambda: PyBadgewright("u", 1, 2, "t")),
        ("constructor, keywords", lambda: Badgewright("u", 1, pipeline_id=2, api_token="t"),
         lambda: PyBadgewright("u", 1, pipeline_id=2, api_token="t")),
        ("method call", native.version_badge_image_url, python.version_badge_image_url),
        ("static method call", lambda: native.coverage_badge_image_url(85),
         lambda: python.coverage_badge_image_url(85)),
    ]
    print("%-28s %10s %10s" % ("ns per call", "native", "Python"))
    for name, n, p in rows:
        print("%-28s %10.0f %10.0f" % (name, best(n), best(p)))


if __name__ == "__main__":
    main()
