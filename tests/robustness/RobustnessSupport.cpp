#include "RobustnessSupport.h"

#include <atomic>
#include <chrono>
#include <system_error>

#include <unistd.h>

namespace korva::robustness {
namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("korva_robustness_" + std::to_string(::getpid()) + "_" + std::to_string(stamp) + "_" +
             std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ec);
}

cv::Mat NoiseFrame(int rows, int cols, int type, unsigned seed) {
    cv::Mat frame(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(frame, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    return frame;
}

void ExpectValidDetections(const std::vector<CustomObject>& result, cv::Size frame,
                           const std::vector<std::string>& classNames, float threshold,
                           const std::string& cameraId) {
    const cv::Rect bounds(0, 0, frame.width, frame.height);
    for (const CustomObject& obj : result) {
        ASSERT_GE(obj.classId, 0);
        ASSERT_LT(obj.classId, static_cast<int>(classNames.size()));
        EXPECT_EQ(obj.textA, classNames[static_cast<std::size_t>(obj.classId)]);
        EXPECT_GE(obj.confidence, threshold);
        EXPECT_LE(obj.confidence, 1.0f);
        EXPECT_GT(obj.box.width, 0);
        EXPECT_GT(obj.box.height, 0);
        EXPECT_EQ(obj.box & bounds, obj.box) << "box " << obj.box << " leaves frame " << frame;
        EXPECT_EQ(obj.textB, cameraId);
    }
}

bool SameDetections(const std::vector<CustomObject>& a, const std::vector<CustomObject>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].classId != b[i].classId || a[i].textA != b[i].textA ||
            a[i].confidence != b[i].confidence || a[i].box != b[i].box || a[i].textB != b[i].textB) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitLabelMapText(const std::string& labelMap) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = labelMap.find(',', start);
        names.push_back(labelMap.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return names;
}

}  // namespace korva::robustness
