#!/usr/bin/env bash
# Rebuilds a published program from source and compares it with the given
# file, byte for byte.
#
#   verify-build.sh [--commit REV | --working-tree] FILE
#
# FILE is a Linux kanade (ELF) or a kanade.exe (PE). An Authenticode
# signature is removed from a kanade.exe first (osslsigncode), since the
# program is signed after it is built. The program is rebuilt in a new folder
# from a clean checkout of REV of this clone (default HEAD), or with
# --working-tree from the files that git would commit now (tracked and new,
# not ignored), by that checkout's own scripts/build-linux.sh or
# build-windows.sh, with the commit's time as SOURCE_DATE_EPOCH and without
# ccache, so that every object is compiled afresh. Prints both SHA-256
# digests; exits 0 when they are identical, 1 when they differ (the work
# folder is kept to compare them), 2 when it cannot check.
#
#   KANADE_PUBLISHER_KEYS  the keys file the published build was made with
#                          (default: the checkout's keys/publisher.pub)
#   KANADE_VERIFY_KEEP=1   keep the work folder
#   KANADE_MINGW_CACHE, KANADE_JOBS as for build-windows.sh (the MinGW
#                          libraries are taken from the cache)
set -euo pipefail

say() { echo "verify-build: $*" >&2; }
die() {
  say "$*"
  exit 2
}
usage="usage: verify-build.sh [--commit REV | --working-tree] FILE"

caller=$(pwd)
clone=$(cd "$(dirname "$0")/.." && pwd)
rev=HEAD
working_tree=0
while [ $# -gt 1 ]; do
  case $1 in
    --commit)
      [ $# -ge 3 ] || die "$usage"
      rev=$2
      shift 2
      ;;
    --working-tree)
      working_tree=1
      shift
      ;;
    *) die "$usage" ;;
  esac
done
[ $# -eq 1 ] && [ "${1:0:1}" != - ] || die "$usage"
file=$(realpath -e -- "$1" 2>/dev/null) || die "no such file: $1"
[ -f "$file" ] || die "not a file: $1"

case $(head -c 4 "$file" | od -An -tx1 | tr -d ' \n') in
  7f454c46) kind=linux name=kanade ;;
  4d5a*) kind=windows name=kanade.exe ;;
  *) die "$1 is neither a Linux program (ELF) nor a Windows one (PE)" ;;
esac

commit=$(git -C "$clone" rev-parse --verify --quiet "$rev^{commit}") ||
  die "$rev: no such commit in $clone"
work=$(mktemp -d "${TMPDIR:-/tmp}/kanade-verify.XXXXXX")
keep=${KANADE_VERIFY_KEEP:-0}
finish() {
  if [ "$keep" = 1 ]; then say "work folder kept: $work"; else rm -rf "$work"; fi
}
trap finish EXIT

mkdir "$work/source"
if [ "$working_tree" = 1 ]; then
  # A tracked file deleted in the working tree is left out too.
  (cd "$clone" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$work/source" -xf - ||
    die "cannot copy the working tree of $clone"
  what="the working tree on ${commit:0:12}"
else
  git -C "$clone" archive "$commit" | tar -C "$work/source" -xf - ||
    die "cannot check out $commit"
  what="commit ${commit:0:12}"
fi

given=$work/given-$name
if [ "$kind" = windows ]; then
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (apt-get install osslsigncode)"
fi
if [ "$kind" = windows ] &&
  osslsigncode extract-signature -in "$file" -out "$work/signature" >/dev/null 2>&1; then
  osslsigncode remove-signature -in "$file" -out "$given" >/dev/null 2>&1 ||
    die "cannot remove the Authenticode signature of $1"
  unsigned=" without its signature"
else
  cp "$file" "$given"
  unsigned=
fi

say "rebuilding $name from $what in $work"
started=$SECONDS
# Every object compiled here, none taken from a compiler cache: a cached
# object would carry what another build put into it.
export CCACHE_DISABLE=1
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
SOURCE_DATE_EPOCH=$(git -C "$clone" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
log=$work/build.log
if [ "$kind" = linux ]; then
  rebuilt=$work/build/kanade
  (cd "$caller" && KANADE_LINUX_BUILD_DIR=$work/build \
    bash "$work/source/scripts/build-linux.sh") >"$log" 2>&1 || status=$?
else
  rebuilt=$work/build/kanade.exe
  (cd "$caller" && unset KANADE_SIGN_PFX KANADE_SIGN_CERT KANADE_SIGN_KEY &&
    KANADE_WIN_BUILD_DIR=$work/build KANADE_WIN_TARGET=kanade \
      bash "$work/source/scripts/build-windows.sh") >"$log" 2>&1 || status=$?
fi
if [ "${status:-0}" -ne 0 ] || [ ! -f "$rebuilt" ]; then
  keep=1
  tail -n 20 "$log" >&2
  die "the rebuild failed (see $log)"
fi

given_digest=$(sha256sum <"$given" | cut -c1-64)
rebuilt_digest=$(sha256sum <"$rebuilt" | cut -c1-64)
echo "$given_digest  $1$unsigned"
echo "$rebuilt_digest  $name rebuilt from $what ($((SECONDS - started)) s)"
if [ "$given_digest" = "$rebuilt_digest" ]; then
  say "identical"
  exit 0
fi
keep=1
say "they differ: compare $given and $rebuilt"
exit 1
