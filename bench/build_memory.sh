#!/usr/bin/env bash
# Peak memory and time of `fa2 build` on a generated game folder of about 2 GB, at each level and with --store:
# what the tool holds stays near twice its largest file, whatever the folder's total.
# Usage: bench/build_memory.sh FA2 STUB [FOLDER_MB] [LARGEST_MB]   (defaults 2000 and 600)
#   FA2: build/host/fa2 (Release);  STUB: build/windows/UPDATE.exe
# Needs GNU time (/usr/bin/time) and about three times FOLDER_MB of free disk in $TMPDIR.
set -euo pipefail
fa2=$(realpath "$1")
stub=$(realpath "$2")
total_mb=${3:-2000}
largest_mb=${4:-600}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/game"
mkdir -p "$src/data" "$src/movie"

# Game-like bytes: words from a small vocabulary (script text, tables) with runs of noise (pictures, sound),
# so that every level has work to do and about half of it compresses.
python3 - "$src" "$total_mb" "$largest_mb" <<'PY'
import os, random, sys
src, total, largest = sys.argv[1], int(sys.argv[2]) * 10**6, int(sys.argv[3]) * 10**6
rng = random.Random(2026)
words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 10))) for _ in range(4000)]
chunk = bytearray()
while len(chunk) < 8 * 2**20:
    chunk += b" ".join(rng.choice(words) for _ in range(200)) + b"\r\n"
    chunk += rng.randbytes(rng.randrange(64, 2048))
def write(path, size):
    with open(path, "wb") as f:
        left, at = size, rng.randrange(len(chunk))
        while left:
            piece = chunk[at:at + min(left, 2**20)] or chunk[:min(left, 2**20)]
            f.write(piece)
            left -= len(piece)
            at = (at + len(piece) * 7) % len(chunk)
# Sixteen files, as many as the updater's list holds: the largest one and fifteen of equal size.
sizes = [largest] + [(total - largest) // 15] * 15
names = []
for i, size in enumerate(sizes):
    name = "movie/op.mpg" if i == 0 else "data/scene%02d.dat" % i
    write(os.path.join(src, name), size)
    names.append(os.path.basename(name))
with open(os.path.join(src, "UPDATE.INI"), "wb") as f:
    f.write(b"[SETUP]\r\nCompanyName=BenchSoft\r\nGameTitle=Bench\r\nGameClass=BenchWindow\r\nGameDir=Bench\r\n")
    f.write(b"[UPDATE]\r\n")
    for i, name in enumerate(names):
        f.write(b"UpdateFile%02d=%s\r\n" % (i, name.encode()))
PY
echo "folder: $(du -sm "$src" | cut -f1) MiB in 16 files, the largest $largest_mb MB"

for level in --fast "" --best --store; do
  /usr/bin/time -f "%M %e" -o "$work/time" "$fa2" build "$src" -o "$work/u.exe" $level --stub "$stub" \
    >"$work/out" 2>"$work/err" || { cat "$work/err"; exit 1; }
  read -r peak_kb seconds <"$work/time"
  ratio=$(python3 -c "print('%.2f' % ($peak_kb * 1024 / ($largest_mb * 10**6)))")
  echo "level ${level:-(default)}: peak RSS $((peak_kb / 1024)) MiB = ${ratio}x the largest file;" \
       "$seconds s; $(grep executable "$work/out" | tr -s ' ')"
done
