#!/usr/bin/env python3
"""Tests for the demo tooling:  /usr/bin/python3 -m unittest tools/demo/test_demo.py  (about a minute)."""
import math
import os
import sys
import tempfile
import unittest

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import evaluate  # noqa: E402
import make_video  # noqa: E402
import render  # noqa: E402
import train  # noqa: E402
from pipeline import letterbox, letterbox_params, postprocess, to_blob  # noqa: E402
from yolov8n import YOLOv8n, count_params, make_anchors  # noqa: E402


class Preprocessing(unittest.TestCase):
    def test_letterbox_params(self):
        # (w, h) -> (newW, newH, padX, padY) at 416; 832x333 has newH 166.5 which must round up
        cases = [((1280, 720), (416, 234, 0, 91)), ((1920, 1080), (416, 234, 0, 91)),
                 ((720, 1280), (234, 416, 91, 0)), ((416, 416), (416, 416, 0, 0)),
                 ((832, 333), (416, 167, 0, 124)), ((100, 50), (416, 208, 0, 104)),
                 ((641, 480), (416, 312, 0, 52))]
        for (w, h), want in cases:
            with self.subTest(size=(w, h)):
                scale, nw, nh, px, py = letterbox_params(w, h, 416)
                self.assertAlmostEqual(scale, min(416 / w, 416 / h))
                self.assertEqual((nw, nh, px, py), want)

    def test_letterbox_image_and_blob(self):
        img = np.zeros((720, 1280, 3), np.uint8)
        img[..., 0] = 10   # B
        img[..., 2] = 200  # R
        padded, scale, px, py = letterbox(img, 416)
        self.assertEqual(padded.shape, (416, 416, 3))
        self.assertTrue((padded[:py] == 114).all() and (padded[py + 234:] == 114).all())
        blob = to_blob(padded)
        self.assertEqual(blob.shape, (1, 3, 416, 416))
        self.assertAlmostEqual(float(blob[0, 0, 200, 200]), 200 / 255, places=6)  # R first
        self.assertAlmostEqual(float(blob[0, 2, 200, 200]), 10 / 255, places=6)
        self.assertAlmostEqual(float(blob[0, 1, 0, 0]), 114 / 255, places=6)


class Postprocessing(unittest.TestCase):
    @staticmethod
    def out(*cols):
        return np.array(cols, np.float32).T

    def test_threshold_mapping_and_clipping(self):
        # frame 1280x720 -> scale 0.325, padY 91
        o = self.out([208, 91 + 117, 65, 32.5, 0.6, 0.1, 0.0],     # exactly at threshold: kept
                     [100, 150, 20, 20, 0.1, 0.59, 0.2],            # below threshold
                     [5, 100, 20, 10, 0.0, 0.0, 0.9])               # crosses the left border
        d = postprocess(o, 0.325, 0, 91, 1280, 720, 0.6)
        self.assertEqual(len(d), 2)
        c, s, x, y, w, h = d[0] if d[0][0] == 0 else d[1]
        self.assertAlmostEqual(x, (208 - 32.5) / 0.325, places=3)
        self.assertAlmostEqual(y, (208 - 16.25 - 91) / 0.325, places=3)
        self.assertAlmostEqual(w, 200, places=3)
        self.assertAlmostEqual(h, 100, places=3)
        knife = [t for t in d if t[0] == 2][0]
        self.assertEqual(knife[2], 0.0)
        self.assertAlmostEqual(knife[4], 15 / 0.325, places=3)

    def test_clipping_at_bottom_right(self):
        o = self.out([410, 320, 20, 40, 0.0, 0.9, 0.0])       # frame 1280x720: beyond both far edges
        (c, s, x, y, w, h), = postprocess(o, 0.325, 0, 91, 1280, 720, 0.6)
        self.assertEqual((x + w, y + h), (1280.0, 720.0))
        self.assertAlmostEqual(x, 400 / 0.325, places=3)

    def test_nms_is_class_aware(self):
        o = self.out([100, 100, 50, 50, 0.9, 0, 0],
                     [102, 101, 50, 50, 0.8, 0, 0],     # same class, IoU > 0.45: suppressed
                     [102, 101, 50, 50, 0, 0.85, 0],    # other class: kept
                     [170, 100, 50, 50, 0.7, 0, 0])     # same class, no overlap: kept
        d = postprocess(o, 1.0, 0, 0, 416, 416, 0.5)
        self.assertEqual(sorted((t[0], round(t[1], 2)) for t in d), [(0, 0.7), (0, 0.9), (1, 0.85)])


class Matching(unittest.TestCase):
    def test_greedy_matching(self):
        gts = [(0, 100, 100, 50, 50), (1, 300, 300, 80, 40)]
        cases = [
            ([(0, 0.9, 100, 100, 50, 50)], [True], [True, False]),
            ([(1, 0.9, 100, 100, 50, 50)], [False], [False, False]),                 # wrong class
            ([(0, 0.9, 130, 100, 50, 50)], [False], [False, False]),                 # IoU 0.25
            ([(0, 0.7, 100, 100, 50, 50), (0, 0.9, 102, 100, 50, 50)], [False, True], [True, False]),
            ([(1, 0.8, 300, 300, 80, 40), (0, 0.8, 101, 99, 50, 50)], [True, True], [True, True]),
        ]
        for dets, hit, used in cases:
            with self.subTest(dets=dets):
                self.assertEqual(evaluate.match(dets, gts), (hit, used))
                tp, fp, fn = train.match_counts(dets, gts)
                self.assertEqual((tp, fp, fn), (sum(hit), len(dets) - sum(hit), len(gts) - sum(used)))


class TrainingTargets(unittest.TestCase):
    def test_boxes_follow_the_letterbox(self):
        rng = np.random.default_rng(0)
        for w, h in ((640, 360), (300, 400), (320, 320), (1000, 250)):
            with self.subTest(size=(w, h)):
                img = np.zeros((h, w, 3), np.uint8)
                x, y, bw, bh = w // 4, h // 3, w // 5, h // 4
                img[y:y + bh, x:x + bw] = 255
                chw, t = train.sample_to_training(img, [(2, x, y, bw, bh)], 320, rng)
                self.assertEqual(chw.shape, (3, 320, 320))
                self.assertEqual(int(t[0, 0]), 2)
                ys, xs = np.nonzero(chw[0] > 200)          # the white block after letterboxing
                x0, y0, x1, y1 = t[0, 1:]
                self.assertLessEqual(abs(xs.min() - x0), 1.5)
                self.assertLessEqual(abs(ys.min() - y0), 1.5)
                self.assertLessEqual(abs(xs.max() + 1 - x1), 1.5)
                self.assertLessEqual(abs(ys.max() + 1 - y1), 1.5)


class EvaluationCounts(unittest.TestCase):
    class GroundTruthDetector:
        """Returns the ground truth itself, plus one stray box on chosen frames."""

        labels = ["handgun", "rifle", "knife"]

        def __init__(self, gt, stray_frames):
            self.gt, self.stray, self.frame = gt, stray_frames, 0

        def detect(self, frame, threshold):
            d = [(c, 0.9, x, y, w, h) for c, x, y, w, h in self.gt.get(self.frame, [])]
            if self.frame in self.stray:
                d.append((1, 0.8, 0.0, 0.0, 30.0, 30.0))
            self.frame += 1
            return d

    def test_counts_on_a_short_video(self):
        with tempfile.TemporaryDirectory() as dname:
            path = os.path.join(dname, "v.mp4")
            _, rows, gt_path = make_video.render_video(11, 20, path)
            gt = evaluate.load_gt(gt_path)
            r = evaluate.evaluate_video(self.GroundTruthDetector(gt, {3, 7}), path, gt, 0.6)
            self.assertEqual(r["frames"], 20)
            self.assertEqual(sum(r["tp"]), len(rows))
            self.assertEqual(sum(r["fn"]), 0)
            self.assertEqual(r["fp"], [0, 2, 0])


class Renderer(unittest.TestCase):
    def test_deterministic(self):
        a = render.render_scene(np.random.default_rng(3), 320, 240)
        b = render.render_scene(np.random.default_rng(3), 320, 240)
        self.assertTrue(np.array_equal(a[0], b[0]))
        self.assertEqual(a[1], b[1])

    def test_box_is_tight_on_every_family(self):
        for cls, fams in render.WEAPONS.items():
            for fi in range(len(fams)):
                with self.subTest(cls=cls, family=fi):
                    rng = np.random.default_rng(10 * cls + fi)
                    parts, length, pal = render.make_weapon(rng, cls, 480, (0.3, 0.3), family=fi)
                    pal = [np.array([255.0, 255.0, 255.0])] * 4
                    sp = render.rasterize(parts, pal, rng, 320, 240, length, 0.7, fi % 2 == 1, shade=False)
                    img = np.zeros((480, 640, 3), np.uint8)
                    render.composite(img, sp)
                    p = render.Placed(cls, sp, 480, 640)
                    x, y, w, h = p.box()
                    v = img[..., 0]
                    ys, xs = np.nonzero(v >= 140)      # clearly covered pixels lie inside the box
                    self.assertTrue(xs.min() >= x and xs.max() <= x + w - 1 and
                                    ys.min() >= y and ys.max() <= y + h - 1)
                    for edge in (v[y], v[y + h - 1], v[:, x], v[:, x + w - 1]):   # each side touches it
                        self.assertGreaterEqual(int(edge.max()), 100)
                    self.assertGreater(w * h, 400)

    def test_occluder_shrinks_visible_box(self):
        rng = np.random.default_rng(1)
        parts, length, pal = render.make_weapon(rng, render.RIFLE, 480, (0.25, 0.25), family=0)
        sp = render.rasterize(parts, pal, rng, 320, 240, length, 0.0, False)
        p = render.Placed(render.RIFLE, sp, 480, 640)
        full = p.box()
        bar = render.rasterize([(render.rect(0, 0, 1, 1), 0, False)], pal, rng, full[0] + 20, 240, 120, 0.0, False)
        p.cover(bar)
        x, y, w, h = p.box()
        self.assertGreater(x, full[0] + 60)                 # left end hidden
        self.assertEqual(x + w, full[0] + full[2])          # right end unchanged
        self.assertLess(p.visible_fraction(), 1.0)

    def test_training_mix_has_labels_inside_frame_and_negatives(self):
        rng = np.random.default_rng(0)
        n_empty = 0
        for _ in range(40):
            img, labels = render.training_sample(rng)
            h, w = img.shape[:2]
            n_empty += not labels
            for c, x, y, bw, bh in labels:
                self.assertIn(c, (0, 1, 2))
                self.assertTrue(0 <= x and 0 <= y and x + bw <= w and y + bh <= h)
        self.assertGreater(n_empty, 2)


class Loss(unittest.TestCase):
    def test_ciou(self):
        a = torch.tensor([[0.0, 0, 10, 10]])
        self.assertAlmostEqual(float(train.bbox_ciou(a, a)), 1.0, places=5)
        b = torch.tensor([[0.0, 0, 10, 5]])                      # IoU 0.5, same centre x
        self.assertLess(float(train.bbox_ciou(a, b)), 0.5)
        self.assertLess(float(train.bbox_ciou(a, torch.tensor([[20.0, 20, 30, 30]]))), 0.0)

    def test_assigner_positives_inside_box_with_class(self):
        anc, strides = make_anchors(64, 64)
        pts = anc * strides
        a = pts.shape[0]
        gt = torch.tensor([[[2.0, 8, 8, 40, 24], [0.0, 30, 30, 60, 60]]])
        mask = torch.ones(1, 2, 1)
        pred = torch.cat((pts - 8, pts + 8), -1)[None]           # 16x16 box around every anchor
        scores = torch.full((1, a, 3), 0.5)
        tb, ts, fg, idx = train.TaskAlignedAssigner(3)(scores, pred, pts, gt[..., :1], gt[..., 1:], mask)
        self.assertTrue(fg.any())
        for i in torch.nonzero(fg[0]).flatten():
            g = gt[0, idx[0, i]]
            x, y = pts[i]
            self.assertTrue(g[1] < x < g[3] and g[2] < y < g[4])
            self.assertEqual(int(ts[0, i].argmax()), int(g[0]))
            self.assertTrue(torch.equal(tb[0, i], g[1:]))
        self.assertTrue((ts[0][~fg[0]] == 0).all())
        self.assertLessEqual(float(ts.max()), 1.0)

    def test_loss_on_empty_and_padded_targets(self):
        torch.manual_seed(0)
        m = YOLOv8n(3)
        box, cls = m(torch.rand(2, 3, 64, 64))
        crit = train.DetectionLoss(3)
        t, mk = train.collate_targets([np.zeros((0, 5), np.float32), np.zeros((0, 5), np.float32)])
        loss, parts = crit(box, cls, t, mk, (64, 64))
        self.assertTrue(torch.isfinite(loss))
        self.assertEqual(float(parts[0]), 0.0)
        t, mk = train.collate_targets([np.array([[1, 4, 4, 40, 30]], np.float32), np.zeros((0, 5), np.float32)])
        loss, parts = crit(box, cls, t, mk, (64, 64))
        self.assertGreater(float(parts[0]), 0.0)
        loss.backward()
        self.assertTrue(all(torch.isfinite(p.grad).all() for p in m.parameters() if p.grad is not None))


class Model(unittest.TestCase):
    def test_size_and_shapes(self):
        m = YOLOv8n(3)
        self.assertTrue(2.9e6 < count_params(m) < 3.1e6)
        box, cls = m(torch.zeros(1, 3, 320, 320))
        self.assertEqual(tuple(box.shape), (1, 64, 2100))
        self.assertEqual(tuple(cls.shape), (1, 3, 2100))

    def test_onnx_export_matches_torch_in_opencv(self):
        import export_onnx
        torch.manual_seed(0)
        m = YOLOv8n(3)
        m.detect.init_bias(320)
        m.train()
        with torch.no_grad():
            m(torch.rand(2, 3, 128, 128))   # non-trivial BN statistics
        m.eval()
        with torch.no_grad():
            ref = train.decode(*m(torch.zeros(1, 3, 416, 416)), (416, 416))
        with tempfile.TemporaryDirectory() as d:
            torch.save({"model": m.state_dict()}, os.path.join(d, "w.pt"))
            net, path = export_onnx.export(os.path.join(d, "w.pt"), d, 416)
            shape, diff, _, _ = export_onnx.verify(net, path, 416, runs=1)
            self.assertEqual(tuple(shape), (1, 7, 3549))
            self.assertLess(diff, 1e-3)
            # the exported decode equals the training-side decode
            with torch.no_grad():
                out = net(torch.zeros(1, 3, 416, 416))
            self.assertLess(float((out - ref).abs().max()), 1e-3)
            with open(os.path.join(d, "labels.txt")) as f:
                self.assertEqual(f.read().split(), ["handgun", "rifle", "knife"])


class Video(unittest.TestCase):
    def test_plan_covers_frames_with_empty_stretches(self):
        for seed, frames in ((7, 400), (1, 150), (2, 333)):
            with self.subTest(seed=seed, frames=frames):
                shots = make_video.plan_shots(np.random.default_rng(seed), frames)
                self.assertEqual(sum(n for _, n in shots), frames)
                empty = sum(n for k, n in shots if k == "e")
                self.assertTrue(0.1 <= empty / frames <= 0.35, shots)

    def test_short_video_and_ground_truth(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "v.mp4")
            shots, rows, gt_path = make_video.render_video(5, 30, path)
            n, size = make_video.check_decode(path)
            self.assertEqual((n, size), (30, (720, 1280, 3)))
            gt = evaluate.load_gt(gt_path)
            self.assertEqual(sum(len(v) for v in gt.values()), len(rows))
            self.assertEqual(set(gt), set(range(30)))   # a single weapon shot: every frame has objects
            for boxes in gt.values():
                for c, x, y, w, h in boxes:
                    self.assertTrue(0 <= x and x + w <= 1280 and 0 <= y and y + h <= 720 and w > 0 and h > 0)
                for i in range(len(boxes)):                  # weapons never overlap each other
                    for j in range(i + 1, len(boxes)):
                        self.assertEqual(render._iou(boxes[i][1:], boxes[j][1:]), 0.0)


if __name__ == "__main__":
    unittest.main()
