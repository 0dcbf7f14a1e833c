#!/usr/bin/env python3
"""Draws the editor artwork: logo.png, connected.png and not_connected.png.

Run by hand when the artwork changes:  python3 resources/make_images.py
The PNGs are written next to this script.  Only the standard library is used
so the script runs on any machine, and the output is byte-for-byte
deterministic so regenerating does not produce spurious diffs.

Shapes are described by signed distance functions (negative inside).  Pixels
well away from every edge are shaded once; pixels near an edge are
supersampled, which gives clean anti-aliasing at a fraction of the cost of
supersampling the whole canvas.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SQRT1_2 = math.sqrt(0.5)


# ---------------------------------------------------------------- PNG output

def write_png(path, width, height, rgba):
    def chunk(tag, data):
        crc = zlib.crc32(tag + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", crc)

    stride = width * 4
    raw = bytearray()
    for y in range(height):
        raw.append(0)  # filter type "None" keeps the encoder trivial
        raw += rgba[y * stride:(y + 1) * stride]
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", ihdr))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


def store(buf, offset, r, g, b, a):
    """Stores an accumulated premultiplied sample sum as straight-alpha RGBA."""
    if a <= 0.0:
        return  # leave fully transparent pixels as 0,0,0,0 so they compress well
    buf[offset] = min(255, int(r / a * 255.0 + 0.5))
    buf[offset + 1] = min(255, int(g / a * 255.0 + 0.5))
    buf[offset + 2] = min(255, int(b / a * 255.0 + 0.5))
    buf[offset + 3] = min(255, int(a * 255.0 + 0.5))


# ------------------------------------------------------------ shape helpers

def sd_round_rect(px, py, cx, cy, half_w, half_h, radius):
    qx = abs(px - cx) - half_w + radius
    qy = abs(py - cy) - half_h + radius
    outside = math.hypot(qx if qx > 0.0 else 0.0, qy if qy > 0.0 else 0.0)
    return outside + min(max(qx, qy), 0.0) - radius


def dist_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def hex_rgb(text):
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


# ------------------------------------------------------------------ the plug
#
# The plug is modelled upright in its own frame: u runs across the plug, v runs
# along it with the pins at +v.  It is then turned 45 degrees so the pins aim at
# the top-right corner and the cable leaves toward the bottom-left.

PLUG_W, PLUG_H = 700, 702
# The design origin sits in the body, so it is offset to centre the whole plug
# (pins to cable end) on the canvas.
CENTRE_X, CENTRE_Y = 373.0, 372.0
SCALE = 1.07  # pixels per design unit; outline and anti-aliasing stay in pixels
OUTLINE = 12.0
HALF_OUTLINE = OUTLINE / 2.0
EDGE_MARGIN = 0.75  # a little over half a pixel diagonal
SUPERSAMPLE = 4
ROTATE = SQRT1_2 / SCALE  # screen offset -> design units, turned 45 degrees

BODY = (0.0, 40.0, 122.0, 118.0, 42.0)          # cu, cv, half_w, half_h, radius
PIN_U, PIN_HALF_W = 54.0, 19.0
PIN_BASE, PIN_TIP, PIN_RADIUS = 100.0, 300.0, 9.0
PIN_HOLE_V, PIN_HOLE_R = 250.0, 12.0
COLLAR = (0.0, -112.0, 52.0, 46.0, 14.0)
COLLAR_GROOVES = (-98.0, -126.0)
GROOVE_HALF_W = 3.0
CABLE_START_V, CABLE_HALF_W = -140.0, 26.0
CABLE_RADIUS, CABLE_SWEEP = 330.0, 0.62
CABLE_CENTRE = (-CABLE_RADIUS, CABLE_START_V)
CABLE_END = (CABLE_CENTRE[0] + CABLE_RADIUS * math.cos(CABLE_SWEEP),
             CABLE_CENTRE[1] - CABLE_RADIUS * math.sin(CABLE_SWEEP))
GRADIENT_RADIUS = math.hypot(BODY[2], BODY[3])

# Materials a sample can land on.
CLEAR, INK, BODY_FILL, PIN_FILL, PIN_HOLE, COLLAR_FILL, CABLE_FILL = range(7)


def sd_pins(u, v):
    pin_cv = (PIN_BASE + PIN_TIP) / 2.0
    pin_hh = (PIN_TIP - PIN_BASE) / 2.0
    return min(sd_round_rect(u, v, -PIN_U, pin_cv, PIN_HALF_W, pin_hh, PIN_RADIUS),
               sd_round_rect(u, v, PIN_U, pin_cv, PIN_HALF_W, pin_hh, PIN_RADIUS))


def sd_pin_holes(u, v):
    return math.hypot(abs(u) - PIN_U, v - PIN_HOLE_V) - PIN_HOLE_R


def sd_grooves(u, v):
    groove = min(abs(v - g) for g in COLLAR_GROOVES) - GROOVE_HALF_W
    return max(groove, sd_round_rect(u, v, *COLLAR))  # clipped to the collar


def sd_cable(u, v):
    du, dv = u - CABLE_CENTRE[0], v - CABLE_CENTRE[1]
    angle = math.atan2(dv, du)
    if -CABLE_SWEEP <= angle <= 0.0:
        d = abs(math.hypot(du, dv) - CABLE_RADIUS)
    else:
        d = min(math.hypot(u, v - CABLE_START_V),
                math.hypot(u - CABLE_END[0], v - CABLE_END[1]))
    return d - CABLE_HALF_W


# Front to back.  Outlined layers get a black band centred on their boundary;
# the others are solid regions of a single material.
LAYERS = (
    (lambda u, v: sd_round_rect(u, v, *BODY), BODY_FILL, True),
    (sd_pin_holes, PIN_HOLE, True),
    (sd_pins, PIN_FILL, True),
    (sd_grooves, INK, False),
    (lambda u, v: sd_round_rect(u, v, *COLLAR), COLLAR_FILL, True),
    (sd_cable, CABLE_FILL, True),
)


def plug_material(u, v, margin):
    """Returns the material at (u, v), or None when an edge lies within margin."""
    for sd_func, material, outlined in LAYERS:
        d = sd_func(u, v) * SCALE
        if outlined:
            if d > HALF_OUTLINE + margin:
                continue
            if d < -HALF_OUTLINE - margin:
                return material
            if -HALF_OUTLINE + margin < d < HALF_OUTLINE - margin:
                return INK
            return None
        if d > margin:
            continue
        if d < -margin:
            return material
        return None
    return CLEAR


def plug_palette(base_hex):
    base = hex_rgb(base_hex)
    white = (1.0, 1.0, 1.0)
    return {
        "base": base,
        "light": mix(base, white, 0.86),
        PIN_FILL: mix(base, white, 0.55),
        PIN_HOLE: mix(base, white, 0.92),
        COLLAR_FILL: mix(base, (0.0, 0.0, 0.0), 0.12),
        CABLE_FILL: mix(base, (0.0, 0.0, 0.0), 0.22),
        INK: (0.0, 0.0, 0.0),
    }


def plug_colour(palette, material, u, v):
    if material == BODY_FILL:
        t = min(1.0, math.hypot(u - BODY[0], v - BODY[1]) / GRADIENT_RADIUS)
        return mix(palette["light"], palette["base"], t ** 0.8)
    return palette[material]


def render_plugs(palettes):
    buffers = [bytearray(PLUG_W * PLUG_H * 4) for _ in palettes]
    step = 1.0 / SUPERSAMPLE
    offsets = [(i + 0.5) * step - 0.5 for i in range(SUPERSAMPLE)]
    weight = 1.0 / (SUPERSAMPLE * SUPERSAMPLE)
    for y in range(PLUG_H):
        for x in range(PLUG_W):
            sx, sy = x + 0.5 - CENTRE_X, y + 0.5 - CENTRE_Y
            u, v = (sx + sy) * ROTATE, (sx - sy) * ROTATE
            material = plug_material(u, v, EDGE_MARGIN)
            if material == CLEAR:
                continue
            offset = (y * PLUG_W + x) * 4
            if material is not None:
                for buf, pal in zip(buffers, palettes):
                    store(buf, offset, *plug_colour(pal, material, u, v), 1.0)
                continue
            samples = []
            for oy in offsets:
                for ox in offsets:
                    ssx, ssy = sx + ox, sy + oy
                    su, sv = (ssx + ssy) * ROTATE, (ssx - ssy) * ROTATE
                    m = plug_material(su, sv, 0.0)
                    if m != CLEAR:
                        samples.append((m, su, sv))
            for buf, pal in zip(buffers, palettes):
                r = g = b = 0.0
                for m, su, sv in samples:
                    cr, cg, cb = plug_colour(pal, m, su, sv)
                    r += cr
                    g += cg
                    b += cb
                store(buf, offset, r * weight, g * weight, b * weight,
                      len(samples) * weight)
    return buffers


# ------------------------------------------------------------------ the logo
#
# A tiny geometric stroke font: each glyph is a list of polylines in a box that
# is `width` wide and 1 tall (y grows downward), drawn with round-capped strokes.

def ellipse_arc(cx, cy, rx, ry, start_deg, end_deg, steps):
    return [(cx + rx * math.cos(math.radians(a)), cy + ry * math.sin(math.radians(a)))
            for a in (start_deg + (end_deg - start_deg) * i / steps for i in range(steps + 1))]


GLYPHS = {
    "V": (0.95, [[(0.0, 0.0), (0.475, 1.0), (0.95, 0.0)]]),
    "E": (0.72, [[(0.72, 0.0), (0.0, 0.0), (0.0, 1.0), (0.72, 1.0)],
                 [(0.0, 0.5), (0.6, 0.5)]]),
    "S": (0.8, [ellipse_arc(0.4, 0.26, 0.38, 0.24, -25, -270, 14)
                + ellipse_arc(0.4, 0.74, 0.4, 0.26, -90, 155, 14)]),
    "T": (0.84, [[(0.0, 0.0), (0.84, 0.0)], [(0.42, 0.0), (0.42, 1.0)]]),
    "R": (0.8, [[(0.0, 1.0), (0.0, 0.0), (0.5, 0.0)]
                + ellipse_arc(0.5, 0.26, 0.28, 0.26, -90, 90, 10)
                + [(0.0, 0.52)],
                [(0.42, 0.52), (0.8, 1.0)]]),
    "A": (0.95, [[(0.0, 1.0), (0.475, 0.0), (0.95, 1.0)], [(0.2, 0.66), (0.75, 0.66)]]),
    "N": (0.84, [[(0.0, 1.0), (0.0, 0.0), (0.84, 1.0), (0.84, 0.0)]]),
    "O": (1.0, [ellipse_arc(0.5, 0.5, 0.5, 0.5, 0, 360, 40)]),
}

LOGO_W, LOGO_H = 200, 51
LOGO_TEXT = "VESTRANO"
CAP_HEIGHT, STROKE_HALF = 19.0, 1.7
LETTER_GAP = 4.0
TEXT_LEFT, TEXT_TOP = 36.5, 16.0
# Light ink: the editor keeps the framework's dark default background.
INK_HEX, ACCENT_HEX = "#DCE6F0", "#F08A24"
# A few level-meter bars to the left of the wordmark: x centre, half height.
ACCENT_BARS = [(6.5, 5.0), (13.0, 10.0), (19.5, 14.5), (26.0, 7.5)]
ACCENT_HALF_W, ACCENT_MID_Y = 2.4, 25.5


def logo_segments():
    segments = []
    x = TEXT_LEFT
    for ch in LOGO_TEXT:
        width, strokes = GLYPHS[ch]
        for line in strokes:
            pts = [(x + px * CAP_HEIGHT, TEXT_TOP + py * CAP_HEIGHT) for px, py in line]
            segments += [(a[0], a[1], b[0], b[1]) for a, b in zip(pts, pts[1:]) if a != b]
        x += width * CAP_HEIGHT + LETTER_GAP
    return segments


def render_logo():
    ink, accent = hex_rgb(INK_HEX), hex_rgb(ACCENT_HEX)
    segments = logo_segments()
    buf = bytearray(LOGO_W * LOGO_H * 4)
    n = SUPERSAMPLE
    for y in range(LOGO_H):
        for x in range(LOGO_W):
            # Only strokes that can reach this pixel are worth testing.
            near = [s for s in segments
                    if min(s[0], s[2]) - 3 < x + 1 and max(s[0], s[2]) + 3 > x
                    and min(s[1], s[3]) - 3 < y + 1 and max(s[1], s[3]) + 3 > y]
            r = g = b = a = 0.0
            for j in range(n):
                for i in range(n):
                    px, py = x + (i + 0.5) / n, y + (j + 0.5) / n
                    colour = None
                    if any(dist_segment(px, py, *s) <= STROKE_HALF for s in near):
                        colour = ink
                    elif any(sd_round_rect(px, py, bx, ACCENT_MID_Y, ACCENT_HALF_W, bh,
                                           ACCENT_HALF_W) <= 0.0
                             for bx, bh in ACCENT_BARS):
                        colour = accent
                    if colour:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1.0
            w = 1.0 / (n * n)
            store(buf, (y * LOGO_W + x) * 4, r * w, g * w, b * w, a * w)
    return buf


def main():
    write_png(os.path.join(HERE, "logo.png"), LOGO_W, LOGO_H, render_logo())
    connected, not_connected = render_plugs([plug_palette("#2FA84F"),
                                             plug_palette("#F08A24")])
    write_png(os.path.join(HERE, "connected.png"), PLUG_W, PLUG_H, connected)
    write_png(os.path.join(HERE, "not_connected.png"), PLUG_W, PLUG_H, not_connected)


if __name__ == "__main__":
    main()
