#include "rules/ClassRules.h"

#include <algorithm>
#include <cmath>

namespace korva::detail {
namespace {

template <typename Pair>
bool Named(const std::vector<Pair>& entries, const std::string& name) {
    return std::any_of(entries.begin(), entries.end(), [&](const Pair& e) { return e.first == name; });
}

bool KnownClass(const std::string& name, const std::vector<std::string>& classNames, std::string& reason) {
    if (classNames.empty() || std::find(classNames.begin(), classNames.end(), name) != classNames.end()) {
        return true;
    }
    reason = "the model has no class named '" + name.substr(0, 40) + "'";
    return false;
}

bool OneValue(const std::vector<double>& values, std::string& reason) {
    if (values.size() == 1) return true;
    reason = "expects one number, got " + std::to_string(values.size());
    return false;
}

}  // namespace

float ClassRules::DecodeThreshold(float global, const std::vector<std::string>& classNames) const {
    float lowest = 2.0f;
    for (const std::string& name : classNames) {
        if (std::find(disabled_.begin(), disabled_.end(), name) != disabled_.end()) continue;
        lowest = std::min(lowest, ThresholdOf(name, global));
    }
    return lowest > 1.0f ? global : lowest;  // every class off: nothing is kept anyway
}

float ClassRules::ThresholdOf(const std::string& name, float global) const {
    for (const auto& [own, threshold] : thresholds_) {
        if (own == name) return threshold;
    }
    return global;
}

void ClassRules::Apply(float global, std::vector<CustomObject>& detections) const {
    if (Empty()) return;
    const auto dropped = [&](const CustomObject& d) {
        if (std::find(disabled_.begin(), disabled_.end(), d.textA) != disabled_.end()) return true;
        return !(d.confidence >= ThresholdOf(d.textA, global));
    };
    detections.erase(std::remove_if(detections.begin(), detections.end(), dropped), detections.end());
}

bool ClassRules::AddThreshold(const std::string& name, const std::vector<double>& values,
                              const std::vector<std::string>& classNames, std::string& reason) {
    if (!OneValue(values, reason) || !KnownClass(name, classNames, reason)) return false;
    const double v = values.front();
    if (!(std::isfinite(v) && v >= 0.0 && v <= 1.0)) {
        reason = "must be a number from 0 to 1";
        return false;
    }
    if (Named(thresholds_, name)) {
        reason = "the class has a threshold already";
        return false;
    }
    thresholds_.emplace_back(name, static_cast<float>(v));
    return true;
}

bool ClassRules::AddEnabled(const std::string& name, const std::vector<double>& values,
                            const std::vector<std::string>& classNames, std::string& reason) {
    if (!OneValue(values, reason) || !KnownClass(name, classNames, reason)) return false;
    const double v = values.front();
    if (!(v == 0.0 || v == 1.0)) {
        reason = "must be 0 (off) or 1 (on)";
        return false;
    }
    if (Named(enabled_, name)) {
        reason = "the class is switched already";
        return false;
    }
    enabled_.emplace_back(name, v == 1.0);
    if (v == 0.0) disabled_.push_back(name);
    return true;
}

}  // namespace korva::detail
