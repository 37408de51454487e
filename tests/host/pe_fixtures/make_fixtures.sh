#!/bin/sh
# Rebuilds the PE images that the resource tests read (needs mingw-w64 for i686 and x86-64 binutils).
# The images are committed so that the host tests need no cross compiler.
set -e
cd "$(dirname "$0")"
python3 - <<'PY'
import struct
# One 16x16 32-bit icon: a BITMAPINFOHEADER, the pixels and the AND mask.
w = h = 16
pixels = bytes((x * 16) & 0xFF for x in range(w * h * 4))
mask = bytes(4 * h)
dib = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0) + pixels + mask
ico = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', w, h, 0, 0, 1, 32, len(dib), 22) + dib
open('stub.ico', 'wb').write(ico)
open('old_payload.bin', 'wb').write(b'OLD PAYLOAD ' * 50)
open('neighbour.bin', 'wb').write(bytes(range(256)) * 3)
PY
CC=i686-w64-mingw32-gcc
RC="i686-w64-mingw32-windres -c 65001"
$RC stub.rc -O coff -o stub_res.o
$RC stub_update.rc -O coff -o stub_update_res.o
$CC -Os -s -Wl,--dynamicbase stub.c stub_res.o -o stub_plain.exe
$CC -Os -s -Wl,--dynamicbase stub.c stub_update_res.o -o stub_update.exe
$CC -Os -s -Wl,--dynamicbase stub.c -o stub_nores.exe
x86_64-w64-mingw32-as entry64.s -o entry64.o
$RC stub.rc -O res -o stub64.res
x86_64-w64-mingw32-windres stub64.res -O coff -o stub64_res.o
x86_64-w64-mingw32-ld -s --subsystem console --dynamicbase -e start entry64.o stub64_res.o -o stub64.exe
rm -f stub64.res stub_res.o stub_update_res.o entry64.o stub64_res.o stub.ico old_payload.bin neighbour.bin
