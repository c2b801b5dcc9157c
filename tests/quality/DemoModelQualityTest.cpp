// Quality of the shipped demo model on its rendered videos.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VideoEvaluation.h"
#include "korva/KorvaCustomWD.h"

namespace {

constexpr float kThreshold = 0.6f;

struct VideoCase {
    const char* name;
    std::string video;
    double minPrecision;
    double minRecall;
};

class DemoModelQualityTest : public testing::TestWithParam<VideoCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(detector.Initialize(KORVA_DEMO_MODEL_DIR, kThreshold, labelMap))
            << detector.LastError();
    }

    KorvaCustomWD detector;
    std::string labelMap;
};

TEST_P(DemoModelQualityTest, MeetsPrecisionAndRecall) {
    const VideoCase& c = GetParam();
    const std::string truthPath = c.video.substr(0, c.video.rfind(".mp4")) + ".gt.csv";
    korva::eval::GroundTruth truth;
    std::string error;
    ASSERT_TRUE(korva::eval::LoadGroundTruth(truthPath, truth, error)) << error;

    korva::eval::Evaluation evaluation;
    ASSERT_TRUE(korva::eval::EvaluateVideo(detector, c.video, truth, 3, evaluation, error)) << error;
    const std::string table =
        korva::eval::FormatEvaluation(evaluation, {"handgun", "rifle", "knife"});
    const korva::eval::ClassTally total = evaluation.Total();

    EXPECT_GE(total.Precision(), c.minPrecision) << table;
    EXPECT_GE(total.Recall(), c.minRecall) << table;
    EXPECT_GT(evaluation.weaponFreeFrames, 0) << "the video should contain weapon-free stretches";
    EXPECT_EQ(evaluation.detectionsOnWeaponFree, 0) << table;
    for (std::size_t cls = 0; cls < evaluation.perClass.size(); ++cls) {
        EXPECT_GT(evaluation.perClass[cls].truePositives + evaluation.perClass[cls].falseNegatives, 0)
            << "class " << cls << " never appears in " << c.video;
    }
    RecordProperty("precision", std::to_string(total.Precision()));
    RecordProperty("recall", std::to_string(total.Recall()));
}

INSTANTIATE_TEST_SUITE_P(
    Videos, DemoModelQualityTest,
    // The committed demo model measures P 0.969 R 0.952 on the demo video and P 0.930
    // R 0.921 on the held-out one at 0.6; a fault in the pipeline (channel order,
    // letterbox mapping, decoding, thresholds) drops it below these floors.
    testing::Values(VideoCase{"DemoVideo", KORVA_DEMO_VIDEO, 0.95, 0.95},
                    VideoCase{"HeldOutVideo", KORVA_HELDOUT_VIDEO, 0.90, 0.90}),
    [](const testing::TestParamInfo<VideoCase>& info) { return std::string(info.param.name); });

class DemoModelUniformFrameTest : public testing::TestWithParam<int> {};

TEST_P(DemoModelUniformFrameTest, ReportsNothingOnUniformFullHdFrame) {
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(KORVA_DEMO_MODEL_DIR, kThreshold, labelMap)) << detector.LastError();
    const int gray = GetParam();
    const cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(gray, gray, gray));
    const std::vector<CustomObject> detections = detector.RunInference(frame);
    EXPECT_TRUE(detections.empty()) << detections.size() << " detections on gray " << gray
                                    << ", first class " << detections.front().classId
                                    << " confidence " << detections.front().confidence;
}

INSTANTIATE_TEST_SUITE_P(GrayLevels, DemoModelUniformFrameTest, testing::Range(0, 256, 15),
                         [](const testing::TestParamInfo<int>& info) {
                             return "Gray" + std::to_string(info.param);
                         });

TEST(ScoreFrameTest, CountsMatchesByClassAndOverlap) {
    korva::eval::Evaluation e;
    std::vector<CustomObject> detections(4);
    detections[0].classId = 0, detections[0].confidence = 0.9f, detections[0].box = {0, 0, 100, 100};
    detections[1].classId = 0, detections[1].confidence = 0.8f, detections[1].box = {5, 5, 100, 100};
    detections[2].classId = 1, detections[2].confidence = 0.7f, detections[2].box = {300, 300, 50, 50};
    detections[3].classId = 2, detections[3].confidence = 0.7f, detections[3].box = {0, 0, 100, 100};
    const std::vector<korva::eval::GroundTruthBox> truth = {
        {0, {2, 2, 100, 100}}, {1, {300, 300, 100, 100}}, {2, {600, 0, 40, 40}}};
    korva::eval::ScoreFrame(detections, truth, 0.5, e);
    ASSERT_EQ(e.perClass.size(), 3u);
    EXPECT_EQ(e.perClass[0].truePositives, 1);   // best-scoring match wins
    EXPECT_EQ(e.perClass[0].falsePositives, 1);  // the duplicate counts against precision
    EXPECT_EQ(e.perClass[1].truePositives, 0);   // IoU 0.25 is below 0.5
    EXPECT_EQ(e.perClass[1].falsePositives, 1);
    EXPECT_EQ(e.perClass[1].falseNegatives, 1);
    EXPECT_EQ(e.perClass[2].falsePositives, 1);  // right place for class 0, wrong class
    EXPECT_EQ(e.perClass[2].falseNegatives, 1);
    EXPECT_EQ(e.weaponFreeFrames, 0);
}

// Objects across frames: ground-truth boxes linked into objects, each object
// detected or not, and false positives linked into false alarms.
TEST(ScoreFrameTest, FollowsObjectsAndFalseAlarmsAcrossFrames) {
    using korva::eval::GroundTruthBox;
    korva::eval::GroundTruth truth;
    truth[0] = {{0, {0, 0, 100, 100}}, {1, {400, 0, 100, 100}}};
    truth[1] = {{0, {10, 0, 100, 100}}, {1, {410, 0, 100, 100}}};
    truth[2] = {{0, {20, 0, 100, 100}}, {2, {400, 0, 100, 100}}};  // other class: a new object
    truth[4] = {{0, {20, 0, 100, 100}}};                            // after a gap: a new object
    EXPECT_EQ(korva::eval::LinkObjects(truth), 4);
    EXPECT_EQ(truth[2][0].objectId, truth[0][0].objectId);
    EXPECT_EQ(truth[1][1].objectId, truth[0][1].objectId);
    EXPECT_NE(truth[2][1].objectId, truth[0][1].objectId);
    EXPECT_NE(truth[4][0].objectId, truth[2][0].objectId);

    const auto det = [](int classId, cv::Rect box) {
        CustomObject o;
        o.classId = classId;
        o.confidence = 0.9f;
        o.box = box;
        return o;
    };
    const std::vector<std::vector<CustomObject>> frames = {
        {det(0, {900, 900, 50, 50})},                            // a false alarm
        {det(0, {0, 0, 100, 100}), det(0, {905, 900, 50, 50})},  // object 0 found; same alarm
        {det(0, {20, 0, 100, 100}), det(1, {905, 900, 50, 50})},  // another class: new alarm
        {},
        {det(0, {600, 600, 50, 50})}};                           // object 3 missed; new alarm
    korva::eval::Evaluation e;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const auto it = truth.find(static_cast<int>(f));
        korva::eval::ScoreFrame(frames[f], it == truth.end() ? std::vector<GroundTruthBox>{} : it->second,
                                0.5, e);
    }
    EXPECT_EQ(e.falseAlarms, 3);
    ASSERT_EQ(e.objects.size(), 4u);
    EXPECT_EQ(e.objects.at(truth[0][0].objectId), std::make_pair(0, 1));  // seen at 0, found at 1
    EXPECT_EQ(e.objects.at(truth[0][1].objectId).second, -1);
    EXPECT_EQ(e.objects.at(truth[4][0].objectId), std::make_pair(4, -1));
}

}  // namespace
