#!/usr/bin/env python3
"""Draws the window's two pictures, with nothing but the standard library:
checks.bmp (bitmap 140: the three check images, 48 x 16, 16 colours, white transparent) and
kvxlogplus.ico (icon 128: 16, 32 and 48 pixels, 32-bit with alpha).
Run from this folder after changing a shape; the outputs are kept beside it."""
import math
import struct

# ---- bitmap 140 ------------------------------------------------------------------------------
# The 16 colours of the standard VGA palette; index 15 is white, 8 dark grey, 0 black.
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
WHITE, GREY, BLACK = 15, 8, 0


def check_images():
    w, h = 48, 16
    px = [[WHITE] * w for _ in range(h)]
    for img in range(3):
        ox = img * 16
        cx, cy = ox + 7.5, 7.5
        for y in range(h):
            for x in range(ox, ox + 16):
                d = math.hypot(x - cx, y - cy)
                if 5.6 <= d <= 6.9:
                    px[y][x] = GREY  # the circle
                if img == 2 and d <= 3.3:
                    px[y][x] = GREY  # partial: a filled dot
        if img == 1:  # checked: a black check mark
            for (x0, y0, x1, y1) in [(4.5, 7.5, 6.8, 10.5), (6.8, 10.5, 11.0, 4.5)]:
                steps = 40
                for s in range(steps + 1):
                    t = s / steps
                    x, y = x0 + (x1 - x0) * t, y0 + (y1 - y0) * t
                    for dx in (0, 1):
                        for dy in (0, 1):
                            xx, yy = int(ox + x + dx - 0.5), int(y + dy - 0.5)
                            if 0 <= yy < h:
                                px[yy][xx] = BLACK
    # Order in the strip: empty circle, check, dot. The list holds the strip twice, so state
    # indexes 1, 2 and 3 show the check, the dot and (from the second copy) the empty circle.
    return w, h, px


def write_bmp4(path, w, h, px):
    row_bytes = ((w * 4 + 31) // 32) * 4
    data = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(0, w, 2):
            row.append((px[y][x] << 4) | px[y][x + 1])
        row += b"\0" * (row_bytes - len(row))
        data += row
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    off = 14 + 40 + len(pal)
    header = struct.pack("<2sIHHI", b"BM", off + len(data), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, len(data), 2835, 2835, 16, 0)
    with open(path, "wb") as f:
        f.write(header + info + pal + bytes(data))


# ---- icon 128 --------------------------------------------------------------------------------
def icon_pixels(size):
    """A blue rounded square with a white trace, drawn at 4x4 samples per pixel."""
    s = size / 32.0
    trace = [(4, 18), (9, 18), (12, 8), (16, 26), (20, 12), (23, 18), (28, 18)]
    trace = [(x * s, y * s) for x, y in trace]
    width = max(1.2, 2.2 * s)

    def seg_dist(px_, py_, a, b):
        ax, ay = a
        bx, by = b
        vx, vy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px_ - ax) * vx + (py_ - ay) * vy) / (vx * vx + vy * vy)))
        return math.hypot(px_ - ax - t * vx, py_ - ay - t * vy)

    def inside_rounded(x, y):
        r = 5 * s
        lo, hi = 1 * s, 31 * s
        if x < lo or x > hi or y < lo or y > hi:
            return False
        cx = min(max(x, lo + r), hi - r)
        cy = min(max(y, lo + r), hi - r)
        return math.hypot(x - cx, y - cy) <= r

    out = []
    n = 4
    for y in range(size):
        row = []
        for x in range(size):
            cov = white = 0
            for i in range(n):
                for j in range(n):
                    sx, sy = x + (i + 0.5) / n, y + (j + 0.5) / n
                    if inside_rounded(sx, sy):
                        cov += 1
                        if min(seg_dist(sx, sy, trace[k], trace[k + 1])
                               for k in range(len(trace) - 1)) <= width / 2:
                            white += 1
            a = cov / (n * n)
            if cov:
                f = white / cov
                r = int(0x1F + (255 - 0x1F) * f)
                g = int(0x4E + (255 - 0x4E) * f)
                b = int(0x8C + (255 - 0x8C) * f)
            else:
                r = g = b = 0
            row.append((r, g, b, int(round(a * 255))))
        out.append(row)
    return out


def icon_image(size):
    px = icon_pixels(size)
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for (r, g, b, a) in px[y]:
            xor += struct.pack("<BBBB", b, g, r, a)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(px[y]):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask),
                       0, 0, 0, 0)
    return info + bytes(xor) + bytes(and_mask)


def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    write_bmp4("checks.bmp", *check_images())
    write_ico("kvxlogplus.ico", [16, 32, 48])
