// Shared helpers of the detector tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/KorvaCustomWD.h"

namespace korva::test {

inline std::string ModelDir(const std::string& name) {
    return std::string(KORVA_TEST_MODELS_DIR) + "/" + name;
}

inline std::uint32_t Bits(float f) {
    std::uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Equal detection lists: same order, class, confidence bit for bit, box,
// class name and camera id.
inline bool SameDetections(const std::vector<CustomObject>& a, const std::vector<CustomObject>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].classId != b[i].classId || Bits(a[i].confidence) != Bits(b[i].confidence) ||
            a[i].box != b[i].box || a[i].textA != b[i].textA || a[i].textB != b[i].textB) {
            return false;
        }
    }
    return true;
}

inline std::string Describe(const std::vector<CustomObject>& d) {
    std::string s;
    for (const CustomObject& o : d) {
        s += "{" + std::to_string(o.classId) + " " + std::to_string(o.confidence) + " [" +
             std::to_string(o.box.x) + "," + std::to_string(o.box.y) + " " +
             std::to_string(o.box.width) + "x" + std::to_string(o.box.height) + "]} ";
    }
    return s.empty() ? "(none)" : s;
}

// Uniform noise, reproducible from `seed`.
inline cv::Mat RandomFrame(cv::Size size, int type, unsigned seed) {
    cv::Mat frame(size, type);
    cv::RNG rng(seed);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}

}  // namespace korva::test
