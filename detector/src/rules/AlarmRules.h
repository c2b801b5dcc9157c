// The alarm rules applied to a frame's detections after the model: class
// thresholds and classes switched off, then zones, then confirmation across
// frames (ClassRules.h, Zones.h, ConfirmationTracker.h). Zones come before
// confirmation so that objects outside a camera's zones take no place among
// the objects it follows.
//
// Every rule is off until the parameter record configures it (the record's
// keys are rows of the settings table, DetectorSettings.cpp); without any
// rule the detections pass through untouched.
#pragma once

#include <string>
#include <vector>

#include "rules/ClassRules.h"
#include "rules/ConfirmationTracker.h"
#include "rules/Zones.h"

namespace korva::detail {

struct AlarmRules {
    ClassRules classes;
    ZoneRules zones;
    ConfirmationSettings confirmation;

    bool Empty() const { return classes.Empty() && zones.Empty() && confirmation.Empty(); }

    // The detections of one frame of `cameraId` that the rules let through,
    // in their order. `global` is the detector's confidence threshold.
    std::vector<CustomObject> Apply(float global, ConfirmationTracker& tracker,
                                    const std::string& cameraId, cv::Size frameSize,
                                    std::vector<CustomObject> detections,
                                    ConfirmationTracker::Clock::time_point now) const;
};

}  // namespace korva::detail
