#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build: the accessibility benchmark's session bus,
# accessibility bus and client (Python with the AT-SPI bindings) and its virtual display tools.
set -euo pipefail
exec bash "$(dirname "$0")/../tools/install-deps.sh" \
    dbus dbus-bin at-spi2-core python3 python3-pyatspi gir1.2-atspi-2.0 xvfb xauth x11-utils
