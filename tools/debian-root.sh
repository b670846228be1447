#!/usr/bin/env bash
# A Debian sid root for one architecture, with the CPythons that the host may lack (3.13, 3.14,
# 3.15, each with its headers and venv; the amd64 root also with g++ and git): where the wheels
# of those versions are built and tried and the suite runs on them, without containers. Run as
# root.
#   bash tools/debian-root.sh [--arch amd64|arm64] [--dir DIR]          # make it, or reuse it
#   bash tools/debian-root.sh [--arch ...] [--dir DIR] run [--bind PATH]... [--] CMD [ARG]...
#   bash tools/debian-root.sh [--arch ...] [--dir DIR] remove
# DIR defaults to $QUAYMARK_ROOTS/sid-ARCH (QUAYMARK_ROOTS: /var/lib/quaymark-roots), kept from
# run to run; ARCH to the host's.
# `run` starts CMD inside the root with a clean environment, in a mount namespace of its own:
# /proc, /dev, a fresh /tmp and each PATH (at the same path) are mounted there for CMD alone and
# go with it, so no mount outlives a run. CMD starts in the current directory when a PATH is
# bound, else in /. An arm64 root on an x86_64 host runs under qemu-user (qemu-user-static and
# binfmt-support are installed then); its interpreters compile each module of their library
# when it is first imported, not all of them when they are installed.
# The mirror is the Debian one of this host's apt sources; QUAYMARK_DEBIAN_MIRROR overrides it.
set -euo pipefail

host_arch="$(dpkg --print-architecture 2>/dev/null || echo amd64)"
arch="$host_arch"
dir=""
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch="$2"; shift 2 ;;
        --arch=*) arch="${1#*=}"; shift ;;
        --dir) dir="$2"; shift 2 ;;
        --dir=*) dir="${1#*=}"; shift ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) break ;;
    esac
done
case "$arch" in
    x86_64) arch=amd64 ;;
    aarch64) arch=arm64 ;;
    amd64|arm64) ;;
    *) echo "debian-root: unknown architecture $arch (amd64 or arm64)" >&2; exit 2 ;;
esac
root="${dir:-${QUAYMARK_ROOTS:-/var/lib/quaymark-roots}/sid-$arch}"
command="${1:-make}"
[ $# -gt 0 ] && shift

# What the root holds; a root made with another list is made anew. The amd64 root builds from
# source; the arm64 one only runs wheels (cross-compiled on the host against its headers) and
# needs no compiler: binutils is for the tests that read the modules' symbols.
PYTHONS="python3.13 python3.13-dev python3.13-venv python3.14 python3.14-dev python3.14-venv
python3.15 python3.15-dev python3.15-venv"
case "$arch" in
    amd64) PACKAGES="$PYTHONS g++ make git ca-certificates" ;;
    arm64) PACKAGES="$PYTHONS binutils ca-certificates" ;;
esac
stamp="$root/etc/quaymark-root"
# The host's CA bundle, which pip inside the root trusts too (the host may reach PyPI only
# through a proxy that its own bundle vouches for).
host_ca="${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}"
root_ca="/etc/ssl/host-ca.pem"

say() { echo "debian-root: $*" >&2; }

# Runs CMD in the root with /proc, /dev, /tmp and the bound paths mounted for it alone.
in_root() {
    local binds=() path
    while [ $# -gt 0 ]; do
        case "$1" in
            --bind) binds+=("$(cd "$2" && pwd -P)"); shift 2 ;;
            --) shift; break ;;
            *) break ;;
        esac
    done
    [ $# -gt 0 ] || { say "run: no command"; return 2; }
    local mounts="mount -t proc proc \"\$R/proc\" && mount --rbind /dev \"\$R/dev\""
    mounts="$mounts && mount -t tmpfs -o mode=1777 tmpfs \"\$R/tmp\""
    for path in "${binds[@]}"; do
        mkdir -p "$root$path"
        mounts="$mounts && mount --rbind '$path' \"\$R$path\""
    done
    local cwd="/"
    [ "${#binds[@]}" -gt 0 ] && cwd="$(pwd -P)"
    local pip_env=()
    [ -s "$root$root_ca" ] && pip_env=(PIP_CERT="$root_ca" SSL_CERT_FILE="$root_ca"
                                      REQUESTS_CA_BUNDLE="$root_ca")
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    # shellcheck disable=SC2016
    local enter='cwd="$1"; shift; exec chroot "$R" /bin/sh -c '"'"'cd "$0" && exec "$@"'"'"' "$cwd" "$@"'
    R="$root" unshare --mount --propagation private -- /bin/sh -c "$mounts && $enter" sh \
        "$cwd" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive "${pip_env[@]}" \
        ${CI:+CI="$CI"} "$@"
}

mirror() {
    if [ -n "${QUAYMARK_DEBIAN_MIRROR:-}" ]; then echo "$QUAYMARK_DEBIAN_MIRROR"; return; fi
    local found
    found="$( { sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null
                sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list \
                    /etc/apt/sources.list.d/*.list 2>/dev/null; } | tr ' ' '\n' \
              | grep -E '/debian/?$' | head -n 1 || true)"
    echo "${found:-http://deb.debian.org/debian}"
}

apt_install() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    say "installing ${missing[*]} on the host"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# qemu-user for arm64 roots on another architecture, registered with the kernel.
foreign_ready() {
    [ "$arch" = "$host_arch" ] && return
    apt_install qemu-user-static binfmt-support
    if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
        update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
        update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
    fi
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || { say "qemu-aarch64 is not registered"; exit 1; }
}

# Unmounts whatever is still mounted below the root (a run killed before its namespace went
# leaves nothing, but a hand-made mount may), then removes it. rm -rf through a bound /dev
# would delete the host's device nodes.
remove_root() {
    local target
    [ -e "$root" ] || return 0
    while read -r target; do
        umount -l "$target" 2>/dev/null || true
    done < <(findmnt -rn -o TARGET | grep -F "$root/" | sort -r)
    if findmnt -rn -o TARGET | grep -qF "$root/"; then
        say "$root still has mounts below it; not removing it"; exit 1
    fi
    rm -rf --one-file-system "$root"
}

# Installs the packages named as arguments, inside the root. Each interpreter byte-compiles its
# whole library as it is installed, which under emulation is most of the time a foreign root
# takes: for the versions in NO_COMPILE, the packages' scripts find a stand-in interpreter that
# skips that, and each module is compiled when it is first imported instead.
INSTALL="$(cat <<'SCRIPT'
set -e
for version in $NO_COMPILE; do
    python=/usr/bin/python$version
    dpkg-divert --quiet --local --rename --divert "$python.installed" --add "$python"
    cat > "$python" <<EOF
#!/bin/sh
for arg; do case "\$arg" in */py_compile.py) exit 0 ;; esac; done
exec $python.installed "\$@"
EOF
    chmod 755 "$python"
done
apt-get update -qq
apt-get install -y -qq "$@" >/dev/null
for version in $NO_COMPILE; do
    rm -f "/usr/bin/python$version"
    dpkg-divert --quiet --local --rename --remove "/usr/bin/python$version"
done
SCRIPT
)"

make_root() {
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$PACKAGES" ]; then
        foreign_ready
        return
    fi
    local start=$SECONDS
    foreign_ready
    apt_install debootstrap
    if [ -e "$root" ]; then say "removing the unfinished or outdated root $root"; remove_root; fi
    mkdir -p "$(dirname "$root")"
    say "debootstrap sid $arch into $root from $(mirror)"
    # In two stages: the packages are fetched and unpacked by the host, then installed inside
    # the root (under emulation for a foreign one), by a dpkg that syncs no file to disk: a
    # root that breaks off is made anew anyway. The second stage's mounts go with its
    # namespace.
    local log="$root.debootstrap.log"
    if ! debootstrap --foreign --variant=minbase --include=ca-certificates --arch="$arch" sid \
            "$root" "$(mirror)" > "$log" 2>&1; then
        tail -n 30 "$log" >&2; say "debootstrap failed (log: $log)"; exit 1
    fi
    say "debootstrap's first stage done in $((SECONDS - start)) s"
    echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/99quaymark-unsafe-io"
    if ! unshare --mount --propagation private -- \
            chroot "$root" /debootstrap/debootstrap --second-stage >> "$log" 2>&1; then
        tail -n 30 "$log" >&2; say "debootstrap's second stage failed (log: $log)"; exit 1
    fi
    say "debootstrap done in $((SECONDS - start)) s"
    # The mirror may serve a snapshot whose Release file has expired.
    printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' \
        > "$root/etc/apt/apt.conf.d/99quaymark-snapshot"
    printf 'APT::Install-Recommends "false";\n' > "$root/etc/apt/apt.conf.d/99quaymark-norecommends"
    if [ -s "$host_ca" ]; then cp -L "$host_ca" "$root$root_ca"; fi
    local step=$SECONDS no_compile="" package
    if [ "$arch" != "$host_arch" ]; then
        for package in $PACKAGES; do
            case "$package" in python3.*-*) ;; python3.*) no_compile="$no_compile ${package#python}" ;; esac
        done
    fi
    # shellcheck disable=SC2086
    in_root -- env NO_COMPILE="$no_compile" sh -c "$INSTALL" sh $PACKAGES
    in_root -- apt-get clean
    say "packages installed in $((SECONDS - step)) s"
    echo "$PACKAGES" > "$stamp"
    rm -f "$root.debootstrap.log"
    say "root $root ready in $((SECONDS - start)) s"
}

case "$command" in
    make) make_root; echo "$root" ;;
    run)
        if [ ! -f "$stamp" ]; then make_root >/dev/null; else foreign_ready; fi
        in_root "$@" ;;
    remove) remove_root ;;
    *) say "unknown command $command (make, run, remove)"; exit 2 ;;
esac
