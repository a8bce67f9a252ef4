#!/usr/bin/env python3
"""Writes the PNG seeds of the texture fuzz corpus (fuzz/corpus/texture/): one small
picture in every PNG kind the model loader takes (grey, grey+alpha, palette with
transparency, 16-bit RGB, RGBA, interlaced), plus a truncated one. Run from the top
of the tree:  scripts/texture-seeds.py fuzz/corpus/texture
"""
import struct
import sys
import zlib


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, depth, colour, rows, extra=b"", interlace=0):
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(out):
    w, h = 6, 5
    seeds = {
        "grey.png": png(w, h, 8, 0, [bytes((x * 40 + y * 9) % 256 for x in range(w))
                                     for y in range(h)]),
        "grey-alpha.png": png(w, h, 8, 4, [bytes(v for x in range(w) for v in (x * 40, y * 60))
                                           for y in range(h)]),
        "palette.png": png(w, h, 8, 3, [bytes((x + y) % 3 for x in range(w)) for y in range(h)],
                           chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255])) +
                           chunk(b"tRNS", bytes([255, 128]))),
        "rgb16.png": png(w, h, 16, 2, [b"".join(struct.pack(">HHH", x * 9000, y * 12000, 65535)
                                                for x in range(w)) for y in range(h)]),
        "rgba.png": png(w, h, 8, 6, [bytes(v for x in range(w) for v in (200, x * 40, y * 50, x * 50))
                                     for y in range(h)]),
        "interlaced.png": png(9, 9, 8, 2, [bytes((x * 28 + c * 80) % 256 for x in range(9) for c in range(3))
                                           for y in range(9)], interlace=1),
    }
    seeds["truncated.png"] = seeds["rgba.png"][:60]
    for name, data in seeds.items():
        with open(f"{out}/{name}", "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
