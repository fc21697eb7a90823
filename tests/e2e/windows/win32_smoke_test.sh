#!/usr/bin/env bash
# Runs the Windows build's probe under Wine and Xvfb: CNG digests (also of a
# file with a Japanese name), libsodium's Ed25519, curl's zlib and HTTP/2,
# and a real Win32 window that shows the backdrop, Japanese text and a
# filled rectangle and reports a click and a key press.
#
#   tests/e2e/windows/win32_smoke_test.sh [PROBE.exe]
#
# PROBE defaults to build-win/kanade-win32-probe.exe (scripts/build-windows.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../../.." && pwd)
probe=$(realpath "${1:-$tree/build-win/kanade-win32-probe.exe}")
[ -f "$probe" ] || {
  echo "win32_smoke_test: $probe is missing; run scripts/build-windows.sh" >&2
  exit 1
}

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
passes=0
check() {
  if [ "$2" = "$3" ]; then
    passes=$((passes + 1))
  else
    echo "FAIL $1: got [$2], expected [$3]" >&2
    failures=$((failures + 1))
  fi
}

# A display of our own, there before the first Wine process: Wine keeps the
# display its first process saw for the whole session.
display=
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    display=$n
    break
  fi
done
[ -n "$display" ] || {
  echo "win32_smoke_test: no free X display" >&2
  exit 1
}
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=:$display
# Wine reads Japanese arguments and folder names through the Unix code page;
# without a UTF-8 locale (as in CI) they arrive mangled.
export LC_ALL=C.UTF-8
for _ in $(seq 50); do
  xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done

bash "$tree/tests/e2e/wine_prefix.sh" "$work/prefix"
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Digests: FIPS 180-4 examples, and a file across the 1 MiB read chunk in a
# folder whose name has Japanese characters and spaces.
folder="$WINEPREFIX/drive_c/ゲーム フォルダ"
mkdir -p "$folder"
out=$(cd "$folder" && timeout 60 wine "$probe" digests 'C:\ゲーム フォルダ\ダイジェスト テスト.bin' | tr -d '\r')
value() { sed -n "s/^$1 //p" <<<"$out"; }
check "digest of abc" "$(value abc)" ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad
check "digest of nothing" "$(value empty)" \
  e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
host_digest=$(sha256sum "$folder/ダイジェスト テスト.bin" | cut -c1-64)
check "digest of the bytes" "$(value bytes)" "$host_digest"
check "digest of the file" "$(value file)" "$host_digest"
check "digest of a missing file" "$(value missing)" "[]"

# The libraries linked into kanade.exe: Ed25519 accepts a known-good
# signature and rejects it for another message; curl decodes gzip.
out=$(timeout 60 wine "$probe" libraries | tr -d '\r')
check "sodium_init" "$(value sodium_init)" 0
check "Ed25519 known-good signature" "$(value ed25519_known)" 0
check "Ed25519 signature of another message" "$(value ed25519_altered)" -1
check "curl built with zlib" "$(value curl_libz)" 1
check "curl built with HTTP/2" "$(value curl_http2)" 1
libz=$(value libz)
if [[ $libz =~ ^[0-9]+\.[0-9]+ ]]; then passes=$((passes + 1)); else
  echo "FAIL curl's zlib version: [$libz]" >&2
  failures=$((failures + 1))
fi

# The window.
timeout 60 wine "$probe" window >"$work/events.txt" 2>/dev/null &
probe_pid=$!
window=
for _ in $(seq 200); do
  window=$(xdotool search --name '^Kanade Patcher$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && grep -q ready "$work/events.txt" && break
  sleep 0.1
done
[ -n "$window" ] || {
  echo "FAIL: the window did not open" >&2
  exit 1
}
sleep 0.5
size=$(xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: //p')
check "client size" "$size" 600x300

import -window "$window" "$work/shot.png"
pixel() { convert "$work/shot.png" -format "%[pixel:p{$1,$2}]" info:; }
check "filled rectangle" "$(pixel 525 265)" "srgb(255,0,0)"
# The Japanese line is white on black: it must have been drawn at all, and a
# CJK character must differ from the box of a character no font has.
light=$(convert "$work/shot.png" -crop 120x16+10+145 -colorspace gray -threshold 50% \
  -format '%[fx:int(mean*w*h)]' info:)
if [ "$light" -ge 60 ]; then passes=$((passes + 1)); else
  echo "FAIL Japanese text: $light light pixels" >&2
  failures=$((failures + 1))
fi
convert "$work/shot.png" -crop 20x20+8+177 +repage "$work/cjk.png"
convert "$work/shot.png" -crop 20x20+38+177 +repage "$work/box.png"
differ=$(compare -metric AE -fuzz 20% "$work/cjk.png" "$work/box.png" null: 2>&1 || true)
if [ "${differ%%.*}" -ge 20 ]; then passes=$((passes + 1)); else
  echo "FAIL Japanese glyphs: drawn like a missing glyph ($differ pixels differ)" >&2
  failures=$((failures + 1))
fi

xdotool mousemove --window "$window" 50 200 click 1
sleep 0.3
xdotool key --window "$window" Down
wait "$probe_pid" || true
events=$(tr -d '\r' <"$work/events.txt")
check "click" "$(grep '^click' <<<"$events" | head -n 1)" "click 50 200"
check "key" "$(grep '^key' <<<"$events" | head -n 1)" "key 40"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
