#include "detail/AlarmRules.h"

namespace korva::detail {

AlarmRules AlarmRules::Read(const CustomParams& params, const std::vector<std::string>& classNames,
                            std::vector<RuleRefusal>& refusals) {
    AlarmRules rules;
    rules.classes = ClassRules::Read(params, classNames, refusals);
    rules.zones = ZoneRules::Read(params, refusals);
    rules.confirmation = ConfirmationSettings::Read(params, refusals);
    return rules;
}

void AlarmRules::Write(const std::vector<std::string>& classNames, CustomParams& params) const {
    classes.Write(classNames, params);
    zones.Write(params);
    confirmation.Write(params);
}

std::vector<CustomObject> AlarmRules::Apply(float global, ConfirmationTracker& tracker,
                                            const std::string& cameraId, cv::Size frameSize,
                                            std::vector<CustomObject> detections,
                                            ConfirmationTracker::Clock::time_point now) const {
    classes.Apply(global, detections);
    zones.Apply(cameraId, frameSize, detections);
    return tracker.Apply(confirmation, cameraId, frameSize, std::move(detections), now);
}

}  // namespace korva::detail
