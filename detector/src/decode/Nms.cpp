#include "decode/Nms.h"

#include <algorithm>
#include <numeric>

namespace korva::detail {

float Iou(const Candidate& a, const Candidate& b) {
    const float ax0 = a.cx - a.w / 2, ay0 = a.cy - a.h / 2, ax1 = a.cx + a.w / 2, ay1 = a.cy + a.h / 2;
    const float bx0 = b.cx - b.w / 2, by0 = b.cy - b.h / 2, bx1 = b.cx + b.w / 2, by1 = b.cy + b.h / 2;
    const float iw = std::min(ax1, bx1) - std::max(ax0, bx0);
    const float ih = std::min(ay1, by1) - std::max(ay0, by0);
    if (!(iw > 0.0f) || !(ih > 0.0f)) return 0.0f;
    const float inter = iw * ih;
    const float uni = a.w * a.h + b.w * b.h - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}

std::vector<std::size_t> SuppressNonMaxima(const std::vector<Candidate>& candidates,
                                           float iouThreshold, std::size_t maxDetections) {
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        const Candidate& a = candidates[i];
        const Candidate& b = candidates[j];
        return a.score != b.score ? a.score > b.score : a.anchor < b.anchor;
    });

    // Each candidate is compared only with the boxes kept so far, so the work
    // is bounded by candidates x maxDetections.
    std::vector<std::size_t> kept;
    for (std::size_t idx : order) {
        if (kept.size() >= maxDetections) break;
        const Candidate& c = candidates[idx];
        const bool suppressed = std::any_of(kept.begin(), kept.end(), [&](std::size_t k) {
            const Candidate& other = candidates[k];
            return other.classId == c.classId && Iou(other, c) > iouThreshold;
        });
        if (!suppressed) kept.push_back(idx);
    }
    return kept;
}

}  // namespace korva::detail
