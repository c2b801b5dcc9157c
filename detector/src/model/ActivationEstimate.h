// How much memory one inference of a model needs for its layer outputs and
// the constants its import computes, estimated before any engine runs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn/dnn.hpp>

#include "onnx/OnnxModelInfo.h"

namespace korva::detail {

// Bytes of every layer output of one inference of `net` at `inputSize`, by
// OpenCV's shape inference (counted once each, without reuse; saturating).
std::uint64_t ActivationBytes(cv::dnn::Net& net, cv::Size inputSize);

// Whether OpenCV's importer can take the model, as far as its graph tells:
// not for a float16 input, an operator OpenCV 4.6 has no layer for, or a
// Shape on a dynamic height or width. Asked anyway, the importer writes error
// lines to the process's log before it throws.
bool OpenCvCanImport(const OnnxModelInfo& info);

// Whether a model not yet imported fits kMaxActivationBytes: its layer
// outputs by OpenCV's shape inference plus `constantBytes`, what its import
// computes (BoundFoldedConstants). False with a one-line reason when over.
// Without `openCvImports`, or when OpenCV cannot infer its shapes, its layers
// are not counted. Never throws.
bool CheckActivationMemory(const std::vector<unsigned char>& onnx, cv::Size inputSize,
                           std::uint64_t constantBytes, bool openCvImports, std::string& error) noexcept;

}  // namespace korva::detail
