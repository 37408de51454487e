#!/usr/bin/env bash
# By hand, not in CI: a whole run under Wine of the sample update with one generated entry of ENTRY_MB megabytes
# among its files, built with the given fa2 options and clicked through by scripts/demo; the updater process's
# memory is sampled while it runs: its peak resident set (VmHWM), and the most of it that was its own (anonymous)
# memory rather than pages of its image, the payload included, mapped from the file.
#   bench/whole_run.sh [ENTRY_MB [KIND [FA2 OPTIONS...]]]
#     KIND game: mixed game data (make_game_folder; needs build/bench); text: compressible text (about 4% packed)
#   bench/whole_run.sh 300 game --codec lzma     # the LZMA method with a 300 MB entry
#   bench/whole_run.sh 3072 text                 # a 3 GB entry
# Needs what scripts/demo needs, and about three times ENTRY_MB of free disk.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/arch.sh"
size=${1:-300}
kind=${2:-game}
shift $(( $# < 2 ? $# : 2 ))
options="$*"
work=$(mktemp -d /tmp/whole-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$root/samples/update" "$work/src"
if [ "$kind" = text ]; then
  python3 "$root/bench/compressible_text.py" "$size" >"$work/src/data.pak"
else
  "$root/build/bench/bench/make_game_folder" "$work/pak" "$size" 1
  mv "$work/pak/data.pak" "$work/src/data.pak"
fi
printf 'UpdateFile05=data.pak\r\n' >>"$work/src/UPDATE.INI"  # [UPDATE] is the file's last section

watch() {  # the updater's Wine process: when first seen, and the most until it ends
  local pid="" first="" firstAnon="" peak="" anon=0 now
  while [ ! -e "$work/stop" ]; do
    if [ -z "$pid" ]; then
      pid=$(wine_pid 'SampleUpdate\.exe' 'fa2')
      if [ -n "$pid" ]; then
        first=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        firstAnon=$(awk '/^RssAnon/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
      fi
    elif [ -r "/proc/$pid/status" ]; then
      peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo "$peak")
      now=$(awk '/^RssAnon/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
      [ "${now:-0}" -gt "$anon" ] && anon=$now
    fi
    sleep 0.1
  done
  echo "updater process $pid: VmRSS when first seen ${first:-?} kB, VmHWM last read ${peak:-?} kB;" \
    "its own memory (RssAnon) ${firstAnon:-?} kB when first seen, at most $anon kB" >"$work/memory"
}
watch &
watcher=$!
status=0
UPD_DEMO_ARCH=$UPD_BENCH_ARCH UPD_WINDOWS_BUILD="$win_build" UPD_DEMO_FINISH_SECONDS=1800 UPD_DEMO_PICTURE="$work/wizard.png" UPD_DEMO_PROGRESS_PICTURE="$work/progress.png" UPD_DEMO_DIR="$work/demo" UPD_DEMO_SOURCE="$work/src" UPD_DEMO_FA2_OPTIONS="$options" \
  "$root/scripts/demo" || status=$?
touch "$work/stop"
wait $watcher
cat "$work/memory"
ls -l "$work/demo/SampleUpdate.exe" "$win_build/UPDATE.exe"
gamedir=$(ls "$work/demo/wineprefix-$UPD_BENCH_ARCH/drive_c/Games")
cmp "$work/src/data.pak" "$work/demo/wineprefix-$UPD_BENCH_ARCH/drive_c/Games/$gamedir/data.pak" &&
  echo "data.pak installed byte for byte ($(stat -c %s "$work/src/data.pak") bytes)"

# Extraction speed of the same entries in the updater's code, LZMA against the block method (needs the bench build).
if [[ "$options" == *lzma* ]] && [ -x "$win_bench/win32_extract_bench.exe" ]; then
  "$root/build/host/fa2" build "$work/src" -o "$work/block.exe" --stub "$win_build/UPDATE.exe" >/dev/null
  for exe in "$work/demo/SampleUpdate.exe" "$work/block.exe"; do
    echo "extracting $(basename "$exe") with the updater's ExtractEntry:"
    UPD_WINE_TIMEOUT=1200 "$root/scripts/wine-run" "$win_build" \
      "$win_bench/win32_extract_bench.exe" "Z:$exe" 'C:\whole-run-extract' | tr -d '\r' | grep -v -E '^  (at start|archive in memory|after the)'
    rm -rf "$win_prefix_c/whole-run-extract"
  done
fi
exit $status
