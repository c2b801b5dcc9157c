#!/usr/bin/python3
"""Generate the small ONNX models used by the detector unit tests.

Usage:
    /usr/bin/python3 tools/testmodels/make_test_models.py [--out DIR] [--check] [--check-only]
        [--ort NODE_MODULES_DIR]

Every model folder gets model.onnx and, unless the model names its classes in
its metadata only, labels.txt; MANIFEST.md describes them. Generation is
deterministic (fixed seeds). --check loads each model with cv2.dnn and verifies
shapes, value ranges and the raw values of the constant models; models that
OpenCV 4.6 cannot run (float16, dynamic grids, TopK) are checked with the ONNX
checker and against torch where OpenCV refuses them.
"""

import argparse
import copy
import hashlib
import io
import os
import sys
import time

import numpy as np
import torch
import torch.nn as nn

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_OUT = os.path.join(REPO, "tests", "unit", "data", "models")
sys.path.insert(0, os.path.join(REPO, "tools", "demo"))
import onnx_opencv  # noqa: E402
import onnx_variants  # noqa: E402

STRIDES = (8, 16)
# Anchor priors (w, h) in input pixels for the v5 layout, per stride.
V5_PRIORS = {8: ((6, 8), (12, 10), (10, 18)), 16: ((16, 24), (30, 20), (26, 40))}
NC3_NAMES = ("handgun", "rifle", "knife")

SCORE_THRESHOLD = 0.3
TARGET_BOXES = 15.0          # mean pre-NMS count aimed for on noise / natural images
MAX_MODEL_BYTES = 150 * 1024
MAX_TOTAL_BYTES = 2 * 1024 * 1024

# Boxes of the constant models: (name, cx, cy, w, h, class, score).
CONST_BOXES = (
    ("A", 30.0, 20.0, 20.0, 10.0, 1, 0.9),
    ("B", 70.0, 40.0, 16.0, 30.0, 2, 0.8),
    ("C", 31.0, 20.0, 20.0, 10.0, 1, 0.7),
    ("D", 30.0, 20.0, 20.0, 10.0, 0, 0.65),
)
EVERYWHERE_BOX = ("E", 32.0, 32.0, 48.0, 48.0, 0, 0.99)
# The spot model: 8 x 8 cells of 8 pixels on a 64 x 64 input; each cell's box
# is centred on it and SPOT_BOX pixels wide, so boxes of side neighbours
# overlap with IoU 1/3 and all others less.
SPOT_CELL = 8
SPOT_BOX = 16.0
BACKGROUND_SCORE = 0.01
V5_BACKGROUND_OBJ = 0.02


def labels_for(nc):
    if nc == 3:
        return list(NC3_NAMES)
    return ["class%d" % i for i in range(nc)]


def grid_cells(h, w, anchors_per_cell):
    """Anchor list in output order: per stride, per prior, row-major cells.

    Returns (cx, cy, stride, prior_index) arrays, each of length N.
    """
    cx, cy, st, pr = [], [], [], []
    for s in STRIDES:
        gh, gw = h // s, w // s
        ys, xs = np.meshgrid(np.arange(gh), np.arange(gw), indexing="ij")
        for a in range(anchors_per_cell):
            cx.append((xs.ravel() + 0.5) * s)
            cy.append((ys.ravel() + 0.5) * s)
            st.append(np.full(gh * gw, s))
            pr.append(np.full(gh * gw, a))
    return (np.concatenate(cx).astype(np.float32), np.concatenate(cy).astype(np.float32),
            np.concatenate(st).astype(np.float32), np.concatenate(pr))


def anchor_index(h, w, anchors_per_cell, stride, prior, cell_x, cell_y):
    idx = 0
    for s in STRIDES:
        gh, gw = h // s, w // s
        if s == stride:
            return idx + prior * gh * gw + cell_y * gw + cell_x
        idx += anchors_per_cell * gh * gw
    raise ValueError("unknown stride %d" % stride)


def full(arr):
    """[C, N] numpy -> [1, C, N] float tensor (constants are stored pre-expanded)."""
    return torch.from_numpy(np.ascontiguousarray(arr, dtype=np.float32)[None])


# --------------------------------------------------------------------------------------------
# Input-dependent random models
# --------------------------------------------------------------------------------------------

class RandomYolo(nn.Module):
    """Tiny two-scale conv net with fixed random weights and a YOLO-style decode.

    Internally everything is channel-first [1, C, N]; the "v8t" and "v5" layouts transpose
    at the end. All constants are full-shape so that no Mul/Add broadcasts in the graph.
    """

    def __init__(self, h, w, nc, layout, seed, silu=False):
        super().__init__()
        assert layout in ("v8", "v8t", "v5")
        gen = torch.Generator().manual_seed(seed)
        self.h, self.w, self.nc, self.layout = h, w, nc, layout
        self.na = 3 if layout == "v5" else 1
        self.per_anchor = (5 if layout == "v5" else 4) + nc
        # SiLU exports as a Sigmoid/Mul pair per activation, as in real YOLO models.
        act = (lambda: nn.SiLU()) if silu else (lambda: nn.LeakyReLU(0.1))
        self.stem = nn.Sequential(
            nn.Conv2d(3, 8, 3, 2, 1), act(),
            nn.Conv2d(8, 16, 3, 2, 1), act(),
            nn.Conv2d(16, 16, 3, 2, 1), act())           # stride 8
        self.down = nn.Sequential(nn.Conv2d(16, 16, 3, 2, 1), act())  # stride 16
        self.heads = nn.ModuleList(
            [nn.Conv2d(16, self.na * self.per_anchor, 1) for _ in STRIDES])
        with torch.no_grad():
            for p in self.parameters():
                if p.dim() > 1:
                    fan_in = p[0].numel()
                    p.copy_(torch.randn(p.shape, generator=gen) * (2.0 / fan_in) ** 0.5)
                else:
                    p.copy_(torch.randn(p.shape, generator=gen) * 0.1)

        # Static cell counts: no Shape ops in the exported graph.
        self.cells = [(h // s) * (w // s) for s in STRIDES]
        cx, cy, st, pr = grid_cells(h, w, self.na)
        n = cx.size
        self.n = n
        self.register_buffer("ctr", full(np.stack([cx, cy])))
        self.register_buffer("half_cell", full(np.stack([st, st]) * 0.5))
        if layout == "v5":
            prior = np.array([V5_PRIORS[int(s)][p] for s, p in zip(st, pr)], np.float32).T
        else:
            prior = np.stack([st, st]) * 2.0
        # w, h = prior * (0.25 + 2.25 * sigmoid(t)): always positive, 0.25x..2.5x the prior.
        self.register_buffer("wh_min", full(prior * 0.25))
        self.register_buffer("wh_span", full(prior * 2.25))
        rng = np.random.RandomState(seed)
        score_rows = 1 if layout == "v5" else nc  # v5: per-anchor variation on objectness only
        self.register_buffer("anchor_bias", full(rng.randn(score_rows, n)))
        # Calibrated later: score logit = gain * raw + anchor_bias + offset (+ class offset).
        self.register_buffer("gain", full(np.ones((score_rows, n))))

    def raw(self, x):
        p3 = self.stem(x)
        feats = [p3, self.down(p3)]
        outs = []
        for f, head, hw in zip(feats, self.heads, self.cells):
            o = head(f)
            o = o.reshape(1, self.na, self.per_anchor, hw).permute(0, 2, 1, 3)
            outs.append(o.reshape(1, self.per_anchor, self.na * hw))
        return torch.cat(outs, 2)

    def forward(self, x):
        r = self.raw(x)
        xy = self.ctr + self.half_cell * torch.tanh(r[:, 0:2])
        wh = self.wh_min + self.wh_span * torch.sigmoid(r[:, 2:4])
        if self.layout == "v5":
            obj = torch.sigmoid(r[:, 4:5] * self.gain + self.anchor_bias)
            cls = torch.sigmoid(r[:, 5:])
            out = torch.cat([xy, wh, obj, cls], 1)
        else:
            cls = torch.sigmoid(r[:, 4:] * self.gain + self.anchor_bias)
            out = torch.cat([xy, wh, cls], 1)
        if self.layout in ("v8t", "v5"):
            out = out.permute(0, 2, 1)
        return out


def channel_first(out, layout):
    """[1, N, C] or [1, C, N] -> [C, N] numpy."""
    a = out[0] if isinstance(out, np.ndarray) else out[0].detach().numpy()
    return a.T if layout in ("v8t", "v5") else a


def anchor_scores(out, layout):
    """Per-anchor confidence: max class score (v8) or objectness * max class score (v5)."""
    a = channel_first(out, layout)
    if layout == "v5":
        return a[4] * a[5:].max(0)
    return a[4:].max(0)


def calibration_images(h, w, seed):
    """Random-noise, synthetic natural-looking and uniform gray frames, NCHW RGB 0..1."""
    rng = np.random.RandomState(seed)
    noise = rng.rand(h, w, 3)
    yy, xx = np.mgrid[0:h, 0:w] / float(max(h, w))
    nat = np.stack([0.3 + 0.4 * yy, 0.5 - 0.2 * xx, 0.4 + 0.3 * xx * yy], -1)
    for _ in range(6):
        y0, x0 = rng.randint(0, h - 8), rng.randint(0, w - 8)
        y1, x1 = y0 + rng.randint(6, h // 2), x0 + rng.randint(6, w // 2)
        nat[y0:y1, x0:x1] = rng.rand(3)
    nat = np.clip(nat + rng.randn(h, w, 3) * 0.03, 0, 1)
    gray = np.full((h, w, 3), 0.5)
    imgs = {"noise": noise, "natural": nat, "gray": gray}
    return {k: v.transpose(2, 0, 1)[None].astype(np.float32) for k, v in imgs.items()}


def calibrate(model, seed):
    """Pick the score gain and offset so a 0.3 threshold keeps roughly TARGET_BOXES anchors."""
    imgs = calibration_images(model.h, model.w, seed + 1)
    imgs.update({k + "2": v for k, v in calibration_images(model.h, model.w, seed + 2).items()
                 if k != "gray"})
    with torch.no_grad():
        raws = {k: model.raw(torch.from_numpy(v)) for k, v in imgs.items()}
        score_ch = slice(4, 5) if model.layout == "v5" else slice(4, None)
        spread = torch.cat([r[:, score_ch] for r in raws.values()], 2).std().item()
        # Image-dependent part std 1.0, per-anchor part std 1.5: varies with the input, yet
        # every frame (gray included) has some confident anchors.
        model.gain.fill_(1.0 / max(spread, 1e-6))
        model.anchor_bias.mul_(1.5)
        if model.layout == "v5":
            # Class logits centred at +1.5 (scores mostly 0.6..0.95) so objectness decides the count.
            mean = torch.cat(list(raws.values()), 2)[0, 5:].mean(1)
            for head in model.heads:
                b = head.bias.view(model.na, model.per_anchor)
                b[:, 5:] += 1.5 - mean
        base = model.anchor_bias.clone()

        def mean_count(off):
            model.anchor_bias.copy_(base + off)
            c = [(anchor_scores(model(torch.from_numpy(imgs[k])), model.layout) > SCORE_THRESHOLD).sum()
                 for k in imgs]
            return float(np.mean(c))

        lo, hi = -20.0, 20.0
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            if mean_count(mid) > TARGET_BOXES:
                hi = mid
            else:
                lo = mid
        model.anchor_bias.copy_(base + 0.5 * (lo + hi))


# --------------------------------------------------------------------------------------------
# Constant-output models
# --------------------------------------------------------------------------------------------

class ConstYolo(nn.Module):
    """Output = fixed table + zero-weight convolutions of the input (exactly zero, but the
    graph consumes the input so the runtime executes it like any other model)."""

    def __init__(self, h, w, table, layout):
        super().__init__()
        self.layout = layout
        self.rows = table.shape[0]
        self.cells = [(h // s) * (w // s) for s in STRIDES]
        self.na = table.shape[1] // sum(self.cells)
        self.zero = nn.ModuleList(
            [nn.Conv2d(3, self.rows * self.na, 1, s) for s in STRIDES])
        with torch.no_grad():
            for p in self.zero.parameters():
                p.zero_()
        self.register_buffer("table", full(table))

    def forward(self, x):
        outs = []
        for conv, hw in zip(self.zero, self.cells):
            o = conv(x)
            o = o.reshape(1, self.na, self.rows, hw).permute(0, 2, 1, 3)
            outs.append(o.reshape(1, self.rows, self.na * hw))
        out = torch.cat(outs, 2) + self.table
        if self.layout == "v5":
            out = out.permute(0, 2, 1)
        return out


class SpotYolo(nn.Module):
    """Input-dependent and predictable: one anchor per 8 x 8 cell, whose class-c
    score is the mean of input channel c (R, G, B) over the cell. A cell filled
    with pure red scores 1 for class 0 and 0 for the others. The stride-16
    anchors that complete the grid score 0."""

    def __init__(self, h, w):
        super().__init__()
        self.cells = (h // SPOT_CELL) * (w // SPOT_CELL)
        self.pool = nn.AvgPool2d(SPOT_CELL)
        ys, xs = np.meshgrid(np.arange(h // SPOT_CELL), np.arange(w // SPOT_CELL), indexing="ij")
        boxes = np.stack([(xs.ravel() + 0.5) * SPOT_CELL, (ys.ravel() + 0.5) * SPOT_CELL,
                          np.full(self.cells, SPOT_BOX), np.full(self.cells, SPOT_BOX)])
        self.register_buffer("boxes", full(boxes))
        cx, cy, st, _ = grid_cells(h, w, 1)
        coarse = st == 16
        rest = np.zeros((7, int(coarse.sum())), np.float32)
        rest[0], rest[1], rest[2], rest[3] = cx[coarse], cy[coarse], st[coarse], st[coarse]
        self.register_buffer("rest", full(rest))

    def forward(self, x):
        fine = torch.cat([self.boxes, self.pool(x).reshape(1, 3, self.cells)], 1)
        return torch.cat([fine, self.rest], 2)


def const_table(h, w, nc, layout, placed):
    """Background anchors at their cell centres with prior-sized boxes and low scores;
    `placed` = [(anchor_index, (name, cx, cy, w, h, cls, score))]."""
    na = 3 if layout == "v5" else 1
    cx, cy, st, pr = grid_cells(h, w, na)
    rows = (5 if layout == "v5" else 4) + nc
    t = np.zeros((rows, cx.size), np.float32)
    t[0], t[1], t[2], t[3] = cx, cy, st, st
    cls0 = 4
    if layout == "v5":
        t[4] = V5_BACKGROUND_OBJ
        cls0 = 5
    t[cls0:] = BACKGROUND_SCORE
    for idx, (_, bx, by, bw, bh, c, s) in placed:
        t[0:4, idx] = (bx, by, bw, bh)
        if layout == "v5":
            t[4, idx] = 1.0
        t[cls0 + c, idx] = s
    return t


def const_placement(h, w, layout):
    """Anchor slots for boxes A..D (chosen near their centres; distinct slots)."""
    na = 3 if layout == "v5" else 1
    if layout == "v5":
        slots = [(8, 0, 3, 2), (8, 0, 8, 5), (8, 2, 3, 2), (8, 1, 3, 2)]
    else:
        slots = [(8, 0, 3, 2), (8, 0, 8, 5), (16, 0, 1, 1), (8, 0, 4, 2)]
    return [(anchor_index(h, w, na, *s), box) for s, box in zip(slots, CONST_BOXES)]


# --------------------------------------------------------------------------------------------
# Variants: a grid computed from the input size, end-to-end outputs
# --------------------------------------------------------------------------------------------

class DynamicYolo(RandomYolo):
    """RandomYolo's layers with the anchor grid computed from the feature map sizes, so that the
    exported graph runs at any input size. One score offset (folded into the head biases) instead
    of per-anchor biases; every per-anchor constant is built full-shape, so a static export of
    the same weights has no broadcasting Mul/Add either."""

    def __init__(self, h, w, nc, seed):
        super().__init__(h, w, nc, "v8", seed)
        self.static_grid = False  # True: grid sizes are constants of the traced input size

    def forward(self, x):
        p3 = self.stem(x)
        outs, ctr, stride = [], [], []
        for f, head, s in zip([p3, self.down(p3)], self.heads, STRIDES):
            o = head(f)
            if self.static_grid:
                gh, gw = -(-x.shape[2] // s), -(-x.shape[3] // s)
                gh, gw = int(gh), int(gw)
            else:
                gh, gw = o.shape[2], o.shape[3]
            outs.append(o.flatten(2))
            xs = torch.arange(gw, dtype=torch.float32)[None, :].expand(gh, gw)
            ys = torch.arange(gh, dtype=torch.float32)[:, None].expand(gh, gw)
            c = torch.stack([xs.flatten(), ys.flatten()])[None]
            ctr.append((c + 0.5) * s)
            stride.append(torch.full_like(c, float(s)))
        r = torch.cat(outs, 2)
        ctr = torch.cat(ctr, 2)
        st = torch.cat(stride, 2)
        xy = ctr + st * 0.5 * torch.tanh(r[:, 0:2])
        wh = st * 2.0 * (0.25 + 2.25 * torch.sigmoid(r[:, 2:4]))
        return torch.cat([xy, wh, torch.sigmoid(r[:, 4:])], 1)


def calibrate_dynamic(model, seed):
    """Shifts the class-score biases so a 0.3 threshold keeps about TARGET_BOXES anchors."""
    imgs = calibration_images(model.h, model.w, seed + 1)
    imgs.update({k + "2": v for k, v in calibration_images(model.h, model.w, seed + 2).items()
                 if k != "gray"})
    with torch.no_grad():
        base = [h.bias[4:].clone() for h in model.heads]

        def mean_count(off):
            for h, b in zip(model.heads, base):
                h.bias[4:] = b + off
            return float(np.mean([(anchor_scores(model(torch.from_numpy(v)), "v8") > SCORE_THRESHOLD).sum()
                                  for v in imgs.values()]))

        lo, hi = -20.0, 20.0
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            if mean_count(mid) > TARGET_BOXES:
                hi = mid
            else:
                lo = mid
        for h, b in zip(model.heads, base):
            h.bias[4:] = b + 0.5 * (lo + hi)


class EndToEnd(nn.Module):
    """A v8-layout model followed by what NMS-free exports end in: per anchor the best class score
    and its id, boxes as corners, [1, N, 6] = x1, y1, x2, y2, score, class. With `topk`, only the
    `topk` best rows (a TopK and Gathers in the graph), best first."""

    def __init__(self, base, topk=None):
        super().__init__()
        self.base, self.topk = base, topk

    def forward(self, x):
        out = self.base(x)                                    # [1, 4+nc, N]
        cxcy, wh, cls = out[:, 0:2], out[:, 2:4], out[:, 4:]
        score, cid = cls.max(1, keepdim=True)                 # [1, 1, N]
        rows = torch.cat([cxcy - wh * 0.5, cxcy + wh * 0.5, score, cid.float()], 1)
        rows = rows.permute(0, 2, 1)                          # [1, N, 6]
        if self.topk is None:
            return rows
        _, idx = torch.topk(score[:, 0], self.topk, dim=1)    # [1, k]
        return torch.gather(rows, 1, idx[:, :, None].expand(1, self.topk, 6))


# --------------------------------------------------------------------------------------------
# Model list, export, manifest
# --------------------------------------------------------------------------------------------

def build_models():
    """Returns a list of dicts: name, module, h, w, nc, layout, labels, dynamic, note, placed."""
    recipes = []

    def rnd(name, h, w, nc, layout, seed, labels_nc=None, dynamic=False, note="", silu=False):
        torch.manual_seed(seed)
        m = RandomYolo(h, w, nc, layout, seed, silu).eval()
        calibrate(m, seed)
        recipes.append(dict(name=name, module=m, h=h, w=w, nc=nc, layout=layout,
                          labels=labels_for(labels_nc or nc), dynamic=dynamic, note=note,
                          placed=None, seed=seed))

    rnd("v8_nc1", 64, 64, 1, "v8", 101)
    rnd("v8_nc3", 64, 96, 3, "v8", 103, note="non-square input")
    rnd("v8_nc80", 64, 64, 80, "v8", 180)
    rnd("v8t_nc3", 64, 64, 3, "v8t", 203)
    rnd("v5_nc3", 64, 64, 3, "v5", 303)
    rnd("v5_nc80", 64, 64, 80, "v5", 380)
    rnd("silu_v8_nc3", 64, 64, 3, "v8", 603, note="SiLU activations (4 Sigmoid/Mul pairs)", silu=True)

    for name, layout in (("const_v8_nc3", "v8"), ("const_v5_nc3", "v5")):
        placed = const_placement(64, 96, layout)
        m = ConstYolo(64, 96, const_table(64, 96, 3, layout, placed), layout).eval()
        recipes.append(dict(name=name, module=m, h=64, w=96, nc=3, layout=layout,
                          labels=labels_for(3), dynamic=False, note="constant output",
                          placed=placed, seed=None))
    placed = [(anchor_index(64, 64, 1, 8, 0, 4, 4), EVERYWHERE_BOX)]
    m = ConstYolo(64, 64, const_table(64, 64, 3, "v8", placed), "v8").eval()
    recipes.append(dict(name="everywhere_v8_nc3", module=m, h=64, w=64, nc=3, layout="v8",
                      labels=labels_for(3), dynamic=False,
                      note="constant output, one detection on every frame",
                      placed=placed, seed=None))

    recipes.append(dict(name="spot_v8_nc3", module=SpotYolo(64, 64).eval(), h=64, w=64, nc=3,
                        layout="v8", labels=labels_for(3), dynamic=False,
                        note="class c scores the mean of channel c (R, G, B) per 8 x 8 cell",
                        placed=None, seed=None, spot=True))

    rnd("dynamic_input", 64, 96, 3, "v8", 403, dynamic=True,
        note="dynamic height/width on the input (error test)")
    rnd("bad_layout", 64, 64, 2, "v8", 503, labels_nc=3,
        note="[1,6,N] with 3 labels fits no layout (error test)")
    for r in recipes:
        r.setdefault("opencv", "ok")

    # Variants users export. `twin` names the static float32 model of the same weights.
    by_name = {r["name"]: r for r in recipes}

    def variant(name, base, note, **kw):
        r = dict(base, name=name, note=note, placed=None, opencv="ok", metadata=[], fp16=False,
                 twin=base["name"])
        r.update(kw)
        recipes.append(r)
        return r

    v8 = by_name["v8_nc3"]
    variant("v8_nc3_fp16", v8, "float16 weights, input and output; v8_nc3's weights", fp16=True,
            opencv="any")
    variant("names_only_nc3", v8, "class names in the metadata, no labels.txt; v8_nc3's model",
            labels=None, metadata=onnx_variants.yolo_metadata(NC3_NAMES, 64, 96, 16))
    variant("names_mismatch_nc3", v8,
            "metadata names handgun/rifle/knife, labels.txt handgun/rifle/blade (error test)",
            labels=["handgun", "rifle", "blade"],
            metadata=onnx_variants.yolo_metadata(NC3_NAMES, 64, 96, 16))
    variant("v5_nc3_extra_label", by_name["v5_nc3"],
            "v5_nc3 with a fourth label: width 8 = 4+4 as YOLOv8 transposed, 240 anchors off "
            "that grid (error test)", labels=labels_for(3) + ["axe"])

    torch.manual_seed(603)
    dyn = DynamicYolo(64, 96, 3, 603).eval()
    calibrate_dynamic(dyn, 603)
    static = copy.copy(dyn)
    static.static_grid = True
    recipes.append(dict(name="grid_v8_nc3", module=static, h=64, w=96, nc=3, layout="v8",
                        labels=labels_for(3), dynamic=False, placed=None, seed=603, opencv="ok",
                        metadata=[], fp16=False, twin=None,
                        note="anchor grid computed from the input size; static export"))
    recipes.append(dict(name="dynamic_imgsz_nc3", module=dyn, h=64, w=96, nc=3, layout="v8",
                        labels=labels_for(3), dynamic=True, placed=None, seed=603, opencv="any",
                        metadata=[("imgsz", "[64, 96]")], fp16=False, twin="grid_v8_nc3",
                        note="grid_v8_nc3's weights, dynamic height/width, imgsz [64, 96]; runs "
                             "at other sizes too"))

    nc1 = by_name["v8_nc1"]
    recipes.append(dict(name="e2e_nc1", module=EndToEnd(nc1["module"]).eval(), h=64, w=64, nc=1,
                        layout="e2e", labels=labels_for(1), dynamic=False, placed=None, seed=None,
                        opencv="any", metadata=[], fp16=False, twin="v8_nc1",
                        note="end-to-end, no TopK: every anchor of v8_nc1 as a corner row; "
                             "[1,80,6] would be YOLOv5 nc=1 if 80 were 3 per cell"))
    nc2 = by_name["bad_layout"]
    recipes.append(dict(name="e2e_topk_nc2", module=EndToEnd(nc2["module"], topk=50).eval(), h=64,
                        w=64, nc=2, layout="e2e", labels=labels_for(2), dynamic=False, placed=None,
                        seed=None, opencv="refused", metadata=[], fp16=False, twin="bad_layout",
                        note="end-to-end with a TopK of 50 over bad_layout's 2-class weights "
                             "(its twin needs 2 labels); [1,50,6] would be YOLOv8 transposed nc=2 "
                             "on a grid of 50"))
    for r in recipes:
        r.setdefault("metadata", [])
        r.setdefault("fp16", False)
        r.setdefault("twin", None)
    return recipes


def export(recipe, out_dir):
    folder = os.path.join(out_dir, recipe["name"])
    os.makedirs(folder, exist_ok=True)
    x = torch.zeros(1, 3, recipe["h"], recipe["w"])
    kwargs = {}
    if recipe["dynamic"]:
        kwargs["dynamic_axes"] = {"images": {2: "height", 3: "width"}}
    buf = io.BytesIO()
    with torch.no_grad():
        torch.onnx.export(recipe["module"], x, buf, opset_version=12, do_constant_folding=True,
                          input_names=["images"], output_names=["output0"], **kwargs)
    data = inline_identities(buf.getvalue())
    if recipe["fp16"] or recipe["metadata"]:
        import onnx
        proto = onnx.load_from_string(data)
        if recipe["fp16"]:
            onnx_variants.to_float16(proto)
        onnx_variants.add_metadata(proto, recipe["metadata"])
        onnx.checker.check_model(proto, full_check=True)
        data = proto.SerializeToString()
    with open(os.path.join(folder, "model.onnx"), "wb") as f:
        f.write(data)
    labels_path = os.path.join(folder, "labels.txt")
    if recipe["labels"] is None:
        if os.path.exists(labels_path):
            os.remove(labels_path)
    else:
        with open(labels_path, "w") as f:
            f.write("\n".join(recipe["labels"]) + "\n")
    with torch.no_grad():
        recipe["shape"] = tuple(recipe["module"](x).shape)
    recipe["bytes"] = len(data)


def inline_identities(data):
    """Serialized model with the exporter's Identity-shared constants copied (see onnx_opencv)."""
    import onnx
    model = onnx.load_from_string(data)
    if not onnx_opencv.inline_identities(model):
        return data
    onnx.checker.check_model(model)
    return model.SerializeToString()


def layout_name(layout):
    return {"v8": "v8 [1,4+nc,N]", "v8t": "v8 transposed [1,N,4+nc]",
            "v5": "v5 [1,N,5+nc]", "e2e": "end-to-end [1,N,6]"}[layout]


def write_manifest(recipes, out_dir):
    L = []
    L.append("# Unit-test ONNX models\n")
    L.append("Generated, not trained. Regenerate (deterministic) and verify with OpenCV:\n")
    L.append("```\n/usr/bin/python3 tools/testmodels/make_test_models.py --check\n```\n")
    L.append("Input `images`: NCHW float, RGB, 0..1. Output `output0`. Boxes are cx, cy, w, h in "
             "input pixels (end-to-end: x1, y1, x2, y2, score, class). Anchors are ordered per "
             "stride (8, then 16), then per prior (v5: 3 per cell), then row-major cells. nc=3 "
             "labels: handgun, rifle, knife; otherwise class0..class{nc-1}. The anchor grid of "
             "every grid model is strides 8 and 16, a contiguous run from 8 of two strides.\n")
    L.append("| name | input W x H | type | output shape | layout | nc | N | labels.txt | metadata "
             "| same weights as | notes |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for s in recipes:
        n = s["shape"][2] if s["layout"] == "v8" else s["shape"][1]
        shape = "[%s]" % ",".join(str(d) for d in s["shape"])
        w_h = "%d x %d" % (s["w"], s["h"])
        if s["dynamic"]:
            w_h += " (exported as dynamic; traced at this size)"
        meta = ", ".join(k for k, _ in s["metadata"]) or "-"
        labels = "none" if s["labels"] is None else str(len(s["labels"]))
        L.append("| %s | %s | %s | %s | %s | %d | %d | %s | %s | %s | %s |" % (
            s["name"], w_h, "float16" if s["fp16"] else "float32", shape, layout_name(s["layout"]),
            s["nc"], n, labels, meta, s["twin"] or "-", s["note"]))
    L.append("")
    L.append("Metadata values are written as YOLO exporters write them: imgsz `[64, 96]` (height, "
             "width), names `%s`, stride `16`.\n" % onnx_variants.names_text(NC3_NAMES))
    L.append("OpenCV 4.6: v8_nc3_fp16, dynamic_imgsz_nc3, e2e_nc1 and e2e_topk_nc2 are for the ONNX "
             "Runtime engine; `--check` prints whether OpenCV imports and runs each, and compares "
             "its output with torch where it does.\n")
    L.append("Random models: a 0.3 threshold on the anchor score (max class score; v5: objectness x "
             "max class score) keeps a handful to a few dozen anchors on noise or natural images and "
             "some on a uniform gray frame.\n")
    for s in recipes:
        if not s["placed"]:
            continue
        v5 = s["layout"] == "v5"
        L.append("## %s\n" % s["name"])
        if v5:
            L.append("Every other anchor: objectness %.2f, all class scores %.2f, box at its cell "
                     "centre sized by its prior.\n" % (V5_BACKGROUND_OBJ, BACKGROUND_SCORE))
            L.append("| box | anchor index | cx | cy | w | h | objectness | class0 | class1 | class2 |")
            L.append("|---|---|---|---|---|---|---|---|---|---|")
        else:
            L.append("Every other anchor: all class scores %.2f, box at its cell centre with "
                     "w = h = stride.\n" % BACKGROUND_SCORE)
            L.append("| box | anchor index | cx | cy | w | h | class0 | class1 | class2 |")
            L.append("|---|---|---|---|---|---|---|---|---|")
        for idx, (nm, bx, by, bw, bh, c, sc) in s["placed"]:
            scores = [sc if k == c else BACKGROUND_SCORE for k in range(s["nc"])]
            cols = [nm, str(idx)] + ["%g" % v for v in (bx, by, bw, bh)]
            if v5:
                cols.append("1")
            cols += ["%g" % v for v in scores]
            L.append("| " + " | ".join(cols) + " |")
        L.append("")
    L.append("## spot_v8_nc3\n")
    L.append("One anchor per 8 x 8 cell of the 64 x 64 input, row-major (anchor = 8 * row + column), "
             "then the 16 stride-16 anchors, which score 0; "
             "box centred on the cell, %g x %g; score of class c = mean of input channel c (R, G, B) "
             "over the cell. On a 64 x 64 BGR frame, a cell filled with (0, 0, 255) gives one handgun "
             "at 1.0 with the box (8 * column - 4, 8 * row - 4, 16, 16) clipped to the frame. Boxes of "
             "side neighbours overlap with IoU 1/3, of diagonal neighbours 1/7.\n" % (SPOT_BOX, SPOT_BOX))
    L.append("IoU(A, C) = 190/210 = 0.905; D has A's box with another class.\n")
    L.append("Values are stored as float32 (0.9 reads back as 0.89999998).\n")
    L.append("dynamic_input: OpenCV 4.6 imports it and runs it at 96 x 64; any other input size "
             "fails in a Reshape during forward (its anchor grid is fixed).\n")
    with open(os.path.join(out_dir, "MANIFEST.md"), "w") as f:
        f.write("\n".join(L))


# --------------------------------------------------------------------------------------------
# Verification with OpenCV
# --------------------------------------------------------------------------------------------

def check(recipes, out_dir):
    import cv2
    import onnx

    failures = []

    def expect(cond, msg):
        if not cond:
            failures.append(msg)
            print("  FAIL:", msg)

    total = 0
    for s in recipes:
        name, h, w, layout = s["name"], s["h"], s["w"], s["layout"]
        folder = os.path.join(out_dir, name)
        path = os.path.join(folder, "model.onnx")
        labels_path = os.path.join(folder, "labels.txt")
        size = os.path.getsize(path)
        if s["labels"] is None:
            expect(not os.path.exists(labels_path), "%s: labels.txt should not exist" % name)
        else:
            size += os.path.getsize(labels_path)
            with open(labels_path) as f:
                labels = f.read().split()
            expect(labels == s["labels"], "%s: labels.txt" % name)
        total += size
        expect(size < MAX_MODEL_BYTES, "%s: %d bytes" % (name, size))

        proto = onnx.load(path)
        onnx.checker.check_model(proto, full_check=True)
        expect([(p.key, p.value) for p in proto.metadata_props] == list(s["metadata"]),
               "%s: metadata" % name)
        want_type = onnx.TensorProto.FLOAT16 if s["fp16"] else onnx.TensorProto.FLOAT
        expect(proto.graph.input[0].type.tensor_type.elem_type == want_type and
               proto.graph.output[0].type.tensor_type.elem_type == want_type,
               "%s: element types" % name)
        in_dims = proto.graph.input[0].type.tensor_type.shape.dim
        expect(proto.graph.input[0].name == "images" and proto.graph.output[0].name == "output0",
               "%s: io names" % name)
        symbolic = [d.dim_param for d in in_dims if d.dim_param]
        if s["dynamic"]:
            expect(symbolic == ["height", "width"], "%s: dynamic dims %s" % (name, symbolic))
        else:
            expect([d.dim_value for d in in_dims] == [1, 3, h, w], "%s: static input" % name)

        imgs = calibration_images(h, w, 7)  # different images from calibration
        outs = {}
        try:
            net = cv2.dnn.readNetFromONNX(path)
            for k, img in imgs.items():
                bgr = (img[0].transpose(1, 2, 0)[:, :, ::-1] * 255.0).round().astype(np.uint8)
                blob = cv2.dnn.blobFromImage(bgr, 1.0 / 255.0, (w, h), swapRB=True)
                net.setInput(blob)
                outs[k] = net.forward().copy()
        except cv2.error as e:
            why = str(e).strip().splitlines()[-1]
            if s["opencv"] == "ok":
                expect(False, "%s: OpenCV cannot run it: %s" % (name, why))
                continue
            # For the ONNX Runtime engine: check what torch gives instead.
            with torch.no_grad():
                outs = {k: s["module"](torch.from_numpy(v)).numpy() for k, v in imgs.items()}
            print("%-18s OpenCV refuses it (%s); torch output checked" % (name, why[:70]))
            net = None
        if net is not None and s["opencv"] == "refused":
            print("%-18s OpenCV imports and runs it" % name)
        for k, img in imgs.items():
            if net is None:
                break
            bgr = (img[0].transpose(1, 2, 0)[:, :, ::-1] * 255.0).round().astype(np.uint8)
            blob = cv2.dnn.blobFromImage(bgr, 1.0 / 255.0, (w, h), swapRB=True)
            with torch.no_grad():
                ref = s["module"](torch.from_numpy(blob)).numpy()
            expect(outs[k].shape == ref.shape, "%s: shape %s vs %s" % (name, outs[k].shape, ref.shape))
            if outs[k].shape == ref.shape:
                err = np.abs(outs[k] - ref)
                # float16: relative to the value, boxes being tens of pixels.
                limit = 0.02 + 0.01 * np.abs(ref) if s["fp16"] else 1e-4
                expect(np.all(err < limit), "%s/%s: OpenCV vs torch max diff %g" % (name, k, err.max()))
        times = []
        for _ in range(20 if net is not None else 0):
            t0 = time.perf_counter()
            net.forward()
            times.append(time.perf_counter() - t0)
        shape = outs["noise"].shape
        line = "%-18s in %3dx%-3d out %-14s %6d B  fwd %s" % (
            name, w, h, list(shape), size,
            "%.2f ms" % (1e3 * float(np.median(times))) if times else "(torch)")
        if layout == "e2e":
            for k, o in outs.items():
                r = o[0]
                expect(np.all(r[:, 2] > r[:, 0]) and np.all(r[:, 3] > r[:, 1]), "%s/%s: corners" % (name, k))
                expect(np.all((r[:, 4] > 0) & (r[:, 4] < 1)), "%s/%s: scores" % (name, k))
                expect(np.all((r[:, 5] >= 0) & (r[:, 5] < s["nc"]) & (r[:, 5] == np.floor(r[:, 5]))),
                       "%s/%s: class ids" % (name, k))
            counts = {k: int((o[0][:, 4] > SCORE_THRESHOLD).sum()) for k, o in outs.items()}
            line += "  kept@0.3 " + " ".join("%s=%d" % kv for kv in counts.items())
            if s["module"].topk:
                expect(np.all(np.diff(outs["noise"][0][:, 4]) <= 0), "%s: TopK order" % name)
            print(line)
            continue
        if s.get("dynamic") and s["twin"]:
            # The grid follows the input: torch at another size, and OpenCV when it runs it.
            with torch.no_grad():
                other = s["module"](torch.rand(1, 3, 128, 160)).numpy()
            expect(other.shape == (1, 4 + s["nc"], 16 * 20 + 8 * 10), "%s: shape at 160 x 128" % name)

        a = channel_first(outs["noise"], layout)
        expect(np.all(a[2:4] > 0), "%s: w/h must be positive" % name)
        sc = a[4:]
        if s.get("spot"):
            expect(np.all((sc >= 0) & (sc <= 1)), "%s: scores in [0,1]" % name)
            pooled = imgs["noise"][0].reshape(3, h // SPOT_CELL, SPOT_CELL, w // SPOT_CELL,
                                               SPOT_CELL).mean((2, 4)).reshape(3, -1)
            expect(np.abs(sc[:, :pooled.shape[1]] - pooled).max() < 1e-2,
                   "%s: scores are not the cell means" % name)
            expect(np.all(sc[:, pooled.shape[1]:] == 0), "%s: stride-16 anchors score" % name)
            print(line)
            continue
        if s["placed"] is None:
            expect(np.all((sc > 0) & (sc < 1)), "%s: scores in (0,1)" % name)
        else:
            expect(np.all((sc > 0) & (sc <= 1)), "%s: scores in (0,1]" % name)

        if s["placed"] is None:
            counts = {k: int((anchor_scores(o, layout) > SCORE_THRESHOLD).sum()) for k, o in outs.items()}
            line += "  kept@0.3 " + " ".join("%s=%d" % kv for kv in counts.items())
            expect(3 <= counts["noise"] <= 40 and 3 <= counts["natural"] <= 40,
                   "%s: counts %s" % (name, counts))
            expect(counts["gray"] >= 1, "%s: gray keeps none" % name)
            expect(not np.allclose(outs["noise"], outs["natural"]), "%s: input-independent" % name)
            ctr = channel_first(outs["natural"], layout)
            expect(np.all(np.abs(ctr[0] - s["module"].ctr[0, 0].numpy()) <= s["module"].half_cell[0, 0].numpy()),
                   "%s: cx too far from its cell" % name)
        else:
            for k in outs:
                expect(np.array_equal(outs[k], outs["noise"]), "%s: output depends on %s" % (name, k))
            table = s["module"].table.numpy()[0]
            got = channel_first(outs["noise"], layout)
            expect(np.array_equal(got, table), "%s: raw output differs from table" % name)
            cls0 = 5 if layout == "v5" else 4
            for idx, (nm, bx, by, bw, bh, c, score) in s["placed"]:
                col = got[:, idx]
                expect(np.allclose(col[:4], [bx, by, bw, bh], atol=1e-6), "%s: box %s" % (name, nm))
                expect(abs(col[cls0 + c] - score) < 1e-6, "%s: score %s" % (name, nm))
                if layout == "v5":
                    expect(col[4] == 1.0, "%s: objectness %s" % (name, nm))
            others = np.ones(got.shape[1], bool)
            others[[i for i, _ in s["placed"]]] = False
            expect(np.all(np.abs(got[cls0:, others] - BACKGROUND_SCORE) < 1e-7),
                   "%s: background scores" % name)
        print(line)
    print("total %d bytes" % total)
    expect(total < MAX_TOTAL_BYTES, "total size %d" % total)
    return failures


def ort_check(recipes, out_dir, ort_dir):
    """Runs every model with ONNX Runtime (Node.js binding, see ort_run.js) on fresh images and
    compares with torch; dynamic models also at 160 x 128. Returns the failures."""
    import json
    import subprocess
    import tempfile
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        jobs, refs = [], []
        for s in recipes:
            sizes = [(s["h"], s["w"])] + ([(128, 160)] if s["dynamic"] and s["twin"] else [])
            for h, w in sizes:
                for k, img in calibration_images(h, w, 11).items():
                    i = len(jobs)
                    data = img.astype(np.float16) if s["fp16"] else img
                    data.tofile(os.path.join(tmp, "in%d" % i))
                    jobs.append(dict(model=os.path.join(out_dir, s["name"], "model.onnx"),
                                     input=os.path.join(tmp, "in%d" % i), dims=[1, 3, h, w],
                                     type="float16" if s["fp16"] else "float32",
                                     output=os.path.join(tmp, "out%d" % i)))
                    with torch.no_grad():
                        refs.append((s, "%s/%s@%dx%d" % (s["name"], k, w, h),
                                     s["module"](torch.from_numpy(img)).numpy()))
        with open(os.path.join(tmp, "jobs.json"), "w") as f:
            json.dump(jobs, f)
        env = dict(os.environ, ORT_NODE_MODULES=ort_dir)
        res = json.loads(subprocess.run(
            ["node", os.path.join(os.path.dirname(__file__), "ort_run.js"), os.path.join(tmp, "jobs.json")],
            env=env, check=True, capture_output=True, text=True).stdout)
        worst = {}
        for job, r, (s, what, ref) in zip(jobs, res, refs):
            if "error" in r:
                failures.append("%s: ONNX Runtime: %s" % (what, r["error"]))
                continue
            got = np.fromfile(job["output"], np.float16 if r["type"] == "float16" else np.float32)
            if tuple(r["dims"]) != ref.shape:
                failures.append("%s: ONNX Runtime shape %s vs torch %s" % (what, r["dims"], ref.shape))
                continue
            got = got.reshape(ref.shape).astype(np.float32)
            err = np.abs(got - ref)
            limit = 0.02 + 0.01 * np.abs(ref) if s["fp16"] else 1e-4 + 1e-5 * np.abs(ref)
            if not np.all(err <= limit):
                failures.append("%s: ONNX Runtime vs torch max diff %g" % (what, err.max()))
            worst[s["name"]] = max(worst.get(s["name"], 0.0), float(err.max()))
        for name, e in worst.items():
            print("%-18s ONNX Runtime vs torch max diff %.3g" % (name, e))
    for f in failures:
        print("  FAIL:", f)
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--check", action="store_true", help="verify the models with cv2.dnn")
    ap.add_argument("--check-only", action="store_true", help="verify without rewriting files")
    ap.add_argument("--ort", metavar="DIR",
                    help="also run every model with ONNX Runtime's Node.js binding from DIR "
                         "(holding onnxruntime-node and onnxruntime-common)")
    args = ap.parse_args()

    torch.set_num_threads(1)
    recipes = build_models()
    if args.check_only:
        for s in recipes:
            with torch.no_grad():
                s["shape"] = tuple(s["module"](torch.zeros(1, 3, s["h"], s["w"])).shape)
    else:
        os.makedirs(args.out, exist_ok=True)
        for s in recipes:
            export(s, args.out)
        write_manifest(recipes, args.out)
        for s in recipes:
            with open(os.path.join(args.out, s["name"], "model.onnx"), "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()[:12]
            print("wrote %-18s %s %6d B sha256 %s" % (s["name"], list(s["shape"]), s["bytes"], digest))
    if args.check or args.check_only or args.ort:
        failures = check(recipes, args.out) if (args.check or args.check_only) else []
        if args.ort:
            failures += ort_check(recipes, args.out, args.ort)
        if failures:
            print("%d check(s) failed" % len(failures))
            return 1
        print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
