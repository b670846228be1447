"""The native modules against their plain-Python twins (tests/twins), scenario by scenario.

Each scenario of tests/differential/scenarios.py runs twice in a process of its own: once
with the installed modules, once with the twins first on the search path. Both runs get the
same fresh working directory (same path), the same programs on PATH and a fresh stand-in
GitLab seeded alike. Compared are what the run printed on standard output and error, its
exit status and the requests the stand-in received. Left out: tracebacks (the last line,
the exception and its message, stays), the wording of argument-binding errors, the port
of the stand-in and object addresses.

The table takes whatever build of the modules is installed: the normal one, one without
shortcuts, the sanitizer build of tools/sanitize.sh.
"""
import difflib
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from standins.gitlab import GitLabServer
from tests.differential.scenarios import SCENARIOS

HERE = Path(__file__).resolve().parent
TWINS = HERE / "twins"
HARNESS = HERE / "differential" / "harness.py"
MODULES = ("badgewright", "scorewarden", "wheelsmith", "quaymark_cli")

def scenario_params():
    ids = [scenario.id for scenario in SCENARIOS]
    assert len(set(ids)) == len(ids)
    return [pytest.param(scenario, id=scenario.id) for scenario in SCENARIOS]


def environment(bindir, twins):
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONUNBUFFERED="1",
               PATH=str(bindir) + os.pathsep + os.environ.get("PATH", ""))
    env.pop("PYTHONPATH", None)
    if twins:
        env["PYTHONPATH"] = str(TWINS)
    return env


@pytest.fixture(scope="module")
def module_kinds():
    """Checks once that the two runs get what they should: every module native in one,
    every module a twin in the other."""
    code = "import json, %s\nprint(json.dumps([m.__file__ for m in (%s)]))" % (
        ", ".join(MODULES), ", ".join(MODULES))
    for twins in (False, True):
        done = subprocess.run([sys.executable, "-c", code], env=environment("", twins),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, check=True)
        files = json.loads(done.stdout)
        if twins:
            assert all(Path(f).parent == TWINS for f in files), files
        else:
            assert not any(f.endswith(".py") for f in files), files


def seeded_server(seed):
    server = GitLabServer()
    for image_url in seed.get("badges", []):
        server.add_badge("https://gitlab.invalid/%{project_path}", image_url)
    for pipeline_id, jobs in seed.get("pipelines", {}).items():
        server.add_pipeline(pipeline_id, jobs)
    return server


def without_tracebacks(text):
    """The text with every traceback reduced to its last line."""
    kept, inside = [], False
    for line in text.splitlines():
        if line == "Traceback (most recent call last):":
            inside = True
        elif inside and line.startswith(" "):
            pass
        else:
            inside = False
            kept.append(line)
    return kept


# How the interpreter and the native functions word an argument that does not bind.
ARGUMENT_ERROR = re.compile(
    r"[\w.]+\(\) (takes (exactly|at least|at most|from) .*|takes \d+ positional arguments? but .*"
    r"|missing \d+ required .*|got an unexpected keyword argument .*"
    r"|got multiple values for (keyword )?argument .*)$")
ADDRESS = re.compile(r"\b0x[0-9a-f]+\b")


def normalised(text, url):
    lines = without_tracebacks(text.replace(url, "<gitlab>") if url else text)
    return [ADDRESS.sub("0x?", ARGUMENT_ERROR.sub("<argument error>", line)) for line in lines]


def run(scenario, root, twins):
    """(exit status, stdout lines, stderr lines, requests the stand-in received)."""
    if root.exists():
        shutil.rmtree(str(root))
    work, bindir = root / "work", root / "bin"
    for folder in (work, bindir):
        folder.mkdir(parents=True)
    for name, content in scenario.files.items():
        path = work / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8")
    for name, script in scenario.programs.items():
        (bindir / name).write_text(script)
        (bindir / name).chmod(0o755)
    code = root / "scenario.py"
    code.write_text(scenario.code, encoding="utf-8")
    server = seeded_server(scenario.gitlab).start() if scenario.gitlab is not None else None
    try:
        command = [sys.executable, str(HARNESS), str(code)] + ([server.url] if server else [])
        try:
            done = subprocess.run(command, cwd=str(work), env=environment(bindir, twins),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=scenario.timeout)
        except subprocess.TimeoutExpired as expired:
            return ("timed out", expired.stdout, expired.stderr, [])
    finally:
        if server:
            server.stop()
    url = server.url if server else None
    received = normalised("\n".join(
        "%s %s %s %s" % (r["method"], r["path"], sorted(r["query"].items()), r["form"])
        for r in (server.requests if server else [])), url)
    return (done.returncode, normalised(done.stdout.decode("utf-8", "replace"), url),
            normalised(done.stderr.decode("utf-8", "replace"), url), received)


@pytest.mark.usefixtures("module_kinds")
@pytest.mark.parametrize("scenario", scenario_params())
def test_native_as_twin(scenario, tmp_path):
    if scenario.not_under_asan and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip(scenario.not_under_asan)
    root = tmp_path / "run"
    native = run(scenario, root, twins=False)
    twin = run(scenario, root, twins=True)
    if native != twin:
        parts = ("status", "stdout", "stderr", "requests")
        diff = []
        for part, got, want in zip(parts, native, twin):
            got = got if isinstance(got, list) else [repr(got)]
            want = want if isinstance(want, list) else [repr(want)]
            diff += difflib.unified_diff(want, got, "twin " + part, "native " + part, lineterm="")
        pytest.fail("native differs from twin:\n" + "\n".join(diff), pytrace=False)
