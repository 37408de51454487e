#!/usr/bin/env python3
"""By hand: does an x86/x64 branch-target filter before differencing pay? Copies a pair of release folders
(old/ and new/, as make_delta_pairs.py lays them out) with every E8 (call) and E9 (jmp) rel32 operand whose top
byte is 00 or FF turned into an absolute target (operand + its end's offset), so that a call to a function that
moved by the same amount reads the same in old and new. For measurement only: run delta_size.sh on both folders
and compare the delta entries. Figures: bench/README.md ("Approximate copies")."""
import os
import shutil
import struct
import sys


def filtered(data):
    out = bytearray(data)
    i = 0
    end = len(out) - 4
    while i < end:
        b = out[i]
        if b == 0xE8 or b == 0xE9:
            rel = struct.unpack_from("<i", out, i + 1)[0]
            if -(1 << 24) <= rel < (1 << 24):
                struct.pack_into("<I", out, i + 1, (rel + i + 5) & 0xFFFFFFFF)
                i += 5
                continue
        i += 1
    return bytes(out)


def main():
    source, target = sys.argv[1], sys.argv[2]
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target)
    for side in ("old", "new"):
        for folder, _, names in os.walk(os.path.join(target, side)):
            for name in names:
                if name.lower().endswith((".exe", ".dll", ".bin")) or name == "fa2":
                    path = os.path.join(folder, name)
                    with open(path, "rb") as f:
                        data = f.read()
                    with open(path, "wb") as f:
                        f.write(filtered(data))


if __name__ == "__main__":
    main()
