// Per-class confidence thresholds and classes switched off.
//
// A class with a threshold of its own keeps its detections scoring at least
// that threshold, whether it is above or below the detector's confidence
// threshold; the other classes keep the detector's. A class switched off
// reports nothing. Classes are named as in the label file.
//
// Record entries (valueListEntries, textB = class name, textC free text):
//   "class_threshold"  wideValues = {threshold in [0, 1]}
//   "class_enabled"    wideValues = {0 or 1}
#pragma once

#include <string>
#include <vector>

#include "detail/RuleRefusal.h"
#include "korva/CustomObject.h"
#include "korva/CustomParams.h"

namespace korva::detail {

inline constexpr const char* kKeyClassThreshold = "class_threshold";
inline constexpr const char* kKeyClassEnabled = "class_enabled";

class ClassRules {
public:
    // True when no class has a threshold of its own or is switched off.
    bool Empty() const { return thresholds_.empty() && disabled_.empty(); }

    // The threshold the model's output must be decoded with so that every
    // class gets the detections it keeps: the lowest threshold of the
    // classes switched on (`global` for those without one of their own).
    float DecodeThreshold(float global, std::size_t numClasses) const;
    // The threshold of `classId`: its own, else `global`.
    float ThresholdOf(int classId, float global) const;

    // Drops the detections of classes switched off and those scoring below
    // their class's threshold (`global` for classes without one).
    void Apply(float global, std::vector<CustomObject>& detections) const;

    // Reads the entries above for the classes in `classNames`; one refusal
    // per entry that names no class, repeats a class or holds a bad value.
    static ClassRules Read(const CustomParams& params, const std::vector<std::string>& classNames,
                           std::vector<RuleRefusal>& refusals);
    // Appends the entries that reproduce these rules to `params`.
    void Write(const std::vector<std::string>& classNames, CustomParams& params) const;

private:
    // Sorted by class id; each class at most once.
    std::vector<std::pair<int, float>> thresholds_;
    std::vector<int> disabled_;
};

}  // namespace korva::detail
