// Which engine runs a model, and both engines agreeing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"

namespace {

using korva::test::Describe;
using korva::test::ModelDir;
using korva::test::RandomFrame;

// ---- Engine choice ------------------------------------------------------------

// kDefault: as the environment steers; kAuto: ONNX Runtime where available,
// else OpenCV; kOnnxRuntimeOnly: ONNX Runtime where available, else refused.
enum class Runs { kDefault, kAuto, kOnnxRuntimeOnly, kOpenCv, kRefused };

struct EngineCase {
    std::string name;
    std::vector<std::string> texts;  // record texts handed over before Initialize
    std::vector<double> threads;     // the intra_op_threads entry; empty: none
    Runs runs;
    std::string word;  // in the engine report, or in the reason of a refusal
};

class EngineChoiceTest : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineChoiceTest, RecordSteersAndReportsTheEngine) {
    const EngineCase& c = GetParam();
    KorvaCustomWD detector;
    CustomParams request;
    request.texts = c.texts;
    if (!c.threads.empty()) request.valueListEntries.push_back({"intra_op_threads", c.threads, "", "", 0});
    ASSERT_TRUE(detector.SetParameters(request));
    std::string labelMap = "untouched";
    const bool ortAvailable = korva::test::OnnxRuntimeAvailable();
    bool ort = c.runs == Runs::kDefault ? korva::test::OnnxRuntimeExpected() : ortAvailable;
    if (c.runs == Runs::kOpenCv) ort = false;
    const bool loads = c.runs != Runs::kRefused && !(c.runs == Runs::kOnnxRuntimeOnly && !ortAvailable);
    ASSERT_EQ(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap), loads) << detector.LastError();
    if (!loads) {
        EXPECT_EQ(labelMap, "untouched");
        EXPECT_NE(detector.LastError().find(c.word), std::string::npos) << detector.LastError();
        EXPECT_EQ(detector.LastError().find('\n'), std::string::npos);
        return;
    }
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    ASSERT_EQ(p.flagEntries.size(), 2u);
    const FlagEntry& engine = p.flagEntries[1];
    EXPECT_EQ(engine.flagA, ort) << engine.textB;
    EXPECT_EQ(p.flagEntries[0].textB, ort ? "onnxruntime-cpu" : "opencv-cpu");
    EXPECT_EQ(engine.textB.rfind(ort ? "onnxruntime 1." : "opencv: ", 0), 0u) << engine.textB;
    if (!ort) {
        EXPECT_NE(engine.textB.find(c.word), std::string::npos) << engine.textB;
        EXPECT_EQ(engine.valueA, 0);
    } else if (!c.threads.empty()) {
        EXPECT_EQ(engine.valueA, static_cast<int>(c.threads[0]));
    } else {
        EXPECT_GE(engine.valueA, 1);
    }
    // Either engine finds the three boxes of the constant model.
    EXPECT_EQ(detector.RunInference(RandomFrame({96, 64}, CV_8UC3, 3)).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, EngineChoiceTest,
    testing::Values(
        EngineCase{"Default", {}, {}, Runs::kDefault, "opencv"},
        EngineCase{"AskAuto", {"engine=auto"}, {}, Runs::kAuto, "onnxruntime not found"},
        EngineCase{"AskOnnxRuntime", {"engine=onnxruntime"}, {}, Runs::kOnnxRuntimeOnly,
                   "onnxruntime not found"},
        EngineCase{"AskOpenCv", {"engine=opencv"}, {}, Runs::kOpenCv, "requested"},
        EngineCase{"TwoRequests", {"engine=opencv", "engine=auto"}, {}, Runs::kRefused, "given more than once"},
        EngineCase{"TwoThreads", {}, {2.0}, Runs::kDefault, "opencv"},
        EngineCase{"UnknownEngine", {"engine=tensorrt"}, {}, Runs::kRefused, "auto, onnxruntime or opencv"},
        EngineCase{"EmptyEngine", {"engine="}, {}, Runs::kRefused, "auto, onnxruntime or opencv"},
        EngineCase{"ThreadsNegative", {}, {-1.0}, Runs::kRefused, "intra_op_threads"},
        EngineCase{"ThreadsFraction", {}, {1.5}, Runs::kRefused, "intra_op_threads"},
        EngineCase{"ThreadsTooMany", {}, {65.0}, Runs::kRefused, "intra_op_threads"},
        EngineCase{"ThreadsNaN", {}, {std::nan("")}, Runs::kRefused, "intra_op_threads"},
        EngineCase{"ThreadsTwoValues", {}, {1.0, 2.0}, Runs::kRefused, "intra_op_threads"}),
    [](const testing::TestParamInfo<EngineCase>& info) { return info.param.name; });

// A refused request leaves the loaded model serving, as any failed Initialize.
TEST(EngineChoice, RefusedRequestKeepsTheModel) {
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("everywhere_v8_nc3"), 0.5f, labelMap));
    const cv::Mat frame = RandomFrame({64, 64}, CV_8UC3, 5);
    ASSERT_EQ(detector.RunInference(frame).size(), 1u);
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    for (std::string& t : p.texts) {
        if (t.rfind("engine=", 0) == 0) t = "engine=gpu";
    }
    ASSERT_TRUE(detector.SetParameters(p));
    EXPECT_FALSE(detector.Initialize(ModelDir("v8_nc3"), 0.5f, labelMap));
    EXPECT_NE(detector.LastError().find("'engine'"), std::string::npos) << detector.LastError();
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

// Both engines find the same boxes on every committed model.
class EngineAgreementTest : public testing::TestWithParam<std::string> {};

TEST_P(EngineAgreementTest, SameDetectionsOnBothEngines) {
    if (!korva::test::OnnxRuntimeAvailable()) GTEST_SKIP() << "ONNX Runtime is not available";
    std::vector<std::vector<CustomObject>> results[2];
    const char* const engines[] = {"engine=opencv", "engine=onnxruntime"};
    for (int e = 0; e < 2; ++e) {
        KorvaCustomWD detector;
        CustomParams request;
        request.texts = {engines[e]};
        ASSERT_TRUE(detector.SetParameters(request));
        std::string labelMap;
        ASSERT_TRUE(detector.Initialize(ModelDir(GetParam()), 0.3f, labelMap)) << detector.LastError();
        for (unsigned seed = 1; seed <= 4; ++seed) {
            results[e].push_back(detector.RunInference(RandomFrame({160, 120}, CV_8UC3, seed)));
        }
        results[e].push_back(detector.RunInference(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(128))));
    }
    std::size_t total = 0;
    for (std::size_t f = 0; f < results[0].size(); ++f) {
        const auto& a = results[0][f];
        const auto& b = results[1][f];
        ASSERT_EQ(a.size(), b.size()) << "frame " << f << ": " << Describe(a) << " vs " << Describe(b);
        total += a.size();
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].classId, b[i].classId);
            EXPECT_NEAR(a[i].confidence, b[i].confidence, 1e-4f);
            EXPECT_LE(std::abs(a[i].box.x - b[i].box.x), 1);
            EXPECT_LE(std::abs(a[i].box.y - b[i].box.y), 1);
            EXPECT_LE(std::abs(a[i].box.width - b[i].box.width), 1);
            EXPECT_LE(std::abs(a[i].box.height - b[i].box.height), 1);
        }
    }
    EXPECT_GT(total, 0u) << "the frames exercise nothing";
}

INSTANTIATE_TEST_SUITE_P(CommittedModels, EngineAgreementTest,
                         testing::Values("v8_nc1", "v8_nc3", "v8_nc80", "v8t_nc3", "v5_nc3", "v5_nc80",
                                         "const_v8_nc3", "const_v5_nc3", "everywhere_v8_nc3",
                                         "grid_v8_nc3", "e2e_nc1"));

}  // namespace
