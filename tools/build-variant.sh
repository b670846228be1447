#!/usr/bin/env bash
# Builds the four modules as one of their variants and runs tests against that build:
#   sanitize  AddressSanitizer and UndefinedBehaviorSanitizer; the sanitizer runtimes are
#             preloaded into the interpreter and so into every process the tests start
#             (command-line runs, the shell, the build and upload tools). Any sanitizer report
#             fails the run.
#   generic   every runtime shortcut off (QUAYMARK_SHORTCUTS=OFF): each operation takes the
#             interpreter's generic C-API path, the reference the shortcuts are held to.
#   bash tools/build-variant.sh sanitize                     # newest CPython found by pyenv
#   bash tools/build-variant.sh generic ~/.pyenv/versions/3.8.18/bin/python3.8 tests/test_differential.py
# After the variant: the interpreter, then arguments for pytest (the whole suite by default).
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:?sanitize or generic}"
shift
case "$variant" in
    sanitize) define="QUAYMARK_SANITIZE=ON"; tag="asan" ;;
    generic) define="QUAYMARK_SHORTCUTS=OFF"; tag="generic" ;;
    *) echo "unknown variant $variant (sanitize or generic)" >&2; exit 2 ;;
esac

newest_python() {
    local root newest
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    newest="$(ls -d "$root"/versions/3.* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' | sort -V \
              | tail -n 1 || true)"
    if [ -n "$newest" ]; then echo "$newest/bin/python3"; else command -v python3; fi
}

python="${1:-$(newest_python)}"
[ $# -gt 0 ] && shift
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
venv=".venvs/$tag-$version"
reports="$PWD/build/$tag-$version-reports"

preload=""
if [ "$variant" = sanitize ]; then
    asan="$(g++ -print-file-name=libasan.so)"
    ubsan="$(g++ -print-file-name=libubsan.so)"
    for runtime in "$asan" "$ubsan"; do
        if [ ! -e "$runtime" ]; then
            echo "sanitizer runtime $runtime not found (g++ with libasan and libubsan needed)" >&2
            exit 2
        fi
    done
    preload="$asan $ubsan"
    # ASan's interceptor of crypt() binds the real function when the runtime starts; CPython
    # 3.8's crypt module (which the package-index fixture imports through passlib) loads
    # libcrypt only later and would then call a null pointer. Preloading libcrypt puts it
    # there from the start.
    if ldconfig -p 2>/dev/null | grep -q 'libcrypt\.so\.1 '; then
        preload="$preload libcrypt.so.1"
    fi
fi

start=$SECONDS
echo "=== CPython $version ($python), $variant build"
rm -rf "$reports"
mkdir -p "$reports"
bash tests/make-venv.sh "$python" "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -Ccmake.define.$define -Cbuild-dir="build/$tag-$version" .
echo "=== built in $((SECONDS - start)) s; running the tests"

status=0
if [ "$variant" = sanitize ]; then
    # Leak detection is off: CPython keeps much of its own memory until the process ends
    # (interned strings, static types, module state) and the modules keep their interned names
    # on purpose, so LeakSanitizer would flag every process, including each tool the tests
    # run. Reference leaks are the business of tests/hardening/test_leaks.py.
    # PYTHONMALLOC=malloc sends Python objects through malloc, where ASan guards them. Reports
    # go to files, so that none is lost in a process whose output a test captures.
    LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    PATH="$PWD/$venv/bin:$PATH" \
        "$venv/bin/python" -m pytest "$@" || status=$?
else
    PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest "$@" || status=$?
fi

found="$(find "$reports" -type f | wc -l)"
if [ "$found" -gt 0 ]; then
    for report in "$reports"/*; do
        echo "--- $report"
        cat "$report"
    done
    status=1
fi
echo "=== $variant: sanitizer reports: $found; pytest status: $status; $((SECONDS - start)) s in all"
exit $status
