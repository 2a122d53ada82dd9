#!/usr/bin/env bash
# Builds the program and runs its main job: a full Program of a simulated
# instrument holding an older image set. Extra arguments go to the program
# (for example: verify --simulate=current, or --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh --program
cmake --preset program >/dev/null
cmake --build --preset program -j"$(nproc)" --target ombrix-fwupdate
if (($# == 0)); then
    set -- program --yes --simulate=outdated
fi
exec build/program/cli/ombrix-fwupdate "$@"
