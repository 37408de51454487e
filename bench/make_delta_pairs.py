#!/usr/bin/env python3
"""Old/new release folders for the delta benchmark (bench/delta_size.sh).

usage: make_delta_pairs.py OUT_DIR [--pack-mb 1024] [--seed 1]

OUT_DIR/old and OUT_DIR/new each get, as a game installs them:
  data/game.pak  a pack file of records (4-64 KiB, a small header each, then asset-like bytes that compress
                 about 2:1); in the new one 2% of the records are replaced and 1% new ones inserted at random
                 places
  game.exe       20 MB of executable-like bytes (functions of x86-looking code with relative calls, tables,
                 strings); in the new one a few functions are rewritten (some longer), moving what follows
  text/*.txt     scenario text files; a few lines edited, inserted and deleted in the new ones
  UPDATE.INI     (new only) naming them all
"""
import os
import random
import sys


def asset_bytes(rng, size):
    # Half entropy: random bytes from a 16-symbol alphabet, then runs, the way packed game assets compress.
    raw = rng.randbytes(size)
    table = bytes((i * 37 + 11) & 0xFF if i % 2 else (i & 0x0F) * 16 for i in range(256))
    data = bytearray(raw.translate(table))
    for _ in range(size // 2048):
        at = rng.randrange(size)
        length = min(rng.randrange(16, 200), size - at)
        data[at:at + length] = bytes([data[at]]) * length
    return bytes(data)


def record(rng, index):
    size = rng.randrange(4096, 65536)
    header = b"REC0" + index.to_bytes(4, "little") + size.to_bytes(4, "little") + b"\0" * 4
    return header + asset_bytes(rng, size)


def write_pack(path_old, path_new, total, rng):
    changed_rng = random.Random(rng.random())
    with open(path_old, "wb") as old, open(path_new, "wb") as new:
        written, index = 0, 0
        while written < total:
            r = record(rng, index)
            old.write(r)
            written += len(r)
            roll = changed_rng.random()
            if roll < 0.02:
                new.write(record(changed_rng, index))  # replaced
            else:
                new.write(r)
            if changed_rng.random() < 0.01:
                new.write(record(changed_rng, 1000000 + index))  # inserted
            index += 1


def function(rng, calls):
    body = bytearray(b"\x55\x89\xe5\x83\xec" + bytes([rng.randrange(8, 128)]))
    for _ in range(rng.randrange(8, 60)):
        kind = rng.random()
        if kind < 0.2 and calls:
            body += b"\xe8" + rng.choice(calls).to_bytes(4, "little", signed=True)
        elif kind < 0.5:
            body += b"\x8b" + bytes([rng.randrange(0x40, 0x80), rng.randrange(0, 0x40)])
        else:
            body += bytes([rng.choice([0x89, 0x01, 0x29, 0x31, 0x85, 0x39]), rng.randrange(256)])
    return bytes(body + b"\xc9\xc3")


def write_exe(path_old, path_new, size, rng):
    funcs = []
    total = 0
    while total < size * 3 // 4:
        f = function(rng, [rng.randrange(-100000, 100000) for _ in range(4)])
        funcs.append(f)
        total += len(f)
    tables = b"".join(rng.randrange(0x401000, 0x801000).to_bytes(4, "little") for _ in range(size // 16))
    strings = b"".join(b"message %d: %s\0" % (i, rng.randbytes(8).hex().encode()) for i in range(size // 64))
    rest = size - total - len(tables)
    old = b"MZ" + b"\0" * 510 + b"".join(funcs) + tables + strings[:max(0, rest)]
    for i in rng.sample(range(len(funcs)), 12):
        funcs[i] = function(rng, [rng.randrange(-100000, 100000) for _ in range(4)])  # rewritten, often resized
    new = b"MZ" + b"\0" * 510 + b"".join(funcs) + tables + strings[:max(0, rest)]
    open(path_old, "wb").write(old)
    open(path_new, "wb").write(new)


def write_texts(old_dir, new_dir, rng):
    words = ["探偵", "事件", "坂", "風鈴", "the", "door", "night", "said", "she", "rain"]
    for n in range(5):
        lines = [" ".join(rng.choice(words) for _ in range(rng.randrange(4, 14))) for _ in range(3000)]
        old = "\r\n".join(lines)
        for _ in range(20):
            at = rng.randrange(len(lines))
            action = rng.random()
            if action < 0.4:
                lines[at] = " ".join(rng.choice(words) for _ in range(8))
            elif action < 0.7:
                lines.insert(at, "new line %d" % rng.randrange(10 ** 6))
            else:
                del lines[at]
        new = "\r\n".join(lines)
        open(os.path.join(old_dir, "text", "scene%d.txt" % n), "wb").write(old.encode("cp932"))
        open(os.path.join(new_dir, "text", "scene%d.txt" % n), "wb").write(new.encode("cp932"))


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        sys.exit(__doc__)
    out = args[0]
    pack_mb = int(args[args.index("--pack-mb") + 1]) if "--pack-mb" in args else 1024
    seed = int(args[args.index("--seed") + 1]) if "--seed" in args else 1
    rng = random.Random(seed)
    old_dir, new_dir = os.path.join(out, "old"), os.path.join(out, "new")
    for d in (old_dir, new_dir):
        for sub in ("data", "text"):
            os.makedirs(os.path.join(d, sub), exist_ok=True)
    write_pack(os.path.join(old_dir, "data", "game.pak"), os.path.join(new_dir, "data", "game.pak"),
               pack_mb << 20, rng)
    write_exe(os.path.join(old_dir, "game.exe"), os.path.join(new_dir, "game.exe"), 20 << 20, rng)
    write_texts(old_dir, new_dir, rng)
    items = ["data\\game.pak", "game.exe"] + ["text\\scene%d.txt" % n for n in range(5)]
    ini = "[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n[UPDATE]\r\n"
    ini += "".join("UpdateFile%02d=%s\r\n" % (i, item) for i, item in enumerate(items))
    open(os.path.join(new_dir, "UPDATE.INI"), "wb").write(ini.encode("cp932"))


if __name__ == "__main__":
    main()
