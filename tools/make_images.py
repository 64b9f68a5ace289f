#!/usr/bin/env python3
"""Draws Orvel's window icon and its title picture.

Writes res/XKT.ico (one 16x16 image, 24 bits per pixel) and res/Orvel.bmp
(209x80, 8 bits per pixel, 256-colour palette). The picture is a high-voltage
meter: a dial with a lightning bolt, and the title "Orvel" beside it.
The files are committed; run this again only to change the drawing:

    python3 tools/make_images.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.join(HERE, "..", "res")

PICTURE_WIDTH = 209
PICTURE_HEIGHT = 80
ICON_SIZE = 16

# ---------------------------------------------------------------------------
# Palette of the picture. Indices 0-63 are the background ramp, the named
# colours follow, and a grey ramp fills the table up to 256 entries.

BACKGROUND_RAMP = 64
NAMED_COLOURS = {
    "white": (255, 255, 255),
    "black": (0, 0, 0),
    "yellow": (255, 214, 0),
    "orange": (230, 120, 0),
    "rim": (60, 64, 72),
    "face": (244, 242, 232),
    "tick": (40, 40, 40),
    "green": (40, 170, 60),
    "amber": (240, 180, 0),
    "red": (210, 30, 30),
    "needle": (190, 0, 0),
    "title": (255, 255, 255),
    "title_shadow": (8, 16, 48),
    "subtitle": (255, 214, 0),
}


def build_palette():
    palette = []
    for i in range(BACKGROUND_RAMP):
        t = i / (BACKGROUND_RAMP - 1)
        palette.append((int(16 + 24 * t), int(40 + 60 * t), int(96 + 110 * t)))
    index = {}
    for name, rgb in NAMED_COLOURS.items():
        index[name] = len(palette)
        palette.append(rgb)
    while len(palette) < 256:
        grey = len(palette)
        palette.append((grey, grey, grey))
    return palette, index


# ---------------------------------------------------------------------------
# Geometry helpers shared by both images.

def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y):
            if x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
        j = i
    return inside


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    cx, cy = ax + t * dx, ay + t * dy
    return math.hypot(px - cx, py - cy)


def bolt(cx, cy, scale):
    """A lightning bolt around (cx, cy); scale 1 is 16 units tall."""
    shape = [(1, -8), (-5, 1), (-1, 1), (-3, 8), (5, -2), (1, -2), (4, -8)]
    return [(cx + x * scale, cy + y * scale) for x, y in shape]


# ---------------------------------------------------------------------------
# A 5x7 font for the few letters the picture needs.

GLYPHS = {
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "r": ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    "v": ["00000", "00000", "10001", "10001", "10001", "01010", "00100"],
    "e": ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    "l": ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    " ": ["00000"] * 7,
}


def draw_text(pixels, text, left, top, scale, colour, gap):
    x = left
    for ch in text:
        for row, bits in enumerate(GLYPHS[ch]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            put(pixels, x + col * scale + dx, top + row * scale + dy, colour)
        x += 5 * scale + gap


def put(pixels, x, y, colour):
    if 0 <= y < len(pixels) and 0 <= x < len(pixels[0]):
        pixels[y][x] = colour


# ---------------------------------------------------------------------------
# The title picture.

def draw_picture(index):
    w, h = PICTURE_WIDTH, PICTURE_HEIGHT
    pixels = [[BACKGROUND_RAMP - 1 - (y * (BACKGROUND_RAMP - 1)) // (h - 1)] * w for y in range(h)]

    # The meter: a round dial with a coloured scale, ticks, a needle and a bolt.
    cx, cy, radius = 40, 40, 34
    scale_zones = [(200, 260, "green"), (260, 305, "amber"), (305, 340, "red")]
    for y in range(h):
        for x in range(w):
            r = math.hypot(x - cx, y - cy)
            if r > radius:
                continue
            if r > radius - 3:
                pixels[y][x] = index["rim"]
                continue
            pixels[y][x] = index["face"]
            angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
            if radius - 10 <= r <= radius - 6:
                for start, end, name in scale_zones:
                    if start <= angle < end:
                        pixels[y][x] = index[name]
    for k in range(8):
        a = math.radians(200 + k * 20)
        ax, ay = cx + (radius - 12) * math.cos(a), cy + (radius - 12) * math.sin(a)
        bx, by = cx + (radius - 4) * math.cos(a), cy + (radius - 4) * math.sin(a)
        for y in range(cy - radius, cy + radius):
            for x in range(cx - radius, cx + radius):
                if distance_to_segment(x, y, ax, ay, bx, by) < 0.8:
                    put(pixels, x, y, index["tick"])

    flash = bolt(cx, cy + 14, 1.1)
    for y in range(h):
        for x in range(w):
            if inside_polygon(x + 0.5, y + 0.5, flash):
                pixels[y][x] = index["yellow"]
            elif any(inside_polygon(x + 0.5 + dx, y + 0.5 + dy, flash)
                     for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                pixels[y][x] = index["orange"]

    needle_angle = math.radians(318)
    nx, ny = cx + (radius - 8) * math.cos(needle_angle), cy + (radius - 8) * math.sin(needle_angle)
    for y in range(cy - radius, cy + radius):
        for x in range(cx - radius, cx + radius):
            if distance_to_segment(x, y, cx, cy, nx, ny) < 1.2:
                put(pixels, x, y, index["needle"])
            if math.hypot(x - cx, y - cy) < 3.5:
                put(pixels, x, y, index["black"])

    # The title, with a shadow, and a line beneath.
    draw_text(pixels, "Orvel", 90, 14, 4, index["title_shadow"], 4)
    draw_text(pixels, "Orvel", 88, 12, 4, index["title"], 4)
    draw_text(pixels, "HV METER", 96, 56, 2, index["subtitle"], 2)
    return pixels


def write_bmp(path, pixels, palette):
    h, w = len(pixels), len(pixels[0])
    stride = (w + 3) & ~3
    rows = b"".join(bytes(row) + b"\0" * (stride - w) for row in reversed(pixels))
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    header_size = 14 + 40 + len(colours)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(rows), 2835, 2835, 256, 256)
    file_header = struct.pack("<2sIHHI", b"BM", header_size + len(rows), 0, 0, header_size)
    with open(path, "wb") as f:
        f.write(file_header + info + colours + rows)


# ---------------------------------------------------------------------------
# The icon: the same bolt on a dark blue round tile.

def draw_icon():
    n = ICON_SIZE
    flash = bolt(7.5, 8, 0.85)
    colours = [[None] * n for _ in range(n)]
    for y in range(n):
        for x in range(n):
            px, py = x + 0.5, y + 0.5
            corner = math.hypot(max(0, abs(px - 8) - 5), max(0, abs(py - 8) - 5))
            if corner > 3:
                continue                      # transparent corner
            if inside_polygon(px, py, flash):
                colours[y][x] = (255, 214, 0)
            elif corner > 2:
                colours[y][x] = (60, 64, 72)
            else:
                colours[y][x] = (24, 60, 150)
    return colours


def write_ico(path, colours):
    n = len(colours)
    xor = b""
    for row in reversed(colours):
        xor += b"".join(struct.pack("<BBB", *(reversed(c) if c else (0, 0, 0))) for c in row)
    mask_stride = ((n + 31) // 32) * 4
    mask = b""
    for row in reversed(colours):
        bits = 0
        for x, c in enumerate(row):
            if c is None:
                bits |= 1 << (mask_stride * 8 - 1 - x)
        mask += bits.to_bytes(mask_stride, "big")
    info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", n, n, 0, 0, 1, 24, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def main():
    palette, index = build_palette()
    write_bmp(os.path.join(RES, "Orvel.bmp"), draw_picture(index), palette)
    write_ico(os.path.join(RES, "XKT.ico"), draw_icon())


if __name__ == "__main__":
    main()
