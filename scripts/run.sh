#!/usr/bin/env bash
# Installs what is missing, builds the patcher and runs its main job in a
# sandbox: a local HTTPS server publishes demo repositories, and the patcher
# finds a demo game through a Steam-shaped home and installs the translation.
# With a display the player sees the window; without one it runs under Xvfb,
# takes the first run through to the ready message and saves screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

build=${KANADE_BUILD_DIR:-build}
# The demo publishes as a publisher of its own, whom this build trusts.
keys=$(bash scripts/test-keys.sh "$build")
export KANADE_SECRET_KEY=${keys%.pub}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKANADE_PUBLISHER_KEYS="$keys" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kanade kanade-repo

sandbox=${KANADE_DEMO_DIR:-$root/demo}
bash scripts/demo-sandbox.sh "$build" "$sandbox" >/dev/null
# shellcheck disable=SC1091
source "$sandbox/env.sh"
trap 'bash "$root/scripts/repo-server.sh" stop "$sandbox/server"' EXIT
cd "$KANADE_PROGRAM_FOLDER"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Kanade Patcher runs in $KANADE_PROGRAM_FOLDER against $KANADE_REPOSITORY_URL" >&2
  ./kanade || true
  echo "--- kanade.log" >&2
  cat kanade.log
  exit 0
fi

# Not exec: the trap above must still stop the server afterwards.
/usr/bin/python3 "$root/scripts/demo_headless.py" "$sandbox"
