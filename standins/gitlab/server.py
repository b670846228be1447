"""A small in-process GitLab REST API v4 server for tests and demos.

It holds one project and answers the calls the badge client makes (project
badges and a pipeline's jobs), and the current user's record that other GitLab
clients ask for first, the way GitLab does: same paths, status codes,
error bodies, JSON fields and pagination headers.  Everything lives in memory
behind one lock; the server runs in a daemon thread on a loopback port.

Besides the API, the object offers test hooks: a log of every request
received, seeding helpers, and a fault switch that makes a chosen request
fail, return a non-JSON body, drop the connection or never be answered.
"""

import json
import re
import socket
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlencode

__all__ = ["GitLabServer", "JOB_STATUSES"]

API_PREFIX = "/api/v4"

JOB_STATUSES = (
    "created", "pending", "running", "failed", "success", "canceled",
    "skipped", "waiting_for_resource", "manual",
)

DEFAULT_PER_PAGE = 20
MAX_PER_PAGE = 100

DEFAULT_BRANCH = "main"
COMMIT_SHA = "2f6c1b0e9d8a7c6b5a4f3e2d1c0b9a8f7e6d5c4b"

FIRST_BADGE_ID = 1
FIRST_JOB_ID = 5001
BOT_USER_ID = 7001

NOT_JSON_BODY = b"<html>oops</html>"


class _ApiError(Exception):
    """Ends a request with `status` and the JSON `body`."""

    def __init__(self, status, body, headers=None):
        super().__init__(status)
        self.status = status
        self.body = body
        self.headers = headers or {}


def _not_found_route():
    return _ApiError(404, {"error": "404 Not Found"})


def _reason(status):
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


def _int_param(values, default):
    """First value of a query parameter as a positive int, else `default`."""
    if not values:
        return default
    try:
        number = int(values[0])
    except ValueError:
        return default
    return number if number >= 1 else default


class _Fault:
    def __init__(self, kind, status=500, body=None):
        self.kind = kind  # "status", "not_json", "close" or "hang"
        self.status = status
        self.body = body


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # listen() backlog; socketserver's 5 resets connections of clients that come in bursts.
    request_queue_size = 256

    def __init__(self, address, handler, app):
        self.app = app
        self._connections = set()
        self._connections_lock = threading.Lock()
        super().__init__(address, handler)

    def process_request(self, request, client_address):
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def drop_connections(self):
        """Shut down every open client connection (unblocks idle keep-alives)."""
        with self._connections_lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "GitLabStandIn/1.0"

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002 - signature of the base class
        pass

    def do_GET(self):
        self._handle()

    def do_POST(self):
        self._handle()

    def do_PUT(self):
        self._handle()

    def do_DELETE(self):
        self._handle()

    def do_PATCH(self):
        self._handle()

    def _handle(self):
        app = self.server.app
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = 0
        body = self.rfile.read(length) if length > 0 else b""

        # The request target as it came over the wire (http.server may tidy
        # self.path, e.g. collapse leading slashes).
        parts = self.requestline.split()
        target = parts[1] if len(parts) >= 2 else self.path
        path, _, query_string = target.partition("?")
        query = parse_qs(query_string, keep_blank_values=True)

        form = None
        form_error = None
        if self.command in ("POST", "PUT"):
            form, form_error = _parse_body(self.headers.get("Content-Type", ""), body)

        fault = app._record({
            "method": self.command,
            "path": path,
            "query": query,
            "headers": dict(self.headers.items()),
            "form": form,
            "body": body,
        })
        if fault is not None:
            self._apply_fault(fault)
            return

        try:
            if self.headers.get("PRIVATE-TOKEN") != app.token:
                raise _ApiError(401, {"message": "401 Unauthorized"})
            if form_error is not None:
                raise _ApiError(400, {"error": form_error})
            status, payload, headers = app._dispatch(self.command, path, query, form, target)
        except _ApiError as err:
            status, payload, headers = err.status, err.body, err.headers
        self._send_json(status, payload, headers)

    def _apply_fault(self, fault):
        if fault.kind == "hang":
            self.server.app._stopping.wait()
            fault = _Fault("close")
        if fault.kind == "close":
            self.close_connection = True
            return
        if fault.kind == "not_json":
            self._send(200, NOT_JSON_BODY, "text/html; charset=utf-8")
            return
        body = fault.body
        if body is None:
            body = {"message": "%d %s" % (fault.status, _reason(fault.status))}
        if isinstance(body, (bytes, str)):
            data = body.encode("utf-8") if isinstance(body, str) else body
            self._send(fault.status, data, "text/plain; charset=utf-8")
        else:
            self._send_json(fault.status, body)

    def _send_json(self, status, payload, headers=None):
        data = b"" if payload is None else json.dumps(payload).encode("utf-8")
        self._send(status, data, None if payload is None else "application/json", headers)

    def _send(self, status, data, content_type, headers=None):
        self.send_response(status)
        if content_type is not None:
            self.send_header("Content-Type", content_type)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if status != 204:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if status != 204 and self.command != "HEAD":
            self.wfile.write(data)


def _parse_body(content_type, body):
    """Return (fields, error) for a POST/PUT body, form-encoded or JSON."""
    mime = content_type.split(";", 1)[0].strip().lower()
    if mime == "application/json" or mime.endswith("+json"):
        try:
            fields = json.loads(body.decode("utf-8")) if body else {}
        except ValueError:
            return None, "body is not valid JSON"
        if not isinstance(fields, dict):
            return None, "body must be a JSON object"
        return fields, None
    text = body.decode("utf-8", errors="replace")
    # Rack keeps the last value of a repeated field.
    return {key: values[-1] for key, values in parse_qs(text, keep_blank_values=True).items()}, None


class GitLabServer:
    """One GitLab project behind a REST API v4 on a loopback port.

    Use as a context manager or call start() and stop().  `url` is the base
    URL to give a client (the API lives under `url + "/api/v4"`).
    """

    def __init__(self, token="glpat-test-token", project_id=42, project_path="group/project",
                 host="127.0.0.1", port=0):
        self.token = token
        self.project_id = int(project_id)
        self.project_path = project_path
        self.project_name = project_path.rsplit("/", 1)[-1]
        self.host = host
        self.port = port
        self.url = None
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._httpd = None
        self._thread = None
        self._pipelines = {}
        self._next_job_id = FIRST_JOB_ID
        self._clear()

    def _clear(self):
        self._badges = []
        self._next_badge_id = FIRST_BADGE_ID
        self._log = []
        self._received = 0
        self._faults = {}

    # -- life cycle ---------------------------------------------------------

    def start(self):
        if self._httpd is not None:
            raise RuntimeError("server already started")
        self._stopping.clear()
        self._httpd = _HTTPServer((self.host, self.port), _Handler, self)
        host, port = self._httpd.server_address[:2]
        self.port = port
        self.url = "http://%s:%d" % (host, port)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
            name="gitlab-standin", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        httpd, thread = self._httpd, self._thread
        if httpd is None:
            return
        self._stopping.set()  # releases hanging handlers
        httpd.shutdown()
        httpd.drop_connections()
        httpd.server_close()
        thread.join()
        self._httpd = None
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, exc, tb):
        self.stop()

    # -- test hooks ---------------------------------------------------------

    def add_pipeline(self, pipeline_id, jobs):
        """Create (or replace) a pipeline of the project with the given jobs.

        Each job is a dict with "name" and optionally "status" ("success"),
        "coverage" (None) and "stage" ("test").  The jobs are listed in the
        order given.
        """
        built = []
        with self._lock:
            for job in jobs:
                status = job.get("status", "success")
                if status not in JOB_STATUSES:
                    raise ValueError("unknown job status %r" % (status,))
                built.append({
                    "id": self._next_job_id,
                    "name": job["name"],
                    "stage": job.get("stage", "test"),
                    "status": status,
                    "coverage": job.get("coverage"),
                })
                self._next_job_id += 1
            self._pipelines[int(pipeline_id)] = built

    def add_badge(self, link_url, image_url, name=None):
        with self._lock:
            return self._render_badge(self._create_badge(link_url, image_url, name))

    def badges(self):
        with self._lock:
            return [self._render_badge(badge) for badge in self._badges]

    @property
    def requests(self):
        """Every request received so far, oldest first (a copy)."""
        with self._lock:
            return list(self._log)

    def fail(self, nth, status=500, body=None, close=False, not_json=False):
        if close:
            fault = _Fault("close")
        elif not_json:
            fault = _Fault("not_json")
        else:
            fault = _Fault("status", status, body)
        self._arm(nth, fault)

    def hang(self, nth):
        self._arm(nth, _Fault("hang"))

    def reset(self):
        """Forget badges (ids start again at 1), the request log and faults."""
        with self._lock:
            self._clear()

    def _arm(self, nth, fault):
        if nth < 1:
            raise ValueError("nth counts from 1 (the next request)")
        with self._lock:
            self._faults[self._received + nth] = fault

    def _record(self, entry):
        with self._lock:
            self._received += 1
            self._log.append(entry)
            return self._faults.pop(self._received, None)

    # -- model --------------------------------------------------------------

    def _create_badge(self, link_url, image_url, name):
        badge = {"id": self._next_badge_id, "name": name,
                 "link_url": link_url, "image_url": image_url}
        self._next_badge_id += 1
        self._badges.append(badge)
        return badge

    def _placeholders(self):
        return {
            "project_path": self.project_path,
            "project_id": str(self.project_id),
            "project_name": self.project_name,
            "project_title": self.project_name,
            "default_branch": DEFAULT_BRANCH,
            "commit_sha": COMMIT_SHA,
        }

    def _render(self, text):
        values = self._placeholders()
        return re.sub(r"%\{(\w+)\}", lambda m: values.get(m.group(1), m.group(0)), text)

    def _render_badge(self, badge):
        return {
            "id": badge["id"],
            "name": badge["name"],
            "link_url": badge["link_url"],
            "image_url": badge["image_url"],
            "rendered_link_url": self._render(badge["link_url"]),
            "rendered_image_url": self._render(badge["image_url"]),
            "kind": "project",
        }

    def _render_user(self):
        # The token is a project access token: its user is the project's bot, named after
        # the token.
        username = "project_%d_bot" % self.project_id
        return {
            "id": BOT_USER_ID,
            "username": username,
            "name": "badges",
            "state": "active",
            "locked": False,
            "bot": True,
            "avatar_url": None,
            "web_url": "%s/%s" % (self.url, username),
        }

    def _pipeline_status(self, jobs):
        statuses = {job["status"] for job in jobs}
        for status in ("running", "pending", "failed", "canceled"):
            if status in statuses:
                return "running" if status == "pending" else status
        if statuses and statuses <= {"created"}:
            return "created"
        return "success"

    def _render_job(self, pipeline_id, pipeline_status, job):
        return {
            "id": job["id"],
            "name": job["name"],
            "stage": job["stage"],
            "status": job["status"],
            "coverage": job["coverage"],
            "ref": DEFAULT_BRANCH,
            "tag": False,
            "allow_failure": False,
            "pipeline": {
                "id": pipeline_id,
                "project_id": self.project_id,
                "ref": DEFAULT_BRANCH,
                "sha": COMMIT_SHA,
                "status": pipeline_status,
            },
            "web_url": "%s/%s/-/jobs/%d" % (self.url, self.project_path, job["id"]),
        }

    # -- routing ------------------------------------------------------------

    def _dispatch(self, method, path, query, form, target):
        """Return (status, payload, headers) or raise _ApiError."""
        routed = re.sub("/{2,}", "/", path)
        if not routed.startswith(API_PREFIX + "/"):
            raise _not_found_route()
        segments = [unquote(s) for s in routed[len(API_PREFIX) + 1:].split("/")]
        if segments == ["user"]:
            if method != "GET":
                raise _ApiError(405, {"error": "405 Not Allowed"}, {"Allow": "GET"})
            return 200, self._render_user(), {}
        if len(segments) < 2 or segments[0] != "projects" or not segments[1]:
            raise _not_found_route()
        project, rest = segments[1], segments[2:]

        if rest == []:
            route, allowed = self._get_project, ("GET",)
        elif rest == ["badges"]:
            route, allowed = self._badge_collection, ("GET", "POST")
        elif len(rest) == 2 and rest[0] == "badges":
            route, allowed = self._badge_member, ("GET", "PUT", "DELETE")
        elif len(rest) == 3 and rest[0] == "pipelines" and rest[2] == "jobs":
            route, allowed = self._pipeline_jobs, ("GET",)
        else:
            raise _not_found_route()
        if method not in allowed:
            raise _ApiError(405, {"error": "405 Not Allowed"}, {"Allow": ", ".join(allowed)})
        if project not in (str(self.project_id), self.project_path):
            raise _ApiError(404, {"message": "404 Project Not Found"})
        params = dict((key, values[-1]) for key, values in query.items())
        params.update(form or {})
        with self._lock:
            return route(method, rest, query, params, target)

    def _get_project(self, method, rest, query, params, target):
        return 200, {
            "id": self.project_id,
            "name": self.project_name,
            "path": self.project_name,
            "path_with_namespace": self.project_path,
            "default_branch": DEFAULT_BRANCH,
            "web_url": "%s/%s" % (self.url, self.project_path),
        }, {}

    def _badge_collection(self, method, rest, query, params, target):
        if method == "GET":
            rows = [self._render_badge(b) for b in self._badges
                    if "name" not in query or b["name"] == query["name"][-1]]
            return self._paginate(rows, query, target)
        for field in ("link_url", "image_url"):
            if field not in params:
                raise _ApiError(400, {"error": "%s is missing" % field})
        self._check_urls(params)
        badge = self._create_badge(str(params["link_url"]), str(params["image_url"]),
                                   params.get("name"))
        return 201, self._render_badge(badge), {}

    def _badge_member(self, method, rest, query, params, target):
        try:
            badge_id = int(rest[1])
        except ValueError:
            raise _ApiError(400, {"error": "badge_id is invalid"})
        for index, badge in enumerate(self._badges):
            if badge["id"] == badge_id:
                break
        else:
            raise _ApiError(404, {"message": "404 Not found"})
        if method == "DELETE":
            del self._badges[index]
            return 204, None, {}
        if method == "PUT":
            self._check_urls(params)
            for field in ("link_url", "image_url", "name"):
                if field in params:
                    badge[field] = params[field]
        return 200, self._render_badge(badge), {}

    @staticmethod
    def _check_urls(params):
        errors = {field: ["must be a valid URL"] for field in ("link_url", "image_url")
                  if field in params and not str(params[field]).strip()}
        if errors:
            raise _ApiError(400, {"message": errors})

    def _pipeline_jobs(self, method, rest, query, params, target):
        try:
            pipeline_id = int(rest[1])
        except ValueError:
            raise _ApiError(400, {"error": "pipeline_id is invalid"})
        jobs = self._pipelines.get(pipeline_id)
        if jobs is None:
            raise _ApiError(404, {"message": "404 Not found"})
        scopes = query.get("scope", []) + query.get("scope[]", [])
        if any(scope not in JOB_STATUSES for scope in scopes):
            raise _ApiError(400, {"error": "scope does not have a valid value"})
        status = self._pipeline_status(jobs)
        rows = [self._render_job(pipeline_id, status, job) for job in jobs
                if not scopes or job["status"] in scopes]
        return self._paginate(rows, query, target)

    def _paginate(self, rows, query, target):
        page = _int_param(query.get("page"), 1)
        per_page = min(_int_param(query.get("per_page"), DEFAULT_PER_PAGE), MAX_PER_PAGE)
        total = len(rows)
        total_pages = max(1, -(-total // per_page))
        in_range = page <= total_pages
        prev_page = page - 1 if in_range and page > 1 else None
        next_page = page + 1 if in_range and page < total_pages else None

        path, _, query_string = target.partition("?")
        pairs = [(k, v) for k, v in parse_qs(query_string, keep_blank_values=True).items()
                 if k not in ("page", "per_page")]

        def link(number, rel):
            query_part = urlencode(pairs + [("page", number), ("per_page", per_page)], doseq=True)
            return '<%s%s?%s>; rel="%s"' % (self.url, path, query_part, rel)

        links = []
        if prev_page:
            links.append(link(prev_page, "prev"))
        if next_page:
            links.append(link(next_page, "next"))
        links.append(link(1, "first"))
        links.append(link(total_pages, "last"))
        headers = {
            "X-Page": str(page),
            "X-Per-Page": str(per_page),
            "X-Next-Page": str(next_page or ""),
            "X-Prev-Page": str(prev_page or ""),
            "X-Total": str(total),
            "X-Total-Pages": str(total_pages),
            "Link": ", ".join(links),
        }
        start = (page - 1) * per_page
        return 200, rows[start:start + per_page], headers
