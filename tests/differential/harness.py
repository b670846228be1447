"""Runs one scenario of the differential table in a process of its own.

    python harness.py SCENARIO_FILE [GITLAB_URL]

The scenario's code runs as a main program in the current (fresh) working directory, with
the helpers below in its namespace. An exception that nothing catches is reported on
standard error as one line, `uncaught <type>: <message>`, in place of the traceback, and
the process ends with status 1 as the interpreter ends it. Which modules `badgewright`,
`scorewarden`, `wheelsmith` and `quaymark_cli` are depends on the search path alone.
"""
import sys
import threading


def kind(exception):
    """The exception's type by its qualified name, and its message."""
    cls = type(exception)
    return "%s.%s: %s" % (cls.__module__, cls.__qualname__, exception)


def outcome(call, *args, **kwargs):
    """repr() of what `call` returns, or the exception it raises."""
    try:
        return repr(call(*args, **kwargs))
    except BaseException as exception:  # noqa: B902 - SystemExit and the like count too
        return "raises " + kind(exception)


def show(label, call, *args, **kwargs):
    """Prints `label` and the outcome of the call."""
    print("%s -> %s" % (label, outcome(call, *args, **kwargs)), flush=True)


def run_cli(group, *args):
    """Runs a command group of quaymark_cli with a command line, as its console script does,
    and prints how it ended."""
    import quaymark_cli
    try:
        getattr(quaymark_cli, group).main(list(args), prog_name=group)
        print("%s: returned" % group, flush=True)
    except SystemExit as exit:
        print("%s: exit %r" % (group, exit.code), flush=True)
    except BaseException as exception:  # noqa: B902
        print("%s: raises %s" % (group, kind(exception)), flush=True)


class Reply:
    """A requests response: `payload` as its JSON body, `headers`, and an HTTP error
    status when `status` is 400 or more."""

    def __init__(self, payload=None, headers=None, status=200):
        self.payload = payload
        self.headers = dict(headers or {})
        self.status_code = status

    def raise_for_status(self):
        if self.status_code >= 400:
            import requests
            raise requests.HTTPError("%d Error" % self.status_code, response=self)

    def json(self):
        return self.payload


class Requests:
    """Stand-ins for requests.get/post/put: each call is printed, then answered by
    `answer(method, url, kwargs)` (a Reply)."""

    def __init__(self, answer):
        self.answer = answer

    def _call(self, method, url, **kwargs):
        shown = ", ".join("%s=%r" % item for item in kwargs.items())
        print("%s %s %s" % (method.upper(), url, shown), flush=True)
        return self.answer(method, url, kwargs)

    def get(self, url, **kwargs):
        return self._call("get", url, **kwargs)

    def post(self, url, **kwargs):
        return self._call("post", url, **kwargs)

    def put(self, url, **kwargs):
        return self._call("put", url, **kwargs)

    def patched(self):
        """Patches requests.get, post and put for a `with` block."""
        import contextlib
        from unittest import mock

        import requests
        stack = contextlib.ExitStack()
        for name in ("get", "post", "put"):
            stack.enter_context(mock.patch.object(requests, name, getattr(self, name)))
        return stack


def _uncaught(cls, exception, trace):
    sys.stderr.write("uncaught %s\n" % kind(exception))
    sys.stderr.flush()


def _uncaught_in_thread(args):
    if args.exc_type is not SystemExit:
        sys.stderr.write("uncaught in thread %s\n" % kind(args.exc_value))
        sys.stderr.flush()


def main():
    path = sys.argv[1]
    with open(path, encoding="utf-8") as handle:
        code = handle.read()
    sys.excepthook = _uncaught
    threading.excepthook = _uncaught_in_thread
    namespace = {"__name__": "__main__", "__builtins__": __builtins__,
                 "GITLAB": sys.argv[2] if len(sys.argv) > 2 else None,
                 "TOKEN": "glpat-test-token"}
    for helper in (kind, outcome, show, run_cli, Reply, Requests):
        namespace[helper.__name__] = helper
    del sys.argv[1:]
    sys.path[0] = ""  # as for `python -c`: the working directory first
    exec(compile(code, "<scenario>", "exec"), namespace)


if __name__ == "__main__":
    main()
