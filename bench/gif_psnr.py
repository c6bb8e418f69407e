#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# PSNR of GIF files against the photos they were made from, over the red,
# green and blue samples together (Pillow decodes both; no numpy needed).
#
#   gif_psnr.py PHOTO GIF...      prints one "PSNR" per GIF, in dB
import math
import sys

from PIL import Image, ImageChops


def psnr(photo, gif_path):
    gif = Image.open(gif_path).convert("RGB")
    if gif.size != photo.size:
        raise SystemExit(f"{gif_path}: {gif.size} differs from the photo's {photo.size}")
    hist = ImageChops.difference(photo, gif).histogram()  # 3 x 256 counts
    sse = sum(count * (i % 256) ** 2 for i, count in enumerate(hist))
    mse = sse / (photo.size[0] * photo.size[1] * 3)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)


def main():
    if len(sys.argv) < 3:
        raise SystemExit("usage: gif_psnr.py PHOTO GIF...")
    photo = Image.open(sys.argv[1]).convert("RGB")
    print(" ".join(f"{psnr(photo, g):.2f}" for g in sys.argv[2:]))


if __name__ == "__main__":
    main()
