#!/usr/bin/env python3
"""Synthetic scene renderer: weapon silhouettes (handgun, rifle, knife) over cluttered backgrounds.

Shapes are described in a local frame (x along the object's length in [0, 1], y across it, same unit),
transformed by scale / rotation / flip / translation and composited with anti-aliased alpha.
Ground truth is the tight axis-aligned box of the visible silhouette (after occlusion and frame clipping).

CLI:  render.py --out DIR --seed 7 --size 640x480 --count 100
writes DIR/NNNNNN.jpg and DIR/NNNNNN.txt (one "class_id x y w h" line per object, pixels).
"""
import argparse
import math
import os

import cv2
import numpy as np

CLASSES = ("handgun", "rifle", "knife")
HANDGUN, RIFLE, KNIFE = 0, 1, 2


# ----------------------------------------------------------------------------------------------- geometry
def rect(x0, y0, x1, y1):
    return np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], np.float64)


def arc(cx, cy, rx, ry, a0, a1, n=12):
    t = np.linspace(math.radians(a0), math.radians(a1), n)
    return np.stack([cx + rx * np.cos(t), cy + ry * np.sin(t)], 1)


def ellipse(cx, cy, rx, ry, n=20):
    return arc(cx, cy, rx, ry, 0, 360, n)[:-1]


def band(cx, cy, rx, ry, a0, a1, th, n=12):
    """Closed polygon of a thick elliptic arc (e.g. a trigger guard)."""
    outer = arc(cx, cy, rx, ry, a0, a1, n)
    inner = arc(cx, cy, max(rx - th, 1e-3), max(ry - th, 1e-3), a1, a0, n)
    return np.concatenate([outer, inner])


def poly(*pts):
    return np.array(pts, np.float64)


def U(rng, a, b):
    return float(rng.uniform(a, b))


# A shape is a list of parts (points, tone, is_hole); tone picks the colour of the part.

# ------------------------------------------------------------------------------------------------ weapons
def handgun_pistol(rng):
    hs = U(rng, 0.15, 0.24)          # slide height
    gx0 = U(rng, 0.0, 0.1)           # grip rear top
    gw = U(rng, 0.19, 0.27)          # grip width
    gl = U(rng, 0.42, 0.62)          # grip length
    tilt = U(rng, 0.04, 0.16)
    ch = U(rng, 0.0, 0.04)
    parts = [
        (poly([0, 0], [1 - ch, 0], [1, ch], [1, hs], [0, hs]), 0, False),
        (rect(gx0 + 0.05, hs - 0.01, U(rng, 0.7, 0.9), hs + U(rng, 0.05, 0.09)), 1, False),
        (poly([gx0, hs], [gx0 + gw, hs], [gx0 + gw - tilt, hs + gl], [gx0 - tilt, hs + gl]), 1, False),
        (band(gx0 + gw + 0.12, hs + 0.06, 0.13, 0.11, 0, 180, 0.035), 1, False),
        (rect(gx0 - tilt - 0.01, hs + gl - 0.03, gx0 + gw - tilt + 0.01, hs + gl + 0.02), 2, False),
    ]
    if rng.random() < 0.5:           # slide serrations
        x = U(rng, 0.05, 0.12)
        for i in range(int(rng.integers(3, 7))):
            parts.append((rect(x + i * 0.025, hs * 0.15, x + i * 0.025 + 0.01, hs * 0.85), 2, False))
    return parts


def handgun_revolver(rng):
    bl = U(rng, 0.4, 0.6)            # barrel start
    bh = U(rng, 0.07, 0.11)
    cyl0, cyl1 = bl - U(rng, 0.18, 0.24), bl
    gl = U(rng, 0.4, 0.55)
    tilt = U(rng, 0.12, 0.22)
    parts = [
        (rect(bl - 0.02, 0.02, 1, 0.02 + bh), 0, False),
        (rect(bl, 0.0, 1, 0.025), 2, False),
        (rect(cyl0 - 0.08, 0.0, cyl1, 0.24), 0, False),
        (poly([cyl0, -0.005], [cyl1, -0.005], [cyl1 + 0.01, 0.23], [cyl0 + 0.01, 0.235]), 2, False),
        (poly([cyl0 - 0.12, 0.0], [cyl0 - 0.06, -0.06], [cyl0 - 0.03, 0.05]), 0, False),  # hammer
        (poly([cyl0 - 0.08, 0.14], [cyl0 + 0.05, 0.2], [cyl0 + 0.05 - tilt, 0.2 + gl],
              [cyl0 - 0.12 - tilt, 0.17 + gl], [cyl0 - 0.15 - tilt * 0.6, 0.2 + gl * 0.6]), 1, False),
        (band(cyl0 + 0.12, 0.25, 0.1, 0.1, 0, 180, 0.03), 0, False),
    ]
    return parts


def handgun_boxy(rng):
    hs = U(rng, 0.2, 0.28)
    gx0 = U(rng, 0.04, 0.15)
    gw = U(rng, 0.22, 0.3)
    gl = U(rng, 0.45, 0.6)
    tilt = U(rng, 0.0, 0.08)
    parts = [
        (rect(0, 0, 1, hs * 0.55), 0, False),
        (rect(0.02, hs * 0.5, U(rng, 0.8, 0.97), hs), 1, False),
        (poly([gx0, hs - 0.02], [gx0 + gw, hs - 0.02], [gx0 + gw - tilt, hs + gl], [gx0 - tilt, hs + gl]), 1, False),
        (rect(gx0 + gw - 0.02, hs - 0.02, gx0 + gw + 0.22, hs + 0.03), 1, False),
        (band(gx0 + gw + 0.1, hs + 0.02, 0.11, 0.12, 0, 180, 0.04), 1, False),
        (rect(1 - 0.06, hs * 0.15, 1.0, hs * 0.4), 2, False),
    ]
    return parts


def rifle_assault(rng):
    t = U(rng, 0.085, 0.11)          # receiver height
    parts = []
    sk = U(rng, 0.22, 0.3)
    # stock
    parts.append((poly([0, U(rng, -0.02, 0.01)], [sk, 0.01], [sk, t * 0.8], [0, t + U(rng, 0.03, 0.06)]), 1, False))
    if rng.random() < 0.5:
        parts.append((poly([0.06, 0.045], [sk - 0.04, 0.035], [sk - 0.04, 0.055], [0.06, 0.08]), 3, True))
    re = U(rng, 0.56, 0.64)
    parts.append((rect(sk, 0, re, t), 0, False))
    hg = re + U(rng, 0.14, 0.2)
    parts.append((rect(re, 0.008, hg, t * 0.85), 1, False))
    parts.append((rect(re, -0.015, hg + 0.02, 0.0), 0, False))   # gas tube / rail
    parts.append((rect(hg, t * 0.3, 1.0, t * 0.55), 0, False))
    parts.append((rect(1 - 0.03, -0.03, 1 - 0.018, t * 0.3), 0, False))  # front sight
    # curved magazine
    mx = U(rng, 0.44, 0.5)
    md = U(rng, 0.17, 0.24)
    curve = U(rng, 0.0, 0.1)
    parts.append((poly([mx, t], [mx + 0.07, t], [mx + 0.07 + curve, t + md], [mx + curve + 0.005, t + md + 0.01]), 2, False))
    # pistol grip + guard
    gx = U(rng, 0.32, 0.37)
    parts.append((poly([gx, t], [gx + 0.045, t], [gx + 0.02, t + 0.13], [gx - 0.025, t + 0.125]), 1, False))
    parts.append((band(gx + 0.075, t, 0.04, 0.04, 0, 180, 0.012, 8), 0, False))
    return parts


def rifle_ar(rng):
    t = U(rng, 0.09, 0.12)
    sk = U(rng, 0.2, 0.27)
    parts = [
        (poly([0, -0.01], [0.03, -0.01], [sk, 0.02], [sk, t * 0.75], [0.03, t + 0.05], [0, t + 0.05]), 1, False),
        (rect(sk - 0.04, 0.02, sk + 0.01, 0.05), 0, False),
        (rect(sk, 0, 0.58, t), 0, False),
        (rect(sk + 0.05, -0.05, 0.5, 0.0), 0, False),        # carry handle / optic rail
        (rect(0.58, 0.005, 0.82, t * 0.9), 1, False),
        (rect(0.82, t * 0.3, 1.0, t * 0.5), 0, False),
        (rect(0.78, -0.05, 0.8, 0.005), 0, False),
        (rect(0.44, t, 0.5, t + U(rng, 0.14, 0.2)), 2, False),
        (poly([0.33, t], [0.37, t], [0.35, t + 0.12], [0.3, t + 0.115]), 1, False),
    ]
    for i in range(int(rng.integers(2, 6))):             # handguard slots
        x = 0.6 + i * 0.04
        parts.append((rect(x, t * 0.3, x + 0.022, t * 0.6), 3, True))
    return parts


def rifle_sniper(rng):
    t = U(rng, 0.07, 0.1)
    parts = [
        (poly([0, 0.0], [0.06, 0.02], [0.25, t * 0.6], [0.62, t * 0.5], [0.62, t * 1.1],
              [0.3, t * 1.2], [0.25, t * 1.9], [0.18, t * 1.9], [0.06, t + 0.07], [0, t + 0.08]), 1, False),
        (rect(0.28, -0.005, 0.55, t * 0.55), 0, False),
        (rect(0.55, t * 0.2, 1.0, t * 0.42), 0, False),
    ]
    # scope
    sy = -U(rng, 0.05, 0.08)
    parts.append((rect(0.27, sy - 0.02, 0.55, sy + 0.02), 2, False))
    parts.append((poly([0.22, sy - 0.035], [0.27, sy - 0.02], [0.27, sy + 0.02], [0.22, sy + 0.035]), 2, False))
    parts.append((poly([0.55, sy - 0.02], [0.6, sy - 0.038], [0.6, sy + 0.038], [0.55, sy + 0.02]), 2, False))
    parts.append((rect(0.34, sy + 0.02, 0.36, 0.0), 0, False))
    parts.append((rect(0.46, sy + 0.02, 0.48, 0.0), 0, False))
    if rng.random() < 0.5:   # bipod
        parts.append((poly([0.6, t], [0.61, t], [0.68, t + 0.14], [0.67, t + 0.145]), 0, False))
        parts.append((poly([0.6, t], [0.61, t], [0.57, t + 0.14], [0.56, t + 0.14]), 0, False))
    return parts


def rifle_shotgun(rng):
    t = U(rng, 0.06, 0.085)
    parts = [
        (poly([0, -0.01], [0.24, 0.015], [0.3, 0.01], [0.3, t * 1.3], [0.24, t * 1.3], [0.2, t * 1.1],
              [0, t + 0.06]), 1, False),
        (rect(0.3, 0, 0.48, t * 1.3), 0, False),
        (rect(0.48, 0.0, 1.0, t * 0.45), 0, False),
        (rect(0.48, t * 0.55, U(rng, 0.8, 0.95), t * 1.05), 0, False),
        (rect(0.58, t * 0.4, 0.75, t * 1.3), 1, False),              # pump
        (band(0.36, t * 1.3, 0.04, 0.04, 0, 180, 0.012, 8), 0, False),
    ]
    return parts


def knife_kitchen(rng):
    w = U(rng, 0.09, 0.18)           # blade width
    hl = U(rng, 0.28, 0.4)           # handle length
    hw = w * U(rng, 0.5, 0.8)
    belly = U(rng, 0.3, 0.7)
    edge = [(hl + (1 - hl) * f, w * (1 - f ** (1.0 + belly * 3))) for f in np.linspace(0, 1, 10)]
    blade = np.array([[hl, 0.0], [1.0, 0.0]] + edge[::-1][1:], np.float64)
    yo = (w - hw) * U(rng, 0.0, 0.6)
    parts = [
        (blade, 2, False),
        (np.concatenate([arc(0.04, yo + hw / 2, 0.04, hw / 2, 90, 270, 8), rect(0.04, yo, hl + 0.01, yo + hw)[[1, 2]]]), 1, False),
    ]
    for i in range(int(rng.integers(0, 4))):
        cx = 0.06 + i * (hl - 0.1) / 3
        parts.append((ellipse(cx, yo + hw / 2, 0.012, 0.012, 8), 3, False))
    return parts


def knife_dagger(rng):
    w = U(rng, 0.07, 0.14)
    hl = U(rng, 0.26, 0.36)
    gw = w * U(rng, 1.8, 3.0)
    hw = w * U(rng, 0.45, 0.7)
    parts = [
        (poly([hl + 0.03, -w / 2], [1 - 0.18, -w / 2 * 0.8], [1.0, 0.0], [1 - 0.18, w / 2 * 0.8], [hl + 0.03, w / 2]), 2, False),
        (rect(hl, -gw / 2, hl + 0.035, gw / 2), 0, False),
        (rect(0.04, -hw / 2, hl, hw / 2), 1, False),
        (ellipse(0.04, 0.0, 0.04, hw * 0.8, 10), 0, False),
    ]
    if rng.random() < 0.5:   # fuller
        parts.append((rect(hl + 0.06, -0.008, 0.75, 0.008), 3, False))
    return parts


def knife_bowie(rng):
    w = U(rng, 0.12, 0.2)
    hl = U(rng, 0.3, 0.38)
    hw = w * U(rng, 0.55, 0.8)
    clip = U(rng, 0.65, 0.8)
    edge = [(hl + 0.03 + (1 - hl - 0.03) * f, w * (1 - f ** 4)) for f in np.linspace(0, 1, 9)]
    blade = np.array([[hl + 0.03, 0.0], [clip, 0.0], [1.0, w * 0.05]] + edge[::-1][1:], np.float64)
    parts = [
        (blade, 2, False),
        (rect(hl, -0.03, hl + 0.03, w + 0.03), 0, False),
        (poly([0.0, (w - hw) / 2 + 0.01], [hl, (w - hw) / 2], [hl, (w + hw) / 2], [0.0, (w + hw) / 2 + 0.01]), 1, False),
    ]
    if rng.random() < 0.5:   # serrations on the spine
        for i in range(6):
            x = hl + 0.06 + i * 0.03
            parts.append((poly([x, 0.0], [x + 0.015, -0.012], [x + 0.03, 0.0]), 2, False))
    return parts


def knife_machete(rng):
    w = U(rng, 0.1, 0.17)
    hl = U(rng, 0.2, 0.28)
    hw = w * U(rng, 0.45, 0.65)
    bend = U(rng, -0.06, 0.06)
    xs = np.linspace(hl, 1.0, 10)
    f = (xs - hl) / (1 - hl)
    spine = np.stack([xs, bend * f ** 2], 1)
    width = w * (0.8 + 0.4 * f) * np.where(f > 0.85, (1 - f) / 0.15 * 0.9 + 0.1, 1.0)
    edge = np.stack([xs, bend * f ** 2 + width], 1)[::-1]
    parts = [
        (np.concatenate([spine, edge]), 2, False),
        (poly([0, 0.0], [hl + 0.01, 0.0], [hl + 0.01, hw], [0.0, hw + 0.02]), 1, False),
    ]
    return parts


WEAPONS = {
    HANDGUN: (handgun_pistol, handgun_revolver, handgun_boxy),
    RIFLE: (rifle_assault, rifle_ar, rifle_sniper, rifle_shotgun),
    KNIFE: (knife_kitchen, knife_dagger, knife_bowie, knife_machete),
}
# object length relative to the nominal size
LENGTH_FACTOR = {HANDGUN: 1.0, RIFLE: 2.0, KNIFE: 1.15}


# -------------------------------------------------------------------------------------------- distractors
def d_phone(rng):
    a = U(rng, 0.45, 0.6)
    r = 0.06
    body = np.concatenate([arc(1 - r, r, r, r, -90, 0, 4), arc(1 - r, a - r, r, r, 0, 90, 4),
                           arc(r, a - r, r, r, 90, 180, 4), arc(r, r, r, r, 180, 270, 4)])
    parts = [(body, 0, False), (rect(0.08, 0.05, 0.92, a - 0.05), 3 if rng.random() < 0.5 else 2, False)]
    return parts


def d_bottle(rng):
    bw = U(rng, 0.28, 0.4)
    nw = bw * U(rng, 0.3, 0.45)
    sh = U(rng, 0.55, 0.7)
    return [
        (poly([0, -bw / 2], [sh, -bw / 2], [sh + 0.12, -nw / 2], [0.95, -nw / 2], [0.95, nw / 2],
              [sh + 0.12, nw / 2], [sh, bw / 2], [0, bw / 2]), 0, False),
        (rect(0.93, -nw / 2 - 0.01, 1.0, nw / 2 + 0.01), 2, False),
        (rect(0.15, -bw / 2, 0.45, bw / 2), 1, False),
    ]


def d_bar(rng):
    w = U(rng, 0.04, 0.14)
    parts = [(rect(0, 0, 1, w), 0, False)]
    if rng.random() < 0.5:
        parts.append((rect(0, 0, U(rng, 0.2, 0.4), w), 1, False))
    return parts


def d_hammer(rng):
    w = U(rng, 0.05, 0.08)
    hw = U(rng, 0.22, 0.32)
    return [(rect(0, -w / 2, 0.92, w / 2), 1, False),
            (rect(0.82, -hw / 2, 1.0, hw / 2 * U(rng, 0.6, 1.0)), 0, False)]


def d_wrench(rng):
    w = U(rng, 0.06, 0.09)
    r = U(rng, 0.08, 0.12)
    head = ellipse(1 - r, 0, r, r, 14)
    return [(rect(r * 0.5, -w / 2, 1 - r, w / 2), 0, False), (head, 0, False),
            (rect(1 - r * 0.9, -r * 0.35, 1.0, r * 0.35), 3, True),
            (ellipse(r, 0, r * 0.8, r * 0.8, 12), 0, False)]


def d_screwdriver(rng):
    hw = U(rng, 0.08, 0.13)
    hl = U(rng, 0.3, 0.45)
    return [(np.concatenate([arc(0.04, 0, 0.04, hw / 2, 90, 270, 6), rect(0.04, -hw / 2, hl, hw / 2)[[1, 2]]]), 1, False),
            (rect(hl, -0.012, 1.0, 0.012), 2, False)]


def d_person(rng):
    s = U(rng, 0.8, 1.2)
    hr = 0.07 * s
    parts = [
        (ellipse(0.08, 0.0, hr, hr, 12), 0, False),
        (ellipse(0.35, 0.0, 0.2, 0.12 * s, 14), 1, False),
        (poly([0.5, -0.1], [0.95, -0.12], [0.95, -0.03], [0.5, -0.01]), 1, False),
        (poly([0.5, 0.1], [0.95, 0.12], [0.95, 0.03], [0.5, 0.01]), 1, False),
        (poly([0.2, -0.1], [0.5, -0.25 * s], [0.52, -0.2 * s], [0.25, -0.05]), 1, False),
        (poly([0.2, 0.1], [0.5, 0.25 * s], [0.52, 0.2 * s], [0.25, 0.05]), 1, False),
    ]
    return parts


def d_box(rng):
    a = U(rng, 0.3, 1.0)
    return [(rect(0, 0, 1, a), 0, False), (rect(0, 0, 1, a * 0.2), 1, False)]


DISTRACTORS = (d_phone, d_bottle, d_bar, d_hammer, d_wrench, d_screwdriver, d_person, d_box)
DISTRACTOR_LENGTH = (0.8, 1.2, 1.8, 1.3, 1.3, 1.2, 2.5, 1.0)


# ------------------------------------------------------------------------------------------------ colours
def weapon_palette(rng, cls):
    metal = np.array([U(rng, 15, 70)] * 3) + rng.uniform(-8, 8, 3)
    if rng.random() < 0.35:
        metal = np.array([U(rng, 80, 170)] * 3) + rng.uniform(-10, 10, 3)
    wood = np.array([U(rng, 20, 60), U(rng, 50, 100), U(rng, 90, 160)])        # BGR brown
    poly_c = np.array([U(rng, 20, 60)] * 3)
    olive = np.array([U(rng, 40, 70), U(rng, 80, 110), U(rng, 80, 110)])
    tan = np.array([U(rng, 90, 130), U(rng, 140, 170), U(rng, 170, 200)])
    second = [wood, poly_c, olive, tan, metal * 0.8][int(rng.integers(0, 5))]
    if rng.random() < 0.15:
        second = rng.uniform(0, 255, 3)
    if cls == KNIFE:
        blade = np.array([U(rng, 140, 235)] * 3) + rng.uniform(-10, 10, 3)
        if rng.random() < 0.25:
            blade = np.array([U(rng, 25, 80)] * 3)
        return [metal, second, blade, np.clip(blade * 0.6, 0, 255)]
    if rng.random() < 0.1:
        metal = rng.uniform(0, 255, 3)
    return [metal, second, np.clip(metal * 1.3 + 15, 0, 255), np.clip(second * 0.5, 0, 255)]


def random_palette(rng):
    base = rng.uniform(0, 255, 3)
    return [base, rng.uniform(0, 255, 3), rng.uniform(0, 255, 3), np.clip(base * 0.5, 0, 255)]


# ----------------------------------------------------------------------------------------------- drawing
class Sprite:
    """A rasterised object: BGR patch, alpha (float 0..1) and its top-left corner in the frame."""

    def __init__(self, color, alpha, x0, y0):
        self.color, self.alpha, self.x0, self.y0 = color, alpha, x0, y0


def local_bounds(parts):
    pts = np.concatenate([p for p, _, hole in parts if not hole])
    return pts.min(0), pts.max(0)


def rasterize(parts, palette, rng, cx, cy, length, angle, flip, shade=True):
    lo, hi = local_bounds(parts)
    centre = (lo + hi) / 2
    ca, sa = math.cos(angle), math.sin(angle)
    rot = np.array([[ca, -sa], [sa, ca]])
    sy = -1.0 if flip else 1.0
    span = hi[0] - lo[0]
    k = length / span
    tps = []
    for pts, tone, hole in parts:
        p = (pts - centre) * k
        p[:, 1] *= sy
        tps.append((p @ rot.T + (cx, cy), tone, hole))
    allp = np.concatenate([p for p, _, _ in tps])
    x0, y0 = np.floor(allp.min(0)).astype(int) - 2
    x1, y1 = np.ceil(allp.max(0)).astype(int) + 2
    w, h = int(x1 - x0), int(y1 - y0)
    if w < 2 or h < 2 or w > 8000 or h > 8000:
        return None
    sh = 8  # fixed-point sub-pixel bits
    color = np.zeros((h, w, 3), np.float32)
    alpha = np.zeros((h, w), np.uint8)
    edge = np.zeros((h, w), np.uint8)
    cover = np.zeros((h, w), np.uint8)
    for p, tone, hole in tps:
        ip = np.round((p - (x0, y0)) * (1 << sh)).astype(np.int32).reshape(-1, 1, 2)
        if hole:
            cv2.fillPoly(alpha, [ip], 0, cv2.LINE_AA, sh)
            continue
        cv2.fillPoly(alpha, [ip], 255, cv2.LINE_AA, sh)
        cv2.fillPoly(color, [ip], [float(c) for c in palette[tone]], cv2.LINE_8, sh)
        cv2.fillPoly(cover, [ip], 255, cv2.LINE_8, sh)
        if length > 40:
            cv2.polylines(edge, [ip], True, 255, 1, cv2.LINE_AA, sh)
    rim = (alpha > 0) & (cover == 0)   # anti-aliased rim pixels outside the hard fill take a neighbour's colour
    if rim.any():
        color[rim] = cv2.dilate(color, np.ones((3, 3), np.uint8))[rim]
    if shade:
        # directional light along the object plus low-frequency texture
        g = np.linspace(-1, 1, max(w, h), dtype=np.float32)
        la = rng.uniform(0, 2 * math.pi)
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        grad = ((xx - w / 2) * math.cos(la) + (yy - h / 2) * math.sin(la)) / max(w, h)
        tex = cv2.resize(rng.normal(0, 1, (max(2, h // 6), max(2, w // 6))).astype(np.float32), (w, h))
        f = 1.0 + U(rng, 0.1, 0.5) * grad + U(rng, 0.0, 0.12) * tex
        color *= f[..., None]
        color += U(rng, 0, 12)
        del g
        e = edge.astype(np.float32)[..., None] / 255.0 * U(rng, 0.2, 0.6)
        color = color * (1 - e)
    color = np.clip(color, 0, 255)
    return Sprite(color, alpha.astype(np.float32) / 255.0, int(x0), int(y0))


def overlap(sprite, H, W):
    """Slices of the frame and of the sprite that overlap, or None."""
    h, w = sprite.alpha.shape
    fx0, fy0 = max(0, sprite.x0), max(0, sprite.y0)
    fx1, fy1 = min(W, sprite.x0 + w), min(H, sprite.y0 + h)
    if fx1 <= fx0 or fy1 <= fy0:
        return None
    return (slice(fy0, fy1), slice(fx0, fx1)), (slice(fy0 - sprite.y0, fy1 - sprite.y0),
                                                slice(fx0 - sprite.x0, fx1 - sprite.x0))


def composite(frame, sprite):
    ov = overlap(sprite, *frame.shape[:2])
    if ov is None:
        return
    fs, ss = ov
    a = sprite.alpha[ss][..., None]
    region = frame[fs].astype(np.float32)
    frame[fs] = np.clip(region * (1 - a) + sprite.color[ss] * a, 0, 255).astype(np.uint8)


class Placed:
    """A weapon in the frame with its visible mask (frame coordinates, cropped to the sprite)."""

    def __init__(self, cls, sprite, H, W):
        self.cls = cls
        self.sprite = sprite
        self.full_area = float((sprite.alpha >= 0.5).sum())
        self.visible = np.zeros_like(sprite.alpha, bool)
        ov = overlap(sprite, H, W)
        if ov is not None:
            self.visible[ov[1]] = sprite.alpha[ov[1]] >= 0.5

    def cover(self, other):
        """Remove the parts hidden by sprite `other` drawn on top."""
        s = self.sprite
        h, w = s.alpha.shape
        oh, ow = other.alpha.shape
        x0, y0 = max(s.x0, other.x0), max(s.y0, other.y0)
        x1, y1 = min(s.x0 + w, other.x0 + ow), min(s.y0 + h, other.y0 + oh)
        if x1 <= x0 or y1 <= y0:
            return
        occ = other.alpha[y0 - other.y0:y1 - other.y0, x0 - other.x0:x1 - other.x0] >= 0.5
        self.visible[y0 - s.y0:y1 - s.y0, x0 - s.x0:x1 - s.x0] &= ~occ

    def hidden_fraction_if(self, other):
        before = self.visible.copy()
        self.cover(other)
        frac = 1.0 - self.visible.sum() / max(self.full_area, 1.0)
        self.visible = before
        return frac

    def visible_fraction(self):
        return self.visible.sum() / max(self.full_area, 1.0)

    def box(self):
        ys, xs = np.nonzero(self.visible)
        if len(xs) == 0:
            return None
        return (self.sprite.x0 + int(xs.min()), self.sprite.y0 + int(ys.min()),
                int(xs.max() - xs.min() + 1), int(ys.max() - ys.min() + 1))


# -------------------------------------------------------------------------------------------- backgrounds
_NOISE_BANK = None


def gauss_noise(rng, H, W, C, sigma):
    """Unit gaussian noise scaled by sigma, cut from a fixed bank at a random offset (fast)."""
    global _NOISE_BANK
    if _NOISE_BANK is None:
        _NOISE_BANK = np.random.default_rng(20261209).normal(0, 1, (1024, 1024, 3)).astype(np.float32)
    bank = _NOISE_BANK
    if H > 1024 or W > 1024:
        bank = np.tile(bank, (H // 1024 + 1, W // 1024 + 1, 1))
    y, x = int(rng.integers(0, bank.shape[0] - H + 1)), int(rng.integers(0, bank.shape[1] - W + 1))
    n = bank[y:y + H, x:x + W, :C]
    if rng.random() < 0.5:
        n = n[::-1]
    return n * np.float32(sigma)


def smooth_noise(rng, H, W, cell):
    gh, gw = max(2, H // cell + 2), max(2, W // cell + 2)
    return cv2.resize(rng.normal(0, 1, (gh, gw)).astype(np.float32), (W, H), interpolation=cv2.INTER_CUBIC)


def background(rng, H, W):
    kind = int(rng.integers(0, 7))
    c1, c2 = rng.uniform(0, 255, 3).astype(np.float32), rng.uniform(0, 255, 3).astype(np.float32)
    if rng.random() < 0.5:  # muted colours are common indoors / outdoors
        g = U(rng, 0, 255)
        c1 = (c1 * 0.3 + g * 0.7).astype(np.float32)
    if kind == 0:     # flat + noise
        img = np.empty((H, W, 3), np.float32)
        img[:] = c1
    elif kind in (1, 2):  # linear / radial gradient
        yy, xx = np.mgrid[0:H, 0:W].astype(np.float32)
        if kind == 1:
            a = U(rng, 0, 2 * math.pi)
            t = (xx * math.cos(a) + yy * math.sin(a))
        else:
            t = np.hypot(xx - U(rng, 0, W), yy - U(rng, 0, H))
        t = (t - t.min()) / max(float(t.max() - t.min()), 1e-6)
        img = c1 + (c2 - c1) * t[..., None]
    elif kind == 3:   # multi-octave noise texture
        n = sum(smooth_noise(rng, H, W, int(c)) * w for c, w in ((64, 1.0), (16, 0.5), (4, 0.25)))
        n = (n - n.min()) / max(float(n.max() - n.min()), 1e-6)
        img = c1 + (c2 - c1) * n[..., None]
    elif kind == 4:   # stripes / checker
        yy, xx = np.mgrid[0:H, 0:W].astype(np.float32)
        a = U(rng, 0, math.pi)
        p = U(rng, 8, 120)
        s = np.sin((xx * math.cos(a) + yy * math.sin(a)) * 2 * math.pi / p)
        if rng.random() < 0.5:
            s = s * np.sin((-xx * math.sin(a) + yy * math.cos(a)) * 2 * math.pi / p)
        s = (s > 0).astype(np.float32) if rng.random() < 0.5 else (s + 1) / 2
        img = c1 + (c2 - c1) * s[..., None] * U(rng, 0.2, 1.0)
    elif kind == 5:   # wall / floor split
        yy, xx = np.mgrid[0:H, 0:W].astype(np.float32)
        y0 = U(rng, 0.3, 0.8) * H
        sl = U(rng, -0.3, 0.3)
        m = (yy > y0 + sl * (xx - W / 2)).astype(np.float32)
        img = c1 + (c2 - c1) * m[..., None]
        img += smooth_noise(rng, H, W, 8)[..., None] * U(rng, 0, 20)
    else:             # grainy texture
        img = np.empty((H, W, 3), np.float32)
        img[:] = c1
        img += smooth_noise(rng, H, W, int(rng.integers(2, 6)))[..., None] * U(rng, 10, 40)
    img += gauss_noise(rng, H, W, 1, U(rng, 0, 10))
    return np.clip(img, 0, 255).astype(np.uint8)


def clutter(rng, img, n):
    H, W = img.shape[:2]
    s = min(H, W)
    for _ in range(n):
        col = [float(c) for c in rng.uniform(0, 255, 3)]
        k = int(rng.integers(0, 5))
        th = int(rng.integers(1, max(2, s // 60))) if rng.random() < 0.6 else -1
        cx, cy = int(rng.integers(0, W)), int(rng.integers(0, H))
        r = int(U(rng, 0.01, 0.15) * s) + 1
        if k == 0:
            ex, ey = int(cx + U(rng, -1, 1) * s * 0.4), int(cy + U(rng, -1, 1) * s * 0.4)
            cv2.line(img, (cx, cy), (ex, ey), col, max(1, th), cv2.LINE_AA)
        elif k == 1:
            cv2.circle(img, (cx, cy), r, col, th, cv2.LINE_AA)
        elif k == 2:
            cv2.rectangle(img, (cx - r, cy - int(r * U(rng, 0.3, 1.5))), (cx + r, cy + r), col, th)
        elif k == 3:
            pts = np.array([[cx + U(rng, -1, 1) * r * 1.5, cy + U(rng, -1, 1) * r * 1.5] for _ in range(int(rng.integers(3, 7)))], np.int32)
            if th < 0:
                cv2.fillPoly(img, [pts], col, cv2.LINE_AA)
            else:
                cv2.polylines(img, [pts], True, col, th, cv2.LINE_AA)
        else:
            cv2.ellipse(img, (cx, cy), (r, int(r * U(rng, 0.2, 1.0))), U(rng, 0, 180), 0, 360, col, th, cv2.LINE_AA)


def photometric(rng, img):
    """Global appearance changes: contrast / brightness, blur, sensor noise."""
    out = img.astype(np.float32)
    if rng.random() < 0.7:
        out = (out - 128) * U(rng, 0.6, 1.3) + 128 + U(rng, -40, 40)
    if rng.random() < 0.3:
        out *= rng.uniform(0.8, 1.2, 3).astype(np.float32)
    if rng.random() < 0.3:
        out += gauss_noise(rng, out.shape[0], out.shape[1], 3, U(rng, 2, 10))
    out = np.clip(out, 0, 255).astype(np.uint8)
    if rng.random() < 0.25:
        k = int(rng.choice([3, 5]))
        out = cv2.GaussianBlur(out, (k, k), 0)
    return out


# ----------------------------------------------------------------------------------------------- scenes
def make_weapon(rng, cls, H, size_range, family=None):
    fams = WEAPONS[cls]
    fn = fams[int(rng.integers(0, len(fams)))] if family is None else fams[family]
    parts = fn(rng)
    size = U(rng, *size_range) * H
    length = size * LENGTH_FACTOR[cls] * U(rng, 0.85, 1.15)
    return parts, length, weapon_palette(rng, cls)


def make_distractor(rng, H, size_range):
    i = int(rng.integers(0, len(DISTRACTORS)))
    parts = DISTRACTORS[i](rng)
    length = U(rng, *size_range) * H * DISTRACTOR_LENGTH[i]
    pal = random_palette(rng)
    if rng.random() < 0.4:
        pal = weapon_palette(rng, HANDGUN)  # same dark metal / polymer look as weapons
    return parts, length, pal


def render_scene(rng, W, H, n_weapons=None, n_distractors=None, size_range=(0.08, 0.45),
                 occlusion=0.3, max_hidden=0.35, clutter_range=(0, 25), photo=True):
    """One random scene. Returns (BGR image, list of (class_id, x, y, w, h))."""
    img = background(rng, H, W)
    clutter(rng, img, int(rng.integers(*clutter_range)) if clutter_range[1] > clutter_range[0] else 0)
    if n_weapons is None:
        n_weapons = int(rng.choice([0, 1, 1, 2, 2, 3, 4]))
    if n_distractors is None:
        n_distractors = int(rng.integers(0, 5))
    placed = []
    # distractors below weapons
    for _ in range(n_distractors):
        parts, length, pal = make_distractor(rng, H, size_range)
        sp = rasterize(parts, pal, rng, U(rng, 0, W), U(rng, 0, H), length, U(rng, 0, 2 * math.pi), rng.random() < 0.5)
        if sp is not None:
            composite(img, sp)
    boxes_taken = []
    for _ in range(n_weapons):
        cls = int(rng.integers(0, 3))
        parts, length, pal = make_weapon(rng, cls, H, size_range)
        for _try in range(8):
            angle = U(rng, -math.pi, math.pi) if rng.random() < 0.7 else U(rng, -0.4, 0.4)
            sp = rasterize(parts, pal, rng, U(rng, 0.05, 0.95) * W, U(rng, 0.05, 0.95) * H, length, angle,
                           rng.random() < 0.5)
            if sp is None:
                continue
            p = Placed(cls, sp, H, W)
            if p.visible_fraction() < 0.65:      # mostly outside the frame
                continue
            if any(q.hidden_fraction_if(sp) > max_hidden for q in placed):
                continue
            b = p.box()
            if b is None or any(_iou(b, t) > 0.3 for t in boxes_taken):
                continue
            for q in placed:
                q.cover(sp)
            composite(img, sp)
            placed.append(p)
            boxes_taken.append(b)
            break
    # occluders on top of some weapons
    for p in list(placed):
        if rng.random() >= occlusion:
            continue
        b = p.box()
        if b is None:
            continue
        for _try in range(4):
            parts, length, pal = make_distractor(rng, H, (size_range[0], size_range[1] * 0.6))
            if rng.random() < 0.5:
                parts, pal = d_bar(rng), random_palette(rng)
            ox, oy = b[0] + U(rng, -0.2, 1.2) * b[2], b[1] + U(rng, -0.2, 1.2) * b[3]
            sp = rasterize(parts, pal, rng, ox, oy, length, U(rng, 0, 2 * math.pi), rng.random() < 0.5)
            if sp is None:
                continue
            if any(q.hidden_fraction_if(sp) > max_hidden for q in placed):
                continue
            for q in placed:
                q.cover(sp)
            composite(img, sp)
            break
    if photo:
        img = photometric(rng, img)
    labels = []
    for p in placed:
        b = p.box()
        if b is not None and b[2] >= 2 and b[3] >= 2:
            labels.append((p.cls,) + b)
    return img, labels


def uniform_frame(rng, W, H):
    """Pure negative: one gray level (or a flat colour), optionally with slight noise."""
    img = np.empty((H, W, 3), np.uint8)
    if rng.random() < 0.8:
        img[:] = int(rng.integers(0, 256))
    else:
        img[:] = rng.integers(0, 256, 3).astype(np.uint8)
    if rng.random() < 0.3:
        img = np.clip(img + gauss_noise(rng, H, W, 3, U(rng, 1, 6)), 0, 255).astype(np.uint8)
    return img


def _iou(a, b):
    ax1, ay1, bx1, by1 = a[0] + a[2], a[1] + a[3], b[0] + b[2], b[1] + b[3]
    iw = max(0, min(ax1, bx1) - max(a[0], b[0]))
    ih = max(0, min(ay1, by1) - max(a[1], b[1]))
    inter = iw * ih
    return inter / max(a[2] * a[3] + b[2] * b[3] - inter, 1e-9)


def training_sample(rng):
    """A training image of random size / aspect with its labels (uniform and weapon-free scenes included)."""
    aspect = float(rng.choice([16 / 9, 16 / 9, 4 / 3, 1.0, 3 / 4, 2.0]))
    H = int(U(rng, 180, 540))
    W = int(H * aspect)
    r = rng.random()
    if r < 0.08:
        return uniform_frame(rng, W, H), []
    if r < 0.2:
        return render_scene(rng, W, H, n_weapons=0, n_distractors=int(rng.integers(1, 7)))
    if r < 0.55:   # plain scenes: one to three unoccluded weapons of medium size, light clutter
        H = int(U(rng, 270, 540))
        W = int(H * 16 / 9)
        return render_scene(rng, W, H, n_weapons=int(rng.integers(1, 6)), n_distractors=int(rng.integers(1, 4)),
                            size_range=(0.12, 0.32), occlusion=0.0, clutter_range=(4, 16))
    return render_scene(rng, W, H, size_range=(0.1, 0.45))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--size", default="640x480", help="WxH of the rendered images")
    ap.add_argument("--count", type=int, default=16)
    ap.add_argument("--draw", action="store_true", help="draw the ground-truth boxes (for looking at)")
    a = ap.parse_args()
    W, H = (int(v) for v in a.size.lower().split("x"))
    os.makedirs(a.out, exist_ok=True)
    rng = np.random.default_rng(a.seed)
    for i in range(a.count):
        img, labels = render_scene(rng, W, H)
        with open(os.path.join(a.out, "%06d.txt" % i), "w") as f:
            for c, x, y, w, h in labels:
                f.write("%d %d %d %d %d\n" % (c, x, y, w, h))
                if a.draw:
                    cv2.rectangle(img, (x, y), (x + w - 1, y + h - 1), (0, 0, 255), 1)
                    cv2.putText(img, CLASSES[c], (x, max(10, y - 3)), cv2.FONT_HERSHEY_SIMPLEX, 0.4, (0, 0, 255), 1)
        cv2.imwrite(os.path.join(a.out, "%06d.jpg" % i), img, [cv2.IMWRITE_JPEG_QUALITY, 92])
    print("wrote %d images to %s" % (a.count, a.out))


if __name__ == "__main__":
    main()
