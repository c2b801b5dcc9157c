// Recognising how a YOLO network lays out its output tensor.
//
//   kV8           [1, 4+nc, N]  rows: cx, cy, w, h, score_0 .. score_nc-1
//   kV8Transposed [1, N, 4+nc]  one row per anchor: cx, cy, w, h, scores
//   kV5           [1, N, 5+nc]  one row per anchor: cx, cy, w, h, objectness,
//                               scores (final score = objectness x score)
//
// Boxes are centre and size in network input pixels. A leading batch
// dimension of 1 is optional.
#pragma once

#include <string>
#include <vector>

namespace korva::detail {

enum class LayoutKind { kV8, kV8Transposed, kV5 };

struct OutputLayout {
    LayoutKind kind = LayoutKind::kV8;
    int numClasses = 0;
    int numAnchors = 0;
};

// Recognises the layout of an output of shape `shape` for `numClasses`
// classes. When several layouts fit, the one with more anchors than values
// per anchor wins. Returns false with a reason naming the shape and the class
// count when none fits.
bool RecognizeLayout(const std::vector<int>& shape, int numClasses, OutputLayout& layout,
                     std::string& error);

}  // namespace korva::detail
