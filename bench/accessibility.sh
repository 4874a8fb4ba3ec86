#!/usr/bin/env bash
# Runs the accessibility benchmark as a screen reader would meet the program: a private session
# bus with its accessibility bus (at-spi-bus-launcher), a virtual X server, and the program's
# AT-SPI bridge switched on.
# usage: bench/accessibility.sh <benchmark executable> [MiB [--quiet]]
set -u
launcher=/usr/libexec/at-spi-bus-launcher
readonly no_display=75

if [[ "${1:-}" == --inside ]]; then
    # Inside the virtual display and the private session bus.
    bench="$2"
    shift 2
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
    xdpyinfo >/dev/null 2>&1 || exit $no_display
    runtime=$(mktemp -d "${TMPDIR:-/tmp}/sendrel-a11y.XXXXXX")
    "$launcher" --launch-immediately 2>/dev/null &
    launcher_pid=$!
    XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
        "$bench" accessibility "$@"
    status=$?
    # A display that went away under the program is no fault of the program.
    [[ $status -ne 0 ]] && ! xdpyinfo >/dev/null 2>&1 && status=$no_display
    kill "$launcher_pid" 2>/dev/null
    wait "$launcher_pid" 2>/dev/null
    rm -rf "$runtime"
    exit $status
fi

bench="$1"
shift
for tool in dbus-run-session xvfb-run xdpyinfo "$launcher" /usr/bin/python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "  [MISSED] accessibility: $tool is not installed (bench/install-deps.sh installs it)"
        exit 0
    fi
done
# Other programs may start virtual displays at the same moment: a display that cannot be
# reached is tried again under another number.
for _ in 1 2 3; do
    xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x900x24 -nolisten tcp" \
        dbus-run-session -- bash "$0" --inside "$bench" "$@" \
        2> >(grep -v -e 'Failed to set fd limit' -e 'SpiRegistry daemon is running' >&2)
    status=$?
    [[ $status -ne $no_display ]] && exit $status
done
echo "  [MISSED] accessibility: no virtual display could be reached"
exit 0
