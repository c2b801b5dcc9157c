"""YOLOv8n-style detector (width 0.25, depth 0.33), anchor-free decoupled head with DFL."""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

REG_MAX = 16
STRIDES = (8, 16, 32)


class Conv(nn.Module):
    """Conv2d (no bias) + BatchNorm + SiLU."""

    def __init__(self, c1, c2, k=1, s=1):
        super().__init__()
        self.conv = nn.Conv2d(c1, c2, k, s, k // 2, bias=False)
        self.bn = nn.BatchNorm2d(c2, eps=1e-3, momentum=0.03)
        self.act = nn.SiLU()

    def forward(self, x):
        return self.act(self.bn(self.conv(x)))


class Bottleneck(nn.Module):
    def __init__(self, c1, c2, shortcut=True):
        super().__init__()
        self.cv1 = Conv(c1, c2, 3)
        self.cv2 = Conv(c2, c2, 3)
        self.add = shortcut and c1 == c2

    def forward(self, x):
        y = self.cv2(self.cv1(x))
        return x + y if self.add else y


class C2f(nn.Module):
    def __init__(self, c1, c2, n=1, shortcut=False):
        super().__init__()
        self.c = c2 // 2
        self.cv1 = Conv(c1, 2 * self.c, 1)
        self.cv2 = Conv((2 + n) * self.c, c2, 1)
        self.m = nn.ModuleList(Bottleneck(self.c, self.c, shortcut) for _ in range(n))

    def forward(self, x):
        y = list(self.cv1(x).split((self.c, self.c), 1))
        for m in self.m:
            y.append(m(y[-1]))
        return self.cv2(torch.cat(y, 1))


class SPPF(nn.Module):
    def __init__(self, c1, c2, k=5):
        super().__init__()
        c_ = c1 // 2
        self.cv1 = Conv(c1, c_, 1)
        self.cv2 = Conv(c_ * 4, c2, 1)
        self.m = nn.MaxPool2d(k, 1, k // 2)

    def forward(self, x):
        x = self.cv1(x)
        y1 = self.m(x)
        y2 = self.m(y1)
        return self.cv2(torch.cat((x, y1, y2, self.m(y2)), 1))


class Detect(nn.Module):
    """Per level: box branch -> 4*REG_MAX logits, class branch -> nc logits."""

    def __init__(self, nc, ch):
        super().__init__()
        self.nc = nc
        c2 = max(16, ch[0] // 4, REG_MAX * 4)
        c3 = max(ch[0], min(nc, 100))
        self.cv2 = nn.ModuleList(
            nn.Sequential(Conv(x, c2, 3), Conv(c2, c2, 3), nn.Conv2d(c2, 4 * REG_MAX, 1)) for x in ch)
        self.cv3 = nn.ModuleList(
            nn.Sequential(Conv(x, c3, 3), Conv(c3, c3, 3), nn.Conv2d(c3, nc, 1)) for x in ch)

    def init_bias(self, img_size=640):
        for a, b, s in zip(self.cv2, self.cv3, STRIDES):
            a[-1].bias.data[:] = 1.0
            b[-1].bias.data[: self.nc] = math.log(5 / self.nc / (img_size / s) ** 2)

    def forward(self, feats):
        """Returns (box logits [B,4*REG_MAX,A], class logits [B,nc,A]) over all levels."""
        b = feats[0].shape[0]
        box = torch.cat([self.cv2[i](f).view(b, 4 * REG_MAX, -1) for i, f in enumerate(feats)], 2)
        cls = torch.cat([self.cv3[i](f).view(b, self.nc, -1) for i, f in enumerate(feats)], 2)
        return box, cls


class YOLOv8n(nn.Module):
    def __init__(self, nc=3):
        super().__init__()
        self.nc = nc
        # backbone
        self.b0 = Conv(3, 16, 3, 2)
        self.b1 = Conv(16, 32, 3, 2)
        self.b2 = C2f(32, 32, 1, True)
        self.b3 = Conv(32, 64, 3, 2)
        self.b4 = C2f(64, 64, 2, True)
        self.b5 = Conv(64, 128, 3, 2)
        self.b6 = C2f(128, 128, 2, True)
        self.b7 = Conv(128, 256, 3, 2)
        self.b8 = C2f(256, 256, 1, True)
        self.b9 = SPPF(256, 256, 5)
        # PAN neck
        self.h12 = C2f(256 + 128, 128, 1)
        self.h15 = C2f(128 + 64, 64, 1)
        self.h16 = Conv(64, 64, 3, 2)
        self.h18 = C2f(64 + 128, 128, 1)
        self.h19 = Conv(128, 128, 3, 2)
        self.h21 = C2f(128 + 256, 256, 1)
        self.detect = Detect(nc, (64, 128, 256))

    def features(self, x):
        x = self.b2(self.b1(self.b0(x)))
        p3 = self.b4(self.b3(x))
        p4 = self.b6(self.b5(p3))
        p5 = self.b9(self.b8(self.b7(p4)))
        up = F.interpolate(p5, scale_factor=2.0, mode="nearest")
        h12 = self.h12(torch.cat((up, p4), 1))
        up = F.interpolate(h12, scale_factor=2.0, mode="nearest")
        o3 = self.h15(torch.cat((up, p3), 1))
        o4 = self.h18(torch.cat((self.h16(o3), h12), 1))
        o5 = self.h21(torch.cat((self.h19(o4), p5), 1))
        return [o3, o4, o5]

    def forward(self, x):
        return self.detect(self.features(x))


def make_anchors(h, w, device=None, offset=0.5):
    """Anchor centres (in grid units) and per-anchor strides for an input of h x w pixels."""
    pts, strides = [], []
    for s in STRIDES:
        gh, gw = h // s, w // s
        sy, sx = torch.meshgrid(torch.arange(gh, dtype=torch.float32, device=device) + offset,
                                torch.arange(gw, dtype=torch.float32, device=device) + offset, indexing="ij")
        pts.append(torch.stack((sx, sy), -1).view(-1, 2))
        strides.append(torch.full((gh * gw, 1), float(s), device=device))
    return torch.cat(pts), torch.cat(strides)


def dfl_expectation(box_logits):
    """[B, 4*REG_MAX, A] logits -> [B, A, 4] expected distances (grid units)."""
    b, _, a = box_logits.shape
    p = box_logits.view(b, 4, REG_MAX, a).softmax(2)
    proj = torch.arange(REG_MAX, dtype=p.dtype, device=p.device).view(1, 1, REG_MAX, 1)
    return (p * proj).sum(2).transpose(1, 2)


def dist2bbox(dist, anchors):
    """ltrb distances [B,A,4] + anchor points [A,2] -> xyxy [B,A,4]."""
    lt, rb = dist[..., :2], dist[..., 2:]
    return torch.cat((anchors - lt, anchors + rb), -1)


def count_params(m):
    return sum(p.numel() for p in m.parameters())


if __name__ == "__main__":
    m = YOLOv8n(3)
    print("parameters:", count_params(m))
    box, cls = m(torch.zeros(1, 3, 320, 320))
    print(box.shape, cls.shape)
