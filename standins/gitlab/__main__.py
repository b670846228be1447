"""Run the stand-in GitLab server until SIGTERM or SIGINT.

    python -m standins.gitlab --port 8929 --job unit-test=81.2 --job lint=null
"""

import argparse
import json
import os
import signal
import sys
import threading

from .server import GitLabServer

DEFAULT_JOBS = ("lint=null", "unit-test=81.2", "test=90")


def parse_job(text):
    """NAME=COVERAGE, where COVERAGE is a number or null."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME=COVERAGE, got %r" % text)
    if value == "null":
        return {"name": name, "coverage": None}
    try:
        coverage = json.loads(value)
    except ValueError:
        coverage = None
    if isinstance(coverage, bool) or not isinstance(coverage, (int, float)):
        raise argparse.ArgumentTypeError("coverage of %r must be a number or null" % name)
    return {"name": name, "coverage": coverage}


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m standins.gitlab",
        description="Serve one GitLab project (badges, pipeline jobs) over REST API v4.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--token", default="glpat-test-token")
    parser.add_argument("--project-id", type=int, default=42)
    parser.add_argument("--project-path", default="group/project")
    parser.add_argument("--pipeline-id", type=int, default=1001)
    parser.add_argument("--job", dest="jobs", action="append", type=parse_job,
                        metavar="NAME=COVERAGE",
                        help="a successful job of the pipeline (repeatable; default: %s)"
                             % " ".join(DEFAULT_JOBS))
    parser.add_argument("--url-file", metavar="PATH",
                        help="write the server's URL to PATH once it is listening")
    return parser


def write_url_file(path, url):
    tmp = path + ".tmp"
    with open(tmp, "w") as handle:
        handle.write(url + "\n")
    os.replace(tmp, path)


def main(argv=None):
    args = build_parser().parse_args(argv)
    jobs = args.jobs or [parse_job(text) for text in DEFAULT_JOBS]

    done = threading.Event()

    def on_signal(signum, frame):
        done.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    server = GitLabServer(token=args.token, project_id=args.project_id,
                          project_path=args.project_path, host=args.host, port=args.port)
    server.add_pipeline(args.pipeline_id, jobs)
    server.start()
    try:
        if args.url_file:
            write_url_file(args.url_file, server.url)
        print("GitLab stand-in listening on %s" % server.url, flush=True)
        while not done.wait(0.2):
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
