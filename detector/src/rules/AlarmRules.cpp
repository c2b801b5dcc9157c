#include "rules/AlarmRules.h"

namespace korva::detail {

std::vector<CustomObject> AlarmRules::Apply(float global, ConfirmationTracker& tracker,
                                            const std::string& cameraId, cv::Size frameSize,
                                            std::vector<CustomObject> detections,
                                            ConfirmationTracker::Clock::time_point now) const {
    classes.Apply(global, detections);
    zones.Apply(cameraId, frameSize, detections);
    return tracker.Apply(confirmation, cameraId, frameSize, std::move(detections), now);
}

}  // namespace korva::detail
