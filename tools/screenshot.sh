#!/usr/bin/env bash
# Writes docs/screenshot-full.png (the window in its full layout) and docs/screenshot-hex.png
# (listening on loopback, what a local peer sent shown as hex dumps with time stamps), drawn
# under a virtual X server from throwaway program folders and home, so no real settings are
# read or written.
# usage: tools/screenshot.sh [BUILD-DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

bash tools/install-deps.sh
[ -f "$build/build.ninja" ] ||
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target sendrel_screenshot

work=$(mktemp -d "${TMPDIR:-/tmp}/sendrel-screenshot.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/sendrel" docs
chmod 700 "$work/home"

shoot() {
    local output=$1
    shift
    rm -rf "$work/sendrel"
    mkdir -p "$work/sendrel"
    HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
        XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/home" QT_QPA_PLATFORM=xcb \
        xvfb-run -a -s "-screen 0 1024x900x24 -nolisten tcp" \
        "$build/sendrel_screenshot" "$@" "$work/sendrel" "$output"
    echo "wrote $output"
}
shoot docs/screenshot-full.png
shoot docs/screenshot-hex.png --hex
