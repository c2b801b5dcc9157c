// Turning a raw YOLO output tensor into scored candidate boxes.
#pragma once

#include <vector>

#include "decode/OutputLayout.h"

namespace korva::detail {

// One anchor whose best class reached the threshold. Box in input pixels.
struct Candidate {
    float cx = 0, cy = 0, w = 0, h = 0;
    float score = 0;
    int classId = 0;
    int anchor = 0;
};

// Reusable per-call buffers.
struct DecodeScratch {
    std::vector<float> bestScore;
    std::vector<int> bestClass;
};

// Appends to `out` every anchor of `data` (laid out as `layout`) whose best
// class score is >= threshold and <= 1 and whose box is finite with positive
// size. Non-finite values never produce a candidate. End-to-end rows become
// centre-size boxes; a row whose class id is not an integer in [0, nc) is
// skipped. `data` must hold OutputValueCount(layout) floats.
void DecodeCandidates(const float* data, const OutputLayout& layout, float threshold,
                      DecodeScratch& scratch, std::vector<Candidate>& out);

}  // namespace korva::detail
