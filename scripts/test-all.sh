#!/usr/bin/env bash
# Builds and runs the whole test suite: native, sanitizers, and the Windows
# build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh

jobs=$(nproc)
status=0

run_preset() {
    local preset=$1
    shift
    echo "== $preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    echo "== $preset: test"
    "$@" ctest --preset "$preset" -j"$jobs" --timeout 1800
}

# The fault campaign: 500 seeded schedules natively, 200 elsewhere.
OMBRIX_CAMPAIGN_SCHEDULES=500 run_preset native || status=1
run_preset asan || status=1

# One Wine prefix for the whole run, created before the first test: a prefix
# interrupted while it is being created is broken and is made anew.
export WINEPREFIX="$PWD/build/wine-prefix"
export WINEDEBUG=-all
if [[ ! -f "$WINEPREFIX/.ombrix-ready" ]]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.ombrix-ready"
fi
# Window tests need a display.
run_preset mingw xvfb-run -a || status=1
wineserver -k 2>/dev/null || true

echo "== packages: install, .deb and ZIP"
scripts/check-packages.sh || status=1

echo "== fuzz: smoke runs"
scripts/fuzz-smoke.sh || status=1

if ((status == 0)); then
    echo "All test presets passed."
else
    echo "Some test presets failed." >&2
fi
exit $status
