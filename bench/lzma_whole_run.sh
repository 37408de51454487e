#!/usr/bin/env bash
# By hand, not in CI: a whole run under Wine of an updater built with `--codec lzma`, the sample update with a
# generated 300 MB entry among its files, clicked through by scripts/demo; the updater process's peak resident
# set (VmHWM of its Wine process) is sampled while it runs.
#   bench/lzma_whole_run.sh [ENTRY_MB]
# Needs build/bench (make_game_folder) and what scripts/demo needs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-300}
work=$(mktemp -d /tmp/lzma-whole-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$root/build/bench/bench/make_game_folder" "$work/pak" "$size" 1
cp -r "$root/samples/update" "$work/src"
mv "$work/pak/data.pak" "$work/src/data.pak"
printf 'UpdateFile05=data.pak\r\n' >>"$work/src/UPDATE.INI"  # [UPDATE] is the file's last section

# The Wine process of a program: of the processes whose command line names it (the wrappers that start it do
# too, and so does the fa2 build that writes it), the one with the largest resident set.
wine_pid() {
  local best="" most=0 pid rss
  for pid in $(pgrep -f "$1" || true); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'fa2' && continue
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$most" ] && { most=$rss; best=$pid; }
  done
  echo "$best"
}
watch() {  # the updater's Wine process: its resident set when first seen, and its VmHWM until it ends
  local pid="" first="" peak=""
  while [ ! -e "$work/stop" ]; do
    if [ -z "$pid" ]; then
      pid=$(wine_pid 'SampleUpdate\.exe')
      [ -n "$pid" ] && first=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    elif [ -r "/proc/$pid/status" ]; then
      peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo "$peak")
    fi
    sleep 0.1
  done
  echo "updater process $pid: VmRSS when first seen ${first:-?} kB, VmHWM last read ${peak:-?} kB" >"$work/memory"
}
watch &
watcher=$!
status=0
UPD_DEMO_DIR="$work/demo" UPD_DEMO_SOURCE="$work/src" UPD_DEMO_FA2_OPTIONS="--codec lzma" \
  "$root/scripts/demo" || status=$?
touch "$work/stop"
wait $watcher
cat "$work/memory"
ls -l "$work/demo/SampleUpdate.exe" "$root/build/windows/UPDATE.exe"
gamedir=$(ls "$work/demo/wineprefix/drive_c/Games")
cmp "$work/src/data.pak" "$work/demo/wineprefix/drive_c/Games/$gamedir/data.pak" &&
  echo "data.pak installed byte for byte ($(stat -c %s "$work/src/data.pak") bytes)"

# Extraction speed of the same entries in the 32-bit code, LZMA against the block method (needs build/win-bench).
if [ -x "$root/build/win-bench/win32_extract_bench.exe" ]; then
  "$root/build/host/fa2" build "$work/src" -o "$work/block.exe" --stub "$root/build/windows/UPDATE.exe" >/dev/null
  for exe in "$work/demo/SampleUpdate.exe" "$work/block.exe"; do
    echo "extracting $(basename "$exe") with the updater's ExtractEntry:"
    UPD_WINE_TIMEOUT=1200 "$root/scripts/wine-run" "$root/build/windows" \
      "$root/build/win-bench/win32_extract_bench.exe" "Z:$exe" 'C:\whole-run-extract' | tr -d '\r' | grep -v -E '^  (at start|archive in memory|after the)'
    rm -rf "$root/build/windows/wineprefix/drive_c/whole-run-extract"
  done
fi
exit $status
