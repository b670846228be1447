#!/usr/bin/env bash
# Runs a complete example pipeline against local stand-ins: a GitLab project whose pipeline
# reports coverage, and a package index. Needs Python 3.8 or newer and a C++ compiler.
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
    quiet_pip -Cbuild-dir=build/demo .
    [ -x "$venv/bin/badgewright" ] || { echo "installing quaymark failed" >&2; exit 1; }
fi
PATH="$PWD/$venv/bin:$PATH" exec "$venv/bin/python" demo/pipeline.py
