// The detector's settings and their place in a CustomParams record.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/CustomParams.h"

namespace korva::detail {

// What a host may change between frames.
struct DetectorSettings {
    float confidenceThreshold = 0.5f;
    float nmsIouThreshold = 0.45f;
};

// What describes the loaded model; reported, never edited by a host.
struct ModelDescription {
    bool loaded = false;
    cv::Size inputSize;
    std::string backend = "none";
    bool gpuRequested = false;
    int poolCapacity = 0;
    std::string modelPath;
    std::vector<std::string> classNames;
};

// Record keys.
inline constexpr const char* kKeyConfidence = "confidence_threshold";
inline constexpr const char* kKeyNmsIou = "nms_iou_threshold";
inline constexpr const char* kKeyInputSize = "input_size";
inline constexpr const char* kKeyBackend = "backend";
inline constexpr const char* kKeyClass = "class";
inline constexpr const char* kKeyModel = "model";

// Replaces the content of `params` with the settings and the description.
void WriteSettings(const DetectorSettings& settings, const ModelDescription& model,
                   CustomParams& params);

// `defaults` overridden by the editable entries of `params` that hold a valid
// value (a finite number in [0, 1]); everything else in `params` is ignored.
DetectorSettings ReadSettings(const CustomParams& params, const DetectorSettings& defaults);

}  // namespace korva::detail
