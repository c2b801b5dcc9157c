#include "detail/EngineRequest.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace korva::detail {
namespace {

bool ParseKind(const std::string& text, EngineKind& kind) {
    for (EngineKind k : {EngineKind::kAuto, EngineKind::kOnnxRuntime, EngineKind::kOpenCv}) {
        if (text == EngineKindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

const std::string kEnginePrefix = std::string(kKeyEngine) + "=";

}  // namespace

const char* EngineKindName(EngineKind kind) {
    switch (kind) {
        case EngineKind::kOnnxRuntime: return "onnxruntime";
        case EngineKind::kOpenCv: return "opencv";
        case EngineKind::kAuto: break;
    }
    return "auto";
}

bool ReadEngineRequest(const CustomParams& params, EngineRequest& request, std::string& error) {
    EngineRequest r;
    const char* fromEnv = std::getenv("KORVA_ENGINE");
    if (fromEnv != nullptr && *fromEnv != '\0' && !ParseKind(fromEnv, r.kind)) {
        error = std::string("KORVA_ENGINE must be auto, onnxruntime or opencv, got '") + fromEnv + "'";
        return false;
    }
    for (const std::string& text : params.texts) {
        if (text.compare(0, kEnginePrefix.size(), kEnginePrefix) != 0) continue;
        if (!ParseKind(text.substr(kEnginePrefix.size()), r.kind)) {
            error = "parameter '" + text.substr(0, 80) + "': the engine must be auto, onnxruntime or opencv";
            return false;
        }
    }
    for (const ValueListEntry& e : params.valueListEntries) {
        if (e.textA != kKeyIntraOpThreads) continue;
        const double v = e.wideValues.size() == 1 ? e.wideValues.front() : -1.0;
        if (!(v >= 0.0 && v <= kMaxIntraOpThreads && std::floor(v) == v)) {
            error = std::string("parameter ") + kKeyIntraOpThreads + " must be one whole number from 0 to " +
                    std::to_string(kMaxIntraOpThreads);
            return false;
        }
        r.intraOpThreads = static_cast<int>(v);
    }
    request = r;
    return true;
}

int ResolveIntraOpThreads(int requested) {
    if (requested > 0) return requested;
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(hw == 0 ? 1 : hw), 1, 8);
}

void WriteEngineEntries(const EngineRequest& request, const EngineReport& report, CustomParams& params) {
    params.valueListEntries.push_back({kKeyIntraOpThreads, {double(request.intraOpThreads)}, "editable",
                                       "ONNX Runtime threads per inference, applied at Initialize; "
                                       "0 = one per core (at most 8)",
                                       0});
    FlagEntry engine;
    engine.textA = kKeyEngine;
    engine.textB = report.text.empty() ? "none" : report.text;
    engine.flagA = report.onnxRuntime;
    engine.valueA = report.intraOpThreads;
    params.flagEntries.push_back(std::move(engine));
    params.texts.push_back(kEnginePrefix + EngineKindName(request.kind));
}

}  // namespace korva::detail
