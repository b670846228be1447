#!/usr/bin/env bash
# Builds quaymark and runs the whole test suite on CPython 3.8 and on the newest CPython (3.15),
# each in a fresh virtual environment under .venvs/. Extra arguments go to pytest.
#   bash tests/run.sh                 # both interpreters
#   PYTHONS="3.12" bash tests/run.sh -k badge   # versions, commands or paths of interpreters
#   WHEELHOUSE=wheelhouse bash tests/run.sh   # test the wheels of tools/build-wheels.sh
#   WHEELHOUSE=wheelhouse PYTHONS=3.15 bash tests/run.sh --arch aarch64   # under emulation
#   PYTHONS="3.13 3.14" bash tests/run.sh --root tests/runtime   # the root's, not the host's
# With WHEELHOUSE, quaymark is installed from the wheel there that fits the interpreter and
# the architecture, with --only-binary :all: and no compiler on PATH, as a user installs it.
# A version the host lacks (3.14, 3.15), every version with --root, and every aarch64 run on an
# x86_64 host, runs in a Debian sid root of tools/debian-root.sh (made on first use), with the
# checkout bound in; there the environments live under .venvs/sid-ARCH/. An aarch64 run under
# emulation tests the wheels of WHEELHOUSE and runs the subset below unless pytest arguments
# are given; a version with no interpreter is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
host_arch="$(uname -m)"
arch="$host_arch"
use_root=""
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch="$2"; shift 2 ;;
        --root) use_root=1; shift ;;
        *) break ;;
    esac
done
case "$arch" in x86_64|aarch64) ;; *) echo "unknown architecture $arch" >&2; exit 2 ;; esac
deb="$( [ "$arch" = aarch64 ] && echo arm64 || echo amd64 )"
ROOT_VERSIONS=" 3.13 3.14 3.15 "      # what the sid roots hold
venvs="${RUN_VENVS:-.venvs}"
inside_root=false
[ -f /etc/quaymark-root ] && inside_root=true

# Under emulation every process starts several times slower: the subset covers each module
# (its tests that run no sample build, no Pylint and no shell), the command line, the
# exported symbols, the report scan under each finder (read boundaries) and through the
# module (the cuts into parts), and the end of daemon threads inside native calls; bounded to
# about ten minutes.
EMULATED_SUBSET=(
    tests/test_badgewright.py tests/test_scorewarden.py tests/test_wheelsmith.py
    tests/test_cli.py::TestModule::test_group_help tests/test_cli.py::TestBadgeCommands::test_setup_badges
    tests/test_cli.py::TestReportCommands::test_missing_report tests/test_packaging.py
    tests/runtime/test_module_lifecycle.py::test_only_the_init_function_is_exported
    tests/test_report_scan.py::TestReadBoundaries::test_lines_across_the_boundary
    tests/test_report_scan.py::TestLargeReports::test_parts
    tests/test_report_scan.py::TestLargeReports::test_stop_in_one_part_settles_the_later_ones
    tests/hardening/test_regressions.py::test_daemon_thread_inside_a_native_call_at_exit
    -k "not TestRealBuild and not TestRealUpload and not TestRealPylintReports and not TestShellQuoting"
    --durations=10
)

find_host_python() {
    local version="$1" pyenv_root found
    pyenv_root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    found="$(ls -d "$pyenv_root/versions/$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" \
             | sort -V | tail -n 1 || true)"
    if [ -n "$found" ] && [ -x "$found/bin/python$version" ]; then
        echo "$found/bin/python$version"; return
    fi
    command -v "python$version"
}

# pip is slow under emulation, mostly in compiling: the test requirements of an emulated
# environment are installed by the amd64 root's interpreter of the same version
# (tools/emulated-env.sh); the environment's pip then installs only quaymark's wheel. The
# root has no compiler: the report scan engine's test driver (tests/engine) is cross-compiled
# here with zig, with the decimal digits of the same CPython version, and handed to the tests.
prepare_emulated() {
    local version="$1" zig zeros driver="$PWD/build/scan-driver/$arch-cp${1/./}"
    bash tools/emulated-env.sh "$arch" "$version" ".venvs/sid-$deb/$version" \
        -r tests/requirements.txt
    if [ -n "${QUAYMARK_ZIG:-}" ]; then zig=("$QUAYMARK_ZIG")
    elif .venvs/wheel-tools/bin/python -c 'import ziglang' 2>/dev/null; then
        zig=(.venvs/wheel-tools/bin/python -m ziglang)
    elif command -v zig > /dev/null; then zig=(zig)
    else
        echo "zig is needed for the engine's test driver (QUAYMARK_ZIG, or the tools of" \
             "tools/build-wheels.sh, or zig on PATH)" >&2
        return 1
    fi
    zeros="$(bash tools/debian-root.sh --arch amd64 run -- "python$version" -c '
import sys, unicodedata
print(",".join(sorted({hex(c - unicodedata.decimal(chr(c))) for c in range(0x80, sys.maxunicode + 1)
                       if chr(c).isdecimal()}, key=lambda z: int(z, 16))))')"
    mkdir -p "$(dirname "$driver")"
    "${zig[@]}" c++ -target "$arch-linux-gnu.2.17" -std=c++20 -O2 -pthread \
        -I quaymark/report_scan -DQM_DECIMAL_ZEROS="$zeros" tests/engine/scan_driver.cpp \
        quaymark/report_scan/report_scan.cpp -o "$driver"
}

# The interpreters: PYTHONS (versions or paths), else 3.8 and the newest, 3.15.
if [ -n "${PYTHONS:-}" ]; then
    read -r -a wanted <<< "$PYTHONS"
elif [ "$arch" != "$host_arch" ]; then
    wanted=(3.15)
else
    wanted=(3.8 3.15)
fi

# click 7, the oldest click quaymark supports, for the tests that run the commands under it as
# well: a pure-Python wheel, imported from the file.
if ! ls build/click7/click-7.*.whl > /dev/null 2>&1; then
    python="$(command -v python3 || command -v "${wanted[0]}")"
    "$python" -m pip download -q --disable-pip-version-check --no-deps --only-binary :all: \
        -d build/click7 'click>=7,<8'
fi

status=0
for want in "${wanted[@]}"; do
    python=""
    if [[ "$want" == */* ]]; then
        python="$want"
    elif [[ "$want" == python* ]]; then
        python="$(command -v "$want")" || { echo "=== $want not found, skipped"; continue; }
    elif [ "$arch" = "$host_arch" ] && [ -z "$use_root" ] && python="$(find_host_python "$want")"
    then
        :
    elif ! $inside_root && [[ "$ROOT_VERSIONS" == *" $want "* ]]; then
        echo "=== CPython $want, $arch: in the Debian sid root"
        args=("$@")
        emulated=""
        if [ "$arch" != "$host_arch" ]; then
            if [ -z "${WHEELHOUSE:-}" ]; then
                echo "=== an emulated run tests a wheel: WHEELHOUSE=wheelhouse, after" \
                     "tools/build-wheels.sh --arch $arch $want" >&2
                status=1; continue
            fi
            emulated=1
            [ $# -gt 0 ] || args=("${EMULATED_SUBSET[@]}")
            prepare_emulated "$want" || { status=1; continue; }
        fi
        bash tools/debian-root.sh --arch "$deb" run --bind "$PWD" -- env \
            PYTHONS="/usr/bin/python$want" RUN_VENVS=".venvs/sid-$deb" \
            ${emulated:+RUN_EMULATED=1} \
            ${emulated:+QUAYMARK_TEST_SCAN_DRIVER="$PWD/build/scan-driver/$arch-cp${want/./}"} \
            ${WHEELHOUSE:+WHEELHOUSE="$WHEELHOUSE"} ${CI:+CI="$CI"} \
            bash tests/run.sh "${args[@]}" || status=1
        continue
    else
        echo "=== CPython $want, $arch: no interpreter here, skipped"
        continue
    fi
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    venv="$venvs/$version"
    echo "=== CPython $version ($python, $(uname -m))"
    start=$SECONDS
    # The example pipeline's own tools and the packages its jobs install, served to them from
    # an index on 127.0.0.1 (see tests/test_ci_example.py); its jobs run on this interpreter.
    # A run of named test files that leave that test out goes without them.
    export QUAYMARK_CI_EXAMPLE_TOOLS="$PWD/$venvs/ci-tools/bin"
    export QUAYMARK_CI_EXAMPLE_PACKAGES="$PWD/build/ci-example-packages-$version"
    ci_example=1
    if [ $# -gt 0 ] && printf '%s\n' "$@" | grep -q '^tests/.' \
            && ! printf '%s\n' "$@" | grep -q -e ci_example -e '^tests/*$'; then
        ci_example=""
    fi
    if [ -z "${RUN_EMULATED:-}" ] && [ -n "$ci_example" ]; then
        bash tests/ci_example_setup.sh "$python"
    fi
    if [ -z "${RUN_EMULATED:-}" ]; then bash tests/make-venv.sh "$python" "$venv"; fi
    if [ -n "${WHEELHOUSE:-}" ]; then
        tag="cp${version/./}"
        wheel="$(ls "$WHEELHOUSE"/quaymark-*-"$tag"-"$tag"-*manylinux*_"$(uname -m)".whl | tail -n 1)"
        # No compiler can be reached: the install must not build anything.
        if env -i PATH="$PWD/$venv/bin" /bin/sh -c 'command -v cc || command -v c++ || command -v gcc'
        then echo "a compiler is on the install PATH" >&2; exit 1; fi
        env -u CC -u CXX PATH="$PWD/$venv/bin" "$venv/bin/python" -m pip install -q \
            --disable-pip-version-check --only-binary :all: "$wheel"
        export QUAYMARK_WHEELHOUSE="$PWD/$WHEELHOUSE"
    else
        "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            -Ccmake.define.QUAYMARK_WERROR=ON \
            -Cbuild-dir="build/ci-$(uname -m)-$version$($inside_root && echo -sid)" .
    fi
    echo "=== CPython $version: environment ready in $((SECONDS - start)) s"
    # The tests run the console scripts and `python`, `pip`, `twine` of this environment.
    if ! PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest "$@"; then
        status=1
    fi
    echo "=== CPython $version ($(uname -m)): $((SECONDS - start)) s"
done
exit $status
