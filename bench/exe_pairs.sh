#!/bin/sh
# By hand: a pair of releases made of this project's own executables, built from two commits far apart, for
# bench/delta_size.sh (figures: bench/README.md, "Approximate copies"). The Linux fa2 and the 32-bit updater come
# from OLD; the 64-bit updater from OLD64 (the first commits have no windows-x64 preset); the new ones from this
# tree's build folders, which must be built already (host fa2, windows and windows-x64 UPDATE).
#   bench/exe_pairs.sh OUT_DIR OLD OLD64
set -eu
out=$1 old=$2 old64=$3
root=$(cd "$(dirname "$0")/.." && pwd)
build_at() {  # commit, preset, target
    dir=/tmp/fa2-bench-$1
    [ -d "$dir" ] || git -C "$root" worktree add "$dir" "$1" >/dev/null
    (cd "$dir" && cmake --preset "$2" >/dev/null && cmake --build --preset "$2" -j2 --target "$3" >/dev/null)
    echo "$dir/build/$2"
}
rm -rf "$out"
mkdir -p "$out/old" "$out/new"
cp "$(build_at "$old" host fa2)/fa2" "$out/old/fa2"
cp "$(build_at "$old" windows UPDATE)/UPDATE.exe" "$out/old/upd32.exe"
cp "$(build_at "$old64" windows-x64 UPDATE)/UPDATE.exe" "$out/old/upd64.exe"
cp "$root/build/host/fa2" "$out/new/fa2"
cp "$root/build/windows/UPDATE.exe" "$out/new/upd32.exe"
cp "$root/build/windows-x64/UPDATE.exe" "$out/new/upd64.exe"
printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n[UPDATE]\r\n' >"$out/new/UPDATE.INI"
printf 'UpdateFile00=fa2\r\nUpdateFile01=upd32.exe\r\nUpdateFile02=upd64.exe\r\n' >>"$out/new/UPDATE.INI"
