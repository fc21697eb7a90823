#!/usr/bin/env bash
# Network benchmarks: the real patcher and its module engine against curl and
# openssl across a relay that adds an 80 ms round trip, and on loopback
# (bench/network_bench.py says what each part measures). Builds what it
# needs, serves signed repositories from its own nginx servers over TLS,
# prints one table of figures, ratios and goals, then stops everything and
# removes its work folder. Not a test: run it by hand, on a quiet machine.
#
#   bash scripts/bench-network.sh [--keep] [FOLDER]    (default folder: /tmp)
#
# --keep leaves the work folder (sandboxes, logs, servers' logs) in place.
# KANADE_BENCH_RUNS (default 3), KANADE_BENCH_ONLY=latency,current,loopback,
# large,compression,scaling,narrow and the other settings in bench/network_bench.py
# narrow or repeat it; KANADE_BUILD_DIR picks the build folder (build).
# KANADE_BENCH_ONLY=wine times kanade.exe under Wine against the Linux build
# (build kanade.exe with scripts/build-windows.sh first).
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "bench-network: $*" >&2; exit 2; }
keep=0
if [ "${1:-}" = --keep ]; then keep=1; shift; fi
[ $# -le 1 ] || die "usage: bench-network.sh [--keep] [FOLDER]"
folder=${1:-/tmp}
[ -d "$folder" ] || die "$folder is not a folder"
build=${KANADE_BUILD_DIR:-build}

for tool in curl openssl sha256sum gzip nginx Xvfb cmake; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    die "$tool is missing (bash scripts/install-deps.sh installs it)"
done
[ -x /usr/bin/python3 ] || die "/usr/bin/python3 is missing (bash scripts/install-deps.sh)"

# A build that trusts the benchmark's own publisher key.
keys=$(bash scripts/test-keys.sh "$build")
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKANADE_PUBLISHER_KEYS="$keys" \
  >/dev/null || die "cmake failed"
cmake --build "$build" -j2 --target kanade kanade-repo bench_module_apply bench_large_module \
  >/dev/null || die "the build failed"

work=$(mktemp -d "$folder/kanade-bench-network.XXXXXX")
cleanup() {
  # network_bench.py stops what it started; this covers a kill.
  for state in "$work"/servers/*; do
    [ -d "$state" ] && bash scripts/repo-server.sh stop "$state" 2>/dev/null
  done
  if [ "$keep" = 1 ]; then
    echo "bench-network: work folder kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

status=0
KANADE_SECRET_KEY=${KANADE_SECRET_KEY:-${keys%.pub}} \
  /usr/bin/python3 bench/network_bench.py "$build" "$work" || status=$?
# A failure names the sandbox to look at: keep it.
[ "$status" = 0 ] || keep=1
exit "$status"
