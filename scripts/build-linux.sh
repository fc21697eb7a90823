#!/usr/bin/env bash
# Builds the Linux program as it is published: kanade, optimised (Release)
# and stripped, with its debug information beside it in kanade.debug. The
# same commit gives the same kanade wherever and whenever it is built
# (scripts/verify-build.sh checks it).
#
#   KANADE_LINUX_BUILD_DIR the build folder (build-release)
#   KANADE_JOBS            parallel compile jobs (all cores)
#   KANADE_PUBLISHER_KEYS  the publisher keys file compiled into the program
#                          (CMake's KANADE_PUBLISHER_KEYS; its default otherwise)
set -euo pipefail
# Files named in the environment are relative to where the script started.
caller=$(pwd)
cd "$(dirname "$0")/.."
tree=$(pwd)
build_dir=${KANADE_LINUX_BUILD_DIR:-build-release}
jobs=${KANADE_JOBS:-$(nproc)}

say() { echo "build-linux: $*" >&2; }
die() {
  say "$*"
  exit 1
}
. scripts/build-common.sh

bash scripts/install-deps.sh
export_source_date_epoch
set_publisher_keys_args
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKANADE_BUILD_TESTS=OFF \
  "${publisher_keys_args[@]}" >/dev/null
cmake --build "$build_dir" -j "$jobs" --target kanade
say "built $build_dir/kanade ($(stat -c %s "$build_dir/kanade") bytes)"
