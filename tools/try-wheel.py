"""What a wheel must do on its own interpreter and architecture before it counts as built:
every module imports and runs, the command line answers, the report scan gives the
line-by-line reading's results, an exception crosses a thread. Run by tools/build-wheels.sh
with the interpreter of a fresh environment that holds only the wheel and its dependencies.
Prints one line; any failure raises."""
import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
import threading

import badgewright
import quaymark_cli
import scorewarden
import wheelsmith

MODULES = (badgewright, scorewarden, wheelsmith, quaymark_cli)
SCORE = b"Your code has been rated at 8.75/10 (previous run: 8.50/10, +0.25)\n"
CLEAN = b"pkg/mod.py:1:0: C0114: Missing module docstring (missing-module-docstring)\n"
ERROR = b"pkg/mod.py:6:25: E0602: Undefined variable 'x' (undefined-variable)\n"


def check(report_bytes, folder, name):
    path = os.path.join(folder, name)
    with open(path, "wb") as report:
        report.write(report_bytes)
    try:
        return scorewarden.Scorewarden(path).validate_pylint_report()
    except ValueError as exc:
        return "ValueError: %s" % exc


def main():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for module in MODULES:
        assert module.__file__.endswith(suffix), (module.__file__, suffix)
    url = badgewright.Badgewright.coverage_badge_image_url(85)
    assert url.endswith("Coverage-85-brightgreen"), url
    client = badgewright.Badgewright("https://gitlab.example", 42, "7", "T")
    assert client.api_url == "https://gitlab.example/api/v4/projects/42", vars(client)
    assert callable(wheelsmith.Wheelsmith().build)
    with tempfile.TemporaryDirectory() as folder:
        # small reports, and one large enough to be read in parts by several threads
        assert check(CLEAN * 3 + SCORE, folder, "clean") == "8.75"
        assert check(CLEAN + ERROR + SCORE, folder, "error").startswith("ValueError"), \
            check(CLEAN + ERROR + SCORE, folder, "error")
        large = CLEAN * (12 * 1024 * 1024 // len(CLEAN))
        middle = len(large) // 2 // len(CLEAN) * len(CLEAN)
        got = check(large[:middle] + ERROR + large[middle:] + SCORE, folder, "large")
        assert got.startswith("ValueError") and "E0602" in got, got
        assert check(large + SCORE, folder, "large-clean") == "8.75"
        # a C++ exception turned into a Python one, in a thread of its own
        errors = []

        def missing():
            try:
                scorewarden.Scorewarden(os.path.join(folder, "none")).validate_pylint_report()
            except FileNotFoundError as exc:
                errors.append(exc)
        worker = threading.Thread(target=missing)
        worker.start()
        worker.join()
        assert len(errors) == 1, errors
        # the command line, as a console script of this environment
        script = os.path.join(os.path.dirname(sys.executable), "scorewarden")
        done = subprocess.run([script, "--pylint-report-path", os.path.join(folder, "clean"),
                               "get-qa-value"], stdout=subprocess.PIPE, check=True)
        assert done.stdout.strip() == b"8.75", done.stdout
        for name in ("badgewright", "wheelsmith"):
            subprocess.run([os.path.join(os.path.dirname(sys.executable), name), "--help"],
                           stdout=subprocess.DEVNULL, check=True)
    print("tried on CPython %s, %s: %s" % (platform.python_version(), platform.machine(),
                                           ", ".join(m.__name__ for m in MODULES)))


if __name__ == "__main__":
    main()
