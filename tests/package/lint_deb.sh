#!/usr/bin/env bash
# The .deb as `make package` builds it, checked by lintian: no error and no warning.
# usage: lint_deb.sh CPACK BUILD-FOLDER
set -uo pipefail

readonly SKIP=77
cpack=$1
build=$2

if ! command -v lintian >/dev/null 2>&1; then
    echo "SKIP: lintian is not installed"
    exit $SKIP
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/sendrel-deb.XXXXXX")
trap 'rm -rf "$out"' EXIT

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
}
deb=$(echo "$out"/sendrel_*.deb)
[ -f "$deb" ] || { echo "FAIL: no package in $out"; exit 1; }

# Lintian says it would rather not run as root; that note is no finding.
if ! lintian --fail-on error,warning "$deb" 2>/dev/null; then
    echo "FAIL: lintian finds fault with $(basename "$deb")"
    exit 1
fi
echo "PASS: lintian passes $(basename "$deb")"
