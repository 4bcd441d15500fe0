#!/usr/bin/env python3
"""Draws every picture of the sample installation folder and writes its
ClientInfo.ini in GB18030.

Plain python3 only: shapes are signed distance functions sampled at pixel
centres (so edges are anti-aliased), PNG files are written with zlib + struct,
and the application icon is an .ico container of PNG images.
Every picture the skin refers to is drawn twice: "name.png" at its size in
logical pixels and "name@2x.png" at twice that, which Qt takes on screens
scaled above 100 %. Buttons also get a "_focus" picture with a focus ring.
Running it rewrites the files under sample/; the output is deterministic.
"""
import math
import os
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "sample")
SKIN = os.path.join(SAMPLE, "Skin", "Corvel")
PICS = os.path.join(SKIN, "update")

W, H = 680, 480  # the update window

LOGO_NAME = "Corvel 客户端更新"


def rgb(s, a=1.0):
    return (int(s[1:3], 16) / 255, int(s[3:5], 16) / 255, int(s[5:7], 16) / 255, a)


WHITE = rgb("#ffffff")
NAVY = rgb("#0c2c4b")
BLUE = rgb("#1f6fd1")
TEAL = rgb("#25b9ad")
AMBER = rgb("#f29a35")


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def smoothstep(e0, e1, x):
    t = clamp01((x - e0) / (e1 - e0))
    return t * t * (3 - 2 * t)


def mix(c0, c1, t):
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def with_alpha(c, a):
    return (c[0], c[1], c[2], c[3] * a)


# ---------------------------------------------------------------- paints

def ramp(stops, t):
    if t <= stops[0][0]:
        return stops[0][1]
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            return mix(c0, c1, (t - t0) / (t1 - t0) if t1 > t0 else 1.0)
    return stops[-1][1]


def linear(x0, y0, x1, y1, stops):
    dx, dy = x1 - x0, y1 - y0
    n = dx * dx + dy * dy
    return lambda x, y: ramp(stops, clamp01(((x - x0) * dx + (y - y0) * dy) / n))


def radial(cx, cy, r, stops):
    return lambda x, y: ramp(stops, clamp01(math.hypot(x - cx, y - cy) / r))


# ---------------------------------------------------------------- shapes

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rbox(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hw, hh = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def f(x, y):
        qx, qy = abs(x - cx) - hw, abs(y - cy) - hh
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r
    return f


def segment(ax, ay, bx, by, w):
    dx, dy = bx - ax, by - ay
    n = dx * dx + dy * dy or 1e-9

    def f(x, y):
        t = clamp01(((x - ax) * dx + (y - ay) * dy) / n)
        return math.hypot(x - ax - dx * t, y - ay - dy * t) - w / 2
    return f


def polyline(points, w):
    segs = [segment(a[0], a[1], b[0], b[1], w) for a, b in zip(points, points[1:])]
    return lambda x, y: min(s(x, y) for s in segs)


def polygon(points):
    n = len(points)

    def f(x, y):
        d = (x - points[0][0]) ** 2 + (y - points[0][1]) ** 2
        s = 1.0
        j = n - 1
        for i in range(n):
            vi, vj = points[i], points[j]
            ex, ey = vj[0] - vi[0], vj[1] - vi[1]
            wx, wy = x - vi[0], y - vi[1]
            t = clamp01((wx * ex + wy * ey) / (ex * ex + ey * ey))
            bx, by = wx - ex * t, wy - ey * t
            d = min(d, bx * bx + by * by)
            c1, c2, c3 = y >= vi[1], y < vj[1], ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                s = -s
            j = i
        return s * math.sqrt(d)
    return f


def arc(cx, cy, r, w, a0, length):
    """Stroke of a circle from angle a0 (degrees, clockwise on screen) with round caps."""
    e0 = (cx + r * math.cos(math.radians(a0)), cy + r * math.sin(math.radians(a0)))
    a1 = a0 + length
    e1 = (cx + r * math.cos(math.radians(a1)), cy + r * math.sin(math.radians(a1)))

    def f(x, y):
        ang = math.degrees(math.atan2(y - cy, x - cx))
        if (ang - a0) % 360.0 <= length:
            return abs(math.hypot(x - cx, y - cy) - r) - w / 2
        return min(math.hypot(x - e0[0], y - e0[1]), math.hypot(x - e1[0], y - e1[1])) - w / 2
    return f


def ring(cx, cy, r, w):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - w / 2


def union(*fs):
    return lambda x, y: min(f(x, y) for f in fs)


def subtract(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def rounded(f, r):
    return lambda x, y: f(x, y) - r


# ---------------------------------------------------------------- canvas

class Canvas:
    """A picture of w x h logical pixels drawn at `scale` device pixels per
    logical pixel. Shapes, paints and bounding boxes are in logical pixels."""

    def __init__(self, w, h, fill=(0.0, 0.0, 0.0, 0.0), scale=1):
        self.scale = scale
        self.w, self.h = w * scale, h * scale
        self.px = list(fill) * (self.w * self.h)

    def fill(self, paint):
        s = self.scale
        for y in range(self.h):
            for x in range(self.w):
                c = paint((x + 0.5) / s, (y + 0.5) / s)
                j = 4 * (y * self.w + x)
                self.px[j:j + 4] = [c[0], c[1], c[2], c[3] if len(c) > 3 else 1.0]

    def draw(self, sdf, bbox, paint, opacity=1.0, feather=1.0):
        """Paints the inside of sdf (negative distances); edges fade over `feather`
        logical pixels, except a plain anti-aliased edge (1.0), which stays one
        device pixel wide at every scale so it stays sharp."""
        s = self.scale
        if feather > 1.0:
            feather *= s
        m = feather + 1
        x0 = max(0, int(math.floor(bbox[0] * s - m)))
        y0 = max(0, int(math.floor(bbox[1] * s - m)))
        x1 = min(self.w, int(math.ceil(bbox[2] * s + m)))
        y1 = min(self.h, int(math.ceil(bbox[3] * s + m)))
        half = feather / 2
        solid = paint if isinstance(paint, tuple) else None
        p = self.px
        for y in range(y0, y1):
            py = (y + 0.5) / s
            for x in range(x0, x1):
                px = (x + 0.5) / s
                d = sdf(px, py) * s
                if d >= half:
                    continue
                cov = 1.0 if d <= -half else (half - d) / feather
                if feather > 1.0:
                    cov = cov * cov * (3 - 2 * cov)
                c = solid or paint(px, py)
                a = cov * opacity * c[3]
                if a <= 0.0:
                    continue
                j = 4 * (y * self.w + x)
                da = p[j + 3]
                k = da * (1.0 - a)
                oa = a + k
                p[j] = (c[0] * a + p[j] * k) / oa
                p[j + 1] = (c[1] * a + p[j + 1] * k) / oa
                p[j + 2] = (c[2] * a + p[j + 2] * k) / oa
                p[j + 3] = oa

    def png(self, opaque=False):
        channels = 3 if opaque else 4
        rows = []
        p = self.px
        for y in range(self.h):
            row = bytearray()
            base = 4 * y * self.w
            for x in range(self.w):
                j = base + 4 * x
                for k in range(channels):
                    row.append(int(clamp01(p[j + k]) * 255 + 0.5))
            rows.append(bytes(row))
        return encode_png(self.w, self.h, rows, channels)


# ---------------------------------------------------------------- files

def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def _filtered(row, prev, bpp):
    """Picks per row the cheapest of the None, Sub and Up filters."""
    sub = bytes((row[i] - (row[i - bpp] if i >= bpp else 0)) & 255 for i in range(len(row)))
    up = bytes((row[i] - prev[i]) & 255 for i in range(len(row)))

    def cost(b):
        return sum(v if v < 128 else 256 - v for v in b)
    return min((cost(row), 0, row), (cost(sub), 1, sub), (cost(up), 2, up))[1:]


def encode_png(w, h, rows, channels):
    raw = bytearray()
    prev = bytes(len(rows[0]))
    for row in rows:
        kind, data = _filtered(row, prev, channels)
        raw.append(kind)
        raw += data
        prev = row
    colour_type = 2 if channels == 3 else 6
    header = struct.pack(">IIBBBBB", w, h, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + _chunk(b"IEND", b""))


def encode_ico(pngs):
    """pngs: list of (size, png bytes); sizes of 256 are stored as 0 in the directory."""
    out = struct.pack("<HHH", 0, 1, len(pngs))
    offset = 6 + 16 * len(pngs)
    body = b""
    for size, data in pngs:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return out + body


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote", os.path.relpath(path, ROOT), len(data), "bytes")


# ---------------------------------------------------------------- the mark

def draw_logo(cv, cx, cy, s, shadow=True):
    """Rounded badge, teal to blue, with two rising chevrons."""
    half = s / 2
    box = (cx - half, cy - half, cx + half, cy + half)
    if shadow and s >= 40:
        sh = rbox(box[0], box[1] + s * 0.06, box[2], box[3] + s * 0.06, s * 0.24)
        cv.draw(sh, box, with_alpha(NAVY, 0.35), feather=s * 0.18)
    badge = rbox(*box, s * 0.23)
    cv.draw(badge, box, linear(box[0], box[1], box[2], box[3],
                               [(0.0, rgb("#33c9b4")), (1.0, rgb("#1c63cc"))]))
    # soft sheen on the upper half
    cv.draw(badge, (box[0], box[1], box[2], cy),
            linear(cx, box[1], cx, cy, [(0.0, with_alpha(WHITE, 0.22)), (1.0, with_alpha(WHITE, 0.0))]))
    w = max(1.7, s * 0.105)
    span, rise = s * 0.2, s * 0.17
    for dy, alpha in ((-s * 0.115, 1.0), (s * 0.115, 0.62)):
        y = cy + dy + rise / 2
        chevron = polyline([(cx - span, y), (cx, y - rise), (cx + span, y)], w)
        cv.draw(chevron, box, with_alpha(WHITE, alpha))


def logo_png(size, scale=1):
    cv = Canvas(size, size, scale=scale)
    # The badge is drawn for the size it is shown at, in device pixels.
    draw_logo(cv, size / 2, size / 2, size * (0.94 if size * scale >= 40 else 1.0), shadow=False)
    return cv.png()


# ---------------------------------------------------------------- backgrounds

def lcg(seed):
    state = seed
    while True:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        yield state / 0x7FFFFFFF


def wave(base, a1, l1, p1, a2, l2, p2):
    return lambda x: base + a1 * math.sin(2 * math.pi * x / l1 + p1) + a2 * math.sin(2 * math.pi * x / l2 + p2)


def below(curve):
    return lambda x, y: curve(x) - y


def hero(cv, bottom, glow_at, seed):
    cv.fill(linear(0, 0, 0, 330, [(0.0, NAVY), (1.0, bottom)]))
    gx, gy, gr = glow_at
    cv.draw(circle(gx, gy, gr), (gx - gr, gy - gr, gx + gr, gy + gr),
            radial(gx, gy, gr, [(0.0, with_alpha(TEAL, 0.30)), (1.0, with_alpha(TEAL, 0.0))]))
    rnd = lcg(seed)
    for _ in range(14):
        x, y = next(rnd) * W, 40 + next(rnd) * 220
        r = 6 + next(rnd) * 26
        a = 0.025 + next(rnd) * 0.05
        cv.draw(circle(x, y, r), (x - r, y - r, x + r, y + r), with_alpha(WHITE, a), feather=4 + r * 0.6)
    # a faint dot grid fading out from the upper right corner
    for gy_ in range(52, 200, 14):
        for gx_ in range(470, 672, 14):
            fade = 1.0 - clamp01(math.hypot(gx_ - 670, gy_ - 52) / 210)
            if fade > 0.02:
                cv.draw(circle(gx_, gy_, 1.1), (gx_ - 2, gy_ - 2, gx_ + 2, gy_ + 2), with_alpha(WHITE, 0.16 * fade))


def panel(cv, top, phase):
    back = wave(top - 12, 7, 900, phase + 1.3, 3, 310, phase * 2)
    front = wave(top, 6, 760, phase, 2.5, 260, phase + 2.0)
    cv.draw(below(back), (0, top - 30, W, H), with_alpha(WHITE, 0.13), feather=1.5)
    # soft shadow just above the front edge, so the light panel reads as raised
    cv.draw(below(lambda x: front(x) - 3), (0, top - 30, W, top + 30), with_alpha(NAVY, 0.25), feather=10)
    cv.draw(below(front), (0, top - 30, W, H),
            linear(0, top, 0, H, [(0.0, rgb("#f8fafd")), (1.0, rgb("#edf1f6"))]), feather=1.5)


def stage(cv, cx, cy, spin, accent):
    cv.draw(circle(cx, cy, 150), (cx - 150, cy - 150, cx + 150, cy + 150),
            radial(cx, cy, 150, [(0.0, with_alpha(WHITE, 0.10)), (1.0, with_alpha(WHITE, 0.0))]))
    for r, a in ((112, 0.05), (84, 0.09)):
        cv.draw(ring(cx, cy, r, 1.2), (cx - r, cy - r, cx + r, cy + r), with_alpha(WHITE, a))
    cv.draw(circle(cx, cy, 62), (cx - 62, cy - 62, cx + 62, cy + 62), with_alpha(WHITE, 0.10))
    cv.draw(arc(cx, cy, 84, 3.0, spin, 70), (cx - 86, cy - 86, cx + 86, cy + 86), with_alpha(accent, 0.95))
    ex = cx + 84 * math.cos(math.radians(spin + 70))
    ey = cy + 84 * math.sin(math.radians(spin + 70))
    cv.draw(circle(ex, ey, 4.5), (ex - 5, ey - 5, ex + 5, ey + 5), WHITE)


def glyph_cloud(cv, cx, cy, colour):
    cloud = union(circle(cx - 20, cy + 4, 17), circle(cx + 2, cy - 9, 23), circle(cx + 24, cy + 5, 15),
                  rbox(cx - 37, cy + 2, cx + 39, cy + 21, 9.5))
    cv.draw(cloud, (cx - 40, cy - 34, cx + 42, cy + 24), WHITE)
    arrow = union(segment(cx + 1, cy - 12, cx + 1, cy + 12, 5),
                  polyline([(cx - 9, cy + 3), (cx + 1, cy + 13), (cx + 11, cy + 3)], 5))
    cv.draw(arrow, (cx - 14, cy - 16, cx + 16, cy + 18), colour)


def glyph_shield(cv, cx, cy, colour):
    body = rounded(polygon([(cx, cy - 34), (cx + 29, cy - 23), (cx + 26, cy + 6), (cx, cy + 32),
                            (cx - 26, cy + 6), (cx - 29, cy - 23)]), 4)
    cv.draw(body, (cx - 34, cy - 40, cx + 34, cy + 38), WHITE)
    tick = polyline([(cx - 12, cy - 1), (cx - 3, cy + 9), (cx + 13, cy - 10)], 5.5)
    cv.draw(tick, (cx - 16, cy - 14, cx + 17, cy + 13), colour)


def sparkle(cx, cy, r, k):
    pts = []
    for i in range(8):
        ang = math.radians(-90 + i * 45)
        rr = r if i % 2 == 0 else r * k
        pts.append((cx + rr * math.cos(ang), cy + rr * math.sin(ang)))
    return rounded(polygon(pts), 1.2)


def glyph_sparkle(cv, cx, cy, colour):
    cv.draw(sparkle(cx - 6, cy + 4, 30, 0.30), (cx - 40, cy - 30, cx + 28, cy + 38), WHITE)
    cv.draw(sparkle(cx + 24, cy - 22, 12, 0.32), (cx + 10, cy - 36, cx + 38, cy - 8), with_alpha(WHITE, 0.9))
    cv.draw(sparkle(cx + 27, cy + 20, 7, 0.34), (cx + 18, cy + 11, cx + 36, cy + 29), with_alpha(WHITE, 0.7))


def start_background(scale=1):
    cv = Canvas(W, H, NAVY, scale)
    hero(cv, rgb("#175a92"), (600, 40, 260), seed=7)
    cx, cy = 340, 146
    cv.draw(circle(cx, cy, 130), (cx - 130, cy - 130, cx + 130, cy + 130),
            radial(cx, cy, 130, [(0.0, with_alpha(WHITE, 0.12)), (1.0, with_alpha(WHITE, 0.0))]))
    for r, a in ((74, 0.10), (104, 0.06), (138, 0.035)):
        cv.draw(ring(cx, cy, r, 1.2), (cx - r, cy - r, cx + r, cy + r), with_alpha(WHITE, a))
    draw_logo(cv, cx, cy, 92)
    panel(cv, 254, 0.4)
    return cv.png(opaque=True)


PROGRESS = [
    # hero bottom colour, glow, seed, arc start, glyph, glyph colour
    (rgb("#175a92"), (80, 60, 240), 11, -90, glyph_cloud, rgb("#1f6fd1")),
    (rgb("#136b78"), (610, 90, 250), 23, 30, glyph_shield, rgb("#169c91")),
    (rgb("#2b4a96"), (340, 20, 280), 37, 150, glyph_sparkle, rgb("#3c5cc4")),
]


def progress_background(n, scale=1):
    bottom, glow, seed, spin, glyph, colour = PROGRESS[n]
    cv = Canvas(W, H, NAVY, scale)
    hero(cv, bottom, glow, seed)
    cx, cy = 340, 178
    stage(cv, cx, cy, spin, rgb("#7fe3d6"))
    glyph(cv, cx, cy, colour)
    panel(cv, 318, 0.4 + n * 2.1)
    return cv.png(opaque=True)


# ---------------------------------------------------------------- buttons

def focus_ring(cv, w, h, r, colour, inset=2.5, width=1.5):
    """A ring inside the picture's edge, so that it shows within the widget."""
    ring = subtract(rbox(inset, inset, w - inset, h - inset, r),
                    rbox(inset + width, inset + width, w - inset - width, h - inset - width, max(r - width, 0.5)))
    cv.draw(ring, (0, 0, w, h), colour)


def button_png(top, bottom, border, w=86, h=30, r=4.0, sheen=0.18, scale=1, ring=None):
    cv = Canvas(w, h, scale=scale)
    outer = rbox(0.5, 0.5, w - 0.5, h - 0.5, r)
    cv.draw(outer, (0, 0, w, h), border)
    inner = rbox(1.5, 1.5, w - 1.5, h - 1.5, r - 1)
    cv.draw(inner, (0, 0, w, h), linear(0, 1.5, 0, h - 1.5, [(0.0, top), (1.0, bottom)]))
    if sheen > 0:
        cv.draw(rbox(1.5, 1.5, w - 1.5, 2.6, 0.5), (0, 0, w, 4), with_alpha(WHITE, sheen))
    if ring:
        focus_ring(cv, w, h, r - 1.5, ring)
    return cv.png()


BUTTONS = {
    # the usual way forward
    "btn_update": ("#3592f2", "#1f6fd1", "#1a5fb6", 0.22),
    "btn_update_hover": ("#4ba0f6", "#2a7be0", "#1d66c0", 0.25),
    "btn_update_pressed": ("#1c63bd", "#1b5fb6", "#164f99", 0.0),
    "btn_update_disabled": ("#a9c7ea", "#9dbde4", "#93b3da", 0.15),
    # a mandatory update: warm and plainly the one thing to press
    "btn_major": ("#f7a94a", "#e97f1f", "#cc6a13", 0.25),
    "btn_major_hover": ("#fab660", "#ef8c2d", "#d37319", 0.28),
    "btn_major_pressed": ("#d9711a", "#d56d18", "#b55c10", 0.0),
    # the quiet alternative
    "btn_skin": ("#ffffff", "#f1f4f8", "#c6d0dc", 0.0),
    "btn_skin_hover": ("#ffffff", "#f7f9fc", "#9fb2c8", 0.0),
    "btn_skin_pressed": ("#e6ecf3", "#edf1f6", "#9fb2c8", 0.0),
}

# The focus ring of each button, drawn on its normal look: white on the
# coloured buttons, blue on the light one.
FOCUS_RINGS = {
    "btn_update": with_alpha(WHITE, 0.95),
    "btn_major": with_alpha(WHITE, 0.95),
    "btn_skin": BLUE,
}


# ---------------------------------------------------------------- caption buttons

def caption_png(glyph, state, close=False, s=27, scale=1):
    cv = Canvas(s, s, scale=scale)
    if state == "focus":
        focus_ring(cv, s, s, 4, with_alpha(WHITE, 0.95), inset=1, width=1.5)
    elif state != "normal":
        if close:
            back = rgb("#e5484d") if state == "hover" else rgb("#c53a3f")
        else:
            back = with_alpha(WHITE, 0.16 if state == "hover" else 0.26)
        cv.draw(rbox(1, 1, s - 1, s - 1, 4), (0, 0, s, s), back)
    ink = with_alpha(WHITE, 1.0 if state != "normal" else 0.9)
    # Straight strokes sit on whole pixels so they stay crisp at 1 px.
    if glyph == "min":
        shape = rbox(8, 13, 19, 14, 0)
    elif glyph == "max":
        shape = subtract(rbox(8, 8, 19, 19, 0.8), rbox(9, 9, 18, 18, 0))
    elif glyph == "restore":
        front = rbox(8, 11, 16, 19, 0.8)
        back = rbox(11, 8, 19, 16, 0.8)
        shape = union(subtract(front, rbox(9, 12, 15, 18, 0)),
                      subtract(subtract(back, rbox(12, 9, 18, 15, 0)), front))
    else:
        shape = union(segment(8.6, 8.6, 18.4, 18.4, 1.4), segment(8.6, 18.4, 18.4, 8.6, 1.4))
    cv.draw(shape, (0, 0, s, s), ink)
    return cv.png()


# ---------------------------------------------------------------- main

def client_info():
    text = "[CLIENTINFO]\r\nLogoName=%s\r\n" % LOGO_NAME
    return text.encode("gb18030")


def write_scaled(name, draw):
    """name.png and name@2x.png from draw(scale)."""
    write(os.path.join(PICS, name + ".png"), draw(1))
    write(os.path.join(PICS, name + "@2x.png"), draw(2))


def main():
    write_scaled("bg0", lambda k: start_background(k))
    for n in range(3):
        write_scaled("bg%d" % (n + 1), lambda k, n=n: progress_background(n, k))
    for name, (top, bottom, border, sheen) in BUTTONS.items():
        colours = (rgb(top), rgb(bottom), rgb(border))
        write_scaled(name, lambda k, c=colours, sh=sheen: button_png(*c, sheen=sh, scale=k))
        if name in FOCUS_RINGS:
            write_scaled(name + "_focus", lambda k, c=colours, sh=sheen, ring=FOCUS_RINGS[name]:
                         button_png(*c, sheen=sh, scale=k, ring=ring))
    for glyph in ("min", "max", "restore", "close"):
        for state in ("normal", "hover", "pressed", "focus"):
            suffix = "" if state == "normal" else "_" + state
            write_scaled("title_%s%s" % (glyph, suffix),
                         lambda k, g=glyph, st=state: caption_png(g, st, close=(g == "close"), scale=k))
    write_scaled("titleIcon", lambda k: logo_png(20, k))
    sizes = (16, 20, 24, 32, 40, 48, 64, 96, 128, 256)
    write(os.path.join(SKIN, "update.ico"), encode_ico([(s, logo_png(s)) for s in sizes]))
    write(os.path.join(SAMPLE, "ClientInfo.ini"), client_info())


if __name__ == "__main__":
    main()
