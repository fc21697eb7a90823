#!/usr/bin/env bash
# Compares Sha256OfFile with "openssl dgst -sha256" and "sha256sum" on a 1 GiB
# file read from the page cache. Prints the times (best of 3 runs each) and
# the ratios ours/openssl and ours/sha256sum; at most 1.0 against openssl is
# the goal. Not a test: run it by hand.
#
#   bash scripts/bench-sha256.sh [FOLDER]     (default folder: /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."

folder=${1:-/tmp}
build=${KANADE_BUILD_DIR:-build}
runs=3

if [ ! -d "$folder" ]; then
  echo "bench-sha256: $folder is not a folder" >&2
  exit 2
fi
for tool in openssl sha256sum; do
  command -v "$tool" >/dev/null || { echo "bench-sha256: $tool is missing" >&2; exit 2; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bench_sha256_file >/dev/null
ours="$build/bench/bench_sha256_file"

file=$(mktemp "$folder/kanade-bench-sha256.XXXXXX")
trap 'rm -f "$file"' EXIT
echo "bench-sha256: writing 1 GiB to $file" >&2
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$file"
# Warm the page cache so that every tool reads from memory.
cat "$file" >/dev/null
cat "$file" >/dev/null

now_ns() { date +%s%N; }

# best_time VAR DIGEST_VAR command...: the shortest wall time of $runs runs
# and the digest (first word of the output).
best_time() {
  local -n best=$1 digest=$2
  shift 2
  best=
  local i start end elapsed output
  for ((i = 0; i < runs; i++)); do
    start=$(now_ns)
    output=$("$@" 2>/dev/null)
    end=$(now_ns)
    elapsed=$((end - start))
    if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
  done
  digest=${output##*= }  # openssl: "SHA2-256(file)= digest"
  digest=${digest%% *}   # sha256sum and ours: "digest  file"
}

best_time t_ours d_ours "$ours" "$file"
best_time t_openssl d_openssl openssl dgst -sha256 "$file"
best_time t_sum d_sum sha256sum "$file"

if [ "$d_ours" != "$d_openssl" ] || [ "$d_ours" != "$d_sum" ]; then
  echo "bench-sha256: digests differ: ours $d_ours, openssl $d_openssl, sha256sum $d_sum" >&2
  exit 1
fi

seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
echo "digest             $d_ours (all three agree)"
echo "Sha256OfFile       $(seconds "$t_ours") s"
echo "openssl dgst       $(seconds "$t_openssl") s"
echo "sha256sum          $(seconds "$t_sum") s"
r=$(ratio "$t_ours" "$t_openssl")
met=$(awk -v r="$r" 'BEGIN { print (r <= 1.0 ? "met" : "NOT met") }')
echo "ours/openssl       $r   goal <= 1.0: $met"
echo "ours/sha256sum     $(ratio "$t_ours" "$t_sum")"
