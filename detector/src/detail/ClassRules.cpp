#include "detail/ClassRules.h"

#include <algorithm>
#include <cmath>

namespace korva::detail {
namespace {

int ClassIndex(const std::vector<std::string>& names, const std::string& name) {
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

template <typename Pair>
bool HasClass(const std::vector<Pair>& entries, int id) {
    return std::any_of(entries.begin(), entries.end(), [id](const Pair& e) { return e.first == id; });
}

}  // namespace

float ClassRules::DecodeThreshold(float global, std::size_t numClasses) const {
    float lowest = 2.0f;
    for (std::size_t c = 0; c < numClasses; ++c) {
        const int id = static_cast<int>(c);
        if (std::binary_search(disabled_.begin(), disabled_.end(), id)) continue;
        lowest = std::min(lowest, ThresholdOf(id, global));
    }
    return lowest > 1.0f ? global : lowest;  // every class off: nothing is kept anyway
}

float ClassRules::ThresholdOf(int classId, float global) const {
    const auto it = std::lower_bound(thresholds_.begin(), thresholds_.end(), std::make_pair(classId, -1.0f));
    return it != thresholds_.end() && it->first == classId ? it->second : global;
}

void ClassRules::Apply(float global, std::vector<CustomObject>& detections) const {
    if (Empty()) return;
    const auto dropped = [&](const CustomObject& d) {
        if (std::binary_search(disabled_.begin(), disabled_.end(), d.classId)) return true;
        return !(d.confidence >= ThresholdOf(d.classId, global));
    };
    detections.erase(std::remove_if(detections.begin(), detections.end(), dropped), detections.end());
}

ClassRules ClassRules::Read(const CustomParams& params, const std::vector<std::string>& classNames,
                            std::vector<RuleRefusal>& refusals) {
    ClassRules rules;
    std::vector<std::pair<int, bool>> enabledSeen;
    for (const ValueListEntry& e : params.valueListEntries) {
        const bool isThreshold = e.textA == kKeyClassThreshold;
        if (!isThreshold && e.textA != kKeyClassEnabled) continue;
        const std::string name = EntryName(e.textA, e.textB);
        const int id = ClassIndex(classNames, e.textB);
        if (id < 0) {
            refusals.push_back({name, "the model has no class named \"" + e.textB + "\""});
            continue;
        }
        if (e.wideValues.size() != 1) {
            refusals.push_back({name, "expected one value, got " + std::to_string(e.wideValues.size())});
            continue;
        }
        const double v = e.wideValues.front();
        if (isThreshold) {
            if (!(std::isfinite(v) && v >= 0.0 && v <= 1.0)) {
                refusals.push_back({name, "threshold must be a number from 0 to 1"});
            } else if (HasClass(rules.thresholds_, id)) {
                refusals.push_back({name, "the class already has a threshold; only the first applies"});
            } else {
                rules.thresholds_.emplace_back(id, static_cast<float>(v));
            }
        } else {
            if (!(v == 0.0 || v == 1.0)) {
                refusals.push_back({name, "must be 0 (off) or 1 (on)"});
            } else if (HasClass(enabledSeen, id)) {
                refusals.push_back({name, "the class is already switched; only the first applies"});
            } else {
                enabledSeen.emplace_back(id, v == 1.0);
                if (v == 0.0) rules.disabled_.push_back(id);
            }
        }
    }
    std::sort(rules.thresholds_.begin(), rules.thresholds_.end());
    std::sort(rules.disabled_.begin(), rules.disabled_.end());
    return rules;
}

void ClassRules::Write(const std::vector<std::string>& classNames, CustomParams& params) const {
    const auto nameOf = [&](int id) {
        return id >= 0 && static_cast<std::size_t>(id) < classNames.size()
                   ? classNames[static_cast<std::size_t>(id)]
                   : std::string();
    };
    for (const auto& [id, threshold] : thresholds_) {
        params.valueListEntries.push_back({kKeyClassThreshold, {threshold}, nameOf(id),
                                           "detections of this class scoring below this are dropped; 0..1",
                                           0});
    }
    for (int id : disabled_) {
        params.valueListEntries.push_back({kKeyClassEnabled, {0.0}, nameOf(id),
                                           "0: this class is never reported; 1: it is", 0});
    }
}

}  // namespace korva::detail
