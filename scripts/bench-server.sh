#!/usr/bin/env bash
# What a player's run costs the origin: publishes a realistic release with
# kanade-repo publish (three modes of 300 modules), serves it with the
# project's nginx site template and drives it with h2load, each client a new
# TLS connection making the requests of one run; prints one table of players
# per second, bytes per player (first run, one module updated, nothing new
# with and without conditional requests) and nginx's CPU per thousand players
# (bench/server_bench.py says how each is measured). Not a test: run it by
# hand, on a quiet machine; it installs h2load (nghttp2-client) if missing.
#
#   bash scripts/bench-server.sh [--keep] [--edge] [FOLDER]  (default folder: /tmp)
#
# --keep leaves the work folder (trees, served folder, the servers' logs).
# --edge measures instead what reaches the origin when players come through
# each cache (the nginx edge, Varnish and Squid with the project's
# configurations), against players straight to it.
# KANADE_BENCH_RUNS (3), KANADE_BENCH_PLAYERS (2000), KANADE_BENCH_FIRST_PLAYERS
# (100) and KANADE_BENCH_SAMPLE_PLAYERS (50) size it; KANADE_BENCH_CACHES
# (nginx,varnish,squid) picks the caches; KANADE_BUILD_DIR picks the build
# folder (build).
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "bench-server: $*" >&2; exit 2; }
keep=0
edge=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1; shift ;;
    --edge) edge=(--edge); shift ;;
    *) break ;;
  esac
done
[ $# -le 1 ] || die "usage: bench-server.sh [--keep] [--edge] [FOLDER]"
folder=${1:-/tmp}
[ -d "$folder" ] || die "$folder is not a folder"
build=${KANADE_BUILD_DIR:-build}

if ! command -v h2load >/dev/null; then
  [ "$(id -u)" -eq 0 ] && SUDO= || SUDO=sudo
  echo "bench-server: installing nghttp2-client (h2load)" >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    nghttp2-client >/dev/null || die "cannot install nghttp2-client"
fi
tools=(curl openssl nginx cmake)
[ ${#edge[@]} -eq 0 ] || tools+=(varnishd hitch squid)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    die "$tool is missing (bash scripts/install-deps.sh installs it)"
done
[ -x /usr/bin/python3 ] || die "/usr/bin/python3 is missing (bash scripts/install-deps.sh)"

keys=$(bash scripts/test-keys.sh "$build")
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKANADE_PUBLISHER_KEYS="$keys" \
  >/dev/null || die "cmake failed"
cmake --build "$build" -j2 --target kanade-repo >/dev/null || die "the build failed"

# Thousands of players at once need as many sockets.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 8192 ] ||
  die "open files are limited to $(ulimit -n); raise the hard limit (ulimit -Hn)"

work=$(mktemp -d "$folder/kanade-bench-server.XXXXXX")
cleanup() {
  for state in "$work"/server-*; do
    [ -d "$state" ] && bash scripts/repo-server.sh stop "$state" 2>/dev/null
  done
  if [ "$keep" = 1 ]; then
    echo "bench-server: work folder kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

KANADE_SECRET_KEY=${KANADE_SECRET_KEY:-${keys%.pub}} \
  /usr/bin/python3 bench/server_bench.py "${edge[@]}" "$build" "$work"
