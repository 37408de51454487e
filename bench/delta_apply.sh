#!/usr/bin/env bash
# By hand, not in CI: the updater applying a delta against decoding the whole LZMA entry of the same new file,
# under Wine (UPD_BENCH_ARCH: bench/arch.sh), with the seconds and the peak resident memory each adds.
#   bench/delta_apply.sh [PACK_MB]          default 64
# make_delta_pairs.py writes an old and a new release; only their pack file is built into updaters, once with
# --codec lzma and once with --from the old release, and win32_delta_apply_bench stages that one entry as the job
# does (best of ROUNDS, default 3). FULL=0 leaves the full LZMA build and its decode out: the build runs at about
# 1 MB/s on the benchmark machine (less under load), ten minutes for 512 MB. Needs build/host (fa2),
# build/win-bench[-x64] (win32_delta_apply_bench, UPD_BENCH=ON) and build/windows[-x64] (UPDATE.exe, the Wine
# prefix); about 5 x PACK_MB of free disk in /tmp. Figures: bench/README.md ("Delta apply under Wine").
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/arch.sh"
pack_mb=${1:-64}
rounds=${ROUNDS:-3}
full=${FULL:-1}
fa2=$root/build/host/fa2
stub=$win_build/UPDATE.exe
bench_exe=$win_bench/win32_delta_apply_bench.exe
for need in "$fa2" "$stub" "$bench_exe"; do
  [ -e "$need" ] || { echo "missing $need (see the comment at the top)" >&2; exit 2; }
done
work=$(mktemp -d /tmp/delta-apply.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The pair, reduced to its pack file: the other files are small next to it and would only lengthen the builds.
python3 "$root/bench/make_delta_pairs.py" "$work/pairs" --pack-mb "$pack_mb"
for side in old new; do
  mkdir -p "$work/$side/data"
  mv "$work/pairs/$side/data/game.pak" "$work/$side/data/game.pak"
done
rm -rf "$work/pairs"
printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n[UPDATE]\r\nUpdateFile00=data\\game.pak\r\n' \
  >"$work/new/UPDATE.INI"
new_file=$work/new/data/game.pak
old_file=$work/old/data/game.pak
echo "pack pair: new game.pak $(stat -c %s "$new_file") bytes, old $(stat -c %s "$old_file") bytes"

stored_size() { "$fa2" list "$1" | awk '$5 == "game.pak" { print $2; exit }'; }
if [ "$full" = 1 ]; then
  /usr/bin/time -f "%e s, %M KB peak" -o "$work/full.time" \
    "$fa2" build "$work/new" -o "$work/full.exe" --stub "$stub" --codec lzma >/dev/null 2>"$work/build.log" ||
    { cat "$work/build.log" >&2; exit 1; }
  echo "fa2 build --codec lzma: $(cat "$work/full.time"); the entry: $(stored_size "$work/full.exe") bytes"
fi
/usr/bin/time -f "%e s, %M KB peak" -o "$work/delta.time" \
  "$fa2" build "$work/new" --from "$work/old" -o "$work/delta.exe" --stub "$stub" --codec lzma >/dev/null \
  2>"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }
echo "fa2 build --from --codec lzma: $(cat "$work/delta.time"); the entry: $(stored_size "$work/delta.exe") bytes"

# The resident set once the payload is in memory (the program leaves `loaded` and waits), the peak reset there,
# and the peak when it leaves `done`: what staging the entry added. Written to $1/memory as "LOADED PEAK".
watch() {
  local markers=$1 pid="" loaded="" peak=""
  while [ -d "$markers" ] && [ ! -e "$markers/done" ] && [ ! -e "$markers/stop" ]; do
    if [ -z "$pid" ] && [ -e "$markers/loaded" ]; then
      pid=$(wine_pid 'win32_delta_apply_bench\.exe')
    fi
    if [ -n "$pid" ] && [ -z "$loaded" ]; then
      loaded=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
      echo 5 >"/proc/$pid/clear_refs"
    fi
    sleep 0.05
  done
  [ -n "$pid" ] && peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
  echo "${loaded:-0} ${peak:-0}" >"$markers/memory" 2>/dev/null || true
}

# Stages the entry of updater $2 into $work/out-$1.pak (over the old file for the delta); prints its lines and
# leaves "SECONDS CHECK_SECONDS WORKSPACE ADDED_KB" in $work/$1.figures.
stage() {
  local name=$1 exe=$2 markers=$work/markers-$1
  shift 2
  mkdir "$markers"
  watch "$markers" &
  local watcher=$!
  local status=0
  UPD_WINE_TIMEOUT=3600 "$root/scripts/wine-run" "$win_build" "$bench_exe" "Z:$exe" game.pak "Z:$work/out-$name.pak" \
    "$@" --rounds "$rounds" --markers "Z:$markers" >"$work/$name.raw" || status=$?
  tr -d '\r' <"$work/$name.raw" | tee "$work/$name.log" | sed 's/^/  /'
  touch "$markers/stop"
  wait $watcher
  [ "$status" = 0 ] || { echo "win32_delta_apply_bench failed (exit code $status)" >&2; exit 1; }
  local loaded peak
  read -r loaded peak <"$markers/memory"
  echo "  Wine process: VmRSS with the payload in memory $loaded kB, VmHWM from there to the end $peak kB" \
    "(staging added $((peak - loaded)) kB at its peak)"
  if cmp "$work/out-$name.pak" "$new_file"; then
    echo "  the staged file is the new game.pak, byte for byte"
  else
    echo "the staged file is NOT the new game.pak" >&2
    exit 1
  fi
  echo "$(awk '/^figures:/ { print $2, $3, $4 }' "$work/$name.log") $((peak - loaded))" >"$work/$name.figures"
  rm -f "$work/out-$name.pak"
}

if [ "$full" = 1 ]; then
  echo "whole LZMA entry:"
  stage whole "$work/full.exe"
fi
echo "delta over the old file:"
stage delta "$work/delta.exe" "Z:$old_file"

read -r d_seconds d_check d_workspace d_added <"$work/delta.figures"
if [ "$full" = 1 ]; then
  read -r w_seconds _ w_workspace w_added <"$work/whole.figures"
  awk -v ws="$w_seconds" -v wa="$w_added" -v ds="$d_seconds" -v dc="$d_check" -v da="$d_added" 'BEGIN {
    printf "whole LZMA: %.2f s, %d kB added; delta: %.2f s staging + %.2f s base check, %d kB added\n", ws, wa, ds, dc, da
    printf "delta/whole: time %.2fx (%.2fx with the base check), peak memory added %.2fx\n",
      ds / ws, (ds + dc) / ws, (wa > 0 ? da / wa : 0)
  }'
else
  echo "delta: ${d_seconds} s staging + ${d_check} s base check, ${d_added} kB added (the full LZMA update not built: FULL=0)"
fi
