// Initialize, OptimizeModel and Destroy over a detector's life.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <type_traits>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"
#include "OnnxTestGraph.h"

namespace {

using korva::test::CopyWithLabels;
using korva::test::FindValue;
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;
using korva::test::TempDir;
using korva::test::WriteFile;

// ---- Lifecycle ----------------------------------------------------------------

TEST(DetectorLifecycle, FailedInitializeKeepsTheOldModelServing) {
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.3f, labelMap));
    const cv::Mat frame = RandomFrame({200, 150}, CV_8UC3, 21);
    const auto before = detector.RunInference(frame);
    ASSERT_FALSE(before.empty());
    CustomParams paramsBefore;
    detector.ConfigureParameters(paramsBefore);

    TempDir tmp;
    const std::string mismatch = CopyWithLabels(tmp.path(), "v8_nc3", "a\nb\n");
    for (const std::string& bad : {mismatch, ModelDir("dynamic_input"), ModelDir("absent")}) {
        std::string map = "kept";
        EXPECT_FALSE(detector.Initialize(bad, 0.3f, map)) << bad;
        EXPECT_EQ(map, "kept");
        EXPECT_FALSE(detector.LastError().empty());
        EXPECT_TRUE(SameDetections(detector.RunInference(frame), before)) << bad;
        CustomParams p;
        detector.ConfigureParameters(p);
        ASSERT_EQ(p.texts, paramsBefore.texts);
    }
    EXPECT_FALSE(detector.Initialize(ModelDir("v8_nc3"), 2.0f, labelMap));
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), before));

    // A successful reload replaces the model and clears the error.
    ASSERT_TRUE(detector.Initialize(ModelDir("everywhere_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(detector.LastError(), "");
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

TEST(DetectorLifecycle, OptimizeModelNeedsAModelAndKeepsResults) {
    KorvaCustomWD detector;
    EXPECT_FALSE(detector.OptimizeModel(false));
    EXPECT_NE(detector.LastError().find("Initialize"), std::string::npos) << detector.LastError();
    EXPECT_FALSE(detector.OptimizeModel(true));

    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v5_nc3"), 0.3f, labelMap));
    const cv::Mat frame = RandomFrame({320, 240}, CV_8UC3, 8);
    const auto before = detector.RunInference(frame);
    ASSERT_TRUE(detector.OptimizeModel(false)) << detector.LastError();
    EXPECT_EQ(detector.LastError(), "");
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), before));

    ASSERT_TRUE(detector.OptimizeModel(true)) << detector.LastError();
    CustomParams p;
    detector.ConfigureParameters(p);
    ASSERT_EQ(p.flagEntries.size(), 2u);
    EXPECT_TRUE(p.flagEntries[0].flagA);
    EXPECT_TRUE(p.flagEntries[0].flagB);
    EXPECT_EQ(p.flagEntries[0].flagC, p.flagEntries[0].textB.find("cuda") != std::string::npos);
    if (!p.flagEntries[0].flagC) {
        EXPECT_EQ(p.flagEntries[0].textB, korva::test::ExpectedCpuBackend());
        EXPECT_TRUE(SameDetections(detector.RunInference(frame), before));
        // The record says why the CPU serves.
        const auto note = std::find_if(p.texts.begin(), p.texts.end(), [](const std::string& t) {
            return t.rfind("gpu_fallback=GPU requested, but ", 0) == 0;
        });
        EXPECT_NE(note, p.texts.end());
    }
    EXPECT_TRUE(detector.Destroy());
    EXPECT_FALSE(detector.OptimizeModel(false));
}

TEST(DetectorLifecycle, DestroyIsIdempotent) {
    KorvaCustomWD detector;
    EXPECT_TRUE(detector.Destroy());
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("everywhere_v8_nc3"), 0.5f, labelMap));
    const cv::Mat frame = RandomFrame({64, 64}, CV_8UC3, 1);
    ASSERT_EQ(detector.RunInference(frame).size(), 1u);
    EXPECT_TRUE(detector.Destroy());
    EXPECT_TRUE(detector.Destroy());
    EXPECT_TRUE(detector.RunInference(frame).empty());
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    EXPECT_FALSE(p.flagEntries.at(0).flagA);
    // Usable again after Destroy.
    ASSERT_TRUE(detector.Initialize(ModelDir("everywhere_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

// Every kind of failure leaves its code beside its reason, and any successful
// call, Destroy included, clears both.
struct FailureCase {
    const char* name;
    std::function<bool(KorvaCustomWD&)> fail;  // returns what the call returned
    KorvaErrorCode code;
};

class FailureKindTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FailureKindTest, LeavesItsCodeUntilASuccessfulCall) {
    const FailureCase& c = GetParam();
    KorvaCustomWD detector;
    EXPECT_FALSE(c.fail(detector));
    EXPECT_EQ(detector.LastErrorCode(), c.code) << KorvaErrorCodeName(detector.LastErrorCode());
    EXPECT_FALSE(detector.LastError().empty());
    ASSERT_TRUE(detector.Destroy());
    EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kNone);
    EXPECT_EQ(detector.LastError(), "");
}

bool InitializeFrom(KorvaCustomWD& d, const std::string& folder, float threshold = 0.5f) {
    std::string labelMap;
    return d.Initialize(folder, threshold, labelMap);
}

bool InferOn(KorvaCustomWD& d, const cv::Mat& frame, bool load) {
    if (load && !InitializeFrom(d, ModelDir("everywhere_v8_nc3"))) return true;
    return !d.RunInference(frame, "cam").empty();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailureKindTest,
    testing::Values(
        FailureCase{"MissingFolderIsARefusedModel",
                    [](KorvaCustomWD& d) { return InitializeFrom(d, ModelDir("absent")); },
                    KorvaErrorCode::kModelRefused},
        FailureCase{"LabelMismatchIsARefusedModel",
                    [](KorvaCustomWD& d) {
                        TempDir tmp;
                        return InitializeFrom(d, CopyWithLabels(tmp.path(), "v8_nc3", "a\nb\n"));
                    },
                    KorvaErrorCode::kModelRefused},
        FailureCase{"ThresholdOutOfRangeIsARefusedSetting",
                    [](KorvaCustomWD& d) { return InitializeFrom(d, ModelDir("v8_nc3"), 1.5f); },
                    KorvaErrorCode::kSettingRefused},
        FailureCase{"BadStoredRecordIsARefusedSetting",
                    [](KorvaCustomWD& d) {
                        CustomParams p;
                        p.valueListEntries.push_back({});
                        p.valueListEntries.back().textA = "no_such_setting";
                        d.SetParameters(p);
                        return InitializeFrom(d, ModelDir("v8_nc3"));
                    },
                    KorvaErrorCode::kSettingRefused},
        FailureCase{"OptimizeWithoutModelIsNoModel", [](KorvaCustomWD& d) { return d.OptimizeModel(false); },
                    KorvaErrorCode::kNoModel},
        FailureCase{"FrameWithoutModelIsNoModel",
                    [](KorvaCustomWD& d) { return InferOn(d, cv::Mat(8, 8, CV_8UC3), false); },
                    KorvaErrorCode::kNoModel},
        FailureCase{"EmptyFrameIsABadFrame", [](KorvaCustomWD& d) { return InferOn(d, cv::Mat(), true); },
                    KorvaErrorCode::kBadFrame},
        FailureCase{"FloatFrameIsABadFrame",
                    [](KorvaCustomWD& d) { return InferOn(d, cv::Mat(8, 8, CV_32FC3, cv::Scalar::all(0)), true); },
                    KorvaErrorCode::kBadFrame},
        FailureCase{"OversizedFrameIsTooLarge",
                    [](KorvaCustomWD& d) { return InferOn(d, cv::Mat(16385, 1, CV_8UC1, cv::Scalar(0)), true); },
                    KorvaErrorCode::kFrameTooLarge},
        FailureCase{"RefusedEditIsARefusedSetting",
                    [](KorvaCustomWD& d) {
                        CustomParams p;
                        d.ConfigureParameters(p);
                        FindValue(p, "nms_iou_threshold")->wideValues = {7.0};
                        KorvaCustomWD::ParameterReport report;
                        return d.ApplyParameters(p, report);
                    },
                    KorvaErrorCode::kSettingRefused}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// A model whose warm-up spins a Loop `iterations` times before producing a
// constant YOLOv8 output for 3 classes at 32 x 32 (21 anchors): a load that
// takes seconds on ONNX Runtime. OpenCV cannot import it.
std::vector<unsigned char> SlowLoadModel(std::int64_t iterations) {
    using korva::testing::Node;
    using korva::testing::Proto;
    const auto scalarInfo = [](const std::string& name, int elemType) {
        Proto tensor;
        tensor.Varint(1, static_cast<std::uint64_t>(elemType)).Message(2, Proto());
        return Proto().Bytes(1, name).Message(2, Proto().Message(1, tensor));
    };
    const auto rawTensor = [](const std::string& name, int elemType, std::initializer_list<int> dims,
                              const std::string& raw) {
        Proto t;
        for (int d : dims) t.Varint(1, static_cast<std::uint64_t>(d));
        t.Varint(2, static_cast<std::uint64_t>(elemType));
        t.Bytes(8, name);
        t.Bytes(9, raw);
        return t;
    };
    const float one = 1.0f;
    const std::string oneRaw(reinterpret_cast<const char*>(&one), sizeof one);
    Proto body;
    body.Message(5, rawTensor("one", 1, {1}, oneRaw));
    body.Message(1, Node("Identity", {"c_in"}, {"c_out"}));
    body.Message(1, Node("Add", {"v_in", "one"}, {"v_out"}));
    body.Bytes(2, "spin");
    body.Message(11, scalarInfo("i", 7));
    body.Message(11, scalarInfo("c_in", 9));
    body.Message(11, korva::testing::ValueInfo("v_in", {1}));
    body.Message(12, scalarInfo("c_out", 9));
    body.Message(12, korva::testing::ValueInfo("v_out", {1}));

    Proto loopBody;
    loopBody.Bytes(1, "body").Message(6, body).Varint(20, 5);  // GRAPH

    const std::string tripRaw(reinterpret_cast<const char*>(&iterations), sizeof iterations);
    const float zero = 0.0f;
    Proto graph;
    graph.Message(5, rawTensor("trip", 7, {}, tripRaw));
    graph.Message(5, rawTensor("cond", 9, {}, std::string(1, '\1')));
    graph.Message(5, rawTensor("v0", 1, {1}, std::string(reinterpret_cast<const char*>(&zero), sizeof zero)));
    graph.Message(5, korva::testing::FloatTensor("zeros", {1, 7, 21}, cv::Mat::zeros(1, 7 * 21, CV_32F)));
    graph.Message(1, Node("Loop", {"trip", "cond", "v0"}, {"v_final"}, "spin", {loopBody}));
    graph.Message(1, Node("Mul", {"zeros", "v_final"}, {"output0"}));
    graph.Bytes(2, "slow");
    graph.Message(11, korva::testing::ValueInfo("images", {1, 3, 32, 32}));
    graph.Message(12, korva::testing::ValueInfo("output0", {1, 7, 21}));
    return korva::testing::Model(graph);
}

// A load builds its model holding nothing the other calls need: they return
// while it runs, and a Destroy meanwhile makes the load discard its model.
TEST(DetectorLifecycle, OtherCallsDoNotWaitForALoad) {
    if (!korva::test::OnnxRuntimeAvailable()) GTEST_SKIP() << "the slow model runs on ONNX Runtime only";
    TempDir tmp;
    const std::vector<unsigned char> onnx = SlowLoadModel(600000);
    WriteFile(tmp.path() / "model.onnx", std::string(onnx.begin(), onnx.end()));
    WriteFile(tmp.path() / "labels.txt", "a\nb\nc\n");

    KorvaCustomWD detector;
    CustomParams stored;
    stored.texts.push_back("engine=onnxruntime");
    detector.SetParameters(stored);
    std::atomic<bool> loading{true};
    bool loaded = true;
    KorvaErrorCode code = KorvaErrorCode::kNone;
    std::string reason;
    std::thread loader([&] {
        std::string labelMap;
        loaded = detector.Initialize(tmp.path().string(), 0.5f, labelMap);
        code = detector.LastErrorCode();
        reason = detector.LastError();
        loading = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the load begin

    CustomParams record;
    EXPECT_TRUE(detector.ConfigureParameters(record));
    FindValue(record, "nms_iou_threshold")->wideValues = {0.6};
    KorvaCustomWD::ParameterReport report;
    EXPECT_TRUE(detector.ApplyParameters(record, report));
    detector.Statistics();
    EXPECT_TRUE(detector.Destroy());
    const bool returnedDuringLoad = loading.load();
    loader.join();
    ASSERT_TRUE(returnedDuringLoad) << "the load ended before the other calls returned: " << reason;
    EXPECT_FALSE(loaded);
    EXPECT_EQ(code, KorvaErrorCode::kLoadAbandoned) << reason;
    EXPECT_TRUE(detector.RunInference(cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(0))).empty());
    EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kNoModel);
    // The live edit made during the load stands.
    CustomParams after;
    ASSERT_TRUE(detector.ConfigureParameters(after));
    EXPECT_NEAR(FindValue(after, "nms_iou_threshold")->wideValues.at(0), 0.6, 1e-6);
}

TEST(DetectorLifecycle, GpuRequestOutlivesReloads) {
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.5f, labelMap));
    ASSERT_TRUE(detector.OptimizeModel(true)) << detector.LastError();
    for (int step = 0; step < 3; ++step) {
        // 0: after OptimizeModel; 1: after a reload; 2: after Destroy and a reload.
        if (step == 2) {
            ASSERT_TRUE(detector.Destroy());
        }
        if (step >= 1) {
            ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.5f, labelMap));
        }
        CustomParams p;
        ASSERT_TRUE(detector.ConfigureParameters(p));
        const FlagEntry& backend = p.flagEntries.at(0);
        EXPECT_TRUE(backend.flagB) << "step " << step;
        const bool fallbackNoted = std::any_of(p.texts.begin(), p.texts.end(), [](const std::string& t) {
            return t.rfind("gpu_fallback=", 0) == 0;
        });
        // On the GPU, or on the CPU with the reason why.
        EXPECT_EQ(backend.flagC, !fallbackNoted) << "step " << step;
        if (fallbackNoted) {
            EXPECT_EQ(backend.textB, korva::test::ExpectedCpuBackend()) << "step " << step;
        } else {
            EXPECT_NE(backend.textB.find("cuda"), std::string::npos) << "step " << step;
        }
    }
    ASSERT_TRUE(detector.OptimizeModel(false));
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.5f, labelMap));
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    EXPECT_FALSE(p.flagEntries.at(0).flagB);
    EXPECT_EQ(p.flagEntries.at(0).textB, korva::test::ExpectedCpuBackend());
    for (const std::string& t : p.texts) EXPECT_NE(t.rfind("gpu_fallback=", 0), 0u) << t;
}

static_assert(std::is_destructible<KorvaCustomWD>::value, "hosts own the detector by value");

}  // namespace
