#include "decode/CandidateDecoder.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace korva::detail {
namespace {

bool Acceptable(float score, float threshold) { return score >= threshold && score <= 1.0f; }

bool ValidBox(float cx, float cy, float w, float h) {
    return std::isfinite(cx) && std::isfinite(cy) && std::isfinite(w) && std::isfinite(h) &&
           w > 0.0f && h > 0.0f;
}

void Push(std::vector<Candidate>& out, const float* box, float score, int cls, int anchor) {
    if (!ValidBox(box[0], box[1], box[2], box[3])) return;
    out.push_back({box[0], box[1], box[2], box[3], score, cls, anchor});
}

// [1, 4+nc, N]: class rows are scanned whole, which keeps the reads
// sequential; the best class per anchor is tracked in scratch arrays.
void DecodeV8(const float* data, const OutputLayout& l, float threshold, DecodeScratch& s,
              std::vector<Candidate>& out) {
    const int n = l.numAnchors;
    s.bestScore.assign(n, -std::numeric_limits<float>::infinity());
    s.bestClass.assign(n, -1);
    float* best = s.bestScore.data();
    int* cls = s.bestClass.data();
    for (int c = 0; c < l.numClasses; ++c) {
        const float* row = data + static_cast<std::size_t>(4 + c) * n;
        for (int i = 0; i < n; ++i) {
            if (row[i] > best[i]) {  // false for NaN
                best[i] = row[i];
                cls[i] = c;
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        if (!Acceptable(best[i], threshold)) continue;
        const float box[4] = {data[i], data[n + i], data[2 * n + i], data[3 * n + i]};
        Push(out, box, best[i], cls[i], i);
    }
}

// Anchor-major layouts: [1, N, 4+nc] and [1, N, 5+nc].
void DecodeRows(const float* data, const OutputLayout& l, float threshold,
                std::vector<Candidate>& out) {
    const bool v5 = l.kind == LayoutKind::kV5;
    const int stride = l.numClasses + (v5 ? 5 : 4);
    const int first = v5 ? 5 : 4;
    for (int i = 0; i < l.numAnchors; ++i) {
        const float* row = data + static_cast<std::size_t>(i) * stride;
        if (v5 && !(row[4] >= threshold)) continue;  // objectness bounds the score
        float best = -std::numeric_limits<float>::infinity();
        int cls = -1;
        for (int c = 0; c < l.numClasses; ++c) {
            if (row[first + c] > best) {
                best = row[first + c];
                cls = c;
            }
        }
        if (cls < 0) continue;
        const float score = v5 ? best * row[4] : best;
        if (v5 && !(best <= 1.0f)) continue;
        if (!Acceptable(score, threshold)) continue;
        Push(out, row, score, cls, i);
    }
}

// [1, N, 6]: x1, y1, x2, y2, score, class id per row. A row with a
// non-finite value or a class id that is not an integer in [0, nc) is skipped.
void DecodeEndToEnd(const float* data, const OutputLayout& l, float threshold,
                    std::vector<Candidate>& out) {
    for (int i = 0; i < l.numAnchors; ++i) {
        const float* row = data + static_cast<std::size_t>(i) * 6;
        bool finite = true;
        for (int k = 0; k < 6; ++k) finite = finite && std::isfinite(row[k]);
        if (!finite || !Acceptable(row[4], threshold)) continue;
        const float id = row[5];
        if (!(id >= 0.0f && id < 2147483648.0f) || id != std::floor(id) ||
            static_cast<std::int64_t>(id) >= l.numClasses) {
            continue;
        }
        // Halves first: the sum of two large corners may overflow.
        const float box[4] = {row[0] * 0.5f + row[2] * 0.5f, row[1] * 0.5f + row[3] * 0.5f,
                              row[2] - row[0], row[3] - row[1]};
        Push(out, box, row[4], static_cast<int>(id), i);
    }
}

}  // namespace

void DecodeCandidates(const float* data, const OutputLayout& layout, float threshold,
                      DecodeScratch& scratch, std::vector<Candidate>& out) {
    if (layout.kind == LayoutKind::kV8) {
        DecodeV8(data, layout, threshold, scratch, out);
    } else if (layout.kind == LayoutKind::kEndToEnd) {
        DecodeEndToEnd(data, layout, threshold, out);
    } else {
        DecodeRows(data, layout, threshold, out);
    }
}

}  // namespace korva::detail
