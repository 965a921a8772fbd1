#!/usr/bin/env python3
"""Draws the updater's icon and writes it as a .ico file.

Thirteen images: 48, 32, 24 and 16 pixels in 16 colours and in 256 colours, then 256,
48, 32, 24 and 16 pixels in 32-bit colour (the 256-pixel one as PNG, the others as
device-independent bitmaps with an AND mask). The picture: a blue disc carrying a white
arrow that points down onto a bar, the firmware going into the instrument.
"""
import math
import struct
import sys
import zlib

SUPERSAMPLE = 4
BLUE_TOP = (40, 120, 220)
BLUE_BOTTOM = (10, 60, 150)
WHITE = (255, 255, 255)


def inside_arrow(x, y):
    """The white figure in unit coordinates (0..1, y down)."""
    shaft = 0.43 <= x <= 0.57 and 0.20 <= y <= 0.52
    head = 0.50 <= y <= 0.70 and abs(x - 0.5) <= (0.70 - y) * 1.1
    bar = 0.25 <= x <= 0.75 and 0.74 <= y <= 0.81
    return shaft or head or bar


def render(size):
    """RGBA rows, top row first, each pixel a tuple of four ints."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    if math.hypot(x - 0.5, y - 0.5) > 0.47:
                        continue
                    if inside_arrow(x, y):
                        colour = WHITE
                    else:
                        colour = tuple(t + (u - t) * y for t, u in zip(BLUE_TOP, BLUE_BOTTOM))
                    r += colour[0]
                    g += colour[1]
                    b += colour[2]
                    a += 1
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / (n * n))))
        rows.append(row)
    return rows


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return colours


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((p - c) ** 2 for p, c in zip(palette[i], colour)))


def and_mask(rows):
    """1 where the pixel is transparent; bottom row first, rows padded to 32 bits."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib(rows, bits):
    size = len(rows)
    palette = {4: VGA16, 8: palette256()}.get(bits, [])
    stride = ((size * bits + 31) // 32) * 4
    pixels = bytearray()
    cache = {}
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            if bits == 32:
                line[x * 4:x * 4 + 4] = bytes((b, g, r, a))
                continue
            # Transparent pixels are black in the colour image; the mask cuts them out.
            colour = (r, g, b) if a >= 128 else (0, 0, 0)
            if colour not in cache:
                cache[colour] = nearest(palette, colour)
            index = cache[colour]
            if bits == 8:
                line[x] = index
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += line
    mask = and_mask(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, len(pixels) + len(mask),
                         0, 0, len(palette), 0)
    table = b''.join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    return header + table + bytes(pixels) + mask


def png(rows):
    size = len(rows)
    raw = b''.join(b'\x00' + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b'\x89PNG\r\n\x1a\n' +
            chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUTPUT.ico')
    images = [(s, 4) for s in (48, 32, 24, 16)] + [(s, 8) for s in (48, 32, 24, 16)] + \
             [(s, 32) for s in (256, 48, 32, 24, 16)]
    drawn = {}
    entries = []
    for size, bits in images:
        rows = drawn.setdefault(size, render(size))
        data = png(rows) if size == 256 else dib(rows, bits)
        entries.append((size, bits, data))

    offset = 6 + 16 * len(entries)
    directory = struct.pack('<HHH', 0, 1, len(entries))
    body = b''
    for size, bits, data in entries:
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, 16 if bits == 4 else 0, 0,
                                 1, bits, len(data), offset)
        offset += len(data)
        body += data
    with open(sys.argv[1], 'wb') as out:
        out.write(directory + body)


if __name__ == '__main__':
    main()
