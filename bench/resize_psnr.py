#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Mean PSNR (RGB) of a folder of shrunk pictures against Pillow's LANCZOS of
the whole decoded source at each output's own size (the peers round sizes
their own way). References are kept in a cache folder between calls.

usage: resize_psnr.py SOURCE_DIR OUTPUT_DIR CACHE_DIR
"""
import math
import os
import sys

from PIL import Image, ImageChops, ImageStat

src, out, cache = sys.argv[1:4]
vals = []
for name in sorted(os.listdir(out)):
    b = Image.open(os.path.join(out, name)).convert("RGB")
    stem = os.path.splitext(name)[0]
    key = os.path.join(cache, "%s_%dx%d.png" % (stem, b.size[0], b.size[1]))
    if os.path.exists(key):
        a = Image.open(key).convert("RGB")
    else:
        a = Image.open(os.path.join(src, stem + ".jpg")).convert("RGB")
        a = a.resize(b.size, Image.Resampling.LANCZOS)
        a.save(key, compress_level=1)
    st = ImageStat.Stat(ImageChops.difference(a, b))
    mse = sum(st.sum2) / (3.0 * a.size[0] * a.size[1])
    vals.append(99.0 if mse == 0 else 10 * math.log10(255.0**2 / mse))
print("%.1f" % (sum(vals) / len(vals)))
