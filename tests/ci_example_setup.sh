#!/usr/bin/env bash
# Prepares what tests/test_ci_example.py needs and may not fetch itself (tests reach only
# 127.0.0.1): gitlabci-local and check-jsonschema in a tools environment, and the packages the
# example's jobs install, for the interpreter the suite runs on, in a folder of packages.
#   bash tests/ci_example_setup.sh [PYTHON]      # default: python3
# gitlabci-local runs the jobs on the host and ignores the example's `image:`, so the jobs run
# on the suite's own interpreter (PYTHON, a base interpreter, not a virtual environment's):
# `python` in TOOLS/image-3.X/ is that interpreter, as an image has it. TOOLS is the parent of
# $QUAYMARK_CI_EXAMPLE_TOOLS (default .venvs/ci-tools/bin), the packages go to
# $QUAYMARK_CI_EXAMPLE_PACKAGES (default build/ci-example-packages-3.X); tests/run.sh sets both.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${1:-$(command -v python3)}"
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
tools="${QUAYMARK_CI_EXAMPLE_TOOLS:-$PWD/.venvs/ci-tools/bin}"
tools="${tools%/bin}"
packages="${QUAYMARK_CI_EXAMPLE_PACKAGES:-build/ci-example-packages-$version}"
if [ ! -x "$tools/bin/gcil" ] || [ ! -x "$tools/bin/check-jsonschema" ]; then
    # The tools need CPython 3.9 or newer; they run beside the jobs, not in them.
    tools_python="$python"
    if ! "$tools_python" -c 'import sys; sys.exit(sys.version_info < (3, 9))'; then
        tools_python="$(command -v python3)"
    fi
    rm -rf "$tools"
    "$tools_python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check \
        'gitlabci-local>=13,<14' 'check-jsonschema>=0.29'
fi
mkdir -p "$tools/image-$version"
ln -sf "$python" "$tools/image-$version/python"
ln -sf "$python" "$tools/image-$version/python3"
stamp="$packages/.requirements"
if ! { cat tests/data/ci_example/requirements.txt; echo "# CPython $version"; } \
        | cmp -s - "$stamp" 2>/dev/null; then
    rm -rf "$packages"
    # With pip of that interpreter, so that the markers of dependencies are its own; a base
    # interpreter may come without pip, an environment of its own has one.
    downloader="$(mktemp -d)"
    "$python" -m venv "$downloader"
    "$downloader/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: \
        -d "$packages" -r tests/data/ci_example/requirements.txt
    rm -rf "$downloader"
    { cat tests/data/ci_example/requirements.txt; echo "# CPython $version"; } > "$stamp"
fi
