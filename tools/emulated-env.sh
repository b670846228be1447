#!/usr/bin/env bash
# A virtual environment of an interpreter that runs under emulation (the arm64 sid root on an
# x86_64 host), made without running pip under emulation where it is slow: the environment is
# made without pip in the root of ARCH, and pip with the packages asked for is installed into
# it by the amd64 root's interpreter of the same version, for the target's platform (wheels
# only). The environment's own pip then has only the package under test left to install.
#   bash tools/emulated-env.sh ARCH VERSION VENV [PIP INSTALL ARGUMENTS]...
#   bash tools/emulated-env.sh aarch64 3.15 .venvs/sid-arm64/3.15 click -r tests/requirements.txt
# VENV is a path inside the checkout, which both roots see at the same place.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="$1" version="$2" venv="$3"
shift 3
case "$arch" in aarch64) deb=arm64 ;; x86_64) deb=amd64 ;; *) echo "unknown architecture $arch" >&2; exit 2 ;; esac
native=".venvs/sid-amd64/native-$version"
platforms=()
for minor in $(seq 17 43); do platforms+=(--platform "manylinux_2_${minor}_$arch"); done
rm -rf "$venv"
bash tools/debian-root.sh --arch "$deb" run --bind "$PWD" -- \
    "python$version" -m venv --without-pip "$venv"
# shellcheck disable=SC2016
bash tools/debian-root.sh --arch amd64 run --bind "$PWD" -- bash -c '
    set -e
    [ -x "$1/bin/pip" ] || "python$2" -m venv "$1"
    "$1/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
        --target "$3/lib/python$2/site-packages" --python-version "$2" \
        --implementation cp --abi "cp${2/./}" "${@:4}"
    # console scripts written there would start the amd64 interpreter
    rm -rf "$3/lib/python$2/site-packages/bin"' \
    sh "$native" "$version" "$venv" "${platforms[@]}" --platform "linux_$arch" pip "$@"
