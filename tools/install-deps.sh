#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, when any is missing,
# and any further packages named as arguments. Qt HTTP Server's CMake files need the WebSockets
# ones, which its package does not pull in.
set -euo pipefail
packages=(
    cmake ninja-build g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    xvfb xauth x11-utils
    clang-14 libclang-rt-14-dev clang-format
    netcat-openbsd iproute2
    dpkg-dev file
    systemd man-db groff-base lintian
    libxcb1-dev
    libpcre2-dev
    libssl-dev openssl socat curl tshark
    qt6-httpserver-dev qt6-websockets-dev
    qt6-declarative-dev
    "$@"
)
# Node's own packages bring npm with them; Debian's comes apart and conflicts with them.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
