#!/usr/bin/env bash
# Prepares what tests/test_ci_example.py needs and may not fetch itself (tests reach only
# 127.0.0.1): gitlabci-local and check-jsonschema in .venvs/ci-tools, and the packages the
# example's jobs install, for the Python of the example's image, in build/ci-example-packages.
# `python` in .venvs/ci-tools/image/ is that interpreter, as the image has it.
set -euo pipefail
cd "$(dirname "$0")/.."
image="$(sed -n 's/^  image: python:\([0-9.]*\).*/\1/p' examples/gitlab-ci.yml | head -n 1)"
python="${CI_EXAMPLE_PYTHON:-}"
if [ -z "$python" ]; then
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    found="$(ls -d "$root/versions/$image".* 2>/dev/null | sort -V | tail -n 1 || true)"
    python="${found:+$found/bin/python$image}"
    [ -n "$python" ] || python="$(command -v "python$image" || true)"
fi
if [ -z "$python" ] || [ ! -x "$python" ]; then
    echo "CPython $image (the example's image) not found: the example pipeline test will skip"
    exit 0
fi
tools=".venvs/ci-tools"
if [ ! -x "$tools/bin/gcil" ] || [ ! -x "$tools/bin/check-jsonschema" ]; then
    rm -rf "$tools"
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check \
        'gitlabci-local>=13,<14' 'check-jsonschema>=0.29'
fi
mkdir -p "$tools/image"
ln -sf "$python" "$tools/image/python"
ln -sf "$python" "$tools/image/python3"
packages="build/ci-example-packages"
stamp="$packages/.requirements"
if ! cmp -s tests/data/ci_example/requirements.txt "$stamp" 2>/dev/null; then
    rm -rf "$packages"
    "$python" -m pip download -q --disable-pip-version-check --only-binary :all: \
        -d "$packages" -r tests/data/ci_example/requirements.txt
    cp tests/data/ci_example/requirements.txt "$stamp"
fi
