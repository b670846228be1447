"""examples/gitlab-ci.yml, the pipeline the README gives GitLab users, run for real.

gitlabci-local (`gcil -H`) runs the jobs on this host in stage order, in a copy of the sample
project (a package with a C extension) and with the variables GitLab would set. It ignores the
jobs' image: `python` is the interpreter this suite runs on (its base interpreter, as an image
has it); the jobs install from a pypiserver on 127.0.0.1 that holds quaymark's wheel for that
interpreter and the packages the jobs ask for (tests/ci_example_setup.sh, which tests/run.sh
runs, puts them there), and release to it. The stand-in GitLab answers the badge and job
requests.
"""
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from standins.gitlab import GitLabServer
from tests.fixtures_tools import SAMPLE_PROJECT, running_index

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "gitlab-ci.yml"
OVERLAY = Path(__file__).resolve().parent / "data" / "ci_example" / "project"
TOOLS = Path(os.environ.get("QUAYMARK_CI_EXAMPLE_TOOLS", ROOT / ".venvs" / "ci-tools" / "bin"))
VERSION = "%d.%d" % sys.version_info[:2]
PACKAGES = Path(os.environ.get("QUAYMARK_CI_EXAMPLE_PACKAGES",
                               ROOT / "build" / ("ci-example-packages-" + VERSION)))
IMAGE = TOOLS.parent / ("image-" + VERSION)
WHEELHOUSE = Path(os.environ.get("QUAYMARK_WHEELHOUSE", ROOT / "wheelhouse"))

TOKEN = "glpat-ci-example"
JOB_TOKEN = "glcbt-64_ci-example-job"
PIPELINE_ID = 4711
COVERAGE = 87.5
TAG = "v1.2.0-rc1"
PYPI_USER, PYPI_TOKEN = "__token__", "pypi-AgEIcHlwaS5vcmcCJGV4YW1wbGU"


def job_path():
    """PATH of the jobs: the image's `python` and the system's tools, nothing of this venv."""
    system = [d for d in os.environ["PATH"].split(os.pathsep)
              if d and not d.startswith((sys.prefix, str(ROOT)))]
    return os.pathsep.join([str(IMAGE)] + system)


@pytest.fixture(scope="module")
def ci(tmp_path_factory):
    tag = "cp" + VERSION.replace(".", "")
    missing = [str(p) for p in (TOOLS / "gcil", IMAGE / "python", PACKAGES / ".requirements")
               if not p.exists()]
    if not list(WHEELHOUSE.glob("quaymark-*-%s-*manylinux*_%s.whl" % (tag, platform.machine()))):
        missing.append("a CPython %s wheel in %s (bash tools/build-wheels.sh %s)"
                       % (VERSION, WHEELHOUSE, VERSION))
    if missing:
        pytest.skip("example pipeline needs bash tests/ci_example_setup.sh: missing "
                    + ", ".join(missing))
    root = tmp_path_factory.mktemp("ci")
    gitlab = GitLabServer(token=TOKEN)
    gitlab.add_pipeline(PIPELINE_ID, [{"name": "test", "coverage": COVERAGE},
                                      {"name": "pylint", "coverage": None}])
    with gitlab, running_index(root, PYPI_USER, PYPI_TOKEN,
                               serve=(PACKAGES, WHEELHOUSE)) as index:
        yield Pipeline(root, gitlab, index)


class Pipeline:
    def __init__(self, root, gitlab, index):
        self.root, self.gitlab, self.index = root, gitlab, index

    def project(self, name, files=()):
        """A fresh checkout of the sample project with the example as its .gitlab-ci.yml."""
        target = self.root / name
        shutil.copytree(str(SAMPLE_PROJECT), str(target))
        shutil.copytree(str(OVERLAY), str(target), dirs_exist_ok=True)
        shutil.copy(str(EXAMPLE), str(target / ".gitlab-ci.yml"))
        for path, text in files:
            (target / path).write_text(text)
        return target

    def gcil(self, project, *args):
        variables = {
            # GitLab's predefined variables, as a runner sets them in every job; the job token
            # is one that the stand-in refuses, as GitLab refuses it for badges
            "CI": "true", "GITLAB_CI": "true", "CI_SERVER_URL": self.gitlab.url,
            "CI_API_V4_URL": self.gitlab.url + "/api/v4", "CI_PROJECT_ID": "42",
            "CI_PROJECT_PATH": self.gitlab.project_path, "CI_PIPELINE_ID": str(PIPELINE_ID),
            "CI_COMMIT_TAG": TAG, "CI_PROJECT_DIR": str(project), "CI_JOB_TOKEN": JOB_TOKEN,
            # the project's CI/CD variables
            "GITLAB_TOKEN": TOKEN, "PYPI_USER": PYPI_USER, "PYPI_TOKEN": PYPI_TOKEN,
            "PYPI_REPOSITORY_URL": self.index.url, "PACKAGE": "samplepkg",
            "PIP_INDEX_URL": self.index.simple_url,
        }
        command = [str(TOOLS / "gcil"), "-H", "--no-color"]
        for name, value in variables.items():
            command += ["-e", "%s=%s" % (name, value)]
        env = dict(os.environ, PATH=job_path(), HOME=str(self.root / "home"),
                   NO_COLOR="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
        # A sanitizer run of this suite preloads its runtimes; the jobs run the user's wheel.
        for name in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME", "PIP_REQUIRE_VIRTUALENV",
                     "LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            env.pop(name, None)
        done = subprocess.run(command + list(args), cwd=str(project), env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=900)
        return done.returncode, done.stdout


@pytest.mark.parametrize("path", [EXAMPLE, ROOT / ".gitlab-ci.yml"],
                         ids=["example", "own-pipeline"])
def test_valid_gitlab_ci(path):
    tool = TOOLS / "check-jsonschema"
    if not tool.exists():
        pytest.skip("needs bash tests/ci_example_setup.sh")
    done = subprocess.run([str(tool), "--builtin-schema", "vendor.gitlab-ci", str(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    assert done.returncode == 0, done.stdout


def test_readme_shows_the_example():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "```yaml\n" + EXAMPLE.read_text(encoding="utf-8") + "```\n" in readme


def test_pipeline_sets_badges_and_releases_repaired_wheel(ci):
    project = ci.project("release")
    status, log = ci.gcil(project, "badges-setup")        # the manual job, run once by hand
    assert status == 0, log
    status, log = ci.gcil(project, "-p")
    assert status == 0, log
    qa_value = (project / "qa-value.txt").read_text().strip()
    assert re.fullmatch(r"\d+\.\d\d", qa_value), qa_value
    images = sorted(badge["image_url"] for badge in ci.gitlab.badges())
    score = float(qa_value)
    colour = ("red" if score <= 5 else "yellow" if score <= 6 else "green" if score <= 7
              else "brightgreen")
    assert images == sorted([
        "https://img.shields.io/badge/Code Quality-%s/10-%s" % (qa_value, colour),
        "https://img.shields.io/badge/Coverage-%s-brightgreen" % COVERAGE,
        "https://img.shields.io/badge/Version-1.2.0--rc1-informational",
    ]), images
    # GitLab reads the test job's coverage from its log with the job's regex.
    regex = re.search(r"^  coverage: '/(.*)/'$", EXAMPLE.read_text(), re.M).group(1)
    assert re.search(regex, log, re.M), log
    uploaded = sorted(path.name for path in ci.index.packages_dir.iterdir())
    assert len(uploaded) == 1 and re.fullmatch(
        r"quaymark_sample-0\.1\.0-cp\d+-cp\d+-manylinux[\w.]*_%s\.whl" % platform.machine(),
        uploaded[0]), uploaded


@pytest.mark.parametrize("files, report", [
    ([("samplepkg/broken.py", '"""Uses a name it never defines."""\nVALUE = undefined_name\n')],
     "E0602"),
    # Pylint stops with a usage error (exit 32) and writes no report.
    ([("pyproject.toml", '[tool.pylint.main]\njobs = "many"\n')], ""),
], ids=["error-message", "usage-error"])
def test_gate_fails(ci, files, report):
    project = ci.project("gate-" + files[0][0].replace("/", "-"), files)
    status, log = ci.gcil(project, "pylint")
    assert status != 0, log
    text = (project / "pylint-report.txt").read_text()
    assert (report in text) if report else text == "", text
    assert not (project / "qa-value.txt").exists()
