#!/usr/bin/env bash
# Makes a fresh 64-bit Wine prefix in which kanade.exe can run and draw
# Japanese: "Meiryo UI" and the dialog fonts map to Noto Sans CJK JP, which
# is linked into the prefix's Fonts folder.
#
#   tests/e2e/wine_prefix.sh FOLDER
#
# FOLDER must not exist yet or be empty. Afterwards run programs with
# WINEPREFIX=FOLDER WINEARCH=win64 WINEDEBUG=-all. Takes about ten seconds.
# Set DISPLAY first when windows will be shown: the Wine session started here
# keeps the display it was started with.
set -euo pipefail

prefix=${1:?usage: wine_prefix.sh FOLDER}
if [ -e "$prefix" ] && [ -n "$(ls -A "$prefix")" ]; then
  echo "wine_prefix: $prefix is not empty" >&2
  exit 1
fi
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them and they would be downloaded.
export WINEDLLOVERRIDES="mscoree,mshtml="

# A first start that fails (seen once under load) gets one more try, and a
# second failure says so instead of ending in silence.
if ! wineboot -i >/dev/null 2>&1; then
  wineserver -k >/dev/null 2>&1 || true
  wineboot -i >/dev/null 2>&1 || {
    echo "wine_prefix: wineboot failed twice in $prefix" >&2
    exit 1
  }
fi
wineserver -w

font_file=$(fc-match -f '%{file}' 'Noto Sans CJK JP:lang=ja')
case $font_file in
  *NotoSansCJK*) ;;
  *)
    echo "wine_prefix: Noto Sans CJK JP is missing (fonts-noto-cjk)" >&2
    exit 1
    ;;
esac
fonts=$prefix/drive_c/windows/Fonts
ln -sf "$font_file" "$fonts/$(basename "$font_file")"

nt='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
wine reg add "$nt\\Fonts" /v 'Noto Sans CJK JP (TrueType)' /t REG_SZ \
  /d "$(basename "$font_file")" /f >/dev/null
for face in 'Meiryo UI' 'Meiryo' 'MS UI Gothic' 'MS Gothic' 'MS PGothic' 'Yu Gothic UI'; do
  wine reg add "$nt\\FontSubstitutes" /v "$face" /t REG_SZ /d 'Noto Sans CJK JP' /f >/dev/null
done
# Controls drawn with the default faces fall back to the CJK font per glyph.
link="$(basename "$font_file"),Noto Sans CJK JP"
for face in 'Tahoma' 'MS Shell Dlg' 'MS Shell Dlg 2' 'Segoe UI' 'Microsoft Sans Serif'; do
  wine reg add "$nt\\FontLink\\SystemLink" /v "$face" /t REG_MULTI_SZ /d "$link" /f >/dev/null
done
wineserver -w
