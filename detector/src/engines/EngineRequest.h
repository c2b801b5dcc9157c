// Which engine runs a model, as a host asks for it, and what ran.
//
// auto runs ONNX Runtime where it loads and accepts the model, else OpenCV;
// onnxruntime refuses to load without it; opencv never tries it. The
// request's default comes from the environment variable KORVA_ENGINE.
#pragma once

#include <cstddef>
#include <string>

#include "model/ModelInput.h"

namespace korva::detail {

enum class EngineKind { kAuto, kOnnxRuntime, kOpenCv };

struct EngineRequest {
    EngineKind kind = EngineKind::kAuto;
    int intraOpThreads = 0;        // ONNX Runtime; 0: one per core, at most kMaxDefaultThreads
    std::size_t poolCapacity = 1;  // OpenCV: networks for concurrent calls
    bool gpu = false;              // try CUDA first
    // Side of the square input a model with a dynamic height/width and no
    // `imgsz` metadata runs at.
    int dynamicInputSide = kDefaultDynamicInputSide;
    // ONNX Runtime: the warm-up's time limit; a model past it is refused
    // (OpenCV is not tried). 0: no limit.
    int warmupTimeoutMs = 0;
};

// What runs, for the record.
struct EngineReport {
    std::string text;  // e.g. "onnxruntime 1.31.1", "opencv: onnxruntime not found (...)"
    bool onnxRuntime = false;
    int intraOpThreads = 0;  // in use; 0 on OpenCV
};

inline constexpr int kMaxIntraOpThreads = 64;
// Threads or networks a default of "one per core" stops at.
inline constexpr int kMaxDefaultThreads = 8;

// "auto", "onnxruntime" or "opencv".
const char* EngineKindName(EngineKind kind);

// False when `text` is none of EngineKindName's names.
bool ParseEngineKind(const std::string& text, EngineKind& kind);

// The value of KORVA_ENGINE, or "auto" when it is unset or empty. Not
// checked: a bad value is refused when a model is loaded with it.
std::string DefaultEngineName();

// Threads for `requested` (0: one per core, at most kMaxDefaultThreads).
int ResolveIntraOpThreads(int requested);

}  // namespace korva::detail
