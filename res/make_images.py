#!/usr/bin/python3
"""Draws the installer's images from source: make_images.py OUTDIR.

Writes title_icon.bmp (24x24) and logo.bmp (210x47) as 8-bit palette bitmaps, and the icon images with
their group and large.ico (16, 32, 48 and 64 pixels, 32 bits per pixel with alpha; the two large ones as
PNG, which Windows reads in icons since Vista, at a tenth of the size). Standard library only; the
output is the same bytes on every run.

Shapes are inside-tests over real coordinates; each pixel is covered by an n-by-n grid of samples, which
gives the anti-aliasing. Stems and bars sit on whole pixels so the letters stay crisp. Pixels that no
shape reaches keep the exact background colour, which is what lets the bitmaps sit frameless on the
window's title band and face.
"""

import math
import os
import struct
import sys
import zlib

TITLE_BAND = (118, 136, 154)  # the window's title band, under title_icon.bmp
FACE = (240, 240, 240)  # the window's face, under logo.bmp
INK = (38, 54, 76)  # word mark: dark slate
EMBLEM_TOP = (64, 140, 218)  # emblem: vertical gradient of a clear blue
EMBLEM_BOTTOM = (26, 82, 156)
EMBLEM_RIM = (18, 58, 112)
WHITE = (255, 255, 255)


# --- shapes ------------------------------------------------------------------------------------------


class Rect:
    def __init__(self, x0, y0, x1, y1):
        self.bbox = (x0, y0, x1, y1)

    def contains(self, x, y):
        x0, y0, x1, y1 = self.bbox
        return x0 <= x < x1 and y0 <= y < y1


class RoundRect:
    def __init__(self, x0, y0, x1, y1, r):
        self.bbox = (x0, y0, x1, y1)
        self.r = r

    def contains(self, x, y):
        x0, y0, x1, y1 = self.bbox
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        r = self.r
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r


class Ellipse:
    def __init__(self, cx, cy, rx, ry):
        self.c = (cx, cy, rx, ry)
        self.bbox = (cx - rx, cy - ry, cx + rx, cy + ry)

    def contains(self, x, y):
        cx, cy, rx, ry = self.c
        u, v = (x - cx) / rx, (y - cy) / ry
        return u * u + v * v <= 1.0


class Poly:
    """Simple polygon, even-odd rule."""

    def __init__(self, pts):
        self.pts = pts
        xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        self.bbox = (min(xs), min(ys), max(xs), max(ys))

    def contains(self, x, y):
        inside = False
        pts = self.pts
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside


class Union:
    def __init__(self, *parts):
        self.parts = parts
        self.bbox = (min(p.bbox[0] for p in parts), min(p.bbox[1] for p in parts),
                     max(p.bbox[2] for p in parts), max(p.bbox[3] for p in parts))

    def contains(self, x, y):
        for p in self.parts:
            x0, y0, x1, y1 = p.bbox
            if x0 <= x <= x1 and y0 <= y <= y1 and p.contains(x, y):
                return True
        return False


class Diff:
    def __init__(self, a, b):
        self.a, self.b = a, b
        self.bbox = a.bbox

    def contains(self, x, y):
        return self.a.contains(x, y) and not self.b.contains(x, y)


class Inter:
    def __init__(self, a, b):
        self.a, self.b = a, b
        self.bbox = (max(a.bbox[0], b.bbox[0]), max(a.bbox[1], b.bbox[1]),
                     min(a.bbox[2], b.bbox[2]), min(a.bbox[3], b.bbox[3]))

    def contains(self, x, y):
        return self.a.contains(x, y) and self.b.contains(x, y)


# --- glyphs ------------------------------------------------------------------------------------------
# Each takes the left edge x, the cap top t and baseline b, the stem width s; it answers (shape, width).


def chevron(x0, x1, t, b, s, flat):
    """A 'V' from x0..x1 whose outer edges meet at depth b with a flat of the given width."""
    xm = (x0 + x1) / 2.0
    dx, dy = xm - flat / 2.0 - x0, b - t
    h = s * math.hypot(dx, dy) / dy  # horizontal thickness that gives a stroke s wide
    yi = t + (xm - x0 - h) * dy / dx  # where the inner edges meet
    return Poly([(x0, t), (x0 + h, t), (xm, yi), (x1 - h, t), (x1, t),
                 (xm + flat / 2.0, b), (xm - flat / 2.0, b)])


def glyph_m(x, t, b, s, width=None, depth=1.0, diagonal=0.92, flat=0.55):
    """depth: how far down the middle vertex reaches; diagonal and flat: stroke and vertex widths in stems."""
    w = width or round((b - t) * 1.1)
    vb = t + (b - t) * depth
    shape = Union(Rect(x, t, x + s, b), Rect(x + w - s, t, x + w, b),
                  chevron(x, x + w, t, vb, s * diagonal, s * flat))
    return Inter(Rect(x, t, x + w, b), shape), w


def glyph_o(x, t, b, s):
    h = b - t
    w = round(h * 1.06)
    cx, cy = x + w / 2.0, (t + b) / 2.0
    rx, ry = w / 2.0, h / 2.0 + 0.4  # round letters overshoot the flat ones a little
    return Diff(Ellipse(cx, cy, rx, ry), Ellipse(cx, cy, rx - s * 1.08, ry - s * 0.95)), w


def glyph_r(x, t, b, s):
    h = b - t
    w = round(h * 0.8)
    hb = round(h * 0.57)  # bowl height, bottom bar included
    ry = hb / 2.0
    rx = ry * 1.02
    xc = x + w - 1 - rx
    outer = Union(Rect(x, t, xc, t + hb), Ellipse(xc, t + ry, rx, ry))
    inner = Union(Rect(x + s, t + s, xc, t + hb - s), Ellipse(xc, t + ry, rx - s * 1.08, ry - s))
    bowl = Diff(outer, inner)
    # The leg leaves the bowl's bottom bar and lands on the baseline at the right edge.
    xa, ya = x + w * 0.42, t + hb - s
    dx, dy = (x + w) - (xa + 1.0), b - ya
    hl = s * 1.02 * math.hypot(dx, dy) / dy
    leg = Poly([(xa, ya), (xa + hl, ya), (x + w, b), (x + w - hl, b)])
    shape = Union(Rect(x, t, x + s, b), bowl, Inter(Rect(x + s, ya, x + w, b), leg))
    return shape, w


def glyph_v(x, t, b, s):
    w = round((b - t) * 1.0)
    return chevron(x, x + w, t, b, s * 0.98, s * 0.65), w


def glyph_e(x, t, b, s):
    h = b - t
    w = round(h * 0.68)
    mid = t + round((h - s) / 2.0)
    return Union(Rect(x, t, x + s, b), Rect(x, t, x + w, t + s), Rect(x, mid, x + w - 1, mid + s),
                 Rect(x, b - s, x + w, b)), w


def glyph_l(x, t, b, s):
    w = round((b - t) * 0.62)
    return Union(Rect(x, t, x + s, b), Rect(x, b - s, x + w, b)), w


def glyph_t(x, t, b, s):
    w = round((b - t) * 0.76)
    if (w - s) % 2:
        w += 1  # keeps the stem on whole pixels
    stem = x + (w - s) // 2
    return Union(Rect(x, t, x + w, t + s), Rect(stem, t, stem + s, b)), w


GLYPHS = {"M": glyph_m, "O": glyph_o, "R": glyph_r, "V": glyph_v, "E": glyph_e, "L": glyph_l, "T": glyph_t}
# Space after each letter of the word mark, in pixels: round and diagonal sides sit closer.
WORD_SPACING = {"M": 3, "O": 3, "R": 2, "V": 3, "E": 4, "L": 2, "T": 0}


def word_mark(x, t, b, s, text="MORVELT"):
    shapes = []
    for ch in text:
        shape, w = GLYPHS[ch](x, t, b, s)
        shapes.append(shape)
        x += w + WORD_SPACING[ch]
    return shapes, x


# --- canvas ------------------------------------------------------------------------------------------


class Canvas:
    """Straight (not premultiplied) RGBA in floats, 0..255 for colour and 0..1 for alpha."""

    def __init__(self, w, h, bg=None):
        self.w, self.h = w, h
        base = (float(bg[0]), float(bg[1]), float(bg[2]), 1.0) if bg else (0.0, 0.0, 0.0, 0.0)
        self.px = [list(base) for _ in range(w * h)]

    def fill(self, shape, colour, ss=8):
        """Composites the shape over the canvas; colour is an RGB tuple or a function of (x, y)."""
        x0, y0, x1, y1 = shape.bbox
        offsets = [(i + 0.5) / ss for i in range(ss)]
        for py in range(max(0, math.floor(y0)), min(self.h, math.ceil(y1) + 1)):
            for px in range(max(0, math.floor(x0)), min(self.w, math.ceil(x1) + 1)):
                hits = 0
                for oy in offsets:
                    for ox in offsets:
                        if shape.contains(px + ox, py + oy):
                            hits += 1
                if hits == 0:
                    continue  # untouched pixels keep their exact colour
                a = hits / (ss * ss)
                c = colour(px + 0.5, py + 0.5) if callable(colour) else colour
                d = self.px[py * self.w + px]
                out_a = a + d[3] * (1.0 - a)
                for k in range(3):
                    d[k] = (c[k] * a + d[k] * d[3] * (1.0 - a)) / out_a
                d[3] = out_a

    def rgba(self, x, y):
        """Pixel (x, y) from the top left as 8-bit (r, g, b, a)."""
        d = self.px[y * self.w + x]
        clamp = lambda v: max(0, min(255, int(round(v))))
        return clamp(d[0]), clamp(d[1]), clamp(d[2]), clamp(d[3] * 255.0)


# --- the emblem: a blue rounded square with a white "M" ---------------------------------------------


def lerp(a, b, f):
    return tuple(a[k] + (b[k] - a[k]) * f for k in range(3))


def draw_emblem(canvas, ox, oy, n, ss=8):
    """Draws the emblem into the n-by-n square at (ox, oy); every size is laid out on its own pixel grid."""
    radius = n * 0.22
    gradient = lambda x, y: lerp(EMBLEM_TOP, EMBLEM_BOTTOM, min(1.0, max(0.0, (y - oy) / n)))
    canvas.fill(RoundRect(ox, oy, ox + n, oy + n, radius), EMBLEM_RIM, ss)
    rim = 1 if n < 48 else 1.5
    canvas.fill(RoundRect(ox + rim, oy + rim, ox + n - rim, oy + n - rim, radius - rim), gradient, ss)
    s = max(2, round(n * 0.125))
    w = round(n * 0.62)
    if (n - w) % 2:
        w += 1
    top = oy + round(n * 0.27)
    bottom = oy + n - round(n * 0.27)
    if n <= 24:  # on two-pixel stems a shallower vertex with a flat bottom stays readable
        m, _ = glyph_m(ox + (n - w) // 2, top, bottom, s, width=w, depth=0.75, diagonal=1.0, flat=1.0)
    else:
        m, _ = glyph_m(ox + (n - w) // 2, top, bottom, s, width=w, depth=0.78)
    canvas.fill(m, WHITE, ss)


# --- file formats ------------------------------------------------------------------------------------


def bmp8(canvas):
    """8-bit bottom-up BMP with a palette of the image's own colours (each image has fewer than
    256, so no pixel changes); rows padded to 4 bytes. A third of the size of 24 bits."""
    colours = sorted({canvas.rgba(x, y)[:3] for y in range(canvas.h) for x in range(canvas.w)})
    if len(colours) > 256:
        raise ValueError("%d colours do not fit an 8-bit palette" % len(colours))
    index = {c: i for i, c in enumerate(colours)}
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    row_bytes = (canvas.w + 3) & ~3
    rows = []
    for y in range(canvas.h - 1, -1, -1):
        row = bytes(index[canvas.rgba(x, y)[:3]] for x in range(canvas.w))
        rows.append(row + b"\0" * (row_bytes - len(row)))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.w, canvas.h, 1, 8, 0, len(pixels), 2835, 2835, len(colours),
                       len(colours))
    offset = 14 + len(info) + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + pixels


def ico_image(canvas):
    """One classic icon image: BITMAPINFOHEADER (double height), BGRA rows bottom-up, then the AND mask."""
    w, h = canvas.w, canvas.h
    xor = bytearray()
    mask_row_bytes = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_row_bytes)
        for x in range(w):
            r, g, b, a = canvas.rgba(x, y)
            if a == 0:
                r = g = b = 0
                bits[x // 8] |= 0x80 >> (x % 8)  # transparent where the alpha is zero
            xor += bytes((b, g, r, a))
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def png_image(canvas):
    """The image as a PNG (8-bit RGBA, no filter), the form of the large icon images."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + b"".join(bytes(canvas.rgba(x, y)) for x in range(canvas.w)) for y in range(canvas.h))
    header = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) +
            chunk(b"IEND", b""))


def icon_image(canvas):
    return png_image(canvas) if canvas.w >= 48 else ico_image(canvas)


def icon_group(canvases, images, first_id):
    """The group directory of an icon resource: the images it names are RT_ICON resources of their
    own, so two groups can share one set of images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    for n, (c, img) in enumerate(zip(canvases, images)):
        out += struct.pack("<BBBBHHIH", c.w % 256, c.h % 256, 0, 0, 1, 32, len(img), first_id + n)
    return out


def ico(canvases):
    images = [icon_image(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, img in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.w % 256, c.h % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


# --- the images --------------------------------------------------------------------------------------


def icon_sizes():
    out = []
    for n in (16, 32, 48, 64):
        c = Canvas(n, n)
        draw_emblem(c, 0, 0, n)
        out.append(c)
    return out


def title_icon():
    c = Canvas(24, 24, TITLE_BAND)
    draw_emblem(c, 2, 2, 20)  # a 2-pixel margin keeps the border the band's colour
    return c


def logo():
    c = Canvas(210, 47, FACE)
    emblem = 37
    draw_emblem(c, 4, (47 - emblem) // 2, emblem, ss=6)
    top, base, stem = 12, 35, 4
    shapes, _ = word_mark(4 + emblem + 9, top, base, stem)
    for shape in shapes:
        c.fill(shape, INK, ss=6)
    return c


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_images.py OUTDIR\n")
        return 2
    out_dir = argv[1]
    os.makedirs(out_dir, exist_ok=True)
    canvases = icon_sizes()
    images = [icon_image(c) for c in canvases]
    files = {
        "title_icon.bmp": bmp8(title_icon()),
        "logo.bmp": bmp8(logo()),
        # Both class icons (large and small) name the same four images; the system picks the
        # size it needs. One copy of the images keeps the executable small.
        "icons.grp": icon_group(canvases, images, 1),
        "large.ico": ico(canvases),  # the same icon as a file, for anyone who wants to look at it
    }
    for n, img in enumerate(images):
        files["icon%d.bin" % (n + 1)] = img
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
