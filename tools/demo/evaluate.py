#!/usr/bin/env python3
"""Evaluate an ONNX detector with cv2.dnn on a video + ground-truth CSV, and on uniform gray frames.

Pre/postprocessing is the C++ detector's: letterbox (scale = min(S/w, S/h), sizes rounded half away from
zero, INTER_LINEAR, pad 114 centred), RGB, 1/255, NCHW; max class score >= threshold, class-aware greedy
NMS at IoU 0.45, boxes mapped back and clipped. Matching: greedy by score, IoU >= 0.5, same class.

  evaluate.py --video "assets/videos/AK47 Glock.mp4" [--gt X.gt.csv] [--threshold 0.6]
"""
import argparse
import csv
import os
import sys
import time
from collections import defaultdict

import cv2
import numpy as np

from pipeline import letterbox, to_blob, postprocess, iou_xywh

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEFAULT_MODEL = os.path.join(REPO, "assets", "models", "Korva_WeaponDetection(GPU)_1.0")


class Detector:
    def __init__(self, model_dir):
        self.net = cv2.dnn.readNetFromONNX(os.path.join(model_dir, "model.onnx"))
        with open(os.path.join(model_dir, "labels.txt")) as f:
            self.labels = [l.strip() for l in f if l.strip()]
        self.size = 416
        self.net.setInput(np.zeros((1, 3, self.size, self.size), np.float32))
        out = self.net.forward()
        if out.shape[1] != 4 + len(self.labels):
            raise ValueError("expected [1, 4+nc, N] output, got %s" % (out.shape,))

    def detect(self, frame, threshold):
        padded, scale, px, py = letterbox(frame, self.size)
        self.net.setInput(to_blob(padded))
        out = self.net.forward()[0]
        return postprocess(out, scale, px, py, frame.shape[1], frame.shape[0], threshold)


def load_gt(path):
    gt = defaultdict(list)
    with open(path) as f:
        r = csv.reader(f)
        header = next(r)
        if header != ["frame", "class_id", "x", "y", "w", "h"]:
            raise ValueError("unexpected header %s" % header)
        for row in r:
            fr, c, x, y, w, h = (int(v) for v in row)
            gt[fr].append((c, x, y, w, h))
    return gt


def match(dets, gts, iou_thr=0.5):
    """Greedy by score. Returns (matched det flags, matched gt flags)."""
    used = [False] * len(gts)
    hit = [False] * len(dets)
    order = sorted(range(len(dets)), key=lambda i: -dets[i][1])
    for i in order:
        d = dets[i]
        best, bj = iou_thr, -1
        for j, g in enumerate(gts):
            if not used[j] and g[0] == d[0]:
                v = iou_xywh(d[2:], g[1:])
                if v >= best:
                    best, bj = v, j
        if bj >= 0:
            used[bj] = True
            hit[i] = True
    return hit, used


def evaluate_video(det, video, gt, threshold, dump_dir=None):
    cap = cv2.VideoCapture(video, cv2.CAP_FFMPEG)
    nc = len(det.labels)
    tp, fp, fn = [0] * nc, [0] * nc, [0] * nc
    empty_frames, empty_fp, frames = 0, 0, 0
    t_total = 0.0
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        t = time.perf_counter()
        dets = det.detect(frame, threshold)
        t_total += time.perf_counter() - t
        gts = gt.get(frames, [])
        hit, used = match(dets, gts)
        for d, h in zip(dets, hit):
            (tp if h else fp)[d[0]] += 1
        for g, u in zip(gts, used):
            if not u:
                fn[g[0]] += 1
        if not gts:
            empty_frames += 1
            empty_fp += len(dets)
        if dump_dir and (not all(hit) or not all(used)):
            for g in gts:
                cv2.rectangle(frame, (g[1], g[2]), (g[1] + g[3], g[2] + g[4]), (0, 255, 0), 2)
            for d in dets:
                x, y, w, h = (int(round(v)) for v in d[2:])
                cv2.rectangle(frame, (x, y), (x + w, y + h), (0, 0, 255), 2)
                cv2.putText(frame, "%s %.2f" % (det.labels[d[0]], d[1]), (x, max(12, y - 4)),
                            cv2.FONT_HERSHEY_SIMPLEX, 0.6, (0, 0, 255), 2)
            cv2.imwrite(os.path.join(dump_dir, "f%05d.jpg" % frames), frame)
        frames += 1
    return dict(tp=tp, fp=fp, fn=fn, frames=frames, empty_frames=empty_frames, empty_fp=empty_fp,
                ms_per_frame=1000 * t_total / max(frames, 1))


def uniform_detections(det, threshold, levels=range(0, 256, 15), size=(1920, 1080)):
    res = {}
    for g in levels:
        frame = np.full((size[1], size[0], 3), g, np.uint8)
        res[g] = len(det.detect(frame, threshold))
    return res


def ratio(a, b):
    return a / b if b else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--model", default=DEFAULT_MODEL, help="folder with model.onnx and labels.txt")
    ap.add_argument("--video", action="append", default=[], help="video (repeatable); GT is <video>.gt.csv")
    ap.add_argument("--threshold", type=float, default=0.6)
    ap.add_argument("--min-precision", type=float, default=None)
    ap.add_argument("--min-recall", type=float, default=None)
    ap.add_argument("--dump", default=None, help="write frames with errors here")
    a = ap.parse_args()
    cv2.setNumThreads(2)
    det = Detector(a.model)
    ok = True
    for video in a.video:
        gt = load_gt(os.path.splitext(video)[0] + ".gt.csv")
        if a.dump:
            os.makedirs(a.dump, exist_ok=True)
        r = evaluate_video(det, video, gt, a.threshold, a.dump)
        TP, FP, FN = sum(r["tp"]), sum(r["fp"]), sum(r["fn"])
        p, rc = ratio(TP, TP + FP), ratio(TP, TP + FN)
        print("%s: %d frames, threshold %.2f, %.1f ms/frame (pre+forward+post)" %
              (os.path.basename(video), r["frames"], a.threshold, r["ms_per_frame"]))
        print("  all      precision %.4f  recall %.4f  (tp %d fp %d fn %d)" % (p, rc, TP, FP, FN))
        for c, name in enumerate(det.labels):
            print("  %-8s precision %.4f  recall %.4f  (tp %d fp %d fn %d)" % (
                name, ratio(r["tp"][c], r["tp"][c] + r["fp"][c]), ratio(r["tp"][c], r["tp"][c] + r["fn"][c]),
                r["tp"][c], r["fp"][c], r["fn"][c]))
        print("  weapon-free frames %d, detections on them %d" % (r["empty_frames"], r["empty_fp"]))
        if a.min_precision is not None and not p >= a.min_precision:
            ok = False
        if a.min_recall is not None and not rc >= a.min_recall:
            ok = False
        if r["empty_fp"]:
            ok = False
    u = uniform_detections(det, a.threshold)
    print("uniform 1920x1080 frames: " + " ".join("%d:%d" % kv for kv in u.items()) +
          "  (total %d)" % sum(u.values()))
    if sum(u.values()):
        ok = False
    if a.min_precision is not None or a.min_recall is not None:
        print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
