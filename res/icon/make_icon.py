#!/usr/bin/env python3
"""Draws Brisvane's icon ("clean registry": registry blocks swept by a broom)
and packs it into res/brisvane.ico with icotool.

Usage: python3 res/icon/make_icon.py   (needs only Python and icoutils)

The images, in the order the icon group holds them: 32x32 and 16x16 at
8 bits, 48x48 at 32 bits, 32x32 at 24 bits, 16x16 at 32 bits. The 8-bit
ones are drawn without anti-aliasing so that they keep to a few colours.
"""
import os
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ICO = os.path.join(HERE, '..', 'brisvane.ico')

# (size, bits per pixel) in icon-group order.
IMAGES = [(32, 8), (16, 8), (48, 32), (32, 24), (16, 32)]


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def block(x, y, s):
    """One registry block: dark rim, blue face, light top-left bevel."""
    r = s * 0.12
    return [
        ((0x1F, 0x4E, 0x9A), rect(x, y, x + s, y + s)),
        ((0x3C, 0x7D, 0xD9), rect(x + r, y + r, x + s - r, y + s - r)),
        ((0x9C, 0xC4, 0xF4), rect(x + r, y + r, x + s - r, y + 2 * r)),
        ((0x9C, 0xC4, 0xF4), rect(x + r, y + r, x + 2 * r, y + s - r)),
    ]


def along(origin, d, p, a, b):
    return (origin[0] + a * d[0] + b * p[0], origin[1] + a * d[1] + b * p[1])


def broom():
    d, p = (-0.6, 0.8), (0.8, 0.6)       # along the handle, and across it
    top, end = (0.97, 0.03), (0.68, 0.42)
    handle = [along(top, d, p, 0, 0.045), along(top, d, p, 0, -0.045),
              along(end, d, p, 0, -0.045), along(end, d, p, 0, 0.045)]
    band = [along(end, d, p, -0.03, 0.10), along(end, d, p, -0.03, -0.10),
            along(end, d, p, 0.06, -0.11), along(end, d, p, 0.06, 0.11)]
    brush = [along(end, d, p, 0.06, 0.11), along(end, d, p, 0.06, -0.11),
             along(end, d, p, 0.36, -0.20), along(end, d, p, 0.36, 0.20)]
    shapes = [((0x7A, 0x4A, 0x1E), handle), ((0xE8, 0xB7, 0x30), brush)]
    for k in (-0.1, 0.0, 0.1):            # bristle lines
        shapes.append(((0xA8, 0x76, 0x0B), [along(end, d, p, 0.12, k * 0.6 - 0.012),
                                            along(end, d, p, 0.12, k * 0.6 + 0.012),
                                            along(end, d, p, 0.36, k * 1.6 + 0.015),
                                            along(end, d, p, 0.36, k * 1.6 - 0.015)]))
    shapes.append(((0xC0, 0x30, 0x30), band))
    return shapes


def sparkle(cx, cy, r):
    t = r * 0.28
    return [((0xF5, 0xC4, 0x00), [(cx, cy - r), (cx + t, cy - t), (cx + r, cy), (cx + t, cy + t),
                                  (cx, cy + r), (cx - t, cy + t), (cx - r, cy), (cx - t, cy - t)])]


SHAPES = (block(0.04, 0.56, 0.38) + block(0.46, 0.56, 0.38) + block(0.04, 0.14, 0.38)
          + sparkle(0.66, 0.26, 0.17) + broom())


def inside(poly, x, y):
    hit = False
    j = len(poly) - 1
    for i in range(len(poly)):
        (xi, yi), (xj, yj) = poly[i], poly[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def colour_at(x, y):
    found = None
    for colour, poly in SHAPES:
        if inside(poly, x, y):
            found = colour
    return found


def render(size, samples):
    pixels = []
    for py in range(size):
        for px in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size,
                                  (py + (sy + 0.5) / samples) / size)
                    if c:
                        hits += 1
                        acc = [a + b for a, b in zip(acc, c)]
            n = samples * samples
            if hits == 0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append(tuple(round(a / hits) for a in acc) + (round(255 * hits / n),))
    return pixels


def write_png(path, size, pixels):
    raw = b''.join(b'\0' + bytes(v for p in pixels[y * size:(y + 1) * size] for v in p)
                   for y in range(size))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n'
                + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main():
    args = ['icotool', '-c', '-o', ICO]
    for size, bits in IMAGES:
        pixels = render(size, 1 if bits == 8 else 4)
        if bits == 24:   # no alpha channel: keep a hard mask
            pixels = [p[:3] + (255,) if p[3] >= 128 else (0, 0, 0, 0) for p in pixels]
        png = os.path.join(HERE, 'icon-%d-%dbit.png' % (size, bits))
        write_png(png, size, pixels)
        args += ['-b', str(bits), png]
    subprocess.run(args, check=True)


if __name__ == '__main__':
    main()
