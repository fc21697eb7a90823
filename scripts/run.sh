#!/usr/bin/env bash
# Installs what is missing, builds the patcher and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${KANADE_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target kanade kanade-repo
echo "Built $build/kanade. The window is not part of this build yet; nothing more to run." >&2
