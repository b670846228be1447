"""The example pipeline: every quaymark command as a GitLab CI job would run it.

Started by demo/pipeline.sh inside its virtual environment, whose bin directory is first on
PATH (the commands `badgewright`, `scorewarden`, `wheelsmith`, `python`, `pip`, `twine`).
"""
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

import requests
from passlib.apache import HtpasswdFile

ROOT = Path(__file__).resolve().parents[1]
SAMPLE_PROJECT = ROOT / "tests" / "data" / "sample_project"
TOKEN = "glpat-demo-token"
PROJECT_ID = "42"
PIPELINE_ID = "1001"
INDEX_USER, INDEX_PASSWORD = "demo", "demo-password"


def step(title):
    print("\n\033[1m== %s\033[0m" % title, flush=True)


def run(*command, cwd=None, capture=False):
    print("$ " + " ".join(shlex.quote(c) for c in command), flush=True)
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE if capture else None,
                          universal_newlines=True)
    if done.returncode != 0:
        sys.exit("command failed with status %d" % done.returncode)
    return done.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(url, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            requests.get(url, timeout=1)
            return
        except requests.RequestException:
            time.sleep(0.2)
    sys.exit("no answer from %s" % url)


def start_gitlab(work):
    url_file = work / "gitlab.url"
    server = subprocess.Popen(
        [sys.executable, "-m", "standins.gitlab", "--token", TOKEN, "--project-id", PROJECT_ID,
         "--pipeline-id", PIPELINE_ID, "--job", "lint=null", "--job", "unit-test=81.2",
         "--job", "test=90", "--url-file", str(url_file)],
        cwd=str(ROOT), stdout=subprocess.PIPE, universal_newlines=True)
    print(server.stdout.readline().strip())
    return server, url_file.read_text().strip()


def start_index(work):
    packages = work / "packages"
    packages.mkdir()
    htpasswd = HtpasswdFile(str(work / "htpasswd"), new=True)
    htpasswd.set_password(INDEX_USER, INDEX_PASSWORD)
    htpasswd.save()
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "pypiserver", "run", "-i", "127.0.0.1", "-p", str(port),
         "-P", str(work / "htpasswd"), "-a", "update", str(packages)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = "http://127.0.0.1:%d/" % port
    wait_for(url)
    print("Package index listening on %s" % url)
    return server, url


def describe_badge(image_url):
    """Label, value and colour of a static badge URL (/badge/<label>-<value>-<colour>)."""
    path = urllib.parse.unquote(image_url.split("/badge/", 1)[1])
    label, rest = path.split("-", 1)
    value, colour = rest.rsplit("-", 1)
    return label, value, colour


def main():
    work = Path(tempfile.mkdtemp(prefix="quaymark-demo-"))
    servers = []
    try:
        step("Stand-in services")
        gitlab, gitlab_url = start_gitlab(work)
        servers.append(gitlab)
        index, index_url = start_index(work)
        servers.append(index)
        gitlab_options = ["--url", gitlab_url, "--api-token", TOKEN, "--project-id", PROJECT_ID]

        step("Set up the project's badges")
        run("badgewright", "setup-badges", *gitlab_options)

        step("Lint the project and gate on the report")
        project = work / "project"
        shutil.copytree(str(SAMPLE_PROJECT), str(project))
        report = work / "pylint-report.txt"
        # Lint as CI does after installing: with the extension module built.
        subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--inplace"],
                       cwd=str(project), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        lint = subprocess.run([sys.executable, "-m", "pylint", "samplepkg", "--persistent=n",
                               "--extension-pkg-allow-list=samplepkg._speed"],
                              cwd=str(project), stdout=subprocess.PIPE, universal_newlines=True)
        report.write_text(lint.stdout)
        print(lint.stdout.strip())
        run("scorewarden", "--pylint-report-path", str(report), "raise-for-code")
        qa_value = run("scorewarden", "--pylint-report-path", str(report), "get-qa-value",
                       capture=True).strip()
        print("quality score: %s" % qa_value)

        step("Point the badges at this pipeline's results")
        run("badgewright", "update-badge", *gitlab_options, "--pipeline-id", PIPELINE_ID,
            "--test-job-name", "test", "--version", "0.1.0", "--qa-value", qa_value)

        step("Build and upload the wheel")
        run("wheelsmith", "build", "--cython", "--clean-dist", cwd=str(project))
        run("wheelsmith", "upload", "--user", INDEX_USER, "--password", INDEX_PASSWORD,
            "--pypi", "custom", "--repository-url", index_url, cwd=str(project))

        step("The project's badges on the GitLab stand-in")
        badges = requests.get("%s/api/v4/projects/%s/badges" % (gitlab_url, PROJECT_ID),
                              headers={"PRIVATE-TOKEN": TOKEN}).json()
        print("%-13s %-10s %-14s %s" % ("label", "value", "colour", "image URL"))
        for badge in badges:
            print("%-13s %-10s %-14s %s" % (*describe_badge(badge["image_url"]),
                                             badge["image_url"]))

        step("The package in the index")
        listing = requests.get(index_url + "simple/quaymark-sample/").text
        for name in re.findall(r">([^<]+\.(?:whl|tar\.gz))<", listing):
            print(index_url + "packages/" + name)
        print("\nThe pipeline ran green.")
    finally:
        for server in servers:
            server.terminate()
            server.wait()
        shutil.rmtree(str(work), ignore_errors=True)


if __name__ == "__main__":
    main()
