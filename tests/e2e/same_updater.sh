#!/usr/bin/env bash
# The Windows fa2.exe and the Linux fa2 write the same updater, byte for byte, from the same folder: files larger
# than the encoder's window, incompressible ones stored, scrambled ones, at each level, with either codec (LZMA's
# pieces of a file of 16 MiB or more too), and the sample.
# Usage: same_updater.sh BUILD_DIR FA2_EXE STUB_EXE LINUX_FA2   (exit 77: skipped when the Linux fa2 is not built)
set -euo pipefail
build=$(cd "$1" && pwd)
fa2_exe=$2
stub=$3
fa2_linux=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
[ -x "$fa2_linux" ] || { echo "skipped: no Linux fa2 at $fa2_linux (scripts/test builds it first)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

mkdir -p "$work/src/data"
printf '[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=k\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=big.dat\r\nUpdateFile01=noise.bin\r\nUpdateFile02=small.txt\r\n' \
  >"$work/src/UPDATE.INI"
python3 - "$work/src/data" <<'PY'
import os, random, sys
rng = random.Random(7)
words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(3000)]
big = bytearray()
while len(big) < 5 * 2**20 + 123:
    big += b" ".join(rng.choice(words) for _ in range(300)) + b"\r\n"
    big += rng.randbytes(rng.randrange(16, 4096))
open(os.path.join(sys.argv[1], "big.dat"), "wb").write(big)
open(os.path.join(sys.argv[1], "noise.bin"), "wb").write(rng.randbytes(200001))
open(os.path.join(sys.argv[1], "small.txt"), "wb").write(b"version 1.02\r\n" * 40)
PY
find "$work/src" -type f -exec touch -d @1700000000 {} +

# Builds $1 with both tools and the options that follow; the two updaters must be the same.
same() {
  local src=$1
  shift
  "$fa2_linux" build "$src" -o "$work/linux.exe" --stub "$stub" "$@" >"$work/log" 2>&1 ||
    fail "fa2 build $*: $(cat "$work/log")"
  "$root/scripts/wine-run" "$build" "$fa2_exe" build "Z:$src" -o "Z:$work/windows.exe" --stub "Z:$stub" \
    "$@" </dev/null >"$work/log" 2>&1 || fail "fa2.exe build $*: $(cat "$work/log")"
  cmp "$work/linux.exe" "$work/windows.exe" || fail "the two tools' updaters of $src differ with options '$*'"
  echo "same updater of $(basename "$src") ($(stat -c %s "$work/linux.exe") bytes) with options '${*:-(default)}'"
  rm -f "$work/linux.exe" "$work/windows.exe"
}

for options in "--fast --scramble" "" "--best" "--store --scramble" "--codec lzma" "--codec lzma --best --scramble"; do
  # shellcheck disable=SC2086
  same "$work/src" $options
done

cp -r "$root/samples/update" "$work/sample"
find "$work/sample" -type f -exec touch -d @1700000000 {} +
same "$work/sample" --codec lzma
same "$work/sample" --codec lzma --scramble --jobs 1

# A file large enough to be packed in LZMA's pieces.
python3 -c 'import random, sys; r = random.Random(9); sys.stdout.buffer.write(b"".join(b"record %d " % r.randrange(99999) + r.randbytes(r.randrange(1, 40)) for _ in range(900000))[: 17 * 2**20])' \
  >"$work/src/data/huge.dat"
touch -d @1700000000 "$work/src/data/huge.dat"
printf 'UpdateFile03=huge.dat\r\n' >>"$work/src/UPDATE.INI"
same "$work/src" --codec lzma --fast --scramble
