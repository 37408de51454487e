#!/usr/bin/env bash
# Start-up of a built updater against the size of its payload, under Wine: the time from CreateProcess to the
# first window (the "not installed" box: no game is installed in the prefix), and the resident memory of the
# updater's Wine process while that window shows (VmRSS, and its peak VmHWM).
# Usage: bench/startup.sh BENCH_BUILD_DIR [SIZES_MB...]   (default sizes: 1 500)
#   BENCH_BUILD_DIR: a windows-preset build with -DUPD_BENCH=ON (UPDATE.exe, fa2.exe, startup_probe.exe)
#   STARTUP_FA2=PATH builds the updaters with that Linux fa2 instead of fa2.exe, and STARTUP_STUB=PATH from
#   that updater instead of BENCH_BUILD_DIR's (to compare layouts and stubs)
set -euo pipefail
build=$(cd "$1" && pwd)
shift
if [ $# -gt 0 ]; then sizes=("$@"); else sizes=(1 500); fi
root=$(cd "$(dirname "$0")/.." && pwd)
echo "architecture: $(cat "$build/wine-arch" 2>/dev/null || echo i686) (the updater of $build)"
stub=${STARTUP_STUB:-$build/UPDATE.exe}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rounds=${STARTUP_ROUNDS:-7}

for mb in "${sizes[@]}"; do
  src="$work/src$mb"
  mkdir -p "$src"
  printf '[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameClass=BenchWindow\r\nGameDir=Bench\r\n' >"$src/UPDATE.INI"
  printf '[UPDATE]\r\nUpdateFile00=data.bin\r\n' >>"$src/UPDATE.INI"
  head -c $((mb * 1000000)) /dev/urandom >"$src/data.bin"
  if [ -n "${STARTUP_FA2:-}" ]; then
    "$STARTUP_FA2" build "$src" -o "$work/u$mb.exe" --store --stub "$stub" >/dev/null 2>&1
  else
    "$root/scripts/wine-run" "$build" "$build/fa2.exe" build "Z:$src" -o "Z:$work/u$mb.exe" --store \
      --stub "Z:$stub" >/dev/null 2>&1
  fi
  cat "$work/u$mb.exe" >/dev/null  # in the page cache, as after a download
done

# The Linux pid of the Wine process running EXE (its command line starts with the program's path).
wine_pid() {
  local exe=$1 pid
  for pid in $(pgrep -f "$exe"); do
    if tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | sed -n 1p | grep -q "$(basename "$exe")\$"; then
      echo "$pid"
      return
    fi
  done
}

for mb in "${sizes[@]}"; do
  exe="$work/u$mb.exe"
  times=()
  for ((round = 0; round < rounds; round++)); do
    "$root/scripts/wine-run" "$build" "$build/startup_probe.exe" "Z:$exe" 1500 >"$work/probe" 2>&1 &
    probe=$!
    for ((wait = 0; wait < 100; wait++)); do
      grep -q "first window" "$work/probe" && break
      sleep 0.05
    done
    pid=$(wine_pid "$exe")
    memory=$(grep -E '^Vm(RSS|HWM)' "/proc/$pid/status" 2>/dev/null | tr -s ' \t' ' ' | tr '\n' ' ')
    wait "$probe" || true
    ms=$(tr -d '\r' <"$work/probe" | sed -n 's/first window after \([0-9.]*\) ms/\1/p')
    times+=("$ms")
    echo "payload $mb MB, round $round: first window after $ms ms; $memory"
  done
  best=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 1p)
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")
  echo "payload $mb MB: file $(stat -c %s "$exe") bytes; first window best $best ms, median $median ms"
done
