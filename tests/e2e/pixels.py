#!/usr/bin/env python3
"""Reads what a window shows, from a screenshot in binary PPM (P6) form.

  pixels.py bands FILE X Y WIDTH HEIGHT
      Within the rectangle, finds the horizontal bands of pixel rows that carry ink (pixels
      clearly darker than the rectangle's background, which is its most common colour) and
      prints one "TOP BOTTOM" line per band, in pixels of the picture, top to bottom.

Text lines in a list, icons in a toolbar: each shows as one band, and the gaps between
them as background.
"""

import sys
from collections import Counter

INK = 96  # how much darker than the background (sum over R, G, B) a pixel must be to count


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    if fields[0] != b"P6" or int(fields[3]) != 255:
        sys.exit(f"pixels: {path} is not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def bands(path, x, y, w, h):
    width, height, pixels = read_ppm(path)
    x, y = max(0, x), max(0, y)
    w, h = min(w, width - x), min(h, height - y)

    def row(r):
        start = ((y + r) * width + x) * 3
        return pixels[start:start + w * 3]

    counts = Counter()
    for r in range(h):
        line = row(r)
        counts.update(line[i:i + 3] for i in range(0, len(line), 3))
    background = sum(counts.most_common(1)[0][0])
    inked = []
    for r in range(h):
        line = row(r)
        inked.append(any(background - (line[i] + line[i + 1] + line[i + 2]) > INK
                         for i in range(0, len(line), 3)))
    top = None
    for r, ink in enumerate(inked + [False]):
        if ink and top is None:
            top = r
        elif not ink and top is not None:
            print(y + top, y + r - 1)
            top = None


def main(argv):
    if len(argv) == 7 and argv[1] == "bands":
        bands(argv[2], *map(int, argv[3:7]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
