#!/bin/sh
# By hand: the update's size with --from against the full LZMA update, xdelta3 -9 -S lzma and bsdiff, per file,
# on folders made by make_delta_pairs.py. Figures: bench/README.md ("Delta updates").
#   bench/delta_size.sh PAIRS_DIR [FA2] [STUB]
# bsdiff is left out for old files past 300 MB (it needs about 17 times the old file in memory). FULL=0 leaves
# the full LZMA build out (about 0.3 MB/s on the benchmark machine: an hour for the 1 GB pair).
set -eu
pairs=$1
fa2=${2:-build/host/fa2}
stub=${3:-tests/host/pe_fixtures/stub_plain.exe}
# The side-by-side tools are Debian's xdelta3 and bsdiff: missing ones are said before the long builds.
for tool in xdelta3 bsdiff bc; do
    command -v "$tool" >/dev/null || { echo "$tool is needed: apt-get install xdelta3 bsdiff bc" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${FULL:-1}" = 1 ]; then
    /usr/bin/time -f "%e s, %M KB peak" -o "$work/full.time" "$fa2" build "$pairs/new" -o "$work/full.exe" --stub "$stub" --codec lzma >/dev/null 2>&1
    "$fa2" list "$work/full.exe" >"$work/full.list"
else
    echo "not measured" >"$work/full.time"
    : >"$work/full.list"
    : >"$work/full.exe"
fi
/usr/bin/time -f "%e s, %M KB peak" -o "$work/delta.time" "$fa2" build "$pairs/new" --from "$pairs/old" -o "$work/delta.exe" --stub "$stub" --codec lzma >/dev/null 2>&1
"$fa2" list "$work/delta.exe" >"$work/delta.list"
"$fa2" verify "$work/delta.exe" --from "$pairs/old" >/dev/null

printf "%-16s %12s %12s %12s %12s %12s  %s\n" file new-bytes full-lzma fa2-delta xdelta3 bsdiff "delta/xdelta3, delta/full"
cd "$pairs/new"
find . -type f ! -name UPDATE.INI | sort | while read -r f; do
    name=$(basename "$f")
    new=$(stat -c %s "$f")
    full=$(awk -v n="$name" '$5 == n {print $2}' "$work/full.list")
    delta=$(awk -v n="$name" '$5 == n {print $2}' "$work/delta.list")
    xdelta3 -9 -S lzma -e -f -s "$pairs/old/$f" "$f" "$work/x.vcdiff"
    x=$(stat -c %s "$work/x.vcdiff")
    if [ "$(stat -c %s "$pairs/old/$f")" -le 314572800 ]; then
        bsdiff "$pairs/old/$f" "$f" "$work/b.patch" && b=$(stat -c %s "$work/b.patch")
    else
        b=-
    fi
    share=-
    [ -n "$full" ] && share=$(printf "%.2f%%" "$(echo "100 * $delta / $full" | bc -l)")
    printf "%-16s %12s %12s %12s %12s %12s  %.2fx, %s\n" "$name" "$new" "${full:--}" "$delta" "$x" "$b" \
        "$(echo "$delta / $x" | bc -l)" "$share"
done
cd - >/dev/null
echo "updater executables: full $(stat -c %s "$work/full.exe") bytes, --from $(stat -c %s "$work/delta.exe") bytes"
echo "fa2 build --codec lzma: $(cat "$work/full.time"); with --from: $(cat "$work/delta.time")"
