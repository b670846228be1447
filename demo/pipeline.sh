#!/usr/bin/env bash
# Runs a complete example pipeline against local stand-ins: a GitLab project whose pipeline
# reports coverage, and a package index. Needs Python 3.8 or newer; quaymark comes from the
# wheel in wheelhouse/ that fits the interpreter (bash tools/build-wheels.sh), or else is
# built from source, which needs a C++ compiler.
#   bash demo/pipeline.sh            (PYTHON=python3.12 bash demo/pipeline.sh to pick one)
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"
quiet_pip() { "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" 2>&1 \
    | grep -v '^WARNING: Location' || true; }
venv=".venvs/demo"
if [ ! -x "$venv/bin/badgewright" ] || [ "${REINSTALL:-0}" = 1 ]; then
    echo "Setting up $venv (first run only) ..."
    rm -rf "$venv"
    "$python" -m venv "$venv"
    quiet_pip -U pip
    quiet_pip pylint pypiserver passlib setuptools wheel requests twine
    tag="$("$venv/bin/python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
    wheel="$(ls wheelhouse/quaymark-*-"$tag-$tag"-*manylinux*.whl 2>/dev/null | tail -n 1 || true)"
    if [ -n "$wheel" ]; then
        echo "Installing $wheel"
        quiet_pip --only-binary :all: "$wheel"
    else
        echo "No wheel for $tag in wheelhouse/: building quaymark from source"
        quiet_pip -Cbuild-dir=build/demo .
    fi
    [ -x "$venv/bin/badgewright" ] || { echo "installing quaymark failed" >&2; exit 1; }
fi
PATH="$PWD/$venv/bin:$PATH" exec "$venv/bin/python" demo/pipeline.py
