#!/usr/bin/env bash
# A fresh virtual environment of PYTHON at VENV with the test requirements, and atheris where a
# wheel of it fits the interpreter (the fuzz tests skip without it).
#   bash tests/make-venv.sh PYTHON VENV
set -euo pipefail
cd "$(dirname "$0")/.."
python="$1" venv="$2"
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -U pip
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements.txt
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
    'atheris<3; python_version<"3.9"' 'atheris; python_version>="3.9"' \
    || echo "atheris is not available for $python: the fuzz tests will skip"
