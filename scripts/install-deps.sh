#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, and only those that are missing,
# so a second run costs a dpkg query and nothing more.
#   scripts/install-deps.sh [--tests] [--list]
#     --tests  the test packages too
#     --list   prints the packages, one a line, and installs nothing (scripts/check-deps.sh
#              reads the list here, so this list is the only one)
set -euo pipefail

tests=0
list=0
for arg in "$@"; do
    case $arg in
    --tests) tests=1 ;;
    --list) list=1 ;;
    *) sed -n '4,7p' "$0" >&2; exit 2 ;;
    esac
done

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    zlib1g-dev libminiupnpc-dev
    # The images compiled into the program: its icons and the country flags.
    tango-icon-theme famfamfam-flag-png
    # The search benchmark's baseline, SQLite's full-text index; only that benchmark links it.
    libsqlite3-dev
)
if [ "$tests" = 1 ]; then
    # lame encodes the real MP3 files the scanner's tests and benchmark read; the UPnP tests run
    # a real gateway (miniupnpd) in network namespaces of their own. The install test validates
    # the desktop entry; the system check runs the program on a virtual X display, in a
    # namespace whose hosts file it mounts over the machine's. scripts/fuzz.sh builds with clang
    # and links libFuzzer, which clang's package leaves out. The page screenshots show peers'
    # Chinese and Japanese names, which the default fonts draw as empty boxes.
    packages+=(clang libclang-rt-14-dev lame miniupnpd-nftables miniupnpc nftables iproute2 mount
        desktop-file-utils xvfb qt6-qpa-plugins fonts-wqy-microhei)
fi

if [ "$list" = 1 ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    # The gateway daemon is for the tests' namespaces only: its package must not start it on
    # this machine's own network. policy-rc.d refuses every service start during the install.
    policy=/usr/sbin/policy-rc.d
    own_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
        "${sudo_cmd[@]}" chmod 755 "$policy"
        own_policy=1
    fi
    echo "miniupnpd miniupnpd/start_daemon boolean false" |
        "${sudo_cmd[@]}" debconf-set-selections 2>/dev/null || true
    status=0
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" || status=$?
    [ "$own_policy" = 0 ] || "${sudo_cmd[@]}" rm -f "$policy"
    exit "$status"
fi
