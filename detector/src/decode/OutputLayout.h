// Recognising how a YOLO network lays out its output tensor.
//
//   kV8           [1, 4+nc, N]  rows: cx, cy, w, h, score_0 .. score_nc-1
//   kV8Transposed [1, N, 4+nc]  one row per anchor: cx, cy, w, h, scores
//   kV5           [1, N, 5+nc]  one row per anchor: cx, cy, w, h, objectness,
//                               scores (final score = objectness x score)
//   kEndToEnd     [1, N, 6]     one row per detection: x1, y1, x2, y2, score,
//                               class id; suppression already done in the
//                               network (N is often a TopK size such as 300)
//
// Boxes are in network input pixels. A leading batch dimension of 1 is
// optional.
//
// The values per anchor alone cannot tell the layouts apart (a YOLOv5 output
// with one label too many has exactly the YOLOv8 transposed width), so a grid
// layout is accepted only when its anchor count is that of the input's stride
// grid: the sum, over a contiguous run of at least two strides from
// 8/16/32/64, of ceil(H/s) x ceil(W/s) cells, times 3 anchors per cell for
// YOLOv5. An [N, 6] output whose N is not such a count is end-to-end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korva::detail {

enum class LayoutKind { kV8, kV8Transposed, kV5, kEndToEnd };

struct OutputLayout {
    LayoutKind kind = LayoutKind::kV8;
    int numClasses = 0;
    int numAnchors = 0;  // rows of an end-to-end output
};

const char* LayoutName(LayoutKind kind);

// Values stored per anchor (or per row): 4+nc, 5+nc, or 6 for end-to-end.
std::size_t ValuesPerAnchor(const OutputLayout& layout);

// Floats in the whole output tensor of `layout`.
std::size_t OutputValueCount(const OutputLayout& layout);

// The anchor counts an input of `inputHeight` x `inputWidth` pixels gives
// with `anchorsPerCell` anchors per grid cell, one per run of strides,
// ascending and without repeats. Empty for a non-positive size.
std::vector<std::int64_t> GridAnchorCounts(int inputHeight, int inputWidth, int anchorsPerCell);

// Recognises the layout of an output of shape `shape` for `numClasses`
// classes, confirming a grid layout by its anchor count against an input of
// `inputHeight` x `inputWidth` pixels. When two grid layouts fit, the one with
// more anchors than values per anchor wins; a grid layout wins over
// end-to-end. Returns false with a one-line reason naming the shape and the
// class count when none fits.
bool RecognizeLayout(const std::vector<int>& shape, int numClasses, int inputHeight, int inputWidth,
                     OutputLayout& layout, std::string& error);

}  // namespace korva::detail
