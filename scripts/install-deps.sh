#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, and only those that are missing,
# so a second run costs a dpkg query and nothing more.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    zlib1g-dev libminiupnpc-dev
)
if [ "${1:-}" = "--tests" ]; then
    # lame encodes the real MP3 files the scanner's tests and benchmark read.
    packages+=(clang lame)
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
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
