#!/usr/bin/env python3
"""Render a demo video (1280x720, 25 fps, H.264 MP4) of moving weapons plus its per-frame ground truth.

The video is a sequence of shots. A weapon shot shows one to three weapons drifting and slowly rotating
over a static cluttered background with moving distractors; it is followed (usually) by a weapon-free shot
over the same background. Ground truth: CSV "frame,class_id,x,y,w,h" (tight box of the visible silhouette).

  make_video.py --seed 7 --frames 400 --out "assets/videos/AK47 Glock.mp4"
"""
import argparse
import math
import os
import subprocess

import cv2
import numpy as np

import render

W, H, FPS = 1280, 720, 25
SIZE_RANGE = (0.13, 0.3)          # weapon size relative to frame height (times the class length factor)


class Mover:
    """An object with a fixed look, drifting with constant velocity (bouncing at the frame edges)."""

    def __init__(self, rng, parts, length, palette, cls=None):
        self.parts, self.length, self.palette, self.cls = parts, length, palette, cls
        self.look_seed = int(rng.integers(0, 2 ** 31))
        m = 0.5 * length
        self.x, self.y = render.U(rng, m, W - m), render.U(rng, 0.25 * H, 0.75 * H)
        speed = render.U(rng, 40, 140) / FPS
        d = render.U(rng, 0, 2 * math.pi)
        self.vx, self.vy = speed * math.cos(d), speed * math.sin(d) * 0.6
        self.angle = render.U(rng, -math.pi, math.pi) if rng.random() < 0.5 else render.U(rng, -0.5, 0.5)
        self.spin = math.radians(render.U(rng, -18, 18)) / FPS
        self.flip = rng.random() < 0.5

    def sprite(self):
        return render.rasterize(self.parts, self.palette, np.random.default_rng(self.look_seed),
                                self.x, self.y, self.length, self.angle, self.flip)

    def step(self, sprite):
        h, w = sprite.alpha.shape
        if (sprite.x0 < 4 and self.vx < 0) or (sprite.x0 + w > W - 4 and self.vx > 0):
            self.vx = -self.vx
        if (sprite.y0 < 4 and self.vy < 0) or (sprite.y0 + h > H - 4 and self.vy > 0):
            self.vy = -self.vy
        self.x += self.vx
        self.y += self.vy
        self.angle += self.spin


def plan_shots(rng, frames):
    """[(kind, n_frames)] with kind 'w' (weapons) or 'e' (empty); about a fifth of the frames empty."""
    shots, total = [], 0
    while total < frames:
        n = int(rng.integers(70, 110))
        shots.append(["w", n])
        total += n
        if total < frames:
            e = int(rng.integers(25, 40))
            shots.append(["e", e])
            total += e
    shots[-1][1] -= total - frames
    if shots[-1][1] < 10:
        shots[-2][1] += shots.pop()[1]
    return shots


def weapon_classes(rng, shot_index):
    if shot_index == 0:
        return [(render.RIFLE, 0), (render.HANDGUN, 2)]      # assault rifle and a boxy pistol
    order = [[render.KNIFE], [render.HANDGUN, render.KNIFE], [render.RIFLE, render.KNIFE, render.HANDGUN]]
    cl = order[(shot_index - 1) % 3] if shot_index <= 3 else \
        [int(c) for c in rng.integers(0, 3, int(rng.integers(1, 4)))]
    return [(c, None) for c in cl]


def boxes_clash(sprites):
    boxes = []
    for sp in sprites:
        h, w = sp.alpha.shape
        boxes.append((sp.x0, sp.y0, w, h))
    for i in range(len(boxes)):
        for j in range(i + 1, len(boxes)):
            if render._iou(boxes[i], boxes[j]) > 0.0:
                return True
    return False


def make_weapon_movers(rng, classes, n_frames):
    """Pick weapon movers whose sprites never overlap each other during the shot."""
    for _ in range(200):
        movers = []
        for cls, fam in classes:
            parts, length, pal = render.make_weapon(rng, cls, H, SIZE_RANGE, family=fam)
            movers.append(Mover(rng, parts, length, pal, cls))
        state = [(m.x, m.y, m.vx, m.vy, m.angle) for m in movers]
        ok = True
        for f in range(0, n_frames):
            sps = [m.sprite() for m in movers]
            if f % 3 == 0 and boxes_clash(sps):
                ok = False
                break
            for m, sp in zip(movers, sps):
                m.step(sp)
        if ok:
            for m, s in zip(movers, state):
                m.x, m.y, m.vx, m.vy, m.angle = s
            return movers
    raise RuntimeError("could not place weapons without overlap")


def render_video(seed, frames, out_mp4, crf=24):
    rng = np.random.default_rng(seed)
    shots = plan_shots(rng, frames)
    gt_rows = []
    cmd = ["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", "%dx%d" % (W, H),
           "-r", str(FPS), "-i", "-", "-an", "-c:v", "libx264", "-preset", "medium", "-crf", str(crf),
           "-pix_fmt", "yuv420p", "-g", "50", "-movflags", "+faststart", out_mp4]
    enc = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    frame_no = 0
    bg = None
    w_index = 0
    for kind, n in shots:
        if kind == "w" or bg is None:
            bg = render.background(rng, H, W)
            render.clutter(rng, bg, int(rng.integers(4, 16)))
            tint = (render.U(rng, 0.85, 1.15), render.U(rng, -20, 20))
        distractors = []
        for _ in range(int(rng.integers(1, 4))):
            parts, length, pal = render.make_distractor(rng, H, (0.12, 0.3))
            distractors.append(Mover(rng, parts, length, pal))
        weapons = []
        if kind == "w":
            weapons = make_weapon_movers(rng, weapon_classes(rng, w_index), n)
            w_index += 1
        for _ in range(n):
            img = bg.copy()
            for d in distractors:
                sp = d.sprite()
                render.composite(img, sp)
                d.step(sp)
            placed = []
            for m in weapons:
                sp = m.sprite()
                p = render.Placed(m.cls, sp, H, W)
                for q in placed:
                    q.cover(sp)
                render.composite(img, sp)
                placed.append(p)
                m.step(sp)
            img = np.clip(img.astype(np.float32) * tint[0] + tint[1], 0, 255).astype(np.uint8)
            for p in placed:
                b = p.box()
                if b is not None:
                    gt_rows.append((frame_no, p.cls) + b)
            enc.stdin.write(img.tobytes())
            frame_no += 1
    enc.stdin.close()
    if enc.wait() != 0:
        raise RuntimeError("ffmpeg failed")
    gt_path = os.path.splitext(out_mp4)[0] + ".gt.csv"
    with open(gt_path, "w") as f:
        f.write("frame,class_id,x,y,w,h\n")
        for r in gt_rows:
            f.write("%d,%d,%d,%d,%d,%d\n" % r)
    return shots, gt_rows, gt_path


def check_decode(path):
    cap = cv2.VideoCapture(path, cv2.CAP_FFMPEG)
    n = 0
    size = None
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        size = frame.shape
        n += 1
    return n, size


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--frames", type=int, default=400)
    ap.add_argument("--out", required=True, help="output .mp4 (ground truth goes beside it as .gt.csv)")
    ap.add_argument("--crf", type=int, default=24)
    a = ap.parse_args()
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    shots, rows, gt_path = render_video(a.seed, a.frames, a.out, a.crf)
    n, size = check_decode(a.out)
    empty = sum(s[1] for s in shots if s[0] == "e")
    per_class = [sum(1 for r in rows if r[1] == c) for c in range(3)]
    print("wrote %s (%.2f MB, %d frames decoded, frame %s) and %s" %
          (a.out, os.path.getsize(a.out) / 1e6, n, size, gt_path))
    print("shots %s; weapon-free frames %d (%.0f%%); boxes per class %s" %
          (" ".join("%s%d" % (k, m) for k, m in shots), empty, 100.0 * empty / a.frames, per_class))
    if n != a.frames:
        raise SystemExit("decoded %d frames, expected %d" % (n, a.frames))


if __name__ == "__main__":
    main()
