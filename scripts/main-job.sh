#!/usr/bin/env bash
# Builds the program and runs its main job: a full Program of a simulated
# instrument holding an older image set. Extra arguments go to the program
# (for example: verify --simulate=current, or --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target ombrix-fwupdate
if (($# == 0)); then
    set -- program --simulate=outdated
fi
exec build/native/cli/ombrix-fwupdate "$@"
