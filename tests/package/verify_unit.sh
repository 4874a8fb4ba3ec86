#!/usr/bin/env bash
# The service unit as installed: `systemd-analyze verify` on sendrel@7000 in a throwaway root that
# holds what `cmake --install --prefix /usr` puts there (the program, the manual page the unit
# names, the example settings) beside this machine's own units, which the template needs.
# Any complaint fails the test, warnings included: systemd only warns about a misspelt key.
# usage: verify_unit.sh CMAKE BUILD-FOLDER
set -uo pipefail

readonly SKIP=77
cmake=$1
build=$2

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is not installed"
    exit $SKIP
fi
units=/usr/lib/systemd/system
if [ ! -f "$units/sysinit.target" ]; then
    echo "SKIP: no systemd units in $units to verify against"
    exit $SKIP
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/sendrel-unit.XXXXXX")
trap 'rm -rf "$root"' EXIT

fail()
{
    echo "FAIL: $*"
    exit 1
}

unit=$(dirname "$0")/../../packaging/sendrel@.service
for key in MemoryMax TasksMax; do
    grep -q "^$key=" "$unit" || fail "the unit sets no $key="
done

DESTDIR=$root "$cmake" --install "$build" --prefix /usr >/dev/null || fail "cmake --install failed"
for file in usr/bin/sendrel usr/lib/systemd/system/sendrel@.service etc/sendrel/example.ini; do
    [ -f "$root/$file" ] || fail "/$file is not installed"
done
cp -rn "$units/." "$root/usr/lib/systemd/system/"

# The unit's Documentation= is looked up with man(1), which finds the page through MANPATH.
output=$(MANPATH=$root/usr/share/man \
    systemd-analyze verify --root="$root" sendrel@7000.service 2>&1)
status=$?
[ $status -eq 0 ] && [ -z "$output" ] || fail "systemd-analyze verify (exit $status): $output"
echo "PASS: sendrel@7000.service verifies"
