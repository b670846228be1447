#!/usr/bin/env bash
# Builds quaymark and runs the whole test suite on CPython 3.8 and on the newest CPython found,
# each in a fresh virtual environment under .venvs/. Extra arguments go to pytest.
#   bash tests/run.sh                 # both interpreters
#   PYTHONS="python3.12" bash tests/run.sh -k badge
#   WHEELHOUSE=wheelhouse bash tests/run.sh   # test the wheels of tools/build-wheels.sh
# With WHEELHOUSE, quaymark is installed from the wheel there that fits the interpreter, with
# --only-binary :all: and no compiler on PATH, as a user installs it.
set -euo pipefail
cd "$(dirname "$0")/.."

find_pythons() {
    if [ -n "${PYTHONS:-}" ]; then echo "$PYTHONS"; return; fi
    local root found=()
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    local oldest newest
    oldest="$(ls -d "$root"/versions/3.8.* 2>/dev/null | sort -V | tail -n 1 || true)"
    newest="$(ls -d "$root"/versions/3.* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)"
    [ -n "$oldest" ] && found+=("$oldest/bin/python3.8")
    [ -n "$newest" ] && [ "$newest" != "$oldest" ] && found+=("$newest/bin/python3")
    if [ ${#found[@]} -eq 0 ]; then found=("$(command -v python3)"); fi
    echo "${found[@]}"
}

# The example pipeline's own tools and the packages its jobs install, served to them from an
# index on 127.0.0.1 (see tests/ci_example.py).
bash tests/ci_example_setup.sh
export QUAYMARK_CI_EXAMPLE_TOOLS="$PWD/.venvs/ci-tools/bin"
export QUAYMARK_CI_EXAMPLE_PACKAGES="$PWD/build/ci-example-packages"

# click 7, the oldest click quaymark supports, for the tests that run the commands under it as
# well: a pure-Python wheel, imported from the file.
if ! ls build/click7/click-7.*.whl > /dev/null 2>&1; then
    python="$(find_pythons | cut -d ' ' -f 1)"
    "$python" -m pip download -q --disable-pip-version-check --no-deps --only-binary :all: \
        -d build/click7 'click>=7,<8'
fi

status=0
for python in $(find_pythons); do
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    venv=".venvs/$version"
    echo "=== CPython $version ($python)"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -U pip
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements.txt
    # The fuzzer ships wheels for most interpreters; where none fits, the fuzz tests skip.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
        'atheris<3; python_version<"3.9"' 'atheris; python_version>="3.9"' \
        || echo "atheris is not available for CPython $version: fuzz tests will skip"
    if [ -n "${WHEELHOUSE:-}" ]; then
        tag="cp${version/./}"
        wheel="$(ls "$WHEELHOUSE"/quaymark-*-"$tag"-"$tag"-*manylinux*.whl | tail -n 1)"
        # No compiler can be reached: the install must not build anything.
        if env -i PATH="$PWD/$venv/bin" /bin/sh -c 'command -v cc || command -v c++ || command -v gcc'
        then echo "a compiler is on the install PATH" >&2; exit 1; fi
        env -u CC -u CXX PATH="$PWD/$venv/bin" "$venv/bin/python" -m pip install -q \
            --disable-pip-version-check --only-binary :all: "$wheel"
        export QUAYMARK_WHEELHOUSE="$PWD/$WHEELHOUSE"
    else
        "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            -Ccmake.define.QUAYMARK_WERROR=ON -Cbuild-dir="build/ci-$version" .
    fi
    # The tests run the console scripts and `python`, `pip`, `twine` of this environment.
    if ! PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest "$@"; then
        status=1
    fi
done
exit $status
