#!/usr/bin/env python3
"""Train the demo detector from scratch on scenes rendered in memory (320x320 letterbox).

Loss: task-aligned assigner (top-k anchors inside the box, metric score^0.5 * IoU^6), BCE on classes with
soft targets (1 for the best-aligned anchor of each object, the others scaled by their metric), CIoU + DFL
on boxes. AdamW, linear warm-up then cosine decay, weight EMA.
The schedule runs on progress = max(images seen / --images, elapsed / --budget-min), so a slow shared
machine ends the run on time instead of overrunning. --resume continues from a checkpoint (the budget counts
the earlier wall time too) and restarts the cosine over what is left.
"""
import argparse
import math
import os
import time

import cv2
import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import render
from pipeline import letterbox, postprocess, iou_xywh
from yolov8n import YOLOv8n, REG_MAX, make_anchors, dfl_expectation, dist2bbox, count_params

HERE = os.path.dirname(os.path.abspath(__file__))


# -------------------------------------------------------------------------------------------------- data
def sample_to_training(img, labels, size, rng):
    """Letterbox one rendered sample; labels -> [n, 5] (cls, x0, y0, x1, y1) in input pixels."""
    if rng.random() < 0.3:   # compression artefacts, as in encoded video
        ok, buf = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, int(rng.integers(35, 90))])
        img = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    padded, scale, px, py = letterbox(img, size)
    t = np.zeros((len(labels), 5), np.float32)
    for i, (c, x, y, w, h) in enumerate(labels):
        t[i] = (c, x * scale + px, y * scale + py, (x + w) * scale + px, (y + h) * scale + py)
    return padded[:, :, ::-1].transpose(2, 0, 1).copy(), t


class RenderedStream(torch.utils.data.IterableDataset):
    def __init__(self, seed, size, batch):
        self.seed, self.size, self.batch = seed, size, batch

    def __iter__(self):
        info = torch.utils.data.get_worker_info()
        wid = info.id if info else 0
        rng = np.random.default_rng([self.seed, wid])
        while True:
            ims, tg = [], []
            for _ in range(self.batch):
                img, labels = render.training_sample(rng)
                im, t = sample_to_training(img, labels, self.size, rng)
                ims.append(im)
                tg.append(t)
            yield torch.from_numpy(np.stack(ims)), tg


def collate_targets(tg, device="cpu"):
    """List of [n_i, 5] arrays -> padded [B, M, 5] tensor and mask [B, M, 1]."""
    m = max([len(t) for t in tg] + [1])
    out = torch.zeros(len(tg), m, 5)
    mask = torch.zeros(len(tg), m, 1)
    for i, t in enumerate(tg):
        if len(t):
            out[i, :len(t)] = torch.as_tensor(t)
            mask[i, :len(t)] = 1
    return out.to(device), mask.to(device)


# -------------------------------------------------------------------------------------------------- loss
def bbox_ciou(b1, b2, eps=1e-7):
    """CIoU of xyxy boxes [..., 4] (broadcasting)."""
    b1x1, b1y1, b1x2, b1y2 = b1.unbind(-1)
    b2x1, b2y1, b2x2, b2y2 = b2.unbind(-1)
    w1, h1 = b1x2 - b1x1, (b1y2 - b1y1).clamp(min=eps)
    w2, h2 = b2x2 - b2x1, (b2y2 - b2y1).clamp(min=eps)
    inter = (torch.min(b1x2, b2x2) - torch.max(b1x1, b2x1)).clamp(0) * \
            (torch.min(b1y2, b2y2) - torch.max(b1y1, b2y1)).clamp(0)
    union = w1 * h1 + w2 * h2 - inter + eps
    iou = inter / union
    cw = torch.max(b1x2, b2x2) - torch.min(b1x1, b2x1)
    ch = torch.max(b1y2, b2y2) - torch.min(b1y1, b2y1)
    c2 = cw ** 2 + ch ** 2 + eps
    rho2 = ((b2x1 + b2x2 - b1x1 - b1x2) ** 2 + (b2y1 + b2y2 - b1y1 - b1y2) ** 2) / 4
    v = (4 / math.pi ** 2) * (torch.atan(w2 / h2) - torch.atan(w1 / h1)).pow(2)
    with torch.no_grad():
        alpha = v / (v - iou + (1 + eps))
    return iou - (rho2 / c2 + v * alpha)


class TaskAlignedAssigner:
    def __init__(self, nc, topk=10, alpha=0.5, beta=6.0, eps=1e-9):
        self.nc, self.topk, self.alpha, self.beta, self.eps = nc, topk, alpha, beta, eps

    @torch.no_grad()
    def __call__(self, pd_scores, pd_bboxes, anc_points, gt_labels, gt_bboxes, mask_gt):
        """pd_scores [B,A,nc] (sigmoid), pd_bboxes [B,A,4] xyxy, anc_points [A,2], gt_* [B,M,...]."""
        b, a, _ = pd_scores.shape
        m = gt_bboxes.shape[1]
        if m == 0 or mask_gt.sum() == 0:
            z = torch.zeros
            return (z(b, a, 4), z(b, a, self.nc), z(b, a, dtype=torch.bool), z(b, a, dtype=torch.long))
        # anchors whose centre lies inside the gt box
        lt = anc_points[None, None] - gt_bboxes[:, :, None, :2]
        rb = gt_bboxes[:, :, None, 2:] - anc_points[None, None]
        in_gts = torch.cat((lt, rb), -1).amin(-1) > self.eps                        # [B,M,A]
        mask = in_gts & (mask_gt > 0)
        lab = gt_labels.long().squeeze(-1)                                          # [B,M]
        scores = pd_scores.gather(2, lab[:, None, :].expand(b, a, m)).permute(0, 2, 1)  # [B,M,A]
        overlaps = bbox_ciou(gt_bboxes[:, :, None, :], pd_bboxes[:, None, :, :]).clamp(0)
        overlaps = overlaps * mask
        align = scores.pow(self.alpha) * overlaps.pow(self.beta) * mask
        # top-k per gt
        k = min(self.topk, a)
        topv, topi = align.topk(k, dim=-1)
        mask_topk = torch.zeros_like(align, dtype=torch.bool).scatter_(-1, topi, topv > self.eps)
        mask_pos = mask_topk & mask                                                 # [B,M,A]
        # an anchor claimed by several gts goes to the one it overlaps most
        fg = mask_pos.sum(1)
        if (fg > 1).any():
            multi = (fg > 1)[:, None, :].expand(-1, m, -1)
            best = F.one_hot(overlaps.argmax(1), m).permute(0, 2, 1).bool()
            mask_pos = torch.where(multi, best & mask, mask_pos)
        fg_mask = mask_pos.any(1)                                                   # [B,A]
        tgt_idx = mask_pos.float().argmax(1)                                        # [B,A]
        bidx = torch.arange(b)[:, None]
        t_labels = lab[bidx, tgt_idx]
        t_bboxes = gt_bboxes[bidx, tgt_idx]
        t_scores = F.one_hot(t_labels, self.nc).float() * fg_mask[..., None]
        align = align * mask_pos
        pos_align = align.amax(-1, keepdim=True)
        norm = (align / (pos_align + self.eps)).amax(1)                            # [B,A], 1 at the best anchor
        return t_bboxes, t_scores * norm[..., None], fg_mask, tgt_idx


class DetectionLoss:
    def __init__(self, nc, box_gain=7.5, cls_gain=0.5, dfl_gain=1.5):
        self.nc = nc
        self.gains = (box_gain, cls_gain, dfl_gain)
        self.assigner = TaskAlignedAssigner(nc)
        self._anchors = {}

    def anchors(self, h, w):
        if (h, w) not in self._anchors:
            self._anchors[(h, w)] = make_anchors(h, w)
        return self._anchors[(h, w)]

    def __call__(self, box_logits, cls_logits, targets, mask_gt, img_hw):
        """targets [B,M,5] (cls, xyxy input pixels). Returns (total, detached parts [box, cls, dfl])."""
        anc, strides = self.anchors(*img_hw)
        b, _, a = box_logits.shape
        pred_cls = cls_logits.permute(0, 2, 1)                                      # [B,A,nc]
        pred_dist = box_logits.permute(0, 2, 1).reshape(b, a, 4, REG_MAX)
        pred_box = dist2bbox(dfl_expectation(box_logits), anc)                     # grid units
        t_boxes, t_scores, fg, _ = self.assigner(
            pred_cls.detach().sigmoid(), pred_box.detach() * strides,
            anc * strides, targets[..., :1], targets[..., 1:], mask_gt)
        tss = max(t_scores.sum(), 1.0)
        l_cls = F.binary_cross_entropy_with_logits(pred_cls, t_scores, reduction="sum") / tss
        l_box = torch.zeros(())
        l_dfl = torch.zeros(())
        if fg.any():
            w = t_scores.sum(-1)[fg]
            tb = t_boxes / strides[None]                                            # grid units
            iou = bbox_ciou(pred_box[fg], tb[fg])
            l_box = ((1.0 - iou) * w).sum() / tss
            ap = anc[None].expand(b, -1, -1)[fg]
            tbf = tb[fg]
            ltrb = torch.cat((ap - tbf[:, :2], tbf[:, 2:] - ap), -1).clamp(0, REG_MAX - 1 - 0.01)
            tl = ltrb.long()
            tr = tl + 1
            wl = tr.float() - ltrb
            pd = pred_dist[fg]                                                      # [n,4,REG_MAX]
            ce = F.cross_entropy(pd.reshape(-1, REG_MAX), tl.view(-1), reduction="none").view(tl.shape) * wl + \
                F.cross_entropy(pd.reshape(-1, REG_MAX), tr.view(-1), reduction="none").view(tl.shape) * (1 - wl)
            l_dfl = (ce.mean(-1) * w).sum() / tss
        g = self.gains
        total = (g[0] * l_box + g[1] * l_cls + g[2] * l_dfl) * b
        return total, torch.stack((l_box.detach(), l_cls.detach(), l_dfl.detach()))


# ----------------------------------------------------------------------------------------------- helpers
class EMA:
    """Exponential moving average of the weights; the decay ramps up over the first `tau` updates."""

    def __init__(self, model, decay, tau=2000):
        import copy
        self.ema = copy.deepcopy(model).eval()
        for p in self.ema.parameters():
            p.requires_grad_(False)
        self.updates, self.decay, self.tau = 0, decay, tau

    @torch.no_grad()
    def update(self, model):
        self.updates += 1
        d = self.decay * (1 - math.exp(-self.updates / self.tau))
        msd = model.state_dict()
        for k, v in self.ema.state_dict().items():
            if v.dtype.is_floating_point:
                v.mul_(d).add_(msd[k].detach(), alpha=1 - d)


def decode(box_logits, cls_logits, img_hw):
    """Raw head outputs -> [B, 4+nc, A] like the exported graph (cx, cy, w, h in pixels, sigmoid scores)."""
    anc, strides = make_anchors(*img_hw)
    xyxy = dist2bbox(dfl_expectation(box_logits), anc) * strides
    cxcy = (xyxy[..., :2] + xyxy[..., 2:]) / 2
    wh = xyxy[..., 2:] - xyxy[..., :2]
    return torch.cat((torch.cat((cxcy, wh), -1).permute(0, 2, 1), cls_logits.sigmoid()), 1)


def match_counts(dets, gts, iou_thr=0.5):
    """Greedy matching by score. dets [(c, s, x, y, w, h)], gts [(c, x, y, w, h)] -> (tp, fp, fn)."""
    used = [False] * len(gts)
    tp = 0
    for d in sorted(dets, key=lambda d: -d[1]):
        best, bi = iou_thr, -1
        for j, g in enumerate(gts):
            if used[j] or g[0] != d[0]:
                continue
            v = iou_xywh(d[2:], g[1:])
            if v >= best:
                best, bi = v, j
        if bi >= 0:
            used[bi] = True
            tp += 1
    return tp, len(dets) - tp, len(gts) - tp


def make_val_set(seed, n, size):
    rng = np.random.default_rng(seed)
    ims, gts, metas = [], [], []
    for i in range(n):
        img, labels = render.training_sample(rng)
        padded, scale, px, py = letterbox(img, size)
        ims.append(padded[:, :, ::-1].transpose(2, 0, 1).copy())
        gts.append(labels)
        metas.append((scale, px, py, img.shape[1], img.shape[0]))
    return np.stack(ims), gts, metas


@torch.no_grad()
def validate(model, val, size, thresholds=(0.5, 0.6)):
    ims, gts, metas = val
    model.eval()
    res = {t: [0, 0, 0] for t in thresholds}
    neg_fp = {t: 0 for t in thresholds}
    for i in range(0, len(ims), 32):
        x = torch.from_numpy(ims[i:i + 32]).float() / 255.0
        out = decode(*model(x), (size, size)).numpy()
        for j in range(out.shape[0]):
            scale, px, py, fw, fh = metas[i + j]
            for t in thresholds:
                dets = postprocess(out[j], scale, px, py, fw, fh, t)
                tp, fp, fn = match_counts(dets, gts[i + j])
                r = res[t]
                r[0] += tp
                r[1] += fp
                r[2] += fn
                if not gts[i + j]:
                    neg_fp[t] += fp
    return {t: (r[0] / max(r[0] + r[1], 1), r[0] / max(r[0] + r[2], 1), neg_fp[t]) for t, r in res.items()}


def build_optimizer(model, lr, wd):
    decay, no_decay = [], []
    for mod in model.modules():
        for name, p in mod.named_parameters(recurse=False):
            (decay if name == "weight" and not isinstance(mod, nn.BatchNorm2d) else no_decay).append(p)
    return torch.optim.AdamW([{"params": decay, "weight_decay": wd}, {"params": no_decay, "weight_decay": 0.0}],
                             lr=lr, betas=(0.9, 0.999))


def save_checkpoint(path, model, ema, opt, seen, it, wall):
    torch.save({"model": ema.ema.state_dict(), "train_model": model.state_dict(), "optimizer": opt.state_dict(),
                "updates": ema.updates, "seen": seen, "it": it, "wall": wall}, path)


def fmt_time(s):
    s = int(max(s, 0))
    return "%d:%02d:%02d" % (s // 3600, s % 3600 // 60, s % 60)


# ------------------------------------------------------------------------------------------------- main
def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--size", type=int, default=320)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--images", type=int, default=60000, help="images to train on (upper bound)")
    ap.add_argument("--budget-min", type=float, default=42.0, help="wall-time budget in minutes (upper bound)")
    ap.add_argument("--epoch-images", type=int, default=2400, help="images per reported epoch")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--warmup", type=int, default=150, help="warm-up iterations")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--workers", type=int, default=1, help="render processes")
    ap.add_argument("--val", type=int, default=240, help="validation images (rendered with seed+1)")
    ap.add_argument("--resume", default=None, help="checkpoint to continue from (weights, EMA, optimizer)")
    # 0.999 is a time constant of 1000 iterations (8,000 images at batch 8), short enough to follow a run
    # of a few hundred thousand images
    ap.add_argument("--ema-decay", type=float, default=0.999, help="weight EMA decay per iteration")
    ap.add_argument("--ema-reset", action="store_true",
                    help="on resume, restart the EMA from the training weights instead of the saved EMA")
    ap.add_argument("--out", default=os.path.join(HERE, "work", "train"))
    ap.add_argument("--report", default=os.path.join(HERE, "TRAINING_REPORT.md"))
    a = ap.parse_args()

    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    np.random.seed(a.seed)
    os.makedirs(a.out, exist_ok=True)

    model = YOLOv8n(3)
    model.detect.init_bias(a.size)
    model = model.to(memory_format=torch.channels_last)
    ema = EMA(model, a.ema_decay)
    opt = build_optimizer(model, a.lr, 5e-4)
    crit = DetectionLoss(3)
    start_seen, start_it, prev_wall = 0, 0, 0.0
    if a.resume:
        ck = torch.load(a.resume, map_location="cpu")
        model.load_state_dict(ck.get("train_model", ck["model"]))
        if a.ema_reset:
            ema.ema.load_state_dict(model.state_dict())
        else:
            ema.ema.load_state_dict(ck["model"])
        ema.updates = ck.get("updates", 0)
        if "optimizer" in ck:
            opt.load_state_dict(ck["optimizer"])
        start_seen, start_it, prev_wall = ck.get("seen", 0), ck.get("it", 0), ck.get("wall", 0.0)
        print("resumed from %s: %d images seen, %.1f min trained" % (a.resume, start_seen, prev_wall / 60))
    val = make_val_set(a.seed + 1, a.val, a.size)
    loader = torch.utils.data.DataLoader(RenderedStream(a.seed, a.size, a.batch), batch_size=None,
                                         num_workers=a.workers, persistent_workers=a.workers > 0)
    print("parameters %d, budget %.1f min, up to %d images" % (count_params(model), a.budget_min, a.images),
          flush=True)

    t0 = time.time()
    seen, it, epoch = start_seen, start_it, 0
    budget = a.budget_min * 60
    run_loss = None
    ep_t, ep_seen = time.time(), 0
    history = []
    stop_reason = "image count"
    for x, tg in loader:
        elapsed = time.time() - t0
        # a resumed run restarts the cosine over what is left of the image count and of the wall budget
        progress = max((seen - start_seen) / max(a.images - start_seen, 1), elapsed / max(budget - prev_wall, 1.0))
        if progress >= 1.0:
            stop_reason = "image count" if seen >= a.images else "wall-time budget"
            break
        lr = a.lr * (it + 1) / a.warmup if it < a.warmup else \
            a.lr * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * progress)))
        for g in opt.param_groups:
            g["lr"] = lr
        model.train()
        x = x.float().div_(255.0).contiguous(memory_format=torch.channels_last)
        targets, mask = collate_targets(tg)
        box, cls = model(x)
        loss, parts = crit(box, cls, targets, mask, (a.size, a.size))
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 10.0)
        opt.step()
        ema.update(model)
        it += 1
        seen += x.shape[0]
        ep_seen += x.shape[0]
        run_loss = parts if run_loss is None else run_loss * 0.95 + parts * 0.05
        if it % 25 == 0:
            rate = (seen - start_seen) / (time.time() - t0)
            left = min((a.images - seen) / rate, budget - prev_wall - (time.time() - t0))
            print("  it %5d  seen %6d  loss box %.3f cls %.3f dfl %.3f  lr %.5f  %.1f img/s  left %s" %
                  (it, seen, *run_loss.tolist(), lr, rate, fmt_time(left)), flush=True)
        if ep_seen >= a.epoch_images:
            epoch += 1
            rate = ep_seen / (time.time() - ep_t)
            m = validate(ema.ema, val, a.size)
            elapsed = time.time() - t0
            left = min((a.images - seen) / ((seen - start_seen) / elapsed), budget - prev_wall - elapsed)
            line = ("epoch %2d  seen %6d  loss box %.3f cls %.3f dfl %.3f  %.1f img/s  elapsed %s  left %s  "
                    "val P/R@0.5 %.3f/%.3f  P/R@0.6 %.3f/%.3f  neg-FP@0.6 %d" %
                    (epoch, seen, *run_loss.tolist(), rate, fmt_time(elapsed), fmt_time(left),
                     m[0.5][0], m[0.5][1], m[0.6][0], m[0.6][1], m[0.6][2]))
            print(line, flush=True)
            history.append(line)
            save_checkpoint(os.path.join(a.out, "last.pt"), model, ema, opt, seen, it, prev_wall + time.time() - t0)
            ep_t, ep_seen = time.time(), 0
    wall = time.time() - t0
    m = validate(ema.ema, val, a.size)
    save_checkpoint(os.path.join(a.out, "last.pt"), model, ema, opt, seen, it, prev_wall + wall)
    final = "final  seen %d  wall %s  val P/R@0.5 %.3f/%.3f  P/R@0.6 %.3f/%.3f  neg-FP@0.6 %d" % (
        seen, fmt_time(wall), m[0.5][0], m[0.5][1], m[0.6][0], m[0.6][1], m[0.6][2])
    print(final, flush=True)
    with open(a.report, "w") as f:
        f.write("# Demo model training report\n\n")
        f.write("- command: `%s`\n" % " ".join(["python3", "tools/demo/train.py"] + os.sys.argv[1:]))
        f.write("- torch %s, %d threads, %d render worker(s), input %dx%d, batch %d, seed %d\n" %
                (torch.__version__, a.threads, a.workers, a.size, a.size, a.batch, a.seed))
        total = prev_wall + wall
        f.write("- wall time %s (%.1f min, this run %.1f min), images seen %d, %.1f images/s, iterations %d, "
                "stopped by %s\n" % (fmt_time(total), total / 60, wall / 60, seen, seen / total, it, stop_reason))
        f.write("- validation: %d rendered scenes (seed %d), EMA weights, IoU >= 0.5 with the right class\n\n" %
                (a.val, a.seed + 1))
        f.write("| threshold | precision | recall | detections on weapon-free scenes |\n|---|---|---|---|\n")
        for t in sorted(m):
            f.write("| %.1f | %.3f | %.3f | %d |\n" % (t, m[t][0], m[t][1], m[t][2]))
        f.write("\n## Epochs\n\n```\n%s\n```\n" % "\n".join(history))
    print("report written to", a.report)


if __name__ == "__main__":
    main()
