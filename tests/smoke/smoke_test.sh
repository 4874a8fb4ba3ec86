#!/usr/bin/env bash
# End-to-end start and close of the real program under a virtual X server.
# usage: smoke_test.sh PROGRAM WM-CLOSE-HELPER
# The program runs from a throwaway copy of its folder, so its settings file lands there and
# nothing of the caller's own settings is read or written.
set -uo pipefail

readonly SKIP=77

if [ "${1:-}" != "--inside" ]; then
    if ! command -v xvfb-run >/dev/null 2>&1; then
        echo "SKIP: xvfb-run is not installed"
        exit $SKIP
    fi
    exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" --inside "$@"
fi
shift

program=$(realpath "$1")
closer=$(realpath "$2")

work=$(mktemp -d "${TMPDIR:-/tmp}/sendrel-smoke.XXXXXX")
pid=""
cleanup()
{
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail()
{
    echo "FAIL: $*"
    exit 1
}

mkdir -p "$work/program" "$work/home"
cp "$program" "$work/program/sendrel"

# A real window system this time, and a private home so no per-user file is touched.
export QT_QPA_PLATFORM=xcb
export HOME="$work/home"
export XDG_CONFIG_HOME="$work/home/.config"
export XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$work/runtime"

"$work/program/sendrel" >"$work/output.txt" 2>&1 &
pid=$!

# The sanitizer build starts slowly, hence the generous bounds; each loop ends early on success.
window=""
for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || { cat "$work/output.txt"; fail "the program ended before its window showed"; }
    # Qt also names its hidden client-leader window after the program: take the one on screen.
    for candidate in $(xwininfo -root -tree 2>/dev/null | awk '/"KVX Sendrel/ { print $1 }'); do
        if xwininfo -id "$candidate" 2>/dev/null | grep -q "Map State: IsViewable"; then
            window=$candidate
        fi
    done
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { cat "$work/output.txt"; fail "no window titled KVX Sendrel appeared"; }
echo "window $window: $(xwininfo -id "$window" | awk -F'"' '/xwininfo:/ { print $2 }')"

"$closer" "$window" || fail "could not ask the window to close"

for _ in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    cat "$work/output.txt"
    fail "the program did not end after its window was closed"
fi
wait "$pid"
status=$?
pid=""
cat "$work/output.txt"
[ "$status" -eq 0 ] || fail "the program ended with status $status"

settings="$work/program/Sendrel_Settings.ini"
[ -f "$settings" ] || fail "no Sendrel_Settings.ini next to the program"
if find "$work/home" -name Sendrel_Settings.ini | grep -q .; then
    fail "settings were written to the per-user folder although the program folder is writable"
fi

expected=(
    "[Settings]"
    "Port=7000"
    "TcpUdpMode=0"
    "CreateLog=0"
    "ReceiveMode=0"
    "LogPath=$work/program/Sendrel_Logs/"
    "EnableAutoRespond=0"
    "WatchString0="
    "ResponseString0="
    "WatchString6="
    "ResponseString6="
)
missing=0
for line in "${expected[@]}"; do
    tr -d '\r' <"$settings" | grep -qxF -- "$line" || { echo "missing line: $line"; missing=1; }
done
if [ "$missing" -ne 0 ]; then
    echo "--- $settings"
    cat "$settings"
    fail "the settings file lacks expected values"
fi
echo "PASS: window closed, status 0, settings written beside the program"
