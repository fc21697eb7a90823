#!/usr/bin/env bash
# Authenticode signing (scripts/sign-windows.sh) with a code-signing CA made
# here: every way of giving the certificate yields a SHA-256 signature that
# osslsigncode verifies against that CA, also when the program was signed
# before (a build that did not relink it); a changed byte breaks the
# signature; a failed signing leaves the program as it was and nothing beside
# it; and a signed program still runs under Wine.
#
#   tests/e2e/windows/sign_test.sh [KANADE.exe [PROBE.exe]]
#
# The programs default to build-win/kanade.exe and
# build-win/kanade-win32-probe.exe (scripts/build-windows.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../../.." && pwd)
exe=$(realpath "${1:-$tree/build-win/kanade.exe}")
probe=$(realpath "${2:-$tree/build-win/kanade-win32-probe.exe}")
sign=$tree/scripts/sign-windows.sh
for program in "$exe" "$probe"; do
  [ -f "$program" ] || {
    echo "sign_test: $program is missing; run scripts/build-windows.sh" >&2
    exit 1
  }
done

work=$(mktemp -d)
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
passes=0
pass() { passes=$((passes + 1)); }
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# A CA, and a publisher certificate for code signing: as a PKCS#12 file, and
# as a PEM pair with an encrypted and a plain key.
keys=$work/keys
mkdir -p "$keys"
(
  cd "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kanade Test Code CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
    -keyout ca.key -out ca.pem
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Kanade Test Publisher" \
    -keyout plain.key -out publisher.csr
  printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
    extendedKeyUsage=codeSigning >publisher.ext
  openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile publisher.ext -out publisher.pem
  openssl pkey -in plain.key -aes256 -passout 'pass:key pass wörd' -out encrypted.key
  openssl pkcs12 -export -in publisher.pem -inkey plain.key -certfile ca.pem \
    -passout 'pass:pfx pass wörd' -out publisher.pfx
) >/dev/null 2>&1 || {
  echo "sign_test: openssl could not make the certificates" >&2
  exit 1
}

# sign-windows.sh without the caller's own signing settings.
sign_only=(env -u KANADE_SIGN_PFX -u KANADE_SIGN_CERT -u KANADE_SIGN_KEY -u KANADE_SIGN_PASSWORD
  -u KANADE_SIGN_TIMESTAMP_URL -u KANADE_SIGN_DESCRIPTION)
# Runs sign-windows.sh on a fresh copy of kanade.exe in its own folder with
# the environment given as NAME=VALUE arguments; leaves the copy in $copy.
sign_copy() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  copy=$work/$name/kanade.exe
  cp "$exe" "$copy"
  "${sign_only[@]}" "$@" bash "$sign" "$copy" >"$work/$name.out" 2>"$work/$name.err"
}
verify() { osslsigncode verify -CAfile "$keys/ca.pem" -in "$1" 2>&1; }

# A case per way of giving the certificate: NAME, then the environment. The
# copy is signed twice: the second signature replaces the first.
signs() {
  local name=$1
  shift
  if ! sign_copy "${name// /-}" "$@" ||
    ! "${sign_only[@]}" "$@" bash "$sign" "$copy" 2>"$work/${name// /-}.err"; then
    fail "$name: signing failed: $(cat "$work/${name// /-}.err")"
    return
  fi
  local out
  out=$(verify "$copy") || {
    fail "$name: the signature does not verify: $(grep -m 1 -i 'fail\|error' <<<"$out")"
    return
  }
  if grep -q '^Message digest algorithm *: SHA256' <<<"$out" &&
    grep -q 'Text description: Kanade Patcher' <<<"$out" &&
    grep -q 'Number of verified signatures: 1' <<<"$out" &&
    [ "$(ls -A "$(dirname "$copy")")" = kanade.exe ]; then pass; else
    fail "$name: not one SHA-256 signature of Kanade Patcher, or files left beside the program"
  fi
}
signs "pfx" KANADE_SIGN_PFX="$keys/publisher.pfx" "KANADE_SIGN_PASSWORD=pfx pass wörd"
signs "encrypted key" KANADE_SIGN_CERT="$keys/publisher.pem" KANADE_SIGN_KEY="$keys/encrypted.key" \
  "KANADE_SIGN_PASSWORD=key pass wörd"
signs "plain key" KANADE_SIGN_CERT="$keys/publisher.pem" KANADE_SIGN_KEY="$keys/plain.key"

# One changed byte in the signed program's code breaks the signature.
cp "$copy" "$work/tampered.exe"
/usr/bin/python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(4096); b = f.read(1)
f.seek(4096); f.write(bytes([b[0] ^ 255]))' "$work/tampered.exe"
if verify "$work/tampered.exe" >/dev/null; then
  fail "a changed byte still verifies"
else pass; fi

# Failures: one line on stderr, the program unchanged and alone in its folder.
refuses() {
  local name=$1
  shift
  if sign_copy "${name// /-}" "$@"; then
    fail "$name: signing succeeded"
    return
  fi
  local err=$work/${name// /-}.err
  if [ "$(wc -l <"$err")" -eq 1 ] && grep -q '^sign-windows: ' "$err" && cmp -s "$copy" "$exe" &&
    [ "$(ls -A "$(dirname "$copy")")" = kanade.exe ]; then pass; else
    fail "$name: not one line, or the program changed or has company: $(cat "$err")"
  fi
}
refuses "wrong password" KANADE_SIGN_PFX="$keys/publisher.pfx" KANADE_SIGN_PASSWORD=wrong
refuses "no certificate" KANADE_SIGN_KEY="$keys/plain.key"
refuses "both ways" KANADE_SIGN_PFX="$keys/publisher.pfx" KANADE_SIGN_CERT="$keys/publisher.pem" \
  KANADE_SIGN_KEY="$keys/plain.key"
refuses "missing key" KANADE_SIGN_CERT="$keys/publisher.pem" KANADE_SIGN_KEY="$keys/none.key"
# Port 9 on loopback: nothing answers, no time stamp, no signature.
refuses "timestamp server down" KANADE_SIGN_PFX="$keys/publisher.pfx" \
  "KANADE_SIGN_PASSWORD=pfx pass wörd" KANADE_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/

# A signed program still loads and runs under Wine (the probe shares
# kanade.exe's libraries and link options).
cp "$probe" "$work/probe.exe"
pfx_env=(KANADE_SIGN_PFX="$keys/publisher.pfx" "KANADE_SIGN_PASSWORD=pfx pass wörd")
if "${sign_only[@]}" "${pfx_env[@]}" bash "$sign" "$work/probe.exe" 2>/dev/null; then
  out=$(WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    DISPLAY='' timeout 120 wine "$work/probe.exe" libraries 2>/dev/null | tr -d '\r' || true)
  if grep -q '^ed25519_known 0$' <<<"$out"; then pass; else
    fail "the signed probe does not run under Wine: [$out]"
  fi
else
  fail "the probe could not be signed"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
