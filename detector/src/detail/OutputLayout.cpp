#include "detail/OutputLayout.h"

#include <climits>

namespace korva::detail {
namespace {

std::string ShapeText(const std::vector<int>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + "]";
}

}  // namespace

bool RecognizeLayout(const std::vector<int>& shape, int numClasses, OutputLayout& layout,
                     std::string& error) {
    std::vector<int> dims = shape;
    if (dims.size() == 3 && dims[0] == 1) dims.erase(dims.begin());
    const auto fail = [&](const std::string& why) {
        error = "model output " + ShapeText(shape) + " does not fit " + std::to_string(numClasses) +
                " classes from the label file: " + why;
        return false;
    };
    if (numClasses <= 0 || numClasses > INT_MAX - 5) return fail("no classes");
    if (dims.size() != 2) return fail("expected a 3-D output [1, A, B]");
    const int a = dims[0];
    const int b = dims[1];
    if (a <= 0 || b <= 0) return fail("the output is empty");

    struct Fit {
        LayoutKind kind;
        int anchors;
        int perAnchor;
    };
    std::vector<Fit> fits;
    if (a == 4 + numClasses) fits.push_back({LayoutKind::kV8, b, a});
    if (b == 4 + numClasses) fits.push_back({LayoutKind::kV8Transposed, a, b});
    if (b == 5 + numClasses) fits.push_back({LayoutKind::kV5, a, b});
    if (fits.empty()) {
        return fail("expected " + std::to_string(4 + numClasses) + " values per anchor (YOLOv8) or " +
                    std::to_string(5 + numClasses) + " (YOLOv5)");
    }
    const Fit* best = &fits.front();
    for (const Fit& f : fits) {
        if (f.anchors > f.perAnchor && !(best->anchors > best->perAnchor)) best = &f;
    }
    layout.kind = best->kind;
    layout.numClasses = numClasses;
    layout.numAnchors = best->anchors;
    return true;
}

}  // namespace korva::detail
