"""End-to-end tests of the console scripts `badgewright`, `scorewarden` and `wheelsmith`.

Each test runs an installed script in a child process, the way a CI job does, and looks at
its exit status, standard output and standard error apart. Log lines are only checked here:
the logging set-up binds the standard output of import time.
"""
import json
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from tests.fixtures_tools import INDEX_PASSWORD

ROOT = Path(__file__).resolve().parent.parent
BIN_DIR = Path(sys.executable).parent
BADGE_BASE = "https://img.shields.io/badge/"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                   "ALL_PROXY")


def run(script, *args, cwd=None):
    """Runs a console script of the package; the result has `.returncode`, `.stdout`, `.stderr`."""
    path = BIN_DIR / script
    assert path.exists(), "the package is not installed next to " + sys.executable
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env["TWINE_NON_INTERACTIVE"] = "1"
    return subprocess.run([str(path)] + list(args), cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)


def words(text):
    return " ".join(text.split())


def usage_error(result):
    """The usage error click reported: status 2, no traceback."""
    assert result.returncode == 2
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    return result.stderr


# -------------------------------------------------------------------------------------------
# badgewright
# -------------------------------------------------------------------------------------------

def instance_args(gitlab):
    return ["--url", gitlab.url, "--api-token", gitlab.token,
            "--project-id", str(gitlab.project_id)]


QA_NA = BADGE_BASE + "Code Quality-NA/10-red"
COVERAGE_ZERO = BADGE_BASE + "Coverage-0-red"
VERSION_DEFAULT = BADGE_BASE + "Version-0.1.0-informational"


class TestBadgeCommands:
    @pytest.fixture
    def project(self, gitlab):
        """A project set up with the three badges by the command itself."""
        result = run("badgewright", "setup-badges", *instance_args(gitlab))
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        return gitlab

    @staticmethod
    def images(gitlab):
        return [badge["image_url"] for badge in gitlab.badges()]

    def test_setup_badges(self, project):
        assert self.images(project) == [QA_NA, COVERAGE_ZERO, VERSION_DEFAULT]
        assert {badge["link_url"] for badge in project.badges()} == {
            project.url + "/%{project_path}/%{project_id}"}

    @pytest.mark.parametrize("options,logged,images", [
        (["--test-job-name", "unit"], ["coverage"],
         [QA_NA, BADGE_BASE + "Coverage-81.2-brightgreen", VERSION_DEFAULT]),
        (["--version", "2.0.1"], ["version"],
         [QA_NA, COVERAGE_ZERO, BADGE_BASE + "Version-2.0.1-informational"]),
        (["--qa-value", "6.5"], ["quality"],
         [BADGE_BASE + "Code Quality-6.5/10-green", COVERAGE_ZERO, VERSION_DEFAULT]),
        # the order of the updates is fixed, whatever the order on the command line
        (["--qa-value", "4.10", "--version", "1.0.0", "--test-job-name", "test"],
         ["coverage", "version", "quality"],
         [BADGE_BASE + "Code Quality-4.10/10-red", BADGE_BASE + "Coverage-81.2-brightgreen",
          BADGE_BASE + "Version-1.0.0-informational"]),
    ])
    def test_update_badge(self, project, options, logged, images):
        result = run("badgewright", "update-badge", *instance_args(project),
                     "--pipeline-id", "1001", *options)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "INFO:quaymark_cli:Updating %s badge" % name for name in logged]
        assert result.stderr == ""
        assert self.images(project) == images

    def test_failed_request_ends_the_run(self, project):
        earlier = len(project.requests)
        project.fail(1, 500)
        result = run("badgewright", "update-badge", *instance_args(project), "--pipeline-id",
                     "1001", "--test-job-name", "unit", "--version", "2.0", "--qa-value", "9")
        assert result.returncode == 1
        assert result.stdout == "INFO:quaymark_cli:Updating coverage badge\n"
        assert result.stderr.startswith("Traceback (most recent call last):")
        assert "quaymark_cli.update_badge" in result.stderr
        assert "500 Server Error" in result.stderr.splitlines()[-1]
        assert [(r["method"], r["path"]) for r in project.requests[earlier:]] == [
            ("GET", "/api/v4/projects/%d/badges" % project.project_id)]
        assert self.images(project) == [QA_NA, COVERAGE_ZERO, VERSION_DEFAULT]

    def test_nothing_to_update(self, gitlab):
        result = run("badgewright", "update-badge", *instance_args(gitlab), "--pipeline-id", "1")
        assert result.returncode == 1
        assert result.stdout == ""
        assert result.stderr.splitlines()[-1] == (
            "NotImplementedError: Expected at least one of test_job_name, version, qa_value")
        assert gitlab.requests == []

    def test_inside_a_ci_job(self, gitlab, monkeypatch):
        # What GitLab sets in every job, and the one variable the project adds; the job token
        # may not edit badges, so it must not be the one sent.
        for name, value in [("CI_SERVER_URL", gitlab.url), ("CI_PROJECT_ID", "42"),
                            ("CI_PIPELINE_ID", "1001"), ("CI_JOB_TOKEN", "job-token"),
                            ("GITLAB_TOKEN", gitlab.token)]:
            monkeypatch.setenv(name, value)
        result = run("badgewright", "setup-badges")
        assert (result.returncode, result.stderr) == (0, "")
        result = run("badgewright", "update-badge", "--test-job-name", "unit", "--version",
                     "2.0.1", "--qa-value", "6.5")
        assert (result.returncode, result.stderr) == (0, "")
        assert self.images(gitlab) == [BADGE_BASE + "Code Quality-6.5/10-green",
                                       BADGE_BASE + "Coverage-81.2-brightgreen",
                                       BADGE_BASE + "Version-2.0.1-informational"]
        assert {r["headers"]["PRIVATE-TOKEN"] for r in gitlab.requests} == {gitlab.token}

    def test_gitlab_cli_reads_and_edits_the_badges(self, project, tmp_path):
        # GitLab's Python client and its CLI, as a job of the project would run it: server
        # from CI_SERVER_URL, and the project's token given, as the job token comes first
        # otherwise.
        env = {k: v for k, v in os.environ.items()
               if k not in PROXY_VARIABLES and not k.startswith(("GITLAB_", "CI_", "PYTHON_GITLAB"))}
        env.update(HOME=str(tmp_path), CI_SERVER_URL=project.url, CI_JOB_TOKEN="job-token")

        def gitlab_cli(*args):
            done = subprocess.run(
                [str(BIN_DIR / "gitlab"), "--private-token", project.token, "-o", "json"]
                + list(args), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
            assert (done.returncode, done.stderr) == (0, ""), done.stderr
            return json.loads(done.stdout)

        listed = gitlab_cli("project-badge", "list", "--project-id", "42")
        assert [badge["image_url"] for badge in listed] == [QA_NA, COVERAGE_ZERO, VERSION_DEFAULT]
        coverage = BADGE_BASE + "Coverage-55-green"
        gitlab_cli("project-badge", "update", "--project-id", "42", "--id",
                   str(listed[1]["id"]), "--image-url", coverage)
        assert self.images(project) == [QA_NA, coverage, VERSION_DEFAULT]
        assert [(r["method"], r["path"]) for r in project.requests[-4:]] == [
            ("GET", "/api/v4/user"), ("GET", "/api/v4/projects/42/badges"),
            ("GET", "/api/v4/user"), ("PUT", "/api/v4/projects/42/badges/%d" % listed[1]["id"])]


# Badge options left out on the command line: each one's variable of a CI job, a table of
# cases run in one process per click version, the oldest supported one included. A client
# that records its arguments stands in for Badgewright.
JOB_VARIABLE = {"url": "CI_SERVER_URL", "api_token": "GITLAB_TOKEN",
                "project_id": "CI_PROJECT_ID", "pipeline_id": "CI_PIPELINE_ID"}
OPTION_OF = {"url": "--url", "api_token": "--api-token", "project_id": "--project-id",
             "pipeline_id": "--pipeline-id"}
# case: (on the command line, in the variable, what the client gets); None: left out, unset
FROM_JOB_CASES = {
    "option": ("given", None, "given"),
    "variable": (None, "from-job", "from-job"),
    "both": ("given", "from-job", "given"),
    "neither": (None, None, None),
    "empty-variable": (None, "", None),
    "empty-option": ("", "from-job", ""),
}
FROM_JOB_TARGETS = [("update-badge", name) for name in OPTION_OF] + [
    ("setup-badges", name) for name in ("url", "api_token", "project_id")]
CLICK_7_WHEELS = sorted((ROOT / "build" / "click7").glob("click-7.*.whl"))

_RECORD_CLIENT = r"""
import json, os, sys
import click, quaymark_cli

class Client:
    def __init__(self, url, project_id, pipeline_id, api_token, version=None, qa=None):
        got.append({"url": url, "api_token": api_token, "project_id": project_id,
                    "pipeline_id": pipeline_id})

    def __getattr__(self, name):
        return lambda *args: None

quaymark_cli.Badgewright = Client
cases, variables = json.load(sys.stdin)
results = []
for argv, env in cases:
    for name in variables:
        os.environ.pop(name, None)
    os.environ.update(env)
    got = []
    try:
        quaymark_cli.badgewright.main(argv, "badgewright", standalone_mode=False)
    except SystemExit:
        pass
    results.append(got)
print(json.dumps([click.__version__, results]))
"""


def from_job_case(command, name, case):
    given, variable, _ = FROM_JOB_CASES[case]
    argv = [command] + (["--version", "1.0"] if command == "update-badge" else [])
    if given is not None:
        argv += [OPTION_OF[name], given and "%s-%s" % (given, name)]
    env = {} if variable is None else {JOB_VARIABLE[name]: variable and "%s-%s" % (variable, name)}
    return argv, env


@pytest.fixture(scope="module", params=["installed", "7"])
def client_args_by_click(request):
    env = {k: v for k, v in os.environ.items() if k not in JOB_VARIABLE.values()}
    if request.param == "7":
        if not CLICK_7_WHEELS:
            pytest.skip("needs a click 7 wheel in build/click7 (tests/run.sh fetches it)")
        env["PYTHONPATH"] = str(CLICK_7_WHEELS[-1])
    keys = [(command, name, case) for command, name in FROM_JOB_TARGETS
            for case in FROM_JOB_CASES]
    cases = [from_job_case(*key) for key in keys]
    done = subprocess.run([sys.executable, "-c", _RECORD_CLIENT], env=env,
                          input=json.dumps([cases, list(JOB_VARIABLE.values())]),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert done.returncode == 0, done.stderr
    version, results = json.loads(done.stdout.splitlines()[-1])
    assert request.param == "installed" or version.startswith("7."), version
    return dict(zip(keys, results))


@pytest.mark.parametrize("case", list(FROM_JOB_CASES))
@pytest.mark.parametrize("command,name", FROM_JOB_TARGETS)
def test_badge_option_from_ci_job(client_args_by_click, command, name, case):
    given, variable, expected = FROM_JOB_CASES[case]
    expected = expected and "%s-%s" % (expected, name)
    others = {other: "" if (command, other) == ("setup-badges", "pipeline_id") else None
              for other in JOB_VARIABLE}
    assert client_args_by_click[command, name, case] == [dict(others, **{name: expected})]


# -------------------------------------------------------------------------------------------
# scorewarden
# -------------------------------------------------------------------------------------------

def stated_score(report):
    found = re.search(r"Your code has been rated at (\S+?)/10", report.read_text())
    return found.group(1) if found else "NA"


class TestReportCommands:
    @pytest.mark.parametrize("name", ["clean", "warnings", "no_score"])
    def test_passing_report(self, pylint_reports, name):
        report = str(pylint_reports[name])
        gate = run("scorewarden", "--pylint-report-path", report, "raise-for-code")
        assert (gate.returncode, gate.stdout, gate.stderr) == (0, "", "")
        score = run("scorewarden", "--pylint-report-path", report, "get-qa-value")
        assert (score.returncode, score.stdout, score.stderr) == (
            0, stated_score(pylint_reports[name]) + "\n", "")

    def test_scores_printed(self, pylint_reports):
        assert stated_score(pylint_reports["clean"]) == "10.00"
        assert stated_score(pylint_reports["no_score"]) == "NA"
        assert re.fullmatch(r"\d\.\d\d", stated_score(pylint_reports["warnings"]))

    @pytest.mark.parametrize("name,message_id", [("error", "E0602"), ("syntax", "E0001"),
                                                 ("missing_module", "F0001")])
    def test_failing_report(self, pylint_reports, name, message_id):
        report = str(pylint_reports[name])
        message = "Found error or failure code in pylint code quality report:  " + message_id
        gate = run("scorewarden", "--pylint-report-path", report, "raise-for-code")
        assert gate.returncode == 1
        assert gate.stderr == ""
        lines = gate.stdout.splitlines()
        assert lines[0] == "ERROR:quaymark_cli:" + message
        assert lines[1] == "Traceback (most recent call last):"
        assert "quaymark_cli.raise_for_code" in lines[2]
        assert lines[-1] == "ValueError: " + message
        assert [line for line in lines if line.startswith(("ERROR:", "INFO:"))] == [lines[0]]

        score = run("scorewarden", "--pylint-report-path", report, "get-qa-value")
        assert score.returncode == 1
        assert score.stdout == ""
        assert score.stderr.splitlines()[-1] == "ValueError: " + message

    @pytest.mark.parametrize("command", ["raise-for-code", "get-qa-value"])
    def test_missing_report(self, tmp_path, command):
        result = run("scorewarden", "--pylint-report-path", "nowhere.txt", command,
                     cwd=str(tmp_path))
        assert result.returncode == 1
        assert result.stdout == ""
        assert result.stderr.splitlines()[-1] == (
            "FileNotFoundError: File nowhere.txt not found. Current Path: %s" % tmp_path)

    def test_unreadable_report_is_logged(self, tmp_path):
        # without the option the report is the working directory itself
        result = run("scorewarden", "raise-for-code", cwd=str(tmp_path))
        assert result.returncode == 1
        assert result.stdout.startswith("ERROR:quaymark_cli:")
        assert "IsADirectoryError" in result.stdout

    @pytest.mark.parametrize("command", ["raise-for-code", "get-qa-value"])
    def test_option_belongs_to_the_group(self, pylint_reports, command):
        stderr = usage_error(run("scorewarden", command, "--pylint-report-path",
                                 str(pylint_reports["clean"])))
        assert "no such option" in stderr.lower() and "--pylint-report-path" in stderr


# -------------------------------------------------------------------------------------------
# wheelsmith
# -------------------------------------------------------------------------------------------

STALE = ["dist/old-0.0.1-py3-none-any.whl", "build/leftover.txt", "old_name.egg-info/PKG-INFO"]


class TestBuild:
    @pytest.mark.parametrize("cython", [False, True])
    @pytest.mark.parametrize("clean_dist", [False, True])
    def test_build(self, sample_project, cython, clean_dist):
        for name in STALE:
            (sample_project / name).parent.mkdir(exist_ok=True)
            (sample_project / name).write_text("old")
        flags = ["--cython"] * cython + ["--clean-dist"] * clean_dist
        result = run("wheelsmith", "build", *flags, cwd=str(sample_project))
        assert result.returncode == 0, result.stderr
        assert "Traceback" not in result.stderr
        # the separate compilation step comes before the wheel is made
        first = "running build_ext" if cython else "running bdist_wheel"
        assert result.stdout.splitlines()[0] == first
        assert [(sample_project / name).exists() for name in STALE] == [not clean_dist] * 3
        wheels = sorted(p.name for p in (sample_project / "dist").glob("quaymark_sample-*.whl"))
        assert len(wheels) == 1
        with zipfile.ZipFile(str(sample_project / "dist" / wheels[0])) as wheel:
            assert any(n.startswith("samplepkg/_speed") and n.endswith(".so")
                       for n in wheel.namelist())

    def test_failed_compilation(self, sample_project):
        (sample_project / "samplepkg" / "_speed.c").write_text("this is no C\n")
        result = run("wheelsmith", "build", "--cython", cwd=str(sample_project))
        assert result.returncode == 1
        assert "Traceback" not in result.stderr
        assert result.stderr.splitlines()[-1] == (
            "Error: Command 'python setup.py build_ext' returned non-zero exit status 1.")
        assert "running build_py" not in result.stdout
        assert not (sample_project / "dist").exists()


class TestUpload:
    def test_into_package_index(self, sample_project, package_index):
        built = run("wheelsmith", "build", "--clean-dist", cwd=str(sample_project))
        assert built.returncode == 0, built.stderr
        result = run("wheelsmith", "upload", "--user", package_index.user, "--password",
                     package_index.password, "--pypi", "custom", "--repository-url",
                     package_index.url, cwd=str(sample_project))
        assert result.returncode == 0, result.stdout + result.stderr
        uploaded = sorted(p.name for p in package_index.packages_dir.iterdir())
        assert uploaded == sorted(p.name for p in (sample_project / "dist").iterdir())
        assert package_index.password not in result.stdout + result.stderr

    def test_wrong_password_fails(self, sample_project, package_index):
        built = run("wheelsmith", "build", cwd=str(sample_project))
        assert built.returncode == 0, built.stderr
        result = run("wheelsmith", "upload", "--user", package_index.user, "--password",
                     "wrong$pass", "--pypi", "custom", "--repository-url", package_index.url,
                     cwd=str(sample_project))
        assert result.returncode == 1
        assert "Traceback" not in result.stderr
        assert result.stderr.splitlines()[-1] == (
            "Error: Command 'twine upload --repository-url %s -u alice -p \"****\" dist/*' "
            "returned non-zero exit status 1." % package_index.url)
        assert "wrong$pass" not in result.stdout + result.stderr

    @pytest.mark.parametrize("options,twine_args", [
        ([], ["upload", "dist/*"]),
        (["--pypi", "TestPyPI", "--user", "alice", "--password", "pw"],
         ["upload", "--repository", "testpypi", "-u", "alice", "-p", "pw", "dist/*"]),
        # the URL is ignored unless the index is custom
        (["--pypi", "PYPI", "--repository-url", "http://127.0.0.1:9/"],
         ["upload", "dist/*"]),
        # values that the shell would otherwise split or expand
        (["--pypi", "custom", "--repository-url", "http://127.0.0.1:9/a b;$x",
          "--user", "bob smith", "--password", INDEX_PASSWORD],
         ["upload", "--repository-url", "http://127.0.0.1:9/a b;$x", "-u", "bob smith",
          "-p", INDEX_PASSWORD, "dist/*"]),
    ])
    def test_twine_command_line(self, fake_twine, tmp_path, options, twine_args):
        result = run("wheelsmith", "upload", *options, cwd=str(tmp_path))
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        assert fake_twine.pip_calls() == [["pip", "install", "twine"]]
        assert fake_twine.calls() == [["twine"] + twine_args]

    @pytest.mark.parametrize("tool,status,command", [
        ("twine", 3, 'twine upload --repository testpypi -u alice -p "****" dist/*'),
        ("pip", 1, "pip install twine"),
    ])
    def test_failed_command(self, fake_twine, tmp_path, tool, status, command):
        fake_twine.exit_with(tool, status)
        result = run("wheelsmith", "upload", "--pypi", "testpypi", "--user", "alice",
                     "--password", INDEX_PASSWORD, cwd=str(tmp_path))
        assert result.returncode == 1
        assert result.stdout == ""
        assert result.stderr == "Error: Command '%s' returned non-zero exit status %d.\n" % (
            command, status)
        assert len(fake_twine.calls()) == (tool == "twine")

    def test_failed_command_reaches_a_cli_runner(self, fake_twine, tmp_path, monkeypatch):
        # Reported as click reports errors, so that a CliRunner (click 8.1 on 3.8 too) sees it.
        from click.testing import CliRunner
        import quaymark_cli
        fake_twine.exit_with("twine", 3)
        monkeypatch.chdir(tmp_path)
        try:
            runner = CliRunner(mix_stderr=False)
        except TypeError:  # click 8.2 keeps standard error apart always
            runner = CliRunner()
        result = runner.invoke(quaymark_cli.wheelsmith, ["upload", "--pypi", "testpypi",
                                                        "--user", "alice", "--password", "pw"])
        assert (result.exit_code, result.stderr) == (1, (
            "Error: Command 'twine upload --repository testpypi -u alice -p \"****\" dist/*' "
            "returned non-zero exit status 3.\n"))

    @pytest.mark.parametrize("options,named", [
        (["--pypi", "warehouse"], "--pypi"),
        (["--pypi", "custom"], "--repository-url"),
        (["--pypi", "CUSTOM", "--user", "alice"], "--repository-url"),
    ])
    def test_usage_errors(self, fake_twine, tmp_path, options, named):
        stderr = usage_error(run("wheelsmith", "upload", *options, cwd=str(tmp_path)))
        assert named in stderr.splitlines()[-1]
        assert fake_twine.calls() == [] and fake_twine.pip_calls() == []


# -------------------------------------------------------------------------------------------
# the module and its help texts
# -------------------------------------------------------------------------------------------

UPDATE_BADGE_HELP = (
    "Utility CLI to modify Gitlab badges based on https://shields.io/. Currently supporting "
    "version, coverage and code quality Coverage value will have a different color based on "
    "its value; [0, 30] = red; (30, 50] = yellow; (50, 70] = light-green; (70, 100] = green "
    "Code Quality value will have a different color based on its value; [0, 5] = red; "
    "(5, 6] = yellow; (6, 7] = light-green; (7, 10] = green")
INSTANCE_OPTIONS = [
    ("--project-id TEXT", "Id of the target project under the given host"),
    ("--api-token TEXT", "Private key to gain access to the said host->Personal Access Token"),
    ("--url TEXT", "Base url of the Gitlab Host"),
]


class TestModule:
    @pytest.mark.parametrize("script,command,text,options", [
        ("badgewright", "update-badge", UPDATE_BADGE_HELP, INSTANCE_OPTIONS + [
            ("--pipeline-id TEXT", "Id of the current pipeline"),
            ("--test-job-name TEXT", "Name of the job from which to extract coverage"),
            ("--version TEXT", "Version identifier"),
            ("--qa-value TEXT", "Code quality score as string")]),
        ("badgewright", "setup-badges", "Utility CLI to initialize a gitlab repository with "
         "default badges; Version, Coverage and Code Quality", INSTANCE_OPTIONS),
        ("scorewarden", "raise-for-code",
         "Validate a pylint report looking for Failures or Errors", []),
        ("scorewarden", "get-qa-value", "Returns the code's quality as a score", []),
        ("wheelsmith", "build",
         "Builds a Python Package taking care of Cython compilation if indicated", [
             ("--cython", "Flag to indicate that it is a Cython package and requires "
              "compilation"),
             ("--clean-dist", "Flag to indicate that dist/ folder should be deleted first")]),
        ("wheelsmith", "upload", "Uploads all wheels found under dist/ folder.", [
            ("--user TEXT", "Pypi Account user"),
            ("--password TEXT", "Pypi Account PAT"),
            ("--pypi [pypi|testpypi|custom]", "Target Pypi repository."),
            ("--repository-url TEXT", "Provide full repository URL for custom Pypi")]),
    ])
    def test_command_help(self, script, command, text, options):
        result = run(script, command, "--help")
        assert (result.returncode, result.stderr) == (0, "")
        usage, rest = result.stdout.split("\n", 1)
        assert usage == "Usage: %s %s [OPTIONS]" % (script, command)
        description, listed = rest.split("\nOptions:\n")
        assert words(description) == text
        expected = options + [("--help", "Show this message and exit.")]
        assert words(listed) == " ".join(o + " " + h for o, h in expected)

    @pytest.mark.parametrize("script,options,commands", [
        ("badgewright", "", "setup-badges update-badge"),
        ("scorewarden", "--pylint-report-path TEXT QA report txt file based on Pylint ",
         "get-qa-value raise-for-code"),
        ("wheelsmith", "", "build upload"),
    ])
    def test_group_help(self, script, options, commands):
        result = run(script, "--help")
        assert (result.returncode, result.stderr) == (0, "")
        head, listed = result.stdout.split("\nCommands:\n")
        # the groups have no help text of their own
        assert words(head) == "Usage: %s [OPTIONS] COMMAND [ARGS]... Options: %s--help Show " \
                              "this message and exit." % (script, options)
        assert [line.split()[0] for line in listed.splitlines()] == commands.split()

    def test_module_namespace(self):
        code = ("import click, quaymark_cli as m\n"
                "for name, value in vars(m).items():\n"
                "    if not name.startswith('__'):\n"
                "        kind = 'group' if isinstance(value, click.Group) else 'command' \\\n"
                "            if isinstance(value, click.Command) else ''\n"
                "        print(name, kind)\n")
        result = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                universal_newlines=True, timeout=60)
        assert result.returncode == 0
        assert [line.split() for line in result.stdout.splitlines()] == [
            ["click"], ["sys"], ["logging"], ["Badgewright"], ["Scorewarden"], ["Wheelsmith"],
            ["log"], ["gitlab_instance_options"],
            ["badgewright", "group"], ["update_badge", "command"], ["setup_badges", "command"],
            ["scorewarden", "group"], ["raise_for_code", "command"], ["get_qa_value", "command"],
            ["wheelsmith", "group"], ["build", "command"], ["upload", "command"]]

    @pytest.mark.parametrize("argv", [[], ["upload"], ["--help"]])
    def test_importing_runs_no_group(self, argv):
        result = subprocess.run([sys.executable, "-c", "import quaymark_cli"] + argv,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
