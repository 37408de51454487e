#!/usr/bin/env bash
# By hand, not in CI: the updater's size for a generated 300 MB game folder (201 files) with each fa2 codec, next
# to the common open-source installer builder's solid LZMA installer of the same folder (Debian package nsis;
# skipped with a message when makensis is missing).
#   bench/size_comparison.sh [TOTAL_MB] [FILES]
# Needs build/bench (make_game_folder), build/host (fa2) and build/windows or build/windows-x64 (UPDATE.exe;
# UPD_BENCH_ARCH chooses, see bench/arch.sh).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
total=${1:-300}
files=${2:-201}
work=$(mktemp -d /tmp/size-comparison.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$root/build/bench/bench/make_game_folder" "$work/game" "$total" "$files"
# UPDATE.INI (cp932, CRLF) naming the first files; fa2 packs every file of the folder anyway.
{
  printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=BenchWindow\r\nGameDir=Bench\r\n[UPDATE]\r\n'
  for i in $(seq 0 15); do
    f=$(cd "$work/game" && ls | grep -v UPDATE.INI | sort | sed -n "$((i + 1))p")
    printf 'UpdateFile%02d=%s\r\n' "$i" "$f"
  done
} >"$work/game/UPDATE.INI"
input=$(du -sb "$work/game" | cut -f1)
echo "folder: $(ls "$work/game" | wc -l) files, $input bytes"
report() {  # label file seconds
  local size
  size=$(stat -c %s "$2")
  printf '  %-34s %11d bytes  %5.1f%% of the folder  %6.1f s to make\n' "$1" "$size" \
    "$(echo "100 * $size / $input" | bc -l)" "$3"
}
timed() {  # seconds of a command, its output to a log
  local start end
  start=$(date +%s.%N)
  "$@" >>"$work/log" 2>&1 || { tail -20 "$work/log"; exit 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
. "$root/bench/arch.sh"
stub="$win_build/UPDATE.exe"
s=$(timed "$root/build/host/fa2" build "$work/game" -o "$work/best.exe" --stub "$stub" --best)
report "fa2 build --best" "$work/best.exe" "$s"
s=$(timed "$root/build/host/fa2" build "$work/game" -o "$work/lzma.exe" --stub "$stub" --codec lzma)
report "fa2 build --codec lzma" "$work/lzma.exe" "$s"
s=$(timed "$root/build/host/fa2" build "$work/game" -o "$work/lzma-best.exe" --stub "$stub" --codec lzma --best)
report "fa2 build --codec lzma --best" "$work/lzma-best.exe" "$s"
if command -v makensis >/dev/null; then
  cat >"$work/installer.nsi" <<NSI
SetCompressor /SOLID lzma
OutFile "$work/installer.exe"
InstallDir "\$PROGRAMFILES\\Bench"
Section
  SetOutPath "\$INSTDIR"
  File /r "$work/game/*"
SectionEnd
NSI
  s=$(timed makensis -V1 "$work/installer.nsi")
  report "makensis, solid LZMA" "$work/installer.exe" "$s"
  sed -i 's|^SetCompressor /SOLID lzma|SetCompressor zlib|' "$work/installer.nsi"
  s=$(timed makensis -V1 "$work/installer.nsi")
  report "makensis, zlib" "$work/installer.exe" "$s"
else
  echo "  makensis is missing (Debian package nsis): the installer builder's figures are skipped"
fi
