#!/usr/bin/env bash
# One large file, side by side: `fa2 pack --codec lzma` with one and two jobs (the pieced form), then Debian's
# xz -6 with one and two threads, each run alone one after the other: seconds, bytes and peak memory.
# Usage: bench/lzma_pieces.sh FA2 FILE   (FA2: build/host/fa2, Release; FILE: 50 MB or more of real data)
# Needs GNU time (/usr/bin/time), xz, and about twice FILE's size free in $TMPDIR.
set -euo pipefail
fa2=$(realpath "$1")
file=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
cp "$file" "$work/in/"
echo "file: $file ($(stat -c %s "$file") bytes), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-34s %9s %9s %12s %10s\n' command seconds cpu_s bytes peak_MiB

# Runs "$@" under GNU time; prints seconds and peak memory with the size of $out.
measure() {
  local label=$1 out=$2
  shift 2
  /usr/bin/time -f '%e %M %U' -o "$work/time" "$@" >/dev/null
  read -r seconds kib user <"$work/time"
  printf '%-34s %9s %9s %12s %10s\n' "$label" "$seconds" "$user" "$(stat -c %s "$out")" "$((kib / 1024))"
}

for jobs in 1 2; do
  measure "fa2 pack --codec lzma --jobs $jobs" "$work/p$jobs.fa2" \
    "$fa2" pack "$work/in" -o "$work/p$jobs.fa2" --codec lzma --jobs "$jobs"
done
cmp -s "$work/p1.fa2" "$work/p2.fa2" && echo "fa2 --jobs 1 and 2: the same bytes" || echo "fa2 --jobs 1 and 2 DIFFER"
for threads in 1 2; do
  measure "xz -6 -T$threads" "$work/x$threads.xz" sh -c "xz -6 -T$threads -c '$work/in/$(basename "$file")' >'$work/x$threads.xz'"
done
