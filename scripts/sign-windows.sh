#!/usr/bin/env bash
# Signs a Windows program with Authenticode (SHA-256) through osslsigncode.
# An earlier signature is replaced. The signed copy is written beside EXE and
# renamed over it, so EXE is always either the old file or the signed one.
#
#   sign-windows.sh EXE
#
# The certificate, from the environment:
#   KANADE_SIGN_PFX            a PKCS#12 file with the certificate, its chain and the key
#   KANADE_SIGN_CERT           or the certificate and its chain (PEM or DER) ...
#   KANADE_SIGN_KEY            ... and its private key
#   KANADE_SIGN_PASSWORD       the password of the PKCS#12 file or of the key
#   KANADE_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping server (none by default)
#   KANADE_SIGN_DESCRIPTION    the program name Windows shows (Kanade Patcher)
set -euo pipefail

say() { echo "sign-windows: $*" >&2; }
die() {
  say "$*"
  exit 1
}

[ $# -eq 1 ] || die "usage: sign-windows.sh EXE"
exe=$1
[ -f "$exe" ] || die "no such file: $exe"
command -v osslsigncode >/dev/null || die "osslsigncode is missing (apt-get install osslsigncode)"

pfx=${KANADE_SIGN_PFX:-}
cert=${KANADE_SIGN_CERT:-}
key=${KANADE_SIGN_KEY:-}
if [ -n "$pfx" ]; then
  [ -z "$cert$key" ] || die "set KANADE_SIGN_PFX or KANADE_SIGN_CERT and KANADE_SIGN_KEY, not both"
  [ -f "$pfx" ] || die "KANADE_SIGN_PFX: no such file: $pfx"
  signer=(-pkcs12 "$pfx")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  [ -f "$cert" ] || die "KANADE_SIGN_CERT: no such file: $cert"
  [ -f "$key" ] || die "KANADE_SIGN_KEY: no such file: $key"
  signer=(-certs "$cert" -key "$key")
else
  die "no certificate: set KANADE_SIGN_PFX, or KANADE_SIGN_CERT and KANADE_SIGN_KEY"
fi

# The password goes through a pipe, not the command line that ps shows.
password=()
if [ -n "${KANADE_SIGN_PASSWORD+set}" ]; then password=(-readpass /dev/stdin); fi
timestamp=()
if [ -n "${KANADE_SIGN_TIMESTAMP_URL:-}" ]; then timestamp=(-ts "$KANADE_SIGN_TIMESTAMP_URL"); fi

# osslsigncode does not overwrite: the signed copy goes into a folder of its own.
work=$(mktemp -d "$(dirname "$exe")/.sign-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT
signed=$work/$(basename "$exe")
log=$(printf '%s' "${KANADE_SIGN_PASSWORD:-}" |
  osslsigncode sign "${signer[@]}" "${password[@]}" -h sha256 \
    -n "${KANADE_SIGN_DESCRIPTION:-Kanade Patcher}" "${timestamp[@]}" \
    -in "$exe" -out "$signed" 2>&1) || {
  reason=$(grep -v -e '^Failed$' -e '^ *$' <<<"$log" | head -n 1)
  die "signing $exe failed: ${reason:-osslsigncode failed}"
}
chmod --reference="$exe" "$signed"
mv -f "$signed" "$exe"
say "signed $exe"
