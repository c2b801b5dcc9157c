// How much memory one inference of a model needs for its layer outputs,
// estimated before any engine runs it.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn/dnn.hpp>

namespace korva::detail {

// Bytes of every layer output of one inference of `net` at `inputSize`, by
// OpenCV's shape inference (counted once each, without reuse; saturating).
std::uint64_t ActivationBytes(cv::dnn::Net& net, cv::Size inputSize);

// The same for a model not yet imported. False when OpenCV cannot import the
// model or infer its shapes (float16 or TopK exports).
bool EstimateActivationBytes(const std::vector<unsigned char>& onnx, cv::Size inputSize,
                             std::uint64_t& bytes) noexcept;

}  // namespace korva::detail
