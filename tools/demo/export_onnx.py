#!/usr/bin/env python3
"""Export the trained demo detector to ONNX for OpenCV DNN (static input, decoded [1, 4+nc, N] output).

The graph ends in: DFL expectation (softmax + 1x1 conv), a 1x1 conv mapping (l, t, r, b) distances to
(dx, dy, w, h), a Mul by per-anchor strides and an Add of anchor centres. Both constants are stored
pre-expanded to [1, 4, N]: OpenCV 4.6 throws at the first forward on a [1,4,N] x [1,1,N] broadcast.
Then it checks OpenCV's output against torch and times cv2.dnn forward.
"""
import argparse
import os
import time

import cv2
import numpy as np
import torch
import torch.nn as nn

from onnx_opencv import inline_identities
from yolov8n import YOLOv8n, REG_MAX, make_anchors

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEFAULT_OUT = os.path.join(REPO, "assets", "models", "Korva_WeaponDetection(GPU)_1.0")
LABELS = ("handgun", "rifle", "knife")


def fuse_conv_bn(conv, bn):
    fused = nn.Conv2d(conv.in_channels, conv.out_channels, conv.kernel_size, conv.stride, conv.padding,
                      groups=conv.groups, bias=True)
    w = conv.weight.detach()
    std = torch.sqrt(bn.running_var + bn.eps)
    fused.weight.data = w * (bn.weight / std).view(-1, 1, 1, 1)
    b = conv.bias.detach() if conv.bias is not None else torch.zeros_like(bn.running_mean)
    fused.bias.data = (b - bn.running_mean) * bn.weight / std + bn.bias
    return fused


def fuse_model(model):
    """Fold every Conv+BN pair (modules named conv/bn in the same block) in place."""
    for m in model.modules():
        if hasattr(m, "conv") and hasattr(m, "bn") and isinstance(m.bn, nn.BatchNorm2d):
            m.conv = fuse_conv_bn(m.conv, m.bn)
            m.bn = nn.Identity()
    return model


class Exportable(nn.Module):
    def __init__(self, model, size, dynamic=False):
        super().__init__()
        self.model = model
        self.dynamic = dynamic
        anc, strides = make_anchors(size, size)
        a = anc.shape[0]
        self.a = a
        self.dfl = nn.Conv2d(REG_MAX, 1, 1, bias=False)
        self.dfl.weight.data = torch.arange(REG_MAX, dtype=torch.float32).view(1, REG_MAX, 1, 1)
        # (l, t, r, b) -> ((r - l) / 2, (b - t) / 2, l + r, t + b)
        self.ltrb = nn.Conv2d(4, 4, 1, bias=False)
        self.ltrb.weight.data = torch.tensor([[-0.5, 0, 0.5, 0], [0, -0.5, 0, 0.5], [1, 0, 1, 0], [0, 1, 0, 1]],
                                             dtype=torch.float32).view(4, 4, 1, 1)
        s = strides.view(1, 1, a)
        self.register_buffer("stride4", s.expand(1, 4, a).contiguous())
        centre = torch.zeros(1, 4, a)
        centre[0, :2] = (anc * strides).t()
        self.register_buffer("centre4", centre)

    def forward(self, x):
        box, cls = self.model(x)                                       # [1,64,A], [1,nc,A]
        if self.dynamic:
            # Anchors from the input size, so that the graph runs at any size.
            anc, strides = make_anchors(x.shape[2], x.shape[3])
            a = box.shape[2]
            stride4 = strides.t().unsqueeze(0).expand(1, 4, a)
            centre4 = torch.cat((anc * strides, torch.zeros_like(anc)), 1).t().unsqueeze(0)
        else:
            a, stride4, centre4 = self.a, self.stride4, self.centre4
        p = box.view(1, 4, REG_MAX, a).transpose(2, 1).softmax(1)      # [1,16,4,A]
        d = self.dfl(p).view(1, 4, a, 1)                               # expected l, t, r, b
        xywh = self.ltrb(d).view(1, 4, a) * stride4 + centre4
        return torch.cat((xywh, cls.sigmoid()), 1)


def load_model(weights):
    model = YOLOv8n(len(LABELS))
    ck = torch.load(weights, map_location="cpu")
    model.load_state_dict(ck["model"])
    return model.eval()


def export(weights, out_dir, size, variant=None):
    """Exports `weights` to out_dir/model.onnx (+ labels.txt). `variant` (a dict, see main) makes
    one of the other forms users ship instead: dynamic height/width with imgsz metadata, float16,
    end-to-end [1, N, 6] (optionally TopK), class names in the metadata (optionally without
    labels.txt)."""
    v = variant or {}
    torch.set_num_threads(2)
    if not weights:
        torch.manual_seed(0)  # untrained weights, the same for every variant
    model = fuse_model(load_model(weights)) if weights else fuse_model(YOLOv8n(len(LABELS)).eval())
    net = Exportable(model, size, dynamic=v.get("dynamic", False)).eval()
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "model.onnx")
    x = torch.zeros(1, 3, size, size)
    kwargs = {"dynamic_axes": {"images": {2: "height", 3: "width"}}} if v.get("dynamic") else {}
    with torch.no_grad():
        torch.onnx.export(net, x, path, opset_version=12, do_constant_folding=True,
                          input_names=["images"], output_names=["output0"], **kwargs)
    import onnx
    import onnx_variants
    proto = onnx.load(path)
    inline_identities(proto)
    if v.get("end_to_end"):
        if v.get("dynamic"):
            raise SystemExit("--end-to-end needs a static export (the rewrite reads the anchor count)")
        onnx_variants.to_end_to_end(proto, v.get("topk"))
    if v.get("fp16"):
        onnx_variants.to_float16(proto)
    meta = [("imgsz", str([size, size]))] if v.get("dynamic") else []
    if v.get("names"):
        meta = onnx_variants.yolo_metadata(LABELS, size, size, 32)
    onnx_variants.add_metadata(proto, meta)
    onnx.checker.check_model(proto)
    onnx.save(proto, path)
    labels = os.path.join(out_dir, "labels.txt")
    if v.get("no_labels"):
        if os.path.exists(labels):
            os.remove(labels)
    else:
        with open(labels, "w") as f:
            f.write("\n".join(LABELS) + "\n")
    return net, path


def verify(net, path, size, runs=20):
    import onnx
    onnx.checker.check_model(onnx.load(path))
    cvnet = cv2.dnn.readNetFromONNX(path)
    rng = np.random.default_rng(0)
    worst = 0.0
    inputs = [rng.random((1, 3, size, size), dtype=np.float32),
              np.full((1, 3, size, size), 114 / 255.0, np.float32)]
    for blob in inputs:
        cvnet.setInput(blob)
        out_cv = cvnet.forward()
        with torch.no_grad():
            out_t = net(torch.from_numpy(blob)).numpy()
        assert out_cv.shape == out_t.shape, (out_cv.shape, out_t.shape)
        worst = max(worst, float(np.abs(out_cv - out_t).max()))
    cvnet.setInput(inputs[0])
    cvnet.forward()
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        cvnet.setInput(inputs[0])
        cvnet.forward()
        times.append((time.perf_counter() - t) * 1000)
    return out_cv.shape, worst, float(np.median(times)), float(np.min(times))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--weights", default=os.path.join(HERE, "work", "train", "last.pt"))
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--size", type=int, default=416)
    g = ap.add_argument_group("variants (for the ONNX Runtime engine; need --out, skip the OpenCV check)")
    g.add_argument("--dynamic", action="store_true", help="symbolic height/width, imgsz metadata")
    g.add_argument("--fp16", action="store_true", help="float16 weights, input and output")
    g.add_argument("--end-to-end", action="store_true", help="[1, N, 6] corner rows, no NMS needed")
    g.add_argument("--topk", type=int, help="with --end-to-end: keep the K best rows (TopK)")
    g.add_argument("--names-metadata", action="store_true", help="YOLO metadata with names and imgsz")
    g.add_argument("--no-labels", action="store_true", help="with --names-metadata: no labels.txt")
    g.add_argument("--random-weights", action="store_true",
                   help="untrained weights instead of --weights (to try the export path)")
    a = ap.parse_args()
    variant = dict(dynamic=a.dynamic, fp16=a.fp16, end_to_end=a.end_to_end, topk=a.topk,
                   names=a.names_metadata, no_labels=a.no_labels)
    if any(variant.values()) or a.random_weights:
        if os.path.abspath(a.out) == os.path.abspath(DEFAULT_OUT):
            raise SystemExit("a variant or untrained export needs --out (the demo model folder keeps "
                             "the static float32 export)")
        if a.no_labels and not a.names_metadata:
            raise SystemExit("--no-labels needs --names-metadata")
        net, path = export(None if a.random_weights else a.weights, a.out, a.size, variant)
        print("wrote %s (%.2f MB)" % (path, os.path.getsize(path) / 1e6))
        if any(variant.values()):
            return
        shape, diff, med, best = verify(net, path, a.size)
        print("max |opencv - torch| = %.2e" % diff)
        return
    net, path = export(a.weights, a.out, a.size)
    shape, diff, med, best = verify(net, path, a.size)
    print("wrote %s (%.2f MB), output %s" % (path, os.path.getsize(path) / 1e6, list(shape)))
    print("max |opencv - torch| = %.2e  %s" % (diff, "OK" if diff < 1e-3 else "MISMATCH"))
    print("cv2.dnn forward at %d: median %.1f ms, best %.1f ms (%d threads)" % (a.size, med, best,
                                                                              cv2.getNumThreads()))
    if diff >= 1e-3:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
