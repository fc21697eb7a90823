#!/usr/bin/env bash
# The deployed nginx site (scripts/nginx-site.conf.in) as the demo server
# renders it: only /repos/ and /files/ are served, with their caching headers,
# no folder listings, HTTP/2 where the client offers it and HTTP/1.1 over
# TLS 1.2 (Schannel), a file's .gz for clients that accept gzip (through a
# cache that adds Via too), 304s without a body to a repository's
# validators, and misses that no cache may keep.
#
#   tests/e2e/nginx_site_test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server=$here/../../scripts/repo-server.sh
work=$(mktemp -d)
cleanup() {
  bash "$server" stop "$work/state" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

www=$work/www
files=$www/files/kanade-test
mkdir -p "$www/repos" "$files/folder" "$www/other"
seq -f 'module=%g' 1 2000 >"$www/repos/kanade-test.repo"
gzip -k9 "$www/repos/kanade-test.repo"
seq 1 5000 >"$files/table.txt"
gzip -k9 "$files/table.txt"
printf 'module\n' >"$files/folder/ui.txt"
# What a publish killed on the spot leaves behind.
printf 'half\n' >"$files/folder/ui.txt.kanade-tmp-0123456789abcdef"
printf 'half\n' >"$www/repos/kanade-test.repo.kanade-tmp-0123456789abcdef"
printf 'not published\n' >"$www/other/page.html"
printf 'not published\n' >"$www/index.html"

url=$(KANADE_SERVER_LIFETIME=120 bash "$server" start "$work/state" "$www")

failures=0
passes=0
immutable="public, max-age=31536000, immutable"
# PATH | CURL OPTIONS | STATUS HTTP-VERSION | CACHE-CONTROL | CONTENT-ENCODING
cases=(
  "/repos/kanade-test.repo | --http2 | 200 2 | no-cache |"
  "/repos/kanade-test.repo | --http2 --compressed | 200 2 | no-cache | gzip"
  "/files/kanade-test/folder/ui.txt | --http2 | 200 2 | $immutable |"
  "/files/kanade-test/table.txt | --http2 --compressed | 200 2 | $immutable | gzip"
  "/files/kanade-test/table.txt | --http2 | 200 2 | $immutable |"
  "/repos/kanade-test.repo | --http1.1 --tlsv1.2 --tls-max 1.2 | 200 1.1 | no-cache |"
  "/files/kanade-test/table.txt | --http1.1 --compressed | 200 1.1 | $immutable | gzip"
  # Through a cache or CDN, which adds Via: still the .gz copy where gzip is
  # accepted, and only there.
  "/repos/kanade-test.repo | --http1.1 --compressed -HVia:squid | 200 1.1 | no-cache | gzip"
  "/files/kanade-test/table.txt | --http2 --compressed -HVia:varnish | 200 2 | $immutable | gzip"
  "/files/kanade-test/table.txt | --http1.1 -HVia:squid | 200 1.1 | $immutable |"
  "/files/kanade-test/table.txt | --http1.1 --range 0-9 | 206 1.1 | $immutable |"
  # Nothing else, no listings, and no cache keeps a miss: a body is uploaded
  # just before the repository that names it.
  "/ | --http2 | 404 2 | no-store |"
  "/index.html | --http2 | 404 2 | no-store |"
  "/other/ | --http2 | 404 2 | no-store |"
  "/other/page.html | --http2 | 404 2 | no-store |"
  "/files/ | --http2 | 404 2 | no-store |"
  "/files/kanade-test/folder/ | --http2 | 404 2 | no-store |"
  "/files/kanade-test/folder | --http1.1 | 404 1.1 | no-store |"
  "/files/kanade-test/missing.txt | --http2 --compressed -HVia:squid | 404 2 | no-store |"
  "/repos/missing.repo | --http1.1 --compressed | 404 1.1 | no-store |"
  "/repos/ | --http2 | 404 2 | no-store |"
  "/files/kanade-test/folder/ui.txt.kanade-tmp-0123456789abcdef | --http2 | 404 2 | no-store |"
  "/repos/kanade-test.repo.kanade-tmp-0123456789abcdef | --http1.1 | 404 1.1 | no-store |"
)
trim() { sed 's/^ *//; s/ *$//' <<<"$1"; }
for case in "${cases[@]}"; do
  IFS='|' read -r path options expected_status expected_cache expected_encoding <<<"$case"
  path=$(trim "$path")
  read -ra curl_options <<<"$options"
  got=$(curl -s --cacert "$work/state/ca.pem" "${curl_options[@]}" -o "$work/body" \
    -w '%{http_code} %{http_version}|%header{cache-control}|%header{content-encoding}' \
    "$url$path") || got="curl failed ($?)"
  expected="$(trim "$expected_status")|$(trim "$expected_cache")|$(trim "$expected_encoding")"
  if [ "$got" = "$expected" ] && ! grep -q 'Index of' "$work/body"; then
    passes=$((passes + 1))
  else
    echo "FAIL $path ($(trim "$options")): got [$got], expected [$expected]" >&2
    failures=$((failures + 1))
  fi
done

# The gzip body decodes to the file itself.
curl -s --cacert "$work/state/ca.pem" --compressed -o "$work/table.txt" \
  "$url/files/kanade-test/table.txt"
if cmp -s "$work/table.txt" "$files/table.txt"; then passes=$((passes + 1)); else
  echo "FAIL the gzip body does not decode to the file" >&2
  failures=$((failures + 1))
fi

# A repository asked for again with the validators of its gzip copy: 304,
# no body, still no-cache; a changed copy is sent whole.
check_revalidation() {
  local name=$1 expected=$2 got
  shift 2
  got=$(curl -s --cacert "$work/state/ca.pem" --http2 --compressed -o "$work/again" "$@" \
    -w '%{http_code} %{size_download}|%header{cache-control}' "$url/repos/kanade-test.repo") ||
    got="curl failed ($?)"
  if [ "$got" = "$expected" ]; then passes=$((passes + 1)); else
    echo "FAIL revalidation, $name: got [$got], expected [$expected]" >&2
    failures=$((failures + 1))
  fi
}
headers=$(curl -s --cacert "$work/state/ca.pem" --http2 --compressed -D - -o /dev/null \
  "$url/repos/kanade-test.repo" | tr -d '\r')
etag=$(sed -n 's/^etag: //Ip' <<<"$headers")
modified=$(sed -n 's/^last-modified: //Ip' <<<"$headers")
gz_size=$(stat -c %s "$www/repos/kanade-test.repo.gz")
check_revalidation "same ETag" "304 0|no-cache" -H "If-None-Match: $etag"
check_revalidation "same date" "304 0|no-cache" -H "If-Modified-Since: $modified"
touch -d '+2 seconds' "$www/repos/kanade-test.repo.gz"
check_revalidation "copy renewed" "200 $gz_size|no-cache" -H "If-None-Match: $etag"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
