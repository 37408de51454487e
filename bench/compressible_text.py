# SIZE_MB megabytes of compressible text on stdout, the same on every run: 64 KiB chunks, each a line with the
# chunk's counters and then one of sixteen 251-byte texts repeated (about 4% of its size once packed).
#   python3 bench/compressible_text.py SIZE_MB
import sys
size = int(sys.argv[1]) << 20
texts = [(b"scene %02d: the lantern swings over the harbour road; " % v * 8)[:251] for v in range(16)]
out = sys.stdout.buffer
chunk = 65536
for k in range(0, size // chunk + 1):
    head = b"chunk %d of the archive, frame %d, checksum %08x\r\n" % (k, k * 3, k * 2654435761 % 2**32)
    body = (texts[k % 16] * (chunk // 251 + 1))[:chunk - len(head)]
    out.write((head + body)[:size - k * chunk])
