// Frames of every kind, and each frame accounted for once.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"

namespace {

using korva::test::Describe;
using korva::test::FindValue;
using korva::test::ModelDir;
using korva::test::RandomFrame;

// ---- Frames of every kind --------------------------------------------------------

struct FrameCase {
    std::string name;
    std::function<cv::Mat()> make;
    bool supported;
};

class FrameKindTest : public testing::TestWithParam<FrameCase> {};

// The "everywhere" model reports one box on every frame it can read.
TEST_P(FrameKindTest, OneDetectionOrNone) {
    const FrameCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(ModelDir("everywhere_v8_nc3"), 0.5f, labels));
    const cv::Mat frame = c.make();
    const auto dets = detector.RunInference(frame, "cam");
    if (!c.supported) {
        EXPECT_TRUE(dets.empty()) << Describe(dets);
        return;
    }
    ASSERT_EQ(dets.size(), 1u) << Describe(dets);
    EXPECT_EQ(dets[0].classId, 0);
    EXPECT_EQ(dets[0].confidence, 0.99f);
    const cv::Rect inside(0, 0, frame.cols, frame.rows);
    EXPECT_EQ(dets[0].box & inside, dets[0].box);
    // E spans 8..56 of the 64-pixel input: the middle three quarters of the
    // frame's longer side.
    const int longer = std::max(frame.cols, frame.rows);
    const int span = frame.cols >= frame.rows ? dets[0].box.width : dets[0].box.height;
    EXPECT_NEAR(span, 0.75 * longer, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameKindTest,
    testing::Values(
        FrameCase{"Empty", [] { return cv::Mat(); }, false},
        FrameCase{"Bgr1x1", [] { return RandomFrame({1, 1}, CV_8UC3, 1); }, true},
        FrameCase{"Bgr5x5", [] { return RandomFrame({5, 5}, CV_8UC3, 1); }, true},
        FrameCase{"Bgr640x480", [] { return RandomFrame({640, 480}, CV_8UC3, 1); }, true},
        FrameCase{"Gray", [] { return RandomFrame({320, 240}, CV_8UC1, 1); }, true},
        FrameCase{"Bgra", [] { return RandomFrame({320, 240}, CV_8UC4, 1); }, true},
        FrameCase{"RoiView",
                  [] {
                      static const cv::Mat big = RandomFrame({800, 600}, CV_8UC3, 2);
                      return big(cv::Rect(100, 50, 333, 222));
                  },
                  true},
        FrameCase{"Uhd8k", [] { return cv::Mat(4320, 7680, CV_8UC3, cv::Scalar(1, 2, 3)); }, true},
        FrameCase{"Line16384x1", [] { return cv::Mat(1, 16384, CV_8UC3, cv::Scalar::all(9)); }, true},
        FrameCase{"TooWide", [] { return cv::Mat(1, 16385, CV_8UC3, cv::Scalar::all(9)); }, false},
        FrameCase{"TooTall", [] { return cv::Mat(16385, 1, CV_8UC1, cv::Scalar::all(9)); }, false},
        FrameCase{"Depth16U", [] { return cv::Mat(64, 64, CV_16UC3, cv::Scalar::all(900)); }, false},
        FrameCase{"Depth32F", [] { return cv::Mat(64, 64, CV_32FC3, cv::Scalar::all(0.5)); }, false},
        FrameCase{"Depth8S", [] { return cv::Mat(64, 64, CV_8SC3, cv::Scalar::all(5)); }, false},
        FrameCase{"TwoChannels", [] { return cv::Mat(64, 64, CV_8UC2, cv::Scalar::all(5)); }, false},
        FrameCase{"ThreeDims",
                  [] {
                      const int dims[] = {4, 64, 64};
                      return cv::Mat(3, dims, CV_8UC3, cv::Scalar::all(5));
                  },
                  false}),
    [](const testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

// ---- Frames accounted for ------------------------------------------------------

struct AccountCase {
    std::string name;
    bool loaded;
    std::function<cv::Mat()> make;
    // Expected increments of inspected, refused (no model), refused (unsupported).
    int inspected, noModel, unsupported;
    std::string reason;  // in LastError(); empty: none
};

class FrameAccountingTest : public testing::TestWithParam<AccountCase> {};

TEST_P(FrameAccountingTest, EachFrameCountsOnceAndSaysWhy) {
    const AccountCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labelMap;
    if (c.loaded) {
        ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.5f, labelMap));
    }
    const auto before = detector.Statistics();
    const auto result = detector.RunInference(c.make(), "cam");
    if (c.inspected == 0) {
        EXPECT_TRUE(result.empty());
    }
    const auto after = detector.Statistics();
    EXPECT_EQ(after.framesInspected - before.framesInspected, std::uint64_t(c.inspected));
    EXPECT_EQ(after.framesRefusedNoModel - before.framesRefusedNoModel, std::uint64_t(c.noModel));
    EXPECT_EQ(after.framesRefusedUnsupported - before.framesRefusedUnsupported, std::uint64_t(c.unsupported));
    EXPECT_EQ(after.inferenceFailures, 0u);
    EXPECT_EQ(detector.LastInferenceError(), "");
    const std::string error = detector.LastError();
    if (c.reason.empty()) {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    // A host that knows only the base class reads the same counters.
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    const std::pair<const char*, std::uint64_t> counters[] = {
        {"frames_inspected", after.framesInspected},
        {"frames_refused_no_model", after.framesRefusedNoModel},
        {"frames_refused_unsupported", after.framesRefusedUnsupported},
        {"inference_failures", after.inferenceFailures}};
    for (const auto& [key, value] : counters) {
        ASSERT_NE(FindValue(p, key), nullptr) << key;
        EXPECT_EQ(FindValue(p, key)->wideValues, (std::vector<double>{double(value)})) << key;
        EXPECT_EQ(FindValue(p, key)->textB, "status") << key;
    }
    // The same frame counted for its camera, through the API and the record.
    const std::vector<double> camera = {double(after.framesInspected), double(after.framesRefusedNoModel),
                                        double(after.framesRefusedUnsupported), 0.0};
    const auto cameras = detector.CameraStatisticsSnapshot();
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].cameraId, "cam");
    EXPECT_EQ(cameras[0].cameraIdLength, 3u);
    EXPECT_EQ(cameras[0].counts.framesInspected, after.framesInspected);
    EXPECT_EQ(cameras[0].counts.framesRefusedNoModel, after.framesRefusedNoModel);
    EXPECT_EQ(cameras[0].counts.framesRefusedUnsupported, after.framesRefusedUnsupported);
    EXPECT_EQ(cameras[0].counts.inferenceFailures, 0u);
    ASSERT_NE(FindValue(p, "camera_frames"), nullptr);
    EXPECT_EQ(FindValue(p, "camera_frames")->textB, "cam");
    EXPECT_EQ(FindValue(p, "camera_frames")->wideValues, camera);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameAccountingTest,
    testing::Values(
        AccountCase{"NoModel", false, [] { return cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)); }, 0, 1, 0,
                    "no model"},
        AccountCase{"EmptyNoModel", false, [] { return cv::Mat(); }, 0, 0, 1, "not inspected"},
        AccountCase{"Empty", true, [] { return cv::Mat(); }, 0, 0, 1, "not inspected"},
        AccountCase{"Depth16U", true, [] { return cv::Mat(64, 64, CV_16UC3, cv::Scalar::all(900)); }, 0, 0, 1,
                    "not inspected"},
        AccountCase{"TooWide", true, [] { return cv::Mat(1, 16385, CV_8UC3, cv::Scalar::all(9)); }, 0, 0, 1,
                    "not inspected"},
        AccountCase{"SolidGray", true, [] { return cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)); }, 1, 0,
                    0, ""}),
    [](const testing::TestParamInfo<AccountCase>& info) { return info.param.name; });

// ---- Frames accounted for per camera ---------------------------------------------

const KorvaCustomWD::CameraStatistics* FindCamera(const std::vector<KorvaCustomWD::CameraStatistics>& all,
                                                  const std::string& id) {
    for (const auto& c : all) {
        if (c.cameraId == id) return &c;
    }
    return nullptr;
}

TEST(CameraAccounting, CamerasAreCountedApartAndTheLeastRecentlySeenGoesFirst) {
    KorvaCustomWD detector;
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar::all(7));
    // 1024 cameras fill the table; a frame of cam0 makes cam1 the one seen longest ago.
    for (int i = 0; i < 1024; ++i) detector.RunInference(frame, "cam" + std::to_string(i));
    detector.RunInference(frame, "cam0");
    detector.RunInference(cv::Mat(), "cam2");
    detector.RunInference(frame, "cam1024");
    const auto cameras = detector.CameraStatisticsSnapshot();
    ASSERT_EQ(cameras.size(), 1024u);
    EXPECT_EQ(cameras.front().cameraId, "cam1024");  // most recently seen first
    EXPECT_EQ(FindCamera(cameras, "cam1"), nullptr);
    ASSERT_NE(FindCamera(cameras, "cam0"), nullptr);
    EXPECT_EQ(FindCamera(cameras, "cam0")->counts.framesRefusedNoModel, 2u);
    ASSERT_NE(FindCamera(cameras, "cam2"), nullptr);
    EXPECT_EQ(FindCamera(cameras, "cam2")->counts.framesRefusedNoModel, 1u);
    EXPECT_EQ(FindCamera(cameras, "cam2")->counts.framesRefusedUnsupported, 1u);
    // The totals keep every frame.
    EXPECT_EQ(detector.Statistics().framesRefusedNoModel, 1026u);

    // Ids alike in their first 128 bytes stay two cameras.
    const std::string longA = std::string(128, 'x') + std::string(200, 'a');
    const std::string longB = std::string(128, 'x') + std::string(200, 'b');
    detector.RunInference(frame, longA);
    detector.RunInference(frame, longA);
    detector.RunInference(frame, longB);
    const auto after = detector.CameraStatisticsSnapshot();
    ASSERT_EQ(after.size(), 1024u);
    EXPECT_EQ(after[0].cameraId, std::string(128, 'x'));
    EXPECT_EQ(after[0].cameraIdLength, 328u);
    EXPECT_EQ(after[0].counts.framesRefusedNoModel, 1u);
    EXPECT_EQ(after[1].cameraId, std::string(128, 'x'));
    EXPECT_EQ(after[1].counts.framesRefusedNoModel, 2u);
    // The record marks such an id as cut.
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    ASSERT_NE(FindValue(p, "camera_frames"), nullptr);
    EXPECT_EQ(FindValue(p, "camera_frames")->textB, std::string(128, 'x') + "...");
}

}  // namespace
