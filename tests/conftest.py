import os

import pytest

from standins.gitlab import GitLabServer

# Fixtures for the report checker and the packaging tests.
from tests.fixtures_tools import (  # noqa: F401
    fake_twine, interpreter_on_path, package_index, pylint_reports, sample_project)

# Sample projects and their own tests are data, not part of this suite.
collect_ignore = ["data"]

# What a GitLab CI job sets and the commands read when an option is left out: the badge
# commands GitLab's predefined variables and its CLI's token, twine its own. The suite runs in
# such jobs too; its tests describe a run outside one unless they set them themselves.
JOB_VARIABLES = ("CI_SERVER_URL", "CI_PROJECT_ID", "CI_PIPELINE_ID", "GITLAB_TOKEN")


@pytest.fixture(autouse=True)
def outside_a_ci_job(monkeypatch):
    for name in list(os.environ):
        if name in JOB_VARIABLES or name.startswith("TWINE_"):
            monkeypatch.delenv(name)


# ---------------------------------------------------------------------------
# GitLab stand-in
# ---------------------------------------------------------------------------

GITLAB_PIPELINE_ID = 1001
GITLAB_JOBS = [
    {"name": "unit-test", "coverage": 81.2},
    {"name": "test", "coverage": 90},
    {"name": "lint", "coverage": None},
]


@pytest.fixture
def gitlab():
    """A running GitLab stand-in; pipeline 1001 holds unit-test, test and lint."""
    server = GitLabServer()
    server.add_pipeline(GITLAB_PIPELINE_ID, GITLAB_JOBS)
    with server:
        yield server

# ---------------------------------------------------------------------------
