#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Pillow's side of bench/resize.sh: one process shrinks every JPEG of a
folder to PNG with LANCZOS, from the whole decoded picture ("full") or after
draft(), Pillow's DCT scaling ("draft").

usage: pil_resize.py full|draft 50%|800 SOURCE_DIR OUTPUT_DIR
"""
import os
import sys

from PIL import Image

mode, size, src, dst = sys.argv[1:5]
for name in sorted(os.listdir(src)):
    if not name.endswith(".jpg"):
        continue
    im = Image.open(os.path.join(src, name))
    w, h = im.size
    if size.endswith("%"):
        p = int(size[:-1])
        tw, th = w * p // 100, h * p // 100
    else:
        tw = int(size)
        th = h * tw // w
    if mode == "draft":
        im.draft("RGB", (tw, th))
    im = im.convert("RGB").resize((tw, th), Image.Resampling.LANCZOS)
    im.save(os.path.join(dst, name[:-4] + ".png"), "PNG", compress_level=6)
