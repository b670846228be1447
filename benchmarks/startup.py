"""Start-up cost of a quaymark command as a CI job sees it.

Times `scorewarden --pylint-report-path R get-qa-value` on a small report against the floor
`python -c "import click, requests"`, both run by this interpreter's executable (no launcher
shims), interleaved, and reports the medians. Target: at most 1.10 times the floor.

    python benchmarks/startup.py [--runs 40]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPORT = """************* Module demo
demo.py:1:0: C0114: Missing module docstring (missing-module-docstring)

------------------------------------------------------------------
Your code has been rated at 9.17/10 (previous run: 9.17/10, +0.00)
"""


def elapsed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40)
    args = parser.parse_args()

    # The venv's own interpreter: a link to the real binary, never a launcher shim.
    python = sys.executable
    script = shutil.which("scorewarden", path=os.path.dirname(sys.executable))
    if not script:
        sys.exit("scorewarden is not installed next to %s" % sys.executable)
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.txt")
        with open(report, "w") as f:
            f.write(REPORT)
        # The console script under this interpreter: what `scorewarden ...` runs in a venv.
        command = [sys.executable, script, "--pylint-report-path", report, "get-qa-value"]
        floor = [python, "-c", "import click, requests"]
        for warm in (command, floor):
            elapsed(warm)
        times = {"command": [], "floor": []}
        for _ in range(args.runs):
            times["command"].append(elapsed(command))
            times["floor"].append(elapsed(floor))

    cmd, base = statistics.median(times["command"]), statistics.median(times["floor"])
    print("Python %s, %d runs each, medians" % (sys.version.split()[0], args.runs))
    print("  %-36s %7.1f ms" % ("scorewarden get-qa-value", cmd * 1e3))
    print("  %-36s %7.1f ms" % ("python -c 'import click, requests'", base * 1e3))
    print("  %-36s %7.2f    (target <= 1.10)" % ("ratio", cmd / base))


if __name__ == "__main__":
    main()
