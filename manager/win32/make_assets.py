#!/usr/bin/env python3
"""Writes the manager's pictures into a build folder: the busy animation
(an uncompressed 8-bit AVI, which the animation control plays without a
codec), the program's icon and the strip of the two line marks."""
import math
import struct
import sys

out = sys.argv[1]


def disc(cx, cy, r, x, y):
    """Coverage of pixel (x, y) by a disc, 4x4 supersampled."""
    hits = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            hits += (px - cx) ** 2 + (py - cy) ** 2 <= r * r
    return hits / 16


def near_segment(x, y, a, b, width):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= width / 2


def stroke(size, segments, width, x, y):
    hits = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            hits += any(near_segment(px, py, a, b, width) for a, b in segments)
    return hits / 16


# ---- the busy animation: eight dots on a circle, one bright, turning ----
SIZE, FRAMES, DOTS = 24, 8, 8
# Palette: 0 is the background the control makes transparent (its top-left
# pixel); 1..16 shade from light grey to the dark blue of the lit dot.
BG = (255, 0, 255)
palette = [BG] + [(int(200 - 170 * i / 15), int(200 - 150 * i / 15), int(210 - 40 * i / 15)) for i in range(16)]
palette += [(0, 0, 0)] * (256 - len(palette))


def frame(n):
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(SIZE):
            best = 0
            for d in range(DOTS):
                a = 2 * math.pi * d / DOTS - math.pi / 2
                cx, cy = SIZE / 2 + 8 * math.cos(a), SIZE / 2 + 8 * math.sin(a)
                cover = disc(cx, cy, 2.6, x, y)
                if cover >= 0.5:
                    age = (n - d) % DOTS  # 0: the lit dot
                    best = max(best, 16 - age * 2)
            row.append(best)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(tag, data):
    pad = b"\0" if len(data) % 2 else b""
    return tag + struct.pack("<I", len(data)) + data + pad


def lst(kind, data):
    return chunk(b"LIST", kind + data)


frame_bytes = SIZE * SIZE
bih = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 8, 0, frame_bytes, 0, 0, 256, 0)
bih += b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
avih = struct.pack("<IIIIIIIIII4I", 125000, frame_bytes * 8, 0, 0x10, FRAMES, 0, 1, frame_bytes, SIZE, SIZE,
                   0, 0, 0, 0)
strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, 8, 0, FRAMES, frame_bytes,
                   0xFFFFFFFF, 0, 0, 0, SIZE, SIZE)
hdrl = lst(b"hdrl", chunk(b"avih", avih) + lst(b"strl", chunk(b"strh", strh) + chunk(b"strf", bih)))
movi_parts, index = [], []
offset = 4
for n in range(FRAMES):
    data = frame(n)
    index.append(struct.pack("<4sIII", b"00db", 0x10, offset, len(data)))
    part = chunk(b"00db", data)
    movi_parts.append(part)
    offset += len(part)
movi = lst(b"movi", b"".join(movi_parts))
avi = chunk(b"RIFF", b"AVI " + hdrl + movi + chunk(b"idx1", b"".join(index)))
with open(f"{out}/movie.avi", "wb") as f:
    f.write(avi)


# ---- the marks: a green tick and a red cross, 16x16 each, on magenta ----
def mark_pixels(kind, x, y):
    if kind == 0:
        colour, segments = (0, 150, 60), [((3, 8.5), (6.5, 12)), ((6.5, 12), (13, 4))]
    else:
        colour, segments = (205, 30, 30), [((4, 4), (12, 12)), ((12, 4), (4, 12))]
    return colour if stroke(16, segments, 2.6, x, y) >= 0.5 else (255, 0, 255)


def bmp(width, height, pixel):
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - width * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    return header + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data


with open(f"{out}/marks.bmp", "wb") as f:
    f.write(bmp(32, 16, lambda x, y: mark_pixels(x // 16, x % 16, y)))


# ---- the icon: a blue rounded square with a white gear-like ring ----
def icon_image(size):
    s = size / 32

    def pixel(x, y):
        cx = cy = size / 2
        # rounded square
        inside = 0
        for sy in range(4):
            for sx in range(4):
                px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                qx, qy = max(abs(px - cx) - 10 * s, 0), max(abs(py - cy) - 10 * s, 0)
                inside += math.hypot(qx, qy) <= 5 * s
        a = inside / 16
        r = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
        ring = 5 * s <= r <= 9.5 * s
        col = (255, 255, 255) if ring else (30, 90, 170)
        return col + (int(255 * a),)

    rows = []
    for y in range(size - 1, -1, -1):
        for x in range(size):
            r, g, b, a = pixel(x, y)
            rows.append(bytes((b, g, r, a)))
    xor = b"".join(rows)
    mask_stride = ((size + 31) // 32) * 4
    and_mask = b"\0" * (mask_stride * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


images = [icon_image(16), icon_image(32)]
ico = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, img in zip((16, 32), images):
    ico += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
with open(f"{out}/QZManager.ico", "wb") as f:
    f.write(ico + b"".join(images))
