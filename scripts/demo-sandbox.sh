#!/usr/bin/env bash
# Prepares a sandbox for the patcher: demo repositories signed with
# kanade-repo, a program folder, a Steam-shaped home with the game and its
# data folder, and a local HTTPS server publishing the repositories.
#
#   demo-sandbox.sh BUILD_DIR SANDBOX_DIR
#
# Prints the lines of an environment file (also written to
# SANDBOX_DIR/env.sh): KANADE_REPOSITORY_URL, CURL_CA_BUNDLE, HOME and the
# folders. Stop the server with: scripts/repo-server.sh stop SANDBOX_DIR/server
set -euo pipefail

die() { echo "demo-sandbox: $*" >&2; exit 2; }
[ $# -eq 2 ] || die "usage: demo-sandbox.sh BUILD_DIR SANDBOX_DIR"
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) || die "no build folder $1"
repo_tool="$build/tools/kanade-repo"
program="$build/kanade"
# The publisher's secret key that the build trusts (scripts/test-keys.sh).
secret=${KANADE_SECRET_KEY:-$build/test-keys/publisher}
[ -x "$repo_tool" ] || die "kanade-repo is not built in $build"
[ -x "$program" ] || die "kanade is not built in $build"
[ -f "$secret" ] || die "no publisher secret key at $secret (set KANADE_SECRET_KEY)"

mkdir -p "$2"
sandbox=$(cd "$2" && pwd)
"$here/repo-server.sh" stop "$sandbox/server" 2>/dev/null || true
rm -rf "$sandbox/www" "$sandbox/home" "$sandbox/program"
www="$sandbox/www"
files="$www/files"
mkdir -p "$www/repos" "$files"

# The translation as it would be published: a few files per mode.
add() { mkdir -p "$(dirname "$files/$1")"; printf '%s\n' "$2" >"$files/$1"; }
for mode in kanade-conv-test kanade-test kanade-prefixed; do
  add "$mode/Language.txt" "Japanese ($mode)"
  add "$mode/Shroud of the Avatar_Data/AssetBundles/locoverrides.portresources.unity3d" \
    "demo translation table for $mode: こんにちは、アヴァタール"
  add "$mode/Shroud of the Avatar_Data/Translations/ui.txt" "ui strings for $mode: 設定 / 更新"
done
mkdir -p "$files/kanade-lua"
add "kanade-lua/Lua/kanade.lua" "-- live translation module (switched off)"
# The program's own repository lists the running build, so no upgrade starts.
mkdir -p "$files/kanade-patcher"
cp "$program" "$files/kanade-patcher/kanade"

url=$(KANADE_SERVER_LIFETIME=${KANADE_SERVER_LIFETIME:-7200} "$here/repo-server.sh" start "$sandbox/server" "$www")
publish() {
  "$repo_tool" build "$files/$1" "$url/files/$1" -o "$www/repos/$2.repo" --key "$secret" --name "$2"
}
publish kanade-conv-test kanade-conv-test
publish kanade-test kanade-test
publish kanade-prefixed kanade-prefixed
publish kanade-lua kanade-lua
publish kanade-patcher kanade-patcher-linux

# A home where the Steam client has the game, played through Proton.
home="$sandbox/home"
steam="$home/.local/share/Steam"
game="$steam/steamapps/common/Shroud of the Avatar"
profile="$steam/steamapps/compatdata/326160/pfx/drive_c/users/steamuser"
data="$profile/AppData/Roaming/Portalarium/Shroud of the Avatar"
mkdir -p "$home/.steam" "$game" "$data/Lua/kanade-fifo" "$sandbox/program"
ln -sfn "$steam" "$home/.steam/steam"
: >"$game/Shroud of the Avatar.exe"
: >"$data/CurrentPlayerData.xml"
printf '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n}\n' "$steam" \
  >"$steam/steamapps/libraryfolders.vdf"
printf '"AppState"\n{\n\t"appid"\t\t"326160"\n\t"name"\t\t"Shroud of the Avatar"\n\t"installdir"\t\t"Shroud of the Avatar"\n}\n' \
  >"$steam/steamapps/appmanifest_326160.acf"
cp "$program" "$sandbox/program/kanade"

cat >"$sandbox/env.sh" <<ENV
export KANADE_REPOSITORY_URL='$url'
export CURL_CA_BUNDLE='$sandbox/server/ca.pem'
export HOME='$home'
KANADE_PROGRAM_FOLDER='$sandbox/program'
KANADE_GAME_FOLDER='$game'
KANADE_DATA_FOLDER='$data'
ENV
cat "$sandbox/env.sh"
