// Small helpers shared by the robustness tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "korva/CustomObject.h"

namespace korva::robustness {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

inline std::filesystem::path ModelDir(const std::string& name) {
    return std::filesystem::path(KORVA_TEST_MODELS_DIR) / name;
}

// A uniquely named directory removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A deterministic noise frame of the given size and type.
cv::Mat NoiseFrame(int rows, int cols, int type, unsigned seed);

// Checks the documented properties of every detection: class in range with
// its name, confidence in [threshold, 1], a non-empty box inside the frame, the camera
// id copied.
void ExpectValidDetections(const std::vector<CustomObject>& result, cv::Size frame,
                           const std::vector<std::string>& classNames, float threshold,
                           const std::string& cameraId);

// The fields a detection is compared by.
bool SameDetections(const std::vector<CustomObject>& a, const std::vector<CustomObject>& b);

std::vector<std::string> SplitLabelMapText(const std::string& labelMap);

}  // namespace korva::robustness
