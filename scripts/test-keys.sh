#!/usr/bin/env bash
# Makes, once, the publisher key pair that test, demo and benchmark builds
# trust instead of the official key, and prints the path of its public-key
# file; the secret key lies beside it without ".pub". Configure the build
# with -DKANADE_PUBLISHER_KEYS=<that path>.
#
#   test-keys.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 1 ] || { echo "test-keys: usage: test-keys.sh BUILD_DIR" >&2; exit 2; }
build=$1
keys=$build/test-keys/publisher
if [ ! -f "$keys" ] || [ ! -f "$keys.pub" ]; then
  rm -f "$keys" "$keys.pub"
  mkdir -p "$build/test-keys"
  # kanade-repo signs with whatever key it is given; the keys built into it
  # do not matter for keygen.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target kanade-repo -j "$(nproc)" >/dev/null
  "$build/tools/kanade-repo" keygen "$keys" >/dev/null
fi
echo "$(cd "$build/test-keys" && pwd)/publisher.pub"
