#!/usr/bin/env bash
# Runs every fuzzer for a while: run.sh <build dir> <seconds each>. Exits non-zero when one of
# them finds a crash, a failed property, a leak or an input that takes over a second.
set -u
build=${1:-build-fuzz}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
mkdir -p "$build/artifacts"
for name in profile port_number fault_line; do
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=1 -print_final_stats=1
             -artifact_prefix="$build/artifacts/$name-")
    [ -f "$here/$name.dict" ] && options+=(-dict="$here/$name.dict")
    echo "== ${name}_fuzzer for ${seconds}s"
    if ! "$build/${name}_fuzzer" "${options[@]}" "$corpus" "$here/corpus/$name"; then
        echo "fuzz: ${name}_fuzzer found a problem; the input is in $build/artifacts/" >&2
        status=1
    fi
done
exit $status
