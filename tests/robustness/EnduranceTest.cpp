// Repeated loading and releasing must not leak.
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "RobustnessSupport.h"
#include "korva/KorvaCustomWD.h"

namespace korva::robustness {
namespace {

constexpr int kWarmUpCycles = 50;
constexpr int kCycles = 1000;
constexpr double kMaxGrowthBytes = 5.0 * 1024 * 1024;

// Resident set size in bytes, or a negative value where it cannot be read.
double ResidentBytes() {
#ifdef __linux__
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0, residentPages = 0;
    if (statm >> sizePages >> residentPages) {
        return static_cast<double>(residentPages) * static_cast<double>(::sysconf(_SC_PAGESIZE));
    }
#endif
    return -1.0;
}

void Cycle(KorvaCustomWD& detector, const std::string& folder, const cv::Mat& frame, int count) {
    for (int i = 0; i < count; ++i) {
        std::string labelMap;
        ASSERT_TRUE(detector.Initialize(folder, 0.3f, labelMap)) << "cycle " << i << ": "
                                                                 << detector.LastError();
        // One inference per cycle, so the per-call buffers are built and released too.
        (void)detector.RunInference(frame, "cam");
        ASSERT_TRUE(detector.Destroy());
    }
}

TEST(EnduranceTest, ThousandInitializeDestroyCyclesKeepResidentMemoryFlat) {
    if (kSanitized) GTEST_SKIP() << "resident memory means nothing under a sanitizer";
    if (ResidentBytes() < 0) GTEST_SKIP() << "no /proc/self/statm on this system";

    const std::string folder = ModelDir("v8_nc3").string();
    const cv::Mat frame = NoiseFrame(480, 640, CV_8UC3, 7u);
    KorvaCustomWD detector;
    Cycle(detector, folder, frame, kWarmUpCycles);
    ASSERT_FALSE(HasFatalFailure());

    const double before = ResidentBytes();
    Cycle(detector, folder, frame, kCycles);
    ASSERT_FALSE(HasFatalFailure());
    const double growth = ResidentBytes() - before;
    std::printf("[ endurance] %d cycles after %d warm-up cycles: resident memory %+.2f MB "
                "(from %.1f MB)\n",
                kCycles, kWarmUpCycles, growth / (1024.0 * 1024.0), before / (1024.0 * 1024.0));
    EXPECT_LE(growth, kMaxGrowthBytes);
}

}  // namespace
}  // namespace korva::robustness
