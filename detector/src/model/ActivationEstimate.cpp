#include "model/ActivationEstimate.h"

#include <limits>
#include <string_view>

#include "onnx/OnnxModelCheck.h"
#include "onnx/OnnxModelInfo.h"

namespace korva::detail {
namespace {

// Standard operators OpenCV 4.6's importer has no layer for.
constexpr std::string_view kOpsOpenCvLacks[] = {
    "TopK",   "NonMaxSuppression", "Loop",       "If",     "Scan",      "NonZero",         "RoiAlign",
    "Unique", "GridSample",        "Einsum",     "Trilu",  "ScatterND", "ScatterElements", "GatherElements",
};

}  // namespace

bool OpenCvCanImport(const OnnxModelInfo& info) {
    // It reads float32 tensors only.
    if (info.input.elemType == kOnnxFloat16) return false;
    // A Shape of a tensor with a dynamic height or width: it supports no
    // zero ("dynamic") dimensions there.
    const std::vector<std::int64_t>& dims = info.input.dims;
    const bool dynamicSides = dims.size() == 4 && (dims[2] < 0 || dims[3] < 0);
    if (dynamicSides && info.UsesOperator("Shape")) return false;
    for (const std::string_view op : kOpsOpenCvLacks) {
        if (info.UsesOperator(op)) return false;
    }
    return true;
}

// Float elements; OpenCV's own getMemoryConsumption sums in int and wraps at
// 2 GiB.
std::uint64_t ActivationBytes(cv::dnn::Net& net, cv::Size inputSize) {
    const int dims[] = {1, 3, inputSize.height, inputSize.width};
    const cv::dnn::MatShape inputShape(dims, dims + 4);
    std::vector<int> layerIds;
    std::vector<std::vector<cv::dnn::MatShape>> inShapes, outShapes;
    net.getLayersShapes(inputShape, layerIds, inShapes, outShapes);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = 0;
    for (const auto& layerOutputs : outShapes) {
        for (const cv::dnn::MatShape& shape : layerOutputs) {
            std::uint64_t bytes = sizeof(float);
            for (const int d : shape) {
                const auto u = static_cast<std::uint64_t>(d < 0 ? 0 : d);
                bytes = (u != 0 && bytes > kMax / u) ? kMax : bytes * u;
            }
            total = bytes > kMax - total ? kMax : total + bytes;
        }
    }
    return total;
}

bool CheckActivationMemory(const std::vector<unsigned char>& onnx, cv::Size inputSize,
                           std::uint64_t constantBytes, bool openCvImports, std::string& error) noexcept {
    try {
        std::uint64_t layers = 0;
        if (!openCvImports) return true;
        try {
            cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx);
            layers = ActivationBytes(net, inputSize);
        } catch (...) {
            return true;
        }
        const std::uint64_t total =
            layers > std::numeric_limits<std::uint64_t>::max() - constantBytes ? std::numeric_limits<std::uint64_t>::max()
                                                                              : layers + constantBytes;
        return CheckActivationEstimate(total, error);
    } catch (...) {
        error = "cannot estimate the activation memory: out of memory";
        return false;
    }
}

}  // namespace korva::detail
