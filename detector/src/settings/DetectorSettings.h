// What a host may set, as one immutable snapshot.
#pragma once

#include <string>

#include "model/ModelInput.h"
#include "rules/AlarmRules.h"

namespace korva::detail {

// What a host may set. Immutable once published: inference reads a snapshot.
struct DetectorSettings {
    // Live: used from the next frame.
    float confidenceThreshold = 0.5f;
    float nmsIouThreshold = 0.45f;
    // Load-time: used from the next Initialize.
    int poolCapacity = 1;
    std::string engine = "auto";  // "auto", "onnxruntime" or "opencv" (see EngineRequest.h)
    int intraOpThreads = 0;       // 0: one per core, at most kMaxDefaultThreads
    int dynamicInputSide = kDefaultDynamicInputSide;  // models with a dynamic input and no imgsz metadata
    // Live: class thresholds, zones and confirmation (AlarmRules.h).
    AlarmRules rules;
};

}  // namespace korva::detail
