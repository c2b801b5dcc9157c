// Per-class confidence thresholds and classes switched off.
//
// A class with a threshold of its own keeps its detections scoring at least
// that threshold, whether it is above or below the detector's confidence
// threshold; the other classes keep the detector's. A class switched off
// reports nothing. Classes are named as in the label file and matched by the
// name each detection carries, so a rule naming a class the model lacks
// changes nothing.
//
// Record entries (valueListEntries, textB = class name):
//   "class_threshold"  wideValues = {threshold in [0, 1]}
//   "class_enabled"    wideValues = {0 or 1}
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "korva/CustomObject.h"

namespace korva::detail {

inline constexpr const char* kKeyClassThreshold = "class_threshold";
inline constexpr const char* kKeyClassEnabled = "class_enabled";

class ClassRules {
public:
    // True when no class has a threshold of its own or is switched off.
    bool Empty() const { return thresholds_.empty() && disabled_.empty(); }

    // The threshold the model's output must be decoded with so that every
    // class gets the detections it keeps: the lowest threshold of the
    // classes in `classNames` switched on (`global` for those without one).
    float DecodeThreshold(float global, const std::vector<std::string>& classNames) const;
    // The threshold of class `name`: its own, else `global`.
    float ThresholdOf(const std::string& name, float global) const;

    // Drops the detections of classes switched off and those scoring below
    // their class's threshold (`global` for classes without one).
    void Apply(float global, std::vector<CustomObject>& detections) const;

    // Entry by entry: false with a reason when `values` do not fit, the
    // class is not among `classNames` (unchecked when that is empty: no model
    // is loaded) or already has an entry of the same key.
    bool AddThreshold(const std::string& name, const std::vector<double>& values,
                      const std::vector<std::string>& classNames, std::string& reason);
    bool AddEnabled(const std::string& name, const std::vector<double>& values,
                    const std::vector<std::string>& classNames, std::string& reason);
    void ClearThresholds() { thresholds_.clear(); }
    void ClearEnabled() {
        enabled_.clear();
        disabled_.clear();
    }

    // The entries that reproduce these rules: (class, value).
    const std::vector<std::pair<std::string, float>>& Thresholds() const { return thresholds_; }
    const std::vector<std::pair<std::string, bool>>& Enabled() const { return enabled_; }

private:
    std::vector<std::pair<std::string, float>> thresholds_;  // each class at most once
    std::vector<std::pair<std::string, bool>> enabled_;      // as given
    std::vector<std::string> disabled_;                      // the classes switched off
};

}  // namespace korva::detail
