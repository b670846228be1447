import os
import socket
import subprocess
import sys
import time

import pytest
import requests

from standins.gitlab import GitLabServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def call(server, method, path, token=None, **kwargs):
    headers = {"PRIVATE-TOKEN": server.token if token is None else token}
    return requests.request(method, server.url + "/api/v4" + path, headers=headers,
                            timeout=10, **kwargs)


def badge_form(n):
    return {"link_url": "https://l/%d" % n, "image_url": "https://i/%d" % n}


class TestErrors:
    @pytest.mark.parametrize("token", ["", "wrong"])
    @pytest.mark.parametrize("method,path", [
        ("GET", "/projects/42/badges"),
        ("POST", "/projects/42/badges"),
        ("GET", "/projects/42/pipelines/1001/jobs"),
        ("GET", "/user"),
    ])
    def test_bad_token_is_401(self, gitlab, method, path, token):
        reply = call(gitlab, method, path, token=token, data=badge_form(1))
        assert reply.status_code == 401
        assert reply.json() == {"message": "401 Unauthorized"}
        assert gitlab.badges() == []

    @pytest.mark.parametrize("method,path,status,body", [
        ("GET", "/projects/7/badges", 404, {"message": "404 Project Not Found"}),
        ("GET", "/projects/group%2Fother/badges", 404, {"message": "404 Project Not Found"}),
        ("GET", "/projects/42/pipelines/9/jobs", 404, {"message": "404 Not found"}),
        ("PUT", "/projects/42/badges/99", 404, {"message": "404 Not found"}),
        ("GET", "/projects/42/nothing", 404, {"error": "404 Not Found"}),
        ("GET", "/version", 404, {"error": "404 Not Found"}),
        ("PATCH", "/projects/42/badges", 405, {"error": "405 Not Allowed"}),
        ("POST", "/user", 405, {"error": "405 Not Allowed"}),
        ("GET", "/projects/42/pipelines/1001/jobs?scope=done", 400,
         {"error": "scope does not have a valid value"}),
        ("GET", "/projects/42/pipelines/1001/jobs?scope[]=success&scope[]=bogus", 400,
         {"error": "scope does not have a valid value"}),
    ])
    def test_error_replies(self, gitlab, method, path, status, body):
        reply = call(gitlab, method, path)
        assert (reply.status_code, reply.json()) == (status, body)
        assert reply.headers["Content-Type"] == "application/json"

    @pytest.mark.parametrize("form,missing", [
        ({}, "link_url"),
        ({"image_url": "https://i"}, "link_url"),
        ({"link_url": "https://l"}, "image_url"),
    ])
    def test_missing_field_is_400(self, gitlab, form, missing):
        reply = call(gitlab, "POST", "/projects/42/badges", data=form)
        assert (reply.status_code, reply.json()) == (400, {"error": missing + " is missing"})
        assert gitlab.badges() == []


class TestBadges:
    def test_form_round_trip(self, gitlab):
        form = {"link_url": gitlab.url + "/%{project_path}/%{project_id}",
                "image_url": "https://img/badge/Code Quality-NA/10-red?b=%{commit_sha}&x=%{nope}"}
        created = call(gitlab, "POST", "/projects/group%2Fproject/badges", data=form)
        assert created.status_code == 201
        badge = created.json()
        assert badge["id"] == 1 and badge["name"] is None and badge["kind"] == "project"
        assert badge["link_url"] == form["link_url"]
        assert badge["rendered_link_url"] == gitlab.url + "/group/project/42"
        assert badge["rendered_image_url"].endswith("&x=%{nope}")
        assert "%{commit_sha}" not in badge["rendered_image_url"]

        logged = gitlab.requests[-1]
        assert logged["method"] == "POST" and logged["path"] == "/api/v4/projects/group%2Fproject/badges"
        assert logged["form"] == form and logged["headers"]["PRIVATE-TOKEN"] == gitlab.token

        updated = call(gitlab, "PUT", "/projects/42/badges/1", data={"image_url": "https://new"})
        assert updated.status_code == 200
        assert updated.json()["image_url"] == "https://new"
        assert updated.json()["link_url"] == form["link_url"]

        listed = call(gitlab, "GET", "/projects/42/badges")
        assert listed.status_code == 200 and listed.json() == [updated.json()]
        assert gitlab.badges() == [updated.json()]

    def test_json_body_and_name(self, gitlab):
        gitlab.add_badge("https://a", "https://a.svg")
        reply = call(gitlab, "POST", "/projects/42/badges",
                     json={"link_url": "https://b", "image_url": "https://b.svg", "name": "cov"})
        assert reply.status_code == 201 and reply.json()["id"] == 2
        assert [b["name"] for b in gitlab.badges()] == [None, "cov"]

    def test_pagination(self, gitlab):
        for n in range(25):
            gitlab.add_badge(**badge_form(n))
        first = call(gitlab, "GET", "/projects/42/badges")
        second = call(gitlab, "GET", "/projects/42/badges", params={"page": 2})
        assert [len(first.json()), len(second.json())] == [20, 5]
        assert second.json()[-1]["link_url"] == "https://l/24"
        h1, h2 = first.headers, second.headers
        assert (h1["X-Page"], h1["X-Next-Page"], h1["X-Prev-Page"]) == ("1", "2", "")
        assert (h2["X-Page"], h2["X-Next-Page"], h2["X-Prev-Page"]) == ("2", "", "1")
        assert (h1["X-Total"], h1["X-Total-Pages"], h1["X-Per-Page"]) == ("25", "2", "20")
        assert set(first.links) == {"next", "first", "last"}
        assert set(second.links) == {"prev", "first", "last"}
        assert requests.get(first.links["next"]["url"], headers={"PRIVATE-TOKEN": gitlab.token},
                            timeout=10).json() == second.json()

    @pytest.mark.parametrize("query,count,per_page", [
        ({"per_page": 10}, 10, "10"),
        ({"per_page": 1000}, 25, "100"),
        ({"per_page": "x", "page": "y"}, 20, "20"),
        ({"page": 3}, 0, "20"),
    ])
    def test_page_parameters(self, gitlab, query, count, per_page):
        for n in range(25):
            gitlab.add_badge(**badge_form(n))
        reply = call(gitlab, "GET", "/projects/42/badges", params=query)
        assert reply.status_code == 200 and len(reply.json()) == count
        assert reply.headers["X-Per-Page"] == per_page


class TestJobs:
    @pytest.mark.parametrize("query,names", [
        ("", ["unit-test", "test", "lint", "docs"]),
        ("?scope=success", ["unit-test", "test", "lint"]),
        ("?scope[]=failed&scope[]=running", ["docs"]),
    ])
    def test_scope_filter(self, gitlab, query, names):
        gitlab.add_pipeline(1001, [{"name": "unit-test", "coverage": 81.2},
                                   {"name": "test", "coverage": 90},
                                   {"name": "lint"},
                                   {"name": "docs", "status": "failed", "stage": "deploy"}])
        jobs = call(gitlab, "GET", "/projects/42/pipelines/1001/jobs" + query).json()
        assert [job["name"] for job in jobs] == names
        pipeline = jobs[0]["pipeline"]
        assert (pipeline["id"], pipeline["project_id"], pipeline["status"]) == (1001, 42, "failed")

    def test_fixture_jobs(self, gitlab):
        jobs = call(gitlab, "GET", "/projects/42/pipelines/1001/jobs", params={"scope": "success"})
        assert [(j["name"], j["coverage"], j["status"]) for j in jobs.json()] == [
            ("unit-test", 81.2, "success"), ("test", 90, "success"), ("lint", None, "success")]


class TestFaults:
    def test_status_on_nth_request(self, gitlab):
        call(gitlab, "GET", "/projects/42/badges")
        gitlab.fail(2, status=503)
        gitlab.fail(3, status=403, body={"message": "403 Forbidden"})
        replies = [call(gitlab, "POST", "/projects/42/badges", data=badge_form(n)) for n in range(4)]
        assert [r.status_code for r in replies] == [201, 503, 403, 201]
        assert replies[1].json() == {"message": "503 Service Unavailable"}
        assert replies[2].json() == {"message": "403 Forbidden"}
        assert len(gitlab.badges()) == 2 and len(gitlab.requests) == 5

    def test_not_json(self, gitlab):
        gitlab.fail(1, not_json=True)
        reply = call(gitlab, "GET", "/projects/42/badges")
        assert reply.status_code == 200 and reply.headers["Content-Type"].startswith("text/html")
        with pytest.raises(ValueError):
            reply.json()

    def test_close(self, gitlab):
        gitlab.fail(1, close=True)
        with pytest.raises(requests.ConnectionError):
            call(gitlab, "GET", "/projects/42/badges")
        assert call(gitlab, "GET", "/projects/42/badges").status_code == 200

    def test_hang_is_released_by_stop(self):
        server = GitLabServer().start()
        server.hang(1)
        with pytest.raises(requests.Timeout):
            requests.get(server.url + "/api/v4/projects/42/badges", timeout=0.3)
        started = time.monotonic()
        server.stop()
        assert time.monotonic() - started < 5

    def test_burst_of_connections(self, gitlab):
        # All connect before any request is sent: the listen backlog must hold them. A full
        # backlog drops the handshake, which the client repeats only after a second.
        sockets = [socket.create_connection(("127.0.0.1", gitlab.port), timeout=0.9)
                   for _ in range(200)]
        request = ("GET /api/v4/projects/42/badges HTTP/1.1\r\nHost: x\r\nPRIVATE-TOKEN: %s\r\n"
                   "Connection: close\r\n\r\n" % gitlab.token).encode()
        replies = []
        for sock in sockets:
            with sock:
                sock.settimeout(10)
                sock.sendall(request)
                replies.append(sock.makefile("rb").readline())
        assert set(replies) == {b"HTTP/1.1 200 OK\r\n"}

    def test_reset_keeps_pipelines(self, gitlab):
        gitlab.add_badge("https://a", "https://b")
        gitlab.fail(2)
        gitlab.reset()
        assert gitlab.badges() == [] and gitlab.requests == []
        assert call(gitlab, "GET", "/projects/42/pipelines/1001/jobs").status_code == 200
        assert call(gitlab, "POST", "/projects/42/badges", data=badge_form(0)).json()["id"] == 1


def test_command_line_server():
    proc = subprocess.Popen(
        [sys.executable, "-m", "standins.gitlab", "--token", "t0k", "--project-id", "7",
         "--job", "unit-test=55.5", "--job", "lint=null"],
        cwd=ROOT, stdout=subprocess.PIPE, universal_newlines=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("GitLab stand-in listening on http://127.0.0.1:")
        url = line.rsplit(" ", 1)[1].strip()
        reply = requests.get(url + "/api/v4/projects/7/pipelines/1001/jobs",
                             headers={"PRIVATE-TOKEN": "t0k"}, timeout=10)
        assert [(j["name"], j["coverage"]) for j in reply.json()] == [
            ("unit-test", 55.5), ("lint", None)]
        proc.terminate()
        assert proc.wait(timeout=10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
