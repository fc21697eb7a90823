#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# build and CTest, then the Windows build (scripts/build-windows.sh), its
# tests under Wine and Xvfb and its Authenticode signing, and last the
# published forms of kanade and kanade.exe, each rebuilt in a second folder
# by scripts/verify-build.sh, which must give identical files. Ends with one
# PASS/FAIL line per part and a non-zero status when any part failed.
#
#   KANADE_BUILD_DIR         the Linux build folder (build)
#   KANADE_RELEASE_BUILD_DIR the published Linux build's folder (build-release)
#   KANADE_WIN_BUILD_DIR     the Windows build folder (build-win)
#   KANADE_TEST_WINDOWS=0    leaves the Windows part out
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${KANADE_BUILD_DIR:-build}
release_build=${KANADE_RELEASE_BUILD_DIR:-build-release}
win_build=${KANADE_WIN_BUILD_DIR:-build-win}
results=()
failed=0
record() {
  if [ "$2" -eq 0 ]; then results+=("PASS $1"); else
    results+=("FAIL $1")
    failed=1
  fi
}
timed() {
  local started=$SECONDS status=0
  "${@:2}" || status=$?
  record "$1 ($((SECONDS - started)) s)" "$status"
  return "$status"
}

started=$SECONDS
# Everything under test trusts a publisher key made for the tests, whose
# secret the tests sign with; the official key's secret is nobody's here.
keys=$(bash scripts/test-keys.sh "$build")
export KANADE_PUBLISHER_KEYS=$keys KANADE_SECRET_KEY=${keys%.pub}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKANADE_PUBLISHER_KEYS="$keys" >/dev/null
cmake --build "$build" -j "$(nproc)"
record "Linux build ($((SECONDS - started)) s)" 0
timed "Linux tests (ctest)" ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || true

if [ "${KANADE_TEST_WINDOWS:-1}" != 0 ]; then
  export KANADE_WIN_BUILD_DIR=$win_build
  if timed "Windows build (kanade.exe)" bash scripts/build-windows.sh; then
    windows_built=1
    timed "Windows smoke test under Wine" bash tests/e2e/windows/win32_smoke_test.sh \
      "$win_build/kanade-win32-probe.exe" || true
    timed "Authenticode signing" bash tests/e2e/windows/sign_test.sh "$win_build/kanade.exe" \
      "$win_build/kanade-win32-probe.exe" || true
    # The publisher's tool comes from the Linux build.
    timed "kanade.exe end to end under Wine" timeout 900 /usr/bin/python3 \
      tests/e2e/windows/kanade_wine_test.py "$win_build/kanade.exe" "$build/tools/kanade-repo" \
      "$win_build/kanade-win32-probe.exe" || true
  fi
fi

# The published builds, made again from the same files in other folders.
if timed "Linux release build (kanade)" env KANADE_LINUX_BUILD_DIR="$release_build" \
  bash scripts/build-linux.sh; then
  timed "kanade rebuilt elsewhere is identical" bash scripts/verify-build.sh --working-tree \
    "$release_build/kanade" || true
fi
if [ "${windows_built:-0}" = 1 ]; then
  timed "kanade.exe rebuilt elsewhere is identical" bash scripts/verify-build.sh \
    --working-tree "$win_build/kanade.exe" || true
fi

echo
printf 'test: %s\n' "${results[@]}"
exit "$failed"
