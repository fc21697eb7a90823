#!/usr/bin/env bash
# Download benchmarks against nginx over TLS on 127.0.0.1 (a certificate
# authority made for the run, trusted through CURL_CA_BUNDLE):
#   A: 2,000 modules of 4 KiB applied into an empty folder against one curl
#      process over one connection, then applied again with everything
#      current against "sha256sum -c";
#   B: one module of 512 MiB against "curl -o /dev/null", with peak memory.
# Prints the ratios. Not a test: run it by hand.
#
#   bash scripts/bench-downloads.sh [FOLDER]     (default folder: /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."

folder=${1:-/tmp}
build=${KANADE_BUILD_DIR:-build}
modules=${KANADE_BENCH_MODULES:-2000}
large_mib=${KANADE_BENCH_LARGE_MIB:-512}

for tool in curl sha256sum openssl python3; do
  command -v "$tool" >/dev/null || { echo "bench-downloads: $tool is missing" >&2; exit 2; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_module_apply bench_large_module kanade-repo >/dev/null

work=$(mktemp -d "$folder/kanade-bench-downloads.XXXXXX")
cleanup() {
  bash scripts/repo-server.sh stop "$work/server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench-downloads: writing $modules modules of 4 KiB and one of $large_mib MiB" >&2
mkdir -p "$work/www/repos" "$work/www/small" "$work/www/large"
python3 - "$work/www/small" "$modules" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 20))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "m%05d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$work/www/large/large.bin"

base=$(bash scripts/repo-server.sh start "$work/server" "$work/www")
export CURL_CA_BUNDLE="$work/server/ca.pem"
"$build/tools/kanade-repo" build "$work/www/small" "$base/small" \
  -o "$work/www/repos/bench-modules.repo" >/dev/null
"$build/tools/kanade-repo" build "$work/www/large" "$base/large" \
  -o "$work/www/repos/bench-large.repo" >/dev/null
# Serve from the page cache, as a warm server would.
cat "$work/www/large/large.bin" >/dev/null

echo "== A: $modules modules of 4 KiB over TLS"
"$build/bench/bench_module_apply" "$base/repos/bench-modules.repo" "$work/a"
echo "== B: one module of $large_mib MiB over TLS"
rm -rf "$work/a"
"$build/bench/bench_large_module" "$base/repos/bench-large.repo" "$work/b"
