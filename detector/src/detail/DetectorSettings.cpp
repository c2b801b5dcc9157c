#include "detail/DetectorSettings.h"

#include <cmath>

namespace korva::detail {
namespace {

bool ValidFraction(double v) { return std::isfinite(v) && v >= 0.0 && v <= 1.0; }

}  // namespace

void WriteSettings(const DetectorSettings& settings, const ModelDescription& model,
                   CustomParams& params) {
    CustomParams out;
    out.valueListEntries.push_back({kKeyConfidence, {settings.confidenceThreshold}, "editable",
                                    "detections scoring below this are dropped; 0..1", 0});
    out.valueListEntries.push_back({kKeyNmsIou, {settings.nmsIouThreshold}, "editable",
                                    "of same-class boxes overlapping more than this, only the best is kept; 0..1",
                                    0});
    out.valueListEntries.push_back({kKeyInputSize,
                                    {double(model.inputSize.width), double(model.inputSize.height)},
                                    "read-only", "network input width and height in pixels", 0});

    FlagEntry backend;
    backend.flagA = model.loaded;
    backend.flagB = model.gpuRequested;
    backend.flagC = model.backend.find("cuda") != std::string::npos;
    backend.valueA = model.poolCapacity;
    backend.valueB = static_cast<std::int32_t>(model.classNames.size());
    backend.textA = kKeyBackend;
    backend.textB = model.backend;
    out.flagEntries.push_back(std::move(backend));

    for (std::size_t i = 0; i < model.classNames.size(); ++i) {
        TextListEntry entry;
        entry.textA = kKeyClass;
        entry.textB = model.classNames[i];
        entry.valueA = static_cast<std::int32_t>(i);
        out.textListEntries.push_back(std::move(entry));
    }
    if (!model.modelPath.empty()) out.texts.push_back(std::string(kKeyModel) + "=" + model.modelPath);
    params = std::move(out);
}

DetectorSettings ReadSettings(const CustomParams& params, const DetectorSettings& defaults) {
    DetectorSettings s = defaults;
    for (const ValueListEntry& e : params.valueListEntries) {
        if (e.wideValues.size() != 1 || !ValidFraction(e.wideValues.front())) continue;
        const float v = static_cast<float>(e.wideValues.front());
        if (e.textA == kKeyConfidence) s.confidenceThreshold = v;
        if (e.textA == kKeyNmsIou) s.nmsIouThreshold = v;
    }
    return s;
}

}  // namespace korva::detail
