#!/usr/bin/python3
"""Generate the benchmark models: YOLOv8n-sized detectors with random weights.

Usage:
    /usr/bin/python3 tools/testmodels/make_bench_model.py [--out DIR] [--only NAME] [--force]

Models (each a folder with model.onnx and labels.txt, default under bench/models/):
    yolov8n_640   640 x 640 input, 80 classes, output [1, 84, 8400]
    standin_416   416 x 416 input, 3 classes (handgun, rifle, knife), output [1, 7, 3549]

Weights are random (fixed seed); batch-norm statistics are recalibrated on random
smooth images so activations keep a sane scale and outputs depend on the input.
The graph is exported for OpenCV 4.6: opset 12, static shapes, constants folded,
decode constants pre-expanded to full shape, Identity-of-constant nodes replaced
by copies of the constant. Every model is checked against torch with cv2.dnn.
"""

import argparse
import io
import os
import sys

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "demo"))
from onnx_opencv import inline_identities  # noqa: E402
DEFAULT_OUT = os.path.join(REPO, "bench", "models")
MODELS = {
    "yolov8n_640": dict(size=640, nc=80, names=None),
    "standin_416": dict(size=416, nc=3, names=("handgun", "rifle", "knife")),
}
STRIDES = (8, 16, 32)
REG_MAX = 16


def make_backbone(nc):
    """The demo model's YOLOv8n (tools/demo/yolov8n.py) with `nc` classes."""
    import yolov8n  # noqa: E402
    net = yolov8n.YOLOv8n(nc)
    box, cls = net(torch.zeros(1, 3, 64, 64))
    assert box.shape[1] == 4 * REG_MAX and cls.shape[1] == nc and box.shape[2] == cls.shape[2]
    return net, "tools/demo/yolov8n.py"


class Decoded(nn.Module):
    """Backbone + YOLOv8 decode: output [1, 4 + nc, A], boxes cx, cy, w, h in input pixels."""

    def __init__(self, net, size):
        super().__init__()
        self.net = net
        cx, cy, st = [], [], []
        for s in STRIDES:
            g = size // s
            ys, xs = torch.meshgrid(torch.arange(g, dtype=torch.float32) + 0.5,
                                    torch.arange(g, dtype=torch.float32) + 0.5, indexing="ij")
            cx.append(xs.flatten())
            cy.append(ys.flatten())
            st.append(torch.full((g * g,), float(s)))
        a = sum((size // s) ** 2 for s in STRIDES)
        # Full-shape constants: OpenCV 4.6 cannot broadcast [1,1,A] against [1,2,A].
        self.register_buffer("centre", torch.stack((torch.cat(cx), torch.cat(cy))).view(1, 2, a))
        self.register_buffer("stride2", torch.cat(st).view(1, 1, a).expand(1, 2, a).contiguous())
        self.dfl = nn.Conv2d(REG_MAX, 1, 1, bias=False).requires_grad_(False)
        self.dfl.weight.data[:] = torch.arange(REG_MAX, dtype=torch.float32).view(1, REG_MAX, 1, 1)
        self.a = a

    def forward(self, x):
        box, cls = self.net(x)
        a = self.a
        p = box.view(1, 4, REG_MAX, a).transpose(1, 2).softmax(1)   # [1,16,4,A]
        dist = self.dfl(p).view(1, 4, a)                               # l, t, r, b in grid units
        lt, rb = dist[:, :2], dist[:, 2:]
        cxy = (self.centre + (rb - lt) * 0.5) * self.stride2
        wh = (lt + rb) * self.stride2
        return torch.cat((cxy, wh, cls.sigmoid()), 1)


def smooth_images(n, size, gen):
    low = torch.rand(n, 3, size // 16, size // 16, generator=gen)
    img = F.interpolate(low, size=(size, size), mode="bilinear", align_corners=False)
    return (img + 0.08 * torch.rand(n, 3, size, size, generator=gen)).clamp(0, 1)


def letterboxed_images(n, size, gen):
    """16:9 frames letterboxed into the input, gray 114 above and below; the picture is
    random 120 x 68 cells upscaled, like the benchmark harness's synthetic frames."""
    img = torch.full((n, 3, size, size), 114 / 255.0)
    h = round(size * 9 / 16)
    top = (size - h) // 2
    low = torch.rand(n, 3, 68, 120, generator=gen)
    img[:, :, top:top + h] = F.interpolate(low, size=(h, size), mode="bicubic", align_corners=False).clamp(0, 1)
    return img


@torch.no_grad()
def recalibrate_bn(model, size, gen, batches=3, batch=2):
    bns = [m for m in model.modules() if isinstance(m, nn.BatchNorm2d)]
    for m in bns:
        m.reset_running_stats()
        m.momentum = None  # cumulative average over the calibration images
    model.train()
    for i in range(batches):
        model(smooth_images(batch, size, gen) if i % 2 == 0 else letterboxed_images(batch, size, gen))
    model.eval()


@torch.no_grad()
def init_class_bias(net, nc, size, gen, per_frame=20):
    """Shift the class logits so that, like a trained detector's, about `per_frame`
    scores per letterboxed frame pass 0.25 (and a few more on other pictures)."""
    heads = net.detect.cv3 if hasattr(net, "detect") else net.cls
    _, cls = net(letterboxed_images(4, size, gen))
    kth = cls.flatten(1).topk(per_frame, dim=1).values[:, -1].mean().item()
    shift = kth - float(np.log(0.25 / 0.75))
    for head in heads:
        head[-1].bias -= shift


def build(name, recipe, out_dir):
    import onnx
    import cv2
    size, nc = recipe["size"], recipe["nc"]
    torch.manual_seed(1234 + size)
    gen = torch.Generator().manual_seed(99 + size)
    net, source = make_backbone(nc)
    model = Decoded(net, size)
    recalibrate_bn(net, size, gen)
    init_class_bias(net, nc, size, gen)
    model.eval()

    x = torch.zeros(1, 3, size, size)
    buf = io.BytesIO()
    torch.onnx.export(model, x, buf, opset_version=12, do_constant_folding=True,
                      input_names=["images"], output_names=["output0"])
    model.eval()  # export restores the mode it found
    proto = onnx.load_from_string(buf.getvalue())
    inline_identities(proto)
    onnx.checker.check_model(proto)
    data = proto.SerializeToString()

    folder = os.path.join(out_dir, name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "model.onnx"), "wb") as f:
        f.write(data)
    names = recipe["names"] or ["class%d" % i for i in range(nc)]
    with open(os.path.join(folder, "labels.txt"), "w") as f:
        f.write("\n".join(names) + "\n")

    # Check: OpenCV imports it, agrees with torch, and outputs follow the input.
    cvnet = cv2.dnn.readNetFromONNX(os.path.join(folder, "model.onnx"))
    outs = []
    for img in torch.cat((smooth_images(1, size, gen), letterboxed_images(1, size, gen))):
        blob = img.unsqueeze(0)
        with torch.no_grad():
            ref = model(blob).numpy()
        cvnet.setInput(blob.numpy())
        got = cvnet.forward()
        err = np.abs(got - ref).max() / max(1.0, np.abs(ref).max())
        if got.shape != (1, 4 + nc, model.a) or err > 1e-3:
            raise SystemExit("%s: OpenCV output %s differs from torch (rel err %g)" % (name, got.shape, err))
        outs.append(got)
    spread = np.abs(outs[0][0, 4:] - outs[1][0, 4:]).max()
    if spread < 1e-3:
        raise SystemExit("%s: class scores do not depend on the input" % name)
    sigmoids = sum(1 for n in proto.graph.node if n.op_type == "Sigmoid")
    print("%s: %s, %d bytes, %d Sigmoid nodes, backbone %s, max score %.3f"
          % (name, (1, 4 + nc, model.a), len(data), sigmoids, source, float(outs[0][0, 4:].max())))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--only", choices=sorted(MODELS))
    ap.add_argument("--force", action="store_true", help="regenerate models that already exist")
    args = ap.parse_args()
    torch.set_num_threads(max(1, min(2, os.cpu_count() or 1)))
    for name, recipe in MODELS.items():
        if args.only and name != args.only:
            continue
        if not args.force and os.path.exists(os.path.join(args.out, name, "model.onnx")):
            print("%s: exists" % name)
            continue
        build(name, recipe, args.out)


if __name__ == "__main__":
    main()
