#!/usr/bin/env bash
# Prepares a sandbox for the patcher: a demo translation published with
# "kanade-repo publish" (signed repositories, bodies by digest with .gz
# copies), a program folder, a Steam-shaped home with the game and its data
# folder, and a local HTTPS server serving what was published.
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
rm -rf "$sandbox/www" "$sandbox/translation" "$sandbox/home" "$sandbox/program"
www="$sandbox/www"
mkdir -p "$www"

# The translation team's tree: a few files per mode, as they lie below the
# game folder (the table repeats, so it gets a .gz copy).
tree="$sandbox/translation"
add() { mkdir -p "$(dirname "$tree/$1")"; printf '%s\n' "$2" >"$tree/$1"; }
for mode in kanade-conv-test kanade-test kanade-prefixed; do
  add "$mode/Language.txt" "Japanese ($mode)"
  add "$mode/Shroud of the Avatar_Data/AssetBundles/locoverrides.portresources.unity3d" \
    "$(for n in $(seq 200); do echo "demo translation table for $mode, row $n: こんにちは、アヴァタール"; done)"
  add "$mode/Shroud of the Avatar_Data/Translations/ui.txt" "ui strings for $mode: 設定 / 更新"
done
add "kanade-lua/Lua/kanade.lua" "-- live translation module (switched off)"

url=$(KANADE_SERVER_LIFETIME=${KANADE_SERVER_LIFETIME:-7200} "$here/repo-server.sh" start "$sandbox/server" "$www")
# The program's own repository lists the running build, so no upgrade starts.
"$repo_tool" publish --key "$secret" --out "$www" --new --base-url "$url" --linux "$program" \
  kanade-conv-test="$tree/kanade-conv-test" kanade-test="$tree/kanade-test" \
  kanade-prefixed="$tree/kanade-prefixed" kanade-lua="$tree/kanade-lua" >/dev/null

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
