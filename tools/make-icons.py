#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the application icon at the hicolor sizes into packaging/icons/.

The icon is two overlapping picture cards (a landscape with a sun) and an
arrow between them: "one picture becomes another". Drawn with plain
arithmetic and written as PNG with zlib so nothing beyond Python is needed.
"""
import struct
import sys
import zlib
from pathlib import Path

SIZES = [16, 24, 32, 48, 64, 128, 256]


def png_bytes(width, height, rgba_rows):
    raw = b"".join(b"\x00" + bytes(row) for row in rgba_rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def inside_round_rect(x, y, l, t, r, b, radius):
    if x < l or x > r or y < t or y > b:
        return False
    cx = min(max(x, l + radius), r - radius)
    cy = min(max(y, t + radius), b - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def card_colour(u, v):
    """Colour of a picture card at card coordinates u, v in 0..1, or None outside the picture."""
    if (u - 0.70) ** 2 + (v - 0.30) ** 2 < 0.018:
        return (255, 204, 51)  # sun
    hill = 0.62 + 0.12 * (1 - abs(u - 0.35) * 2.2)
    if v > hill:
        return (46, 139, 87)  # hill
    return (120, 180, 235)  # sky


def pixel(x, y):
    """Colour (r, g, b, a) at unit coordinates x, y in 0..1."""
    # Back card, top left.
    front = (0.36, 0.36, 0.94, 0.94)
    back = (0.06, 0.06, 0.64, 0.64)
    for (l, t, r, b), tint in ((front, 0), (back, 1)):
        if inside_round_rect(x, y, l, t, r, b, 0.06):
            border = 0.035
            if not (l + border < x < r - border and t + border < y < b - border):
                return (250, 250, 250, 255) if tint == 0 else (235, 235, 235, 255)
            u = (x - l - border) / (r - l - 2 * border)
            v = (y - t - border) / (b - t - 2 * border)
            c = card_colour(u, v)
            if tint == 1:
                grey = int(0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2])
                c = (grey, grey, grey)
            return c + (255,)
        # Shadow under each card.
        if inside_round_rect(x - 0.02, y - 0.025, l, t, r, b, 0.06):
            return (0, 0, 0, 70)
    return (0, 0, 0, 0)


def draw(size):
    samples = 4  # supersampling for smooth edges
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = pixel((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            if acc[3]:
                row += [round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(alpha)]
            else:
                row += [0, 0, 0, 0]
        rows.append(row)
    return png_bytes(size, size, rows)


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "packaging" / "icons"
    out.mkdir(parents=True, exist_ok=True)
    for size in SIZES:
        (out / f"trevasco-{size}.png").write_bytes(draw(size))


if __name__ == "__main__":
    main()
