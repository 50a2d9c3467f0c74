#!/usr/bin/env python3
"""Draws the Quillon tray icon and writes it as a Windows .ico file.

The glyph is three mixing-console faders (dark slots, white caps at different levels) on an amber
rounded square. Each size is drawn on its own pixel grid so the small sizes stay crisp: slot and cap
edges are snapped to whole pixels and only the rounded corners are anti-aliased.

The 16, 32 and 48 px images are stored as 32-bit BMP entries (readable by every Windows version and by
Wine's loader), the 256 px image as PNG, as Windows' own icons do. Standard library only.

    make_icon.py OUT.ico [--png-dir DIR]   write the icon (and, with --png-dir, one PNG per size)
    make_icon.py --check ICO               list the images of an .ico and fail unless it is well formed
"""
import argparse
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)

TOP = (0xF5, 0x9E, 0x2E)       # amber, top of the background
BOTTOM = (0xC9, 0x5A, 0x12)    # burnt orange, bottom
EDGE = (0x7A, 0x33, 0x08)      # outline, so the square holds on light taskbars
SLOT = (0x3B, 0x1C, 0x06)      # fader slots
CAP = (0xFF, 0xFF, 0xFF)       # fader caps
CAP_LINE = (0x5A, 0x5A, 0x5A)  # the line across a cap (large sizes)

# Cap positions, as a fraction of the slot's travel from the top: three channels at different levels.
LEVELS = (0.70, 0.15, 0.45)


def _even(value, minimum):
    n = max(minimum, int(round(value)))
    return n + (n & 1)


def _rounded_rect_coverage(px, py, x0, y0, x1, y1, radius):
    """Fraction of pixel (px, py) covered by the rounded rectangle [x0,x1) x [y0,y1), 4x4 samples."""
    hits = 0
    for sy in range(4):
        y = py + (sy + 0.5) / 4
        for sx in range(4):
            x = px + (sx + 0.5) / 4
            if x < x0 or x >= x1 or y < y0 or y >= y1:
                continue
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius:
                hits += 1
    return hits / 16.0


def _blend(dst, colour, alpha):
    """Source-over of an opaque colour at coverage alpha onto a premultiplied-free RGBA pixel."""
    if alpha <= 0.0:
        return dst
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = lambda c, d: (c * alpha + d * a * (1.0 - alpha)) / out_a
    return (mix(colour[0], r), mix(colour[1], g), mix(colour[2], b), out_a)


def draw(size):
    """Returns the image as rows of (r, g, b, a) tuples, r g b in 0..255 and a in 0..1."""
    pixels = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, radius, colour_at):
        # Only the pixels the shape can touch; coverage sampling only where the corners are.
        for py in range(max(0, int(y0)), min(size, int(y1) + 1)):
            for px in range(max(0, int(x0)), min(size, int(x1) + 1)):
                inner = (px >= x0 + radius and px + 1 <= x1 - radius and py >= y0 and py + 1 <= y1) or (
                    py >= y0 + radius and py + 1 <= y1 - radius and px >= x0 and px + 1 <= x1)
                alpha = 1.0 if inner else _rounded_rect_coverage(px, py, x0, y0, x1, y1, radius)
                if alpha > 0.0:
                    pixels[py][px] = _blend(pixels[py][px], colour_at(px, py), alpha)

    def gradient(_px, py):
        t = (py + 0.5) / size
        return tuple(TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3))

    # Background: the outline colour, then the gradient inset by the outline's width.
    edge = max(1, size // 32)
    radius = size * 0.2
    fill(0, 0, size, size, radius, lambda _x, _y: EDGE)
    fill(edge, edge, size - edge, size - edge, max(0.0, radius - edge), gradient)

    slot_w = _even(size * 0.07, 2)
    cap_w = _even(size * 0.2, 4)
    cap_h = max(2, int(round(size * 0.1)))
    top = int(round(size * 0.17))
    bottom = size - top
    for channel, level in enumerate(LEVELS):
        cx = size * (channel + 1) // 4
        fill(cx - slot_w // 2, top, cx + slot_w // 2, bottom, slot_w / 2 if size >= 48 else 0, lambda _x, _y: SLOT)
        cap_top = top + int(round((bottom - top - cap_h) * level))
        fill(cx - cap_w // 2, cap_top, cx + cap_w // 2, cap_top + cap_h, cap_h * 0.25 if size >= 48 else 0,
             lambda _x, _y: CAP)
        if size >= 48:
            line = max(1, cap_h // 6)
            mid = cap_top + (cap_h - line) // 2
            fill(cx - cap_w // 2 + line, mid, cx + cap_w // 2 - line, mid + line, 0, lambda _x, _y: CAP_LINE)
    return pixels


def _bytes_rgba(pixels):
    out = []
    for row in pixels:
        for r, g, b, a in row:
            out.append((int(round(r)), int(round(g)), int(round(b)), int(round(a * 255))))
    return out


def encode_png(pixels):
    size = len(pixels)
    raw = bytearray()
    flat = _bytes_rgba(pixels)
    for y in range(size):
        raw.append(0)  # filter: none
        for r, g, b, a in flat[y * size:(y + 1) * size]:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(
        b"IEND", b"")


def encode_bmp(pixels):
    """An icon's DIB: BITMAPINFOHEADER (height doubled for the mask), 32-bit BGRA bottom-up, AND mask."""
    size = len(pixels)
    flat = _bytes_rgba(pixels)
    colour = bytearray()
    for y in reversed(range(size)):
        for r, g, b, a in flat[y * size:(y + 1) * size]:
            colour += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(mask_stride)
        for x in range(size):
            if flat[y * size + x][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def encode_ico(images):
    """images: list of (size, data). ICONDIR, one ICONDIRENTRY per image, then the image data."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _size, data in images:
        out += data
    return out


def check_ico(data):
    """Parses an .ico; returns [(size, 'png'|'bmp')] or raises ValueError."""
    if len(data) < 6:
        raise ValueError("too short for an icon directory")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1 or count == 0:
        raise ValueError("not an icon directory (reserved=%d type=%d count=%d)" % (reserved, kind, count))
    found = []
    for i in range(count):
        w, h, _colours, _res, planes, bits, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = w or 256, h or 256
        if offset + length > len(data):
            raise ValueError("image %d runs past the end of the file" % i)
        body = data[offset:offset + length]
        if body.startswith(b"\x89PNG\r\n\x1a\n"):
            pw, ph = struct.unpack_from(">II", body, 16)
            if (pw, ph) != (w, h):
                raise ValueError("image %d: PNG is %dx%d, directory says %dx%d" % (i, pw, ph, w, h))
            found.append((w, "png"))
        else:
            hsize, bw, bh, _planes, bbits = struct.unpack_from("<IiiHH", body, 0)
            expected = 40 + w * h * 4 + ((w + 31) // 32) * 4 * h
            if hsize != 40 or bw != w or bh != 2 * h or bbits != 32 or bits != 32 or planes != 1:
                raise ValueError("image %d: bad DIB header" % i)
            if length != expected:
                raise ValueError("image %d: %d bytes, expected %d" % (i, length, expected))
            found.append((w, "bmp"))
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", help="the .ico file to write")
    parser.add_argument("--png-dir", help="also write icon-<size>.png into this folder")
    parser.add_argument("--check", metavar="ICO", help="check an existing .ico instead of writing one")
    args = parser.parse_args(argv)

    if args.check:
        with open(args.check, "rb") as f:
            try:
                found = check_ico(f.read())
            except ValueError as err:
                print("%s: %s" % (args.check, err), file=sys.stderr)
                return 1
        print(" ".join("%d:%s" % item for item in found))
        return 0
    if not args.output:
        parser.error("give the .ico file to write, or --check ICO")

    images = []
    for size in SIZES:
        pixels = draw(size)
        images.append((size, encode_png(pixels) if size >= 256 else encode_bmp(pixels)))
        if args.png_dir:
            os.makedirs(args.png_dir, exist_ok=True)
            with open(os.path.join(args.png_dir, "icon-%d.png" % size), "wb") as f:
                f.write(encode_png(pixels))
    data = encode_ico(images)
    check_ico(data)
    tmp = args.output + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
