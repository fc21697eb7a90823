#!/usr/bin/python3
"""Makes the eight 600 x 300 backdrop pictures of the main window.

Every picture is drawn here from nothing but code (gradients, silhouettes,
stars, glows), so the program ships no artwork of anyone else's. Each one
carries the same overlay for the program's own painting:

  - the title and the words 非公式日本語化パッチ at the top, between the two
    32 x 32 boxes the program paints in the corners (x 10..42 and 560..592,
    y 5..37), which are kept free of text;
  - a dark translucent band behind the two folder lines (y 80..120), with the
    yellow labels ゲーム本体： and 追加データ： ending before x = 100, on the
    baselines of the folder texts that the program draws at (100, 85) and
    (100, 102) in 8-point text;
  - a dark translucent band behind the console (y 134..300).

Run with Debian's python3-pil and fonts-noto-cjk:
    /usr/bin/python3 assets/make_backdrops.py
It rewrites backdrop_1.jpg ... backdrop_8.jpg beside itself, identically
every time (fixed random seeds).
"""
import math
import os
import random

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont, ImageStat

W, H = 600, 300
S = 2  # scenes are drawn at twice the size and scaled down, for smooth edges
FONT_DIR = "/usr/share/fonts/opentype/noto"
OUT_DIR = os.path.dirname(os.path.abspath(__file__))

# Where the program draws the folder lines: text top at y 85 and 102 in an
# 11-pixel face whose ascent is 13 pixels, so the baselines are at 98 and 115.
FOLDER_BASELINES = (98, 115)
LABEL_RIGHT = 96


def font(bold, size):
    path = os.path.join(FONT_DIR, "NotoSansCJK-Bold.ttc" if bold else "NotoSansCJK-Regular.ttc")
    for index in range(10):
        f = ImageFont.truetype(path, size, index=index)
        if f.getname()[0] == "Noto Sans CJK JP":
            return f
    raise RuntimeError("Noto Sans CJK JP not found in " + path)


# ------------------------------------------------------------- helpers ---

def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(int(round(lerp(a, b, t))) for a, b in zip(c1, c2))


def vertical_gradient(size, stops):
    """stops: [(position 0..1, (r, g, b)), ...] from top to bottom."""
    w, h = size
    img = Image.new("RGB", size)
    d = ImageDraw.Draw(img)
    for y in range(h):
        t = y / max(h - 1, 1)
        for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
            if p0 <= t <= p1:
                d.line([(0, y), (w, y)], fill=mix(c0, c1, (t - p0) / max(p1 - p0, 1e-9)))
                break
    return img


def ridge(rng, width, base, amplitude, roughness, step=8):
    """A mountain or hill line: midpoint displacement, as (x, y) points."""
    n = 1
    while n < width // step:
        n *= 2
    ys = [0.0] * (n + 1)
    ys[0], ys[n] = rng.uniform(-1, 1), rng.uniform(-1, 1)
    span, scale = n, 1.0
    while span > 1:
        half = span // 2
        for i in range(half, n, span):
            ys[i] = (ys[i - half] + ys[i + half]) / 2 + rng.uniform(-scale, scale)
        span, scale = half, scale * roughness
    return [(i * width / n, base + ys[i] * amplitude) for i in range(n + 1)]


def fill_below(draw, points, height, colour):
    draw.polygon(points + [(points[-1][0], height), (points[0][0], height)], fill=colour)


def glow(base, centre, radius, colour, strength=1.0):
    """Adds a soft light (screen blend) at `centre`."""
    layer = Image.new("RGB", base.size, (0, 0, 0))
    d = ImageDraw.Draw(layer)
    x, y = centre
    d.ellipse([x - radius, y - radius, x + radius, y + radius],
              fill=tuple(int(c * strength) for c in colour))
    layer = layer.filter(ImageFilter.GaussianBlur(radius * 0.6))
    return ImageChops.screen(base, layer)


def stars(draw, rng, count, box, brightness=(120, 255)):
    x0, y0, x1, y1 = box
    for _ in range(count):
        x, y = rng.uniform(x0, x1), rng.uniform(y0, y1)
        b = int(rng.uniform(*brightness))
        r = rng.choice((1, 1, 1, 1.5, 2, 2.5))
        tint = rng.choice(((255, 255, 255), (200, 220, 255), (255, 240, 210)))
        c = tuple(int(t * b / 255) for t in tint)
        draw.ellipse([x - r, y - r, x + r, y + r], fill=c)


def grain(img, rng, amount=6):
    """A little noise hides gradient banding after JPEG compression."""
    noise = Image.effect_noise(img.size, 40).convert("RGB")
    return Image.blend(img, ImageChops.add(img, noise, scale=1.0, offset=-128), amount / 100)


def pine(draw, x, ground, height, colour):
    w = height * 0.36
    tiers = 4
    for i in range(tiers):
        top = ground - height + i * height * 0.18
        bottom = ground - height * (0.55 - i * 0.12)
        half = w * (0.45 + i * 0.2) / 2
        draw.polygon([(x, top), (x - half, bottom), (x + half, bottom)], fill=colour)
    draw.rectangle([x - w * 0.05, ground - height * 0.2, x + w * 0.05, ground], fill=colour)


# -------------------------------------------------------------- scenes ---

def starry_night(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (6, 8, 30)), (0.55, (28, 22, 74)), (1, (70, 40, 90))])
    # The Milky Way: a blurred diagonal band of faint light and dust.
    band = Image.new("L", (w, h), 0)
    bd = ImageDraw.Draw(band)
    for _ in range(900):
        t = rng.random()
        x = t * w
        y = lerp(h * 0.75, h * 0.05, t) + rng.gauss(0, 45)
        r = rng.uniform(6, 26)
        bd.ellipse([x - r, y - r, x + r, y + r], fill=int(rng.uniform(10, 40)))
    band = band.filter(ImageFilter.GaussianBlur(18))
    img = ImageChops.screen(img, Image.merge("RGB", (band, band, band.point(lambda v: min(255, v * 1.3)))))
    d = ImageDraw.Draw(img)
    stars(d, rng, 650, (0, 0, w, h * 0.85))
    # A crescent moon, out of the top right box's way.
    mx, my, mr = w * 0.80, h * 0.20, 26
    img = glow(img, (mx, my), 90, (90, 90, 130))
    moon = Image.new("L", (w, h), 0)
    md = ImageDraw.Draw(moon)
    md.ellipse([mx - mr, my - mr, mx + mr, my + mr], fill=255)
    md.ellipse([mx - mr + 14, my - mr - 8, mx + mr + 14, my + mr - 8], fill=0)
    img.paste((250, 244, 215), mask=moon)
    d = ImageDraw.Draw(img)
    fill_below(d, ridge(rng, w, h * 0.80, 60, 0.55), h, (32, 26, 58))
    fill_below(d, ridge(rng, w, h * 0.90, 40, 0.5), h, (14, 12, 30))
    return img


def sunset_sea(rng):
    w, h = W * S, H * S
    horizon = h * 0.46
    sky = vertical_gradient((w, int(horizon)), [(0, (40, 30, 90)), (0.4, (170, 60, 110)),
                                                (0.78, (245, 130, 70)), (1, (255, 200, 110))])
    sea = vertical_gradient((w, h - int(horizon)), [(0, (120, 60, 90)), (1, (20, 16, 48))])
    img = Image.new("RGB", (w, h))
    img.paste(sky, (0, 0))
    img.paste(sea, (0, int(horizon)))
    sx = w * 0.78
    img = glow(img, (sx, horizon), 240, (130, 80, 25))
    d = ImageDraw.Draw(img)
    r = 58
    sun = Image.new("L", (w, h), 0)
    ImageDraw.Draw(sun).ellipse([sx - r, horizon - r, sx + r, horizon + r], fill=255)
    sun.paste(0, (0, int(horizon), w, h))
    img.paste((255, 226, 150), mask=sun)
    d = ImageDraw.Draw(img)
    # Thin clouds across the sun.
    for _ in range(14):
        y = rng.uniform(h * 0.12, horizon - 24)
        x = rng.uniform(-100, w)
        length = rng.uniform(120, 420)
        d.line([(x, y), (x + length, y + rng.uniform(-4, 4))],
               fill=mix((120, 50, 90), (255, 170, 120), y / horizon), width=int(rng.uniform(3, 9)))
    # The sun's path on the water: short gold strokes, wider further down.
    for _ in range(420):
        y = rng.uniform(horizon + 3, h)
        depth = (y - horizon) / (h - horizon)
        spread = 40 + depth * 260
        x = sx + rng.gauss(0, spread / 2.2)
        length = rng.uniform(8, 30) * (0.5 + depth)
        t = max(0.0, 1 - abs(x - sx) / spread)
        d.line([(x - length / 2, y), (x + length / 2, y)],
               fill=mix((150, 70, 80), (255, 210, 140), t), width=2)
    # A far island, tapering into the sea at both ends.
    x0, x1 = w * 0.04, w * 0.42
    shape = ridge(rng, int(x1 - x0), 0, 6, 0.5)
    island = [(x0 + x, horizon + 1 - (10 + y) * 2.2 * math.sin(math.pi * x / (x1 - x0)) ** 0.6)
              for x, y in shape]
    d.polygon(island + [(x1, horizon + 2), (x0, horizon + 2)], fill=(60, 28, 62))
    return img.filter(ImageFilter.GaussianBlur(0.6))


def misty_forest(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (120, 170, 170)), (0.5, (200, 220, 205)), (1, (230, 235, 215))])
    img = glow(img, (w * 0.3, h * 0.3), 200, (80, 70, 30))
    layers = [(0.50, (150, 180, 170)), (0.62, (105, 145, 135)), (0.76, (60, 100, 92)),
              (0.92, (22, 48, 44))]
    for i, (base, colour) in enumerate(layers):
        layer = Image.new("RGBA", (w, h), (0, 0, 0, 0))
        d = ImageDraw.Draw(layer)
        line = ridge(rng, w, h * base, 30 - i * 4, 0.5)
        fill_below(d, line, h, colour)
        size = 40 + i * 26
        x = rng.uniform(-10, 10)
        while x < w + 20:
            ground = line[min(int(x / w * (len(line) - 1)), len(line) - 1)][1] + 10
            pine(d, x, ground, size * rng.uniform(0.7, 1.3), colour)
            x += size * rng.uniform(0.22, 0.5)
        img.paste(layer, (0, 0), layer)
        # Mist between the rows.
        mist = vertical_gradient((w, h), [(0, (0, 0, 0)), (max(base - 0.05, 0.01), (0, 0, 0)),
                                          (min(base + 0.12, 0.99), (70, 75, 70)), (1, (0, 0, 0))])
        img = ImageChops.screen(img, mist.filter(ImageFilter.GaussianBlur(12)))
    # Birds.
    d = ImageDraw.Draw(img)
    for _ in range(7):
        x, y, s = rng.uniform(w * 0.45, w * 0.8), rng.uniform(h * 0.12, h * 0.3), rng.uniform(6, 11)
        d.line([(x - s, y - s * 0.4), (x, y), (x + s, y - s * 0.4)], fill=(50, 70, 70), width=3)
    return img


def aurora(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (2, 6, 20)), (0.6, (8, 28, 50)), (1, (12, 40, 60))])
    d = ImageDraw.Draw(img)
    stars(d, rng, 420, (0, 0, w, h * 0.8), (90, 220))
    for colour, phase, base, amp in (((40, 255, 150), 0.0, 0.40, 45), ((150, 90, 255), 1.7, 0.26, 35),
                                     ((60, 240, 190), 3.1, 0.56, 40)):
        curtain = Image.new("RGB", (w, h), (0, 0, 0))
        cd = ImageDraw.Draw(curtain)
        for x in range(0, w, 3):
            t = x / w
            y = h * base + amp * math.sin(t * 5.5 + phase) + 25 * math.sin(t * 17 + phase * 2)
            height = 120 + 70 * (0.5 + 0.5 * math.sin(t * 9 + phase))
            for k in range(0, int(height), 4):
                fade = (1 - k / height) ** 2
                cd.line([(x, y - k), (x + 3, y - k)], fill=tuple(int(c * fade) for c in colour))
        img = ImageChops.screen(img, curtain.filter(ImageFilter.GaussianBlur(7)))
        img = ImageChops.screen(img, curtain.filter(ImageFilter.GaussianBlur(30)))
    d = ImageDraw.Draw(img)
    hills = ridge(rng, w, h * 0.78, 45, 0.5)
    fill_below(d, hills, h, (30, 48, 70))
    fill_below(d, ridge(rng, w, h * 0.88, 30, 0.45), h, (12, 22, 36))
    # Snow light on the nearer hill tops.
    for (x0, y0), (x1, y1) in zip(hills, hills[1:]):
        d.line([(x0, y0), (x1, y1)], fill=(120, 170, 170), width=3)
    for _ in range(22):
        pine(d, rng.uniform(0, w), h * 0.92 + rng.uniform(0, 30), rng.uniform(40, 80), (6, 14, 24))
    return img


def mountain_ranges(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (60, 90, 160)), (0.3, (200, 150, 170)), (0.5, (255, 200, 160)),
                                     (1, (255, 225, 190))])
    sun = (w * 0.80, h * 0.30)
    img = glow(img, sun, 170, (150, 100, 50))
    ImageDraw.Draw(img).ellipse([sun[0] - 26, sun[1] - 26, sun[0] + 26, sun[1] + 26], fill=(255, 240, 215))
    d = ImageDraw.Draw(img)
    far, near = (190, 150, 180), (30, 28, 60)
    for i in range(6):
        t = i / 5
        colour = mix(far, near, t ** 0.8)
        base = h * lerp(0.26, 0.90, t)
        line = ridge(rng, w, base, lerp(110, 40, t), 0.55)
        fill_below(d, line, h, colour)
        if i < 2:  # snow caps on the highest, furthest peaks
            for (x0, y0), (x1, y1) in zip(line, line[1:]):
                if y0 < base - 30:
                    d.line([(x0, y0), (x1, y1)], fill=(255, 235, 230), width=5)
    for _ in range(5):
        x, y, s = rng.uniform(w * 0.15, w * 0.5), rng.uniform(h * 0.1, h * 0.25), rng.uniform(5, 9)
        d.line([(x - s, y - s * 0.4), (x, y), (x + s, y - s * 0.4)], fill=(60, 50, 80), width=3)
    return img


def desert_dunes(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (30, 20, 60)), (0.35, (110, 50, 100)), (0.62, (235, 130, 80)),
                                     (1, (250, 190, 120))])
    d = ImageDraw.Draw(img)
    stars(d, rng, 120, (0, 0, w, h * 0.3), (80, 200))
    mx, my, mr = w * 0.17, h * 0.19, 34
    img = glow(img, (mx, my), 120, (110, 80, 80))
    d = ImageDraw.Draw(img)
    d.ellipse([mx - mr, my - mr, mx + mr, my + mr], fill=(255, 235, 210))
    for cx, cy, r in ((mx - 10, my - 6, 7), (mx + 12, my + 9, 5), (mx + 3, my - 16, 4)):
        d.ellipse([cx - r, cy - r, cx + r, cy + r], fill=(240, 215, 190))
    dunes = [(0.50, (215, 120, 80), (140, 60, 70)), (0.64, (190, 95, 65), (110, 45, 58)),
             (0.80, (150, 65, 55), (75, 30, 45)), (0.95, (100, 40, 45), (45, 18, 34))]
    for base, lit, shade in dunes:
        phase, length = rng.uniform(0, 6), rng.uniform(0.8, 1.4)

        def crest(x):
            return h * base - 38 * math.sin(x / w * 6 * length + phase) - 14 * math.sin(x / w * 15 + phase)

        # Each column is lit by how its crest faces the light from the left.
        for x in range(0, w, 2):
            slope = (crest(x + 2) - crest(x)) / 2
            t = min(1.0, max(0.0, 0.5 - slope * 1.6))
            top = crest(x)
            d.line([(x, top), (x, h)], fill=mix(shade, lit, t), width=2)
            d.line([(x, top), (x, top + 2)], fill=mix(lit, (255, 220, 170), 0.4 * t), width=2)
    return img.filter(ImageFilter.GaussianBlur(0.6))


def ribbons(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (10, 10, 28)), (1, (30, 8, 40))])
    for colour, y0, amp, freq, phase in (((255, 60, 170), 0.22, 60, 1.3, 0.2), ((40, 190, 255), 0.36, 80, 1.0, 1.9),
                                         ((255, 190, 60), 0.58, 60, 1.6, 3.4), ((140, 90, 255), 0.30, 100, 0.8, 4.4)):
        layer = Image.new("RGB", (w, h), (0, 0, 0))
        ld = ImageDraw.Draw(layer)
        for k in range(26):
            offset = k * 3.2
            pts = [(x, h * y0 + offset + amp * math.sin(x / w * math.tau * freq + phase + k * 0.05))
                   for x in range(0, w + 10, 10)]
            fade = math.sin(math.pi * k / 25)
            ld.line(pts, fill=tuple(int(c * 0.55 * fade) for c in colour), width=2)
        img = ImageChops.screen(img, layer.filter(ImageFilter.GaussianBlur(1.2)))
        img = ImageChops.screen(img, layer.filter(ImageFilter.GaussianBlur(14)))
    bokeh = Image.new("RGB", (w, h), (0, 0, 0))
    bd = ImageDraw.Draw(bokeh)
    for _ in range(18):
        x, y, r = rng.uniform(0, w), rng.uniform(0, h), rng.uniform(5, 22)
        c = rng.choice(((60, 25, 55), (20, 45, 70), (70, 55, 25)))
        bd.ellipse([x - r, y - r, x + r, y + r], fill=c)
    return ImageChops.screen(img, bokeh.filter(ImageFilter.GaussianBlur(4)))


def blossom_night(rng):
    w, h = W * S, H * S
    img = vertical_gradient((w, h), [(0, (20, 14, 50)), (0.6, (70, 40, 100)), (1, (150, 80, 130))])
    d = ImageDraw.Draw(img)
    stars(d, rng, 160, (0, 0, w, h * 0.6), (70, 200))
    mx, my, mr = w * 0.20, h * 0.20, 34
    img = glow(img, (mx, my), 150, (120, 90, 110))
    d = ImageDraw.Draw(img)
    d.ellipse([mx - mr, my - mr, mx + mr, my + mr], fill=(255, 240, 235))
    # A far shore and still water.
    fill_below(d, ridge(rng, w, h * 0.78, 20, 0.5), h, (40, 24, 60))
    d.rectangle([0, h * 0.84, w, h], fill=(30, 20, 52))
    for _ in range(90):
        y = rng.uniform(h * 0.85, h)
        x = mx + rng.gauss(0, 40)
        d.line([(x - 12, y), (x + 12, y)], fill=(150, 120, 150), width=2)
    # A cherry branch reaching in from the right, drawn as tapering segments.
    branch = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    bd = ImageDraw.Draw(branch)
    blossoms = []

    def grow(x, y, angle, length, width, depth):
        if depth == 0 or width < 1:
            blossoms.append((x, y))
            return
        x2 = x + math.cos(angle) * length
        y2 = y + math.sin(angle) * length
        bd.line([(x, y), (x2, y2)], fill=(28, 14, 30, 255), width=int(width))
        bd.ellipse([x2 - width / 2, y2 - width / 2, x2 + width / 2, y2 + width / 2], fill=(28, 14, 30, 255))
        for turn in (-0.45, 0.35):
            if rng.random() < 0.85:
                grow(x2, y2, angle + turn + rng.uniform(-0.2, 0.2), length * rng.uniform(0.65, 0.8),
                     width * 0.68, depth - 1)
        blossoms.append((x2, y2))

    grow(w + 10, h * 0.14, math.pi * 0.95, 140, 17, 7)
    grow(w + 10, h * 0.42, math.pi * 1.03, 100, 12, 6)
    for x, y in blossoms:
        if rng.random() < 0.15:
            continue
        for _ in range(3):
            bx, by = x + rng.gauss(0, 7), y + rng.gauss(0, 7)
            pink = mix((255, 205, 225), (240, 140, 180), rng.random())
            for k in range(5):  # five petals round a pale centre
                a = k * math.tau / 5 + rng.random()
                px, py = bx + math.cos(a) * 4, by + math.sin(a) * 4
                bd.ellipse([px - 3.5, py - 3.5, px + 3.5, py + 3.5], fill=pink + (235,))
            bd.ellipse([bx - 2, by - 2, bx + 2, by + 2], fill=(255, 240, 200, 255))
    soft = branch.filter(ImageFilter.GaussianBlur(5))
    img.paste(soft, (0, 0), soft)
    img.paste(branch, (0, 0), branch)
    d = ImageDraw.Draw(img)
    for _ in range(45):  # falling petals
        x, y, r = rng.uniform(w * 0.3, w), rng.uniform(0, h), rng.uniform(1.5, 3)
        d.ellipse([x - r * 1.5, y - r, x + r * 1.5, y + r], fill=(250, 185, 210))
    return img


SCENES = [starry_night, sunset_sea, misty_forest, aurora, mountain_ranges, desert_dunes, ribbons,
          blossom_night]


# ------------------------------------------------------------- overlay ---

def darken(img, box, alpha, brightest=70):
    """Darkens `box` by at least `alpha`, and more where needed so that no
    row of it stays brighter than `brightest`: the program's red, green and
    white texts must stand out on every scene."""
    grey = img.convert("L")
    x0, y0, x1, y1 = box
    rows = max(ImageStat.Stat(grey.crop((x0, y, x1 + 1, y + 1))).mean[0] for y in range(y0, y1 + 1))
    alpha = max(alpha, 1 - brightest / rows) if rows > 0 else alpha
    band = Image.new("RGB", img.size, (0, 0, 0))
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rectangle(box, fill=int(alpha * 255))
    return Image.composite(band, img, mask)


def outlined_text(img, xy, text, face, fill, anchor, outline=(0, 0, 0), radius=2, shadow=150):
    """Text with a soft dark halo, readable on any scene."""
    halo = Image.new("L", img.size, 0)
    ImageDraw.Draw(halo).text(xy, text, font=face, fill=255, anchor=anchor, stroke_width=radius)
    halo = halo.filter(ImageFilter.GaussianBlur(radius)).point(lambda v: min(255, v * shadow // 100))
    img = Image.composite(Image.new("RGB", img.size, outline), img, halo)
    ImageDraw.Draw(img).text(xy, text, font=face, fill=fill, anchor=anchor)
    return img


def overlay(img):
    title_face, subtitle_face, label_face = font(True, 30), font(True, 14), font(False, 11)
    # The title's box reaches from y 3 to about 44; the corner boxes' inner
    # edges are x 42 and 560, far from the centred words.
    img = outlined_text(img, (W // 2, 36), "Kanade Patcher", title_face, (255, 255, 255), "ms")
    img = outlined_text(img, (W // 2, 62), "非公式日本語化パッチ", subtitle_face, (255, 236, 170), "ms")
    img = darken(img, (0, 80, W - 1, 120), 0.5)
    img = darken(img, (0, 134, W - 1, H - 1), 0.5)
    for baseline, label in zip(FOLDER_BASELINES, ("ゲーム本体：", "追加データ：")):
        img = outlined_text(img, (LABEL_RIGHT, baseline), label, label_face, (255, 255, 0), "rs",
                            radius=1, shadow=120)
    return img


def main():
    for number, scene in enumerate(SCENES, start=1):
        rng = random.Random(number * 7919)
        picture = scene(rng).resize((W, H), Image.LANCZOS)
        picture = grain(picture, rng)
        picture = overlay(picture)
        path = os.path.join(OUT_DIR, f"backdrop_{number}.jpg")
        picture.save(path, "JPEG", quality=90, optimize=True, subsampling=0)
        print(path)


if __name__ == "__main__":
    main()
