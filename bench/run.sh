#!/usr/bin/env bash
# Runs every benchmark in order and ends with one line: the figures that missed their targets,
# or "All targets met". Usage: bench/run.sh <build folder>   (SENDREL_SOAK_CYCLES sets the soak)
set -u
export LC_ALL=C
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

build="${1:-build-bench}"
bench="$build/sendrel_bench"
if [[ ! -x "$bench" ]]; then
    echo "no benchmark executable at $bench"
    exit 1
fi

output="$(mktemp)"
trap 'rm -f "$output"' EXIT
failed=()

for benchmark in flood hexflood linefree udp udp_headless roundtrip soak backlog accessibility respond headless repeat sendfile sequence relay faults tls_flood tls_handshakes dtls_rate; do
    # A generous bound per benchmark; each stops by itself well before it.
    limit=900
    [[ $benchmark == soak ]] && limit=$((120 + ${SENDREL_SOAK_CYCLES:-10000} / 2))
    command=("$bench" "$benchmark")
    # Runs on a virtual display with its own session and accessibility buses.
    [[ $benchmark == accessibility ]] && command=(bash "$(dirname "$0")/accessibility.sh" "$bench")
    timeout --kill-after=10 "$limit" "${command[@]}" 2>&1 | tee -a "$output"
    status=${PIPESTATUS[0]}
    if [[ $status -ne 0 ]]; then
        echo "  [MISSED] $benchmark: ended with status $status" | tee -a "$output"
        failed+=("$benchmark")
    fi
    echo
done

missed="$(sed -n 's/^ *\[MISSED\] //p' "$output" | paste -sd ';' - | sed 's/;/; /g')"
if [[ -z "$missed" ]]; then
    echo "All targets met"
else
    echo "Targets missed: $missed"
fi
