"""Letterbox preprocessing and YOLO postprocessing, identical to the C++ detector's."""
import math

import cv2
import numpy as np


def round_half_away(v):
    return int(math.floor(v + 0.5)) if v >= 0 else -int(math.floor(-v + 0.5))


def letterbox_params(w, h, size):
    scale = min(size / w, size / h)
    nw, nh = round_half_away(w * scale), round_half_away(h * scale)
    return scale, nw, nh, (size - nw) // 2, (size - nh) // 2


def letterbox(img, size):
    """BGR uint8 frame -> (padded BGR uint8 size x size, scale, padX, padY)."""
    h, w = img.shape[:2]
    scale, nw, nh, px, py = letterbox_params(w, h, size)
    out = np.full((size, size, 3), 114, np.uint8)
    out[py:py + nh, px:px + nw] = cv2.resize(img, (nw, nh), interpolation=cv2.INTER_LINEAR)
    return out, scale, px, py


def to_blob(padded_bgr):
    """Padded BGR uint8 -> NCHW float32 RGB in [0, 1]."""
    return np.ascontiguousarray(padded_bgr[:, :, ::-1].transpose(2, 0, 1)[None], dtype=np.float32) / 255.0


def iou_xywh(a, b):
    iw = max(0.0, min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0]))
    ih = max(0.0, min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1]))
    inter = iw * ih
    union = a[2] * a[3] + b[2] * b[3] - inter
    return inter / union if union > 0 else 0.0


def postprocess(out, scale, px, py, frame_w, frame_h, threshold, nms_iou=0.45):
    """out: [4+nc, N] (cx, cy, w, h, class scores). Returns [(class, score, x, y, w, h)] in frame pixels."""
    scores = out[4:]
    cls = scores.argmax(0)
    best = scores[cls, np.arange(scores.shape[1])]
    keep = np.nonzero(best >= threshold)[0]
    dets = []
    for i in keep:
        cx, cy, w, h = (float(v) for v in out[:4, i])
        x0 = (cx - w / 2 - px) / scale
        y0 = (cy - h / 2 - py) / scale
        x1 = (cx + w / 2 - px) / scale
        y1 = (cy + h / 2 - py) / scale
        x0, x1 = min(max(x0, 0.0), frame_w), min(max(x1, 0.0), frame_w)
        y0, y1 = min(max(y0, 0.0), frame_h), min(max(y1, 0.0), frame_h)
        dets.append((int(cls[i]), float(best[i]), x0, y0, x1 - x0, y1 - y0))
    dets.sort(key=lambda d: -d[1])
    kept = []
    for d in dets:
        if all(k[0] != d[0] or iou_xywh(k[2:], d[2:]) <= nms_iou for k in kept):
            kept.append(d)
    return kept
