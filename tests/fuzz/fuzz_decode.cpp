// Output decoding end to end: layout recognition (grid and end-to-end
// layouts), candidate decoding, suppression and mapping back to the frame, on
// random shapes and values (NaN and infinities included).
//
// Input: [shape mode][classes][anchors lo][anchors hi][threshold][iou]
// [frame w lo][frame w hi][frame h lo][frame h hi][input w][input h]
// [value scale], then two bytes per tensor value, repeated as needed.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "FuzzCheck.h"
#include "decode/CandidateDecoder.h"
#include "decode/Letterbox.h"
#include "decode/Nms.h"
#include "decode/OutputLayout.h"

using namespace korva::detail;

namespace {

constexpr std::size_t kMaxValues = 1u << 18;

std::uint8_t At(const std::uint8_t* d, std::size_t n, std::size_t i) { return i < n ? d[i] : 0; }

float Value(std::uint8_t sel, std::uint8_t low, float scale) {
    static const float kSpecial[] = {std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     0.0f,
                                     -0.0f,
                                     1.0f,
                                     std::nextafter(1.0f, 2.0f),
                                     std::numeric_limits<float>::max(),
                                     -std::numeric_limits<float>::max(),
                                     std::numeric_limits<float>::denorm_min(),
                                     std::numeric_limits<float>::min(),
                                     0.5f};
    constexpr std::size_t kCount = sizeof kSpecial / sizeof kSpecial[0];
    if (sel < 2 * kCount) return kSpecial[sel % kCount];
    const float unit = static_cast<float>((sel & 0x7F) * 256 + low) / 32767.0f;
    return (sel & 0x80) ? unit * scale : -unit * scale * 0.01f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 13) return 0;
    const int mode = data[0] % 8;
    const int nc = 1 + data[1] % 82;
    const int anchors = 1 + (data[2] | (data[3] << 8)) % 300;
    const float threshold = static_cast<float>(data[4]) / 255.0f;
    const float iou = static_cast<float>(data[5]) / 255.0f;
    const cv::Size frame(1 + (data[6] | (data[7] << 8)) % 16384, 1 + (data[8] | (data[9] << 8)) % 16384);
    const cv::Size input(1 + data[10] * 4, 1 + data[11] * 4);
    static const float kScales[] = {1.0f, 64.0f, 1024.0f, 1e6f, 3e38f};
    const float scale = kScales[data[12] % 5];

    // Grid layouts take an anchor count of the input's stride grid (most of
    // the time) so that they get past recognition.
    const std::vector<std::int64_t> grid = GridAnchorCounts(input.height, input.width, 1);
    const bool offGrid = grid.empty() || data[2] % 8 == 0;
    const int gridAnchors =
        offGrid ? anchors : static_cast<int>(std::min<std::int64_t>(grid[data[3] % grid.size()], 1 << 20));

    std::vector<int> shape;
    switch (mode) {
        case 0: shape = {1, 4 + nc, gridAnchors}; break;
        case 1: shape = {1, gridAnchors, 4 + nc}; break;
        case 2: shape = {1, 3 * gridAnchors, 5 + nc}; break;
        case 3: shape = {gridAnchors, 4 + nc}; break;
        case 4: shape = {1, 5 + nc, 4 + nc}; break;
        case 5: shape = {1, anchors, 6}; break;
        case 6: shape = {1, anchors, 4 + nc}; break;
        default: {
            // Arbitrary dimensions, zero and negative ones included.
            const int rank = data[1] % 5;
            for (int i = 0; i < rank; ++i) {
                shape.push_back(static_cast<int>(static_cast<std::int8_t>(At(data, size, 13 + i))));
            }
        }
    }

    OutputLayout layout;
    std::string error;
    if (!RecognizeLayout(shape, nc, input.height, input.width, layout, error)) {
        FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(layout.numClasses == nc && layout.numAnchors > 0);
    if (layout.kind != LayoutKind::kEndToEnd) {
        const std::vector<std::int64_t> cells =
            GridAnchorCounts(input.height, input.width, layout.kind == LayoutKind::kV5 ? 3 : 1);
        FUZZ_CHECK(std::find(cells.begin(), cells.end(), layout.numAnchors) != cells.end());
    }
    std::size_t total = 1;
    for (int d : shape) total *= static_cast<std::size_t>(d);
    FUZZ_CHECK(total == OutputValueCount(layout));
    if (total > kMaxValues) return 0;

    std::vector<float> tensor(total, 0.0f);
    const std::size_t payload = size - 13;
    for (std::size_t i = 0; payload >= 2 && i < total; ++i) {
        const std::size_t j = 13 + (2 * i) % (payload - payload % 2);
        tensor[i] = Value(data[j], data[j + 1], scale);
    }

    DecodeScratch scratch;
    std::vector<Candidate> candidates;
    DecodeCandidates(tensor.data(), layout, threshold, scratch, candidates);
    FUZZ_CHECK(candidates.size() <= static_cast<std::size_t>(layout.numAnchors));
    for (const Candidate& c : candidates) {
        FUZZ_CHECK(std::isfinite(c.cx) && std::isfinite(c.cy) && std::isfinite(c.w) && std::isfinite(c.h));
        FUZZ_CHECK(c.w > 0.0f && c.h > 0.0f);
        FUZZ_CHECK(c.score >= threshold && c.score <= 1.0f);
        FUZZ_CHECK(c.classId >= 0 && c.classId < nc);
        FUZZ_CHECK(c.anchor >= 0 && c.anchor < layout.numAnchors);
    }
    // Reused scratch buffers give the same answer.
    std::vector<Candidate> again;
    DecodeCandidates(tensor.data(), layout, threshold, scratch, again);
    FUZZ_CHECK(again.size() == candidates.size());

    const std::size_t maxKept = 1 + data[5] % kMaxDetections;
    const std::vector<std::size_t> kept = SuppressNonMaxima(candidates, iou, maxKept);
    FUZZ_CHECK(kept.size() <= maxKept);
    std::vector<bool> isKept(candidates.size(), false);
    for (std::size_t k = 0; k < kept.size(); ++k) {
        FUZZ_CHECK(kept[k] < candidates.size() && !isKept[kept[k]]);
        isKept[kept[k]] = true;
        if (k > 0) FUZZ_CHECK(candidates[kept[k - 1]].score >= candidates[kept[k]].score);
        for (std::size_t j = 0; j < k; ++j) {
            const Candidate& a = candidates[kept[j]];
            const Candidate& b = candidates[kept[k]];
            FUZZ_CHECK(a.classId != b.classId || !(Iou(a, b) > iou));
        }
    }
    // Greedy and complete: below the cap, every dropped box overlaps a kept
    // box of its class that ranks before it.
    if (kept.size() < maxKept) {
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (isKept[i]) continue;
            const Candidate& c = candidates[i];
            const bool covered = std::any_of(kept.begin(), kept.end(), [&](std::size_t k) {
                const Candidate& o = candidates[k];
                return o.classId == c.classId && Iou(o, c) > iou &&
                       (o.score > c.score || (o.score == c.score && o.anchor < c.anchor));
            });
            FUZZ_CHECK(covered);
        }
    }

    const LetterboxGeometry g = ComputeLetterbox(frame, input);
    FUZZ_CHECK(g.scaled.width >= 1 && g.scaled.width <= input.width);
    FUZZ_CHECK(g.scaled.height >= 1 && g.scaled.height <= input.height);
    FUZZ_CHECK(g.padX >= 0 && g.padY >= 0);
    for (std::size_t k : kept) {
        const Candidate& c = candidates[k];
        const cv::Rect2d r = MapToFrame(c.cx, c.cy, c.w, c.h, g);
        FUZZ_CHECK(std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
                   std::isfinite(r.height));
        FUZZ_CHECK(r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0);
        FUZZ_CHECK(r.x <= frame.width && r.y <= frame.height);
        const int x1 = cvRound(r.x + r.width), y1 = cvRound(r.y + r.height);
        FUZZ_CHECK(cvRound(r.x) >= 0 && x1 <= frame.width);
        FUZZ_CHECK(cvRound(r.y) >= 0 && y1 <= frame.height);
    }
    return 0;
}
