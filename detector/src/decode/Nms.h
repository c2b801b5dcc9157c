// Class-aware greedy non-maximum suppression.
#pragma once

#include <cstddef>
#include <vector>

#include "decode/CandidateDecoder.h"

namespace korva::detail {

inline constexpr float kDefaultNmsIou = 0.45f;
inline constexpr std::size_t kMaxDetections = 300;

// Intersection over union of two centre-size boxes; 0 when either is empty.
float Iou(const Candidate& a, const Candidate& b);

// Returns indices into `candidates` of the boxes kept, best score first (ties
// broken by anchor index, so the result is deterministic). A box is dropped
// when it overlaps a kept box of the same class with IoU > `iouThreshold`.
// Boxes of different classes never suppress each other. At most
// `maxDetections` indices are returned.
std::vector<std::size_t> SuppressNonMaxima(const std::vector<Candidate>& candidates,
                                           float iouThreshold,
                                           std::size_t maxDetections = kMaxDetections);

}  // namespace korva::detail
