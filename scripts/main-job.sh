#!/usr/bin/env bash
# Builds the program and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"
build/native/app/cli/ombrix-fwupdate "$@"
