// How much memory one inference of a model needs for its layer outputs and
// the constants its import computes, estimated before any engine runs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn/dnn.hpp>

namespace korva::detail {

// Bytes of every layer output of one inference of `net` at `inputSize`, by
// OpenCV's shape inference (counted once each, without reuse; saturating).
std::uint64_t ActivationBytes(cv::dnn::Net& net, cv::Size inputSize);

// Whether a model not yet imported fits kMaxActivationBytes. The constants
// its import would compute are sized from the graph first (nothing is
// materialised), and a model over the limit by them alone is refused before
// OpenCV imports anything; then they and every layer output by OpenCV's
// shape inference count together. False with a one-line reason when over.
// True when OpenCV cannot import the model or infer its shapes (float16 or
// TopK exports): its layers are then not counted. Models its importer can be
// told from the graph to refuse (a float16 input, an operator it lacks, a
// Shape on a dynamic height or width) are not given to it at all, so it logs
// nothing for them. Never throws.
bool CheckActivationMemory(const std::vector<unsigned char>& onnx, cv::Size inputSize,
                           std::string& error) noexcept;

}  // namespace korva::detail
