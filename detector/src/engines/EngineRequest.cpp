#include "engines/EngineRequest.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace korva::detail {

const char* EngineKindName(EngineKind kind) {
    switch (kind) {
        case EngineKind::kOnnxRuntime: return "onnxruntime";
        case EngineKind::kOpenCv: return "opencv";
        case EngineKind::kAuto: break;
    }
    return "auto";
}

bool ParseEngineKind(const std::string& text, EngineKind& kind) {
    for (EngineKind k : {EngineKind::kAuto, EngineKind::kOnnxRuntime, EngineKind::kOpenCv}) {
        if (text == EngineKindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

std::string DefaultEngineName() {
    const char* value = std::getenv("KORVA_ENGINE");
    return value != nullptr && *value != '\0' ? value : "auto";
}

int ResolveIntraOpThreads(int requested) {
    if (requested > 0) return requested;
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(hw == 0 ? 1 : hw), 1, kMaxDefaultThreads);
}

}  // namespace korva::detail
