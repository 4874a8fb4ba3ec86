#!/bin/sh
# Runs toxiproxy_client.js against the program's control API: the node client is installed into
# the build tree the first time, the program listens on ports the system picks on loopback.
# Arguments: the program, the build folder.
set -eu
program=$1
modules=$2/node
here=$(dirname "$0")
if [ ! -d "$modules/node_modules/toxiproxy-node-client" ]; then
    command -v npm >/dev/null || { echo "npm is missing: run tools/install-deps.sh" >&2; exit 1; }
    npm install --prefix "$modules" --no-audit --no-fund --silent toxiproxy-node-client@4 >&2
fi
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$program" --headless --tcp --port 0 --settings "$work/settings.ini" --control 127.0.0.1:0 \
    >/dev/null 2>"$work/err" &
pid=$!
said="control API requests on 127.0.0.1:"
tries=0
until grep -q "$said" "$work/err" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 "$pid" 2>/dev/null; then
        cat "$work/err" >&2
        exit 1
    fi
    sleep 0.1
done
port=$(sed -n "s/.*$said\([0-9]*\).*/\1/p" "$work/err" | head -n 1)
NODE_PATH="$modules/node_modules" node "$here/toxiproxy_client.js" "http://127.0.0.1:$port"
