#include "decode/OutputLayout.h"

#include <algorithm>
#include <climits>

namespace korva::detail {
namespace {

constexpr int kStrides[] = {8, 16, 32, 64};
constexpr int kStrideCount = static_cast<int>(sizeof kStrides / sizeof kStrides[0]);
constexpr int kMinStridesInRun = 2;
constexpr int kV5AnchorsPerCell = 3;
constexpr int kEndToEndValues = 6;

std::string ShapeText(const std::vector<int>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + "]";
}

std::string CountsText(const std::vector<std::int64_t>& counts) {
    std::string s;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i != 0) s += i + 1 == counts.size() ? " or " : ", ";
        s += std::to_string(counts[i]);
    }
    return s;
}

bool OnGrid(int anchors, const std::vector<std::int64_t>& counts) {
    return std::find(counts.begin(), counts.end(), std::int64_t{anchors}) != counts.end();
}

}  // namespace

const char* LayoutName(LayoutKind kind) {
    switch (kind) {
        case LayoutKind::kV8: return "YOLOv8 [1, 4+nc, N]";
        case LayoutKind::kV8Transposed: return "YOLOv8 transposed [1, N, 4+nc]";
        case LayoutKind::kV5: return "YOLOv5 [1, N, 5+nc]";
        case LayoutKind::kEndToEnd: return "end-to-end [1, N, 6]";
    }
    return "unknown";
}

std::size_t ValuesPerAnchor(const OutputLayout& layout) {
    const auto nc = static_cast<std::size_t>(std::max(layout.numClasses, 0));
    switch (layout.kind) {
        case LayoutKind::kV5: return 5 + nc;
        case LayoutKind::kEndToEnd: return kEndToEndValues;
        case LayoutKind::kV8:
        case LayoutKind::kV8Transposed: break;
    }
    return 4 + nc;
}

std::size_t OutputValueCount(const OutputLayout& layout) {
    return ValuesPerAnchor(layout) * static_cast<std::size_t>(std::max(layout.numAnchors, 0));
}

std::vector<std::int64_t> GridAnchorCounts(int inputHeight, int inputWidth, int anchorsPerCell) {
    std::vector<std::int64_t> counts;
    if (inputHeight <= 0 || inputWidth <= 0 || anchorsPerCell <= 0) return counts;
    std::int64_t cells[kStrideCount];
    for (int i = 0; i < kStrideCount; ++i) {
        const std::int64_t s = kStrides[i];
        cells[i] = ((inputHeight + s - 1) / s) * ((inputWidth + s - 1) / s);
    }
    for (int first = 0; first < kStrideCount; ++first) {
        std::int64_t sum = cells[first];
        for (int last = first + 1; last < kStrideCount; ++last) {
            sum += cells[last];
            if (last - first + 1 >= kMinStridesInRun) counts.push_back(sum * anchorsPerCell);
        }
    }
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    return counts;
}

bool RecognizeLayout(const std::vector<int>& shape, int numClasses, int inputHeight, int inputWidth,
                     OutputLayout& layout, std::string& error) {
    std::vector<int> dims = shape;
    if (dims.size() == 3 && dims[0] == 1) dims.erase(dims.begin());
    const auto fail = [&](const std::string& why) {
        error = "model output " + ShapeText(shape) + " does not fit " + std::to_string(numClasses) +
                " classes: " + why;
        return false;
    };
    if (numClasses <= 0 || numClasses > INT_MAX - 5) return fail("no classes");
    if (dims.size() != 2) return fail("expected a 3-D output [1, A, B]");
    if (inputHeight <= 0 || inputWidth <= 0) return fail("the input size is unknown");
    const int a = dims[0];
    const int b = dims[1];
    if (a <= 0 || b <= 0) return fail("the output is empty");

    const std::vector<std::int64_t> grid = GridAnchorCounts(inputHeight, inputWidth, 1);
    const std::vector<std::int64_t> grid5 = GridAnchorCounts(inputHeight, inputWidth, kV5AnchorsPerCell);
    struct Fit {
        LayoutKind kind;
        int anchors;
        int perAnchor;
    };
    std::vector<Fit> fits;
    // Layouts whose values per anchor fit but whose anchor count is off the grid.
    std::vector<Fit> offGrid;
    const auto consider = [&](bool widthFits, Fit fit, const std::vector<std::int64_t>& counts) {
        if (!widthFits) return;
        (OnGrid(fit.anchors, counts) ? fits : offGrid).push_back(fit);
    };
    consider(a == 4 + numClasses, {LayoutKind::kV8, b, a}, grid);
    consider(b == 4 + numClasses, {LayoutKind::kV8Transposed, a, b}, grid);
    consider(b == 5 + numClasses, {LayoutKind::kV5, a, b}, grid5);

    if (!fits.empty()) {
        const Fit* best = &fits.front();
        for (const Fit& f : fits) {
            if (f.anchors > f.perAnchor && !(best->anchors > best->perAnchor)) best = &f;
        }
        layout = {best->kind, numClasses, best->anchors};
        return true;
    }
    if (b == kEndToEndValues) {
        layout = {LayoutKind::kEndToEnd, numClasses, a};
        return true;
    }

    const std::string input = std::to_string(inputWidth) + " x " + std::to_string(inputHeight);
    // What the shape would fit with another class count: names the usual
    // mistake, a label list one name too long or too short.
    std::string hint;
    if (OnGrid(a, grid5) && b > 5) {
        hint = "; it fits YOLOv5 with " + std::to_string(b - 5) + " classes";
    } else if (OnGrid(a, grid) && b > 4) {
        hint = "; it fits YOLOv8 transposed with " + std::to_string(b - 4) + " classes";
    } else if (OnGrid(b, grid) && a > 4) {
        hint = "; it fits YOLOv8 with " + std::to_string(a - 4) + " classes";
    }
    if (!offGrid.empty()) {
        const Fit& f = offGrid.front();
        const bool v5 = f.kind == LayoutKind::kV5;
        return fail(std::to_string(f.perAnchor) + " values per anchor fit " + LayoutName(f.kind) +
                    ", but " + std::to_string(f.anchors) + " anchors is not the stride grid of a " +
                    input + " input (expected " + CountsText(v5 ? grid5 : grid) + ")" + hint);
    }
    return fail("expected " + std::to_string(4 + numClasses) + " values per anchor (YOLOv8), " +
                std::to_string(5 + numClasses) + " (YOLOv5) or 6 (end-to-end)" + hint);
}

}  // namespace korva::detail
