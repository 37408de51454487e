#!/usr/bin/env bash
# By hand, not in CI: one compressible entry of SIZE_MB (default 3072) megabytes extracted by the
# updater's ExtractEntry (UPD_BENCH_ARCH: bench/arch.sh) under Wine, with the process's memory before and after.
#   bench/huge_entry_run.sh [SIZE_MB]
# Needs build/host (fa2), build/win-bench[-x64] (win32_extract_bench.exe, UPD_BENCH=ON) and build/windows[-x64]'s
# Wine prefix;
# about 2 x SIZE_MB of free disk in /tmp and as much again under the prefix's C:.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/arch.sh"
size_mb=${1:-3072}
work=$(mktemp -d /tmp/huge-entry.XXXXXX)
prefix_c=$win_prefix_c
trap 'rm -rf "$work" "$prefix_c/huge-extract"' EXIT
mkdir "$work/src"
generate() { python3 "$root/bench/compressible_text.py" "$1"; }
generate "$size_mb" > "$work/src/huge.log"
echo "generated $(stat -c %s "$work/src/huge.log") bytes"
/usr/bin/time -f "fa2 pack: %e s, %M KB peak" "$root/build/host/fa2" pack --fast "$work/src" -o "$work/huge.fa2"
rm -rf "$work/src"
# The Wine process's resident set when the archive is in memory (the program then leaves a marker and waits),
# the peak reset there, and the peak at its end: what the extraction itself added.
watch() {
  local pid="" loaded="" peak=""
  while [ ! -e "$work/stop" ]; do
    if [ -z "$loaded" ] && [ -e "$prefix_c/huge-extract/.archive-loaded" ]; then
      pid=$(wine_pid 'win32_extract_bench\.exe')
    fi
    if [ -n "$pid" ] && [ -r "/proc/$pid/status" ]; then
      if [ -z "$loaded" ]; then
        loaded=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
        echo 5 >"/proc/$pid/clear_refs"
      fi
      [ -n "$loaded" ] && peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo "$peak")
    fi
    sleep 0.05
  done
  echo "Wine process $pid: VmRSS with the archive in memory ${loaded:-?} kB; VmHWM from there to the end ${peak:-?} kB" \
    "(the extraction added $(( ${peak:-0} - ${loaded:-0} )) kB at its peak)" >"$work/memory"
}
watch &
watcher=$!
UPD_WINE_TIMEOUT=3600 "$root/scripts/wine-run" "$win_build" "$win_bench/win32_extract_bench.exe" \
  "Z:$work/huge.fa2" 'C:\huge-extract' | tr -d '\r'
touch "$work/stop"
wait $watcher
cat "$work/memory"
ls -l "$prefix_c/huge-extract"
cmp <(generate "$size_mb") "$prefix_c/huge-extract/huge.log" &&
  echo "the extracted file is the generated one, byte for byte"
