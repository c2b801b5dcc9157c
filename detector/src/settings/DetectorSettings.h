// What a host may set, as one immutable snapshot.
#pragma once

#include <string>

#include "model/ModelInput.h"
#include "rules/AlarmRules.h"

namespace korva::detail {

// Time limits in milliseconds (0: none): an inference, and the warm-up of a
// load on ONNX Runtime (see docs/DETECTOR.md for the defaults).
inline constexpr int kDefaultInferenceTimeoutMs = 10000;
inline constexpr int kDefaultWarmupTimeoutMs = 60000;
inline constexpr int kMaxTimeoutMs = 3600000;

// What a host may set. Immutable once published: inference reads a snapshot.
struct DetectorSettings {
    // Live: used from the next frame.
    float confidenceThreshold = 0.5f;
    float nmsIouThreshold = 0.45f;
    int inferenceTimeoutMs = kDefaultInferenceTimeoutMs;
    // Load-time: used from the next Initialize.
    int poolCapacity = 1;
    std::string engine = "auto";  // "auto", "onnxruntime" or "opencv" (see EngineRequest.h)
    int intraOpThreads = 0;       // 0: one per core, at most kMaxDefaultThreads
    int dynamicInputSide = kDefaultDynamicInputSide;  // models with a dynamic input and no imgsz metadata
    int warmupTimeoutMs = kDefaultWarmupTimeoutMs;
    // Live: class thresholds, zones and confirmation (AlarmRules.h).
    AlarmRules rules;
};

}  // namespace korva::detail
