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

// A model that spins a Loop `iterations` times before producing a constant
// YOLOv8 output for 3 classes at 32 x 32 (21 anchors): a load that takes
// seconds on ONNX Runtime. OpenCV cannot import it. `onBrightFrames`: the
// count follows the input, (brightest value - 0.6) / 0.4 * iterations, so the
// gray warm-up spins not at all and a white frame `iterations` times.
std::vector<unsigned char> SlowLoadModel(std::int64_t iterations, bool onBrightFrames = false) {
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
    if (onBrightFrames) {
        const float threshold = 0.6f, factor = static_cast<float>(iterations) / 0.4f;
        graph.Message(5, rawTensor("threshold", 1, {}, std::string(reinterpret_cast<const char*>(&threshold), 4)));
        graph.Message(5, rawTensor("factor", 1, {}, std::string(reinterpret_cast<const char*>(&factor), 4)));
        graph.Message(1, Node("ReduceMax", {"images"}, {"peak"}, "peak", {korva::testing::IntAttribute("keepdims", 0)}));
        graph.Message(1, Node("Sub", {"peak", "threshold"}, {"over"}));
        graph.Message(1, Node("Relu", {"over"}, {"over0"}));
        graph.Message(1, Node("Mul", {"over0", "factor"}, {"count"}));
        graph.Message(1, Node("Cast", {"count"}, {"trip"}, "trip", {korva::testing::IntAttribute("to", 7)}));
    } else {
        graph.Message(5, rawTensor("trip", 7, {}, tripRaw));
    }
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

// Loop iterations that take ONNX Runtime about 10 s (measured: 10 to 15 s on
// one core of the reference machine). Twice that unstopped, a return within
// 10 s can only be the time limit at work, and a test whose limit fails
// still ends.
constexpr std::int64_t kTenSecondsOfLoop = 4000000;

// A folder holding `onnx` with labels for its 3 classes.
void WriteLoopFolder(const TempDir& tmp, const std::vector<unsigned char>& onnx) {
    WriteFile(tmp.path() / "model.onnx", std::string(onnx.begin(), onnx.end()));
    WriteFile(tmp.path() / "labels.txt", "a\nb\nc\n");
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A warm-up past warmup_timeout_ms is stopped: Initialize refuses the model
// with the reason, and the model loaded before keeps serving.
TEST(DetectorLifecycle, WarmupPastItsLimitRefusesTheModel) {
    if (!korva::test::OnnxRuntimeAvailable()) GTEST_SKIP() << "the loop model runs on ONNX Runtime only";
    TempDir tmp;
    WriteLoopFolder(tmp, SlowLoadModel(kTenSecondsOfLoop));  // spun by both warm-up runs
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3"), 0.3f, labelMap)) << detector.LastError();
    const cv::Mat frame = RandomFrame(cv::Size(64, 48), CV_8UC3, 7);
    const auto before = detector.RunInference(frame);

    CustomParams stored;
    stored.texts.push_back("engine=auto");  // a model stopped on ONNX Runtime is not handed to OpenCV
    stored.valueListEntries.push_back({"warmup_timeout_ms", {1000}, "", "", 0});
    detector.SetParameters(stored);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(detector.Initialize(tmp.path().string(), 0.3f, labelMap));
    const double seconds = SecondsSince(start);
    const std::string reason = detector.LastError();
    EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kModelRefused) << reason;
    EXPECT_NE(reason.find("warm-up inference exceeded 1000 ms"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("OpenCV"), std::string::npos) << "handed to OpenCV: " << reason;
    EXPECT_LT(seconds, 10.0) << "the warm-up ran unstopped: " << reason;

    EXPECT_TRUE(SameDetections(detector.RunInference(frame), before));
    EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kNone) << detector.LastError();
}

// An inference past inference_timeout_ms is stopped and fails with the
// reason; another camera's frames, run meanwhile and after on the same
// session, are not stopped with it.
TEST(DetectorLifecycle, InferencePastItsLimitFails) {
    if (!korva::test::OnnxRuntimeAvailable()) GTEST_SKIP() << "the loop model runs on ONNX Runtime only";
    TempDir tmp;
    WriteLoopFolder(tmp, SlowLoadModel(2 * kTenSecondsOfLoop, true));
    KorvaCustomWD detector;
    CustomParams stored;
    stored.texts.push_back("engine=onnxruntime");
    detector.SetParameters(stored);
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(tmp.path().string(), 0.3f, labelMap)) << detector.LastError();
    CustomParams record;
    ASSERT_TRUE(detector.ConfigureParameters(record));
    FindValue(record, "inference_timeout_ms")->wideValues = {1000};
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();

    std::atomic<bool> done{false};
    bool empty = false;
    double seconds = 0.0;
    KorvaErrorCode code = KorvaErrorCode::kNone;
    std::string reason;
    std::thread slowCamera([&] {
        const auto start = std::chrono::steady_clock::now();
        empty = detector.RunInference(cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(255)), "white").empty();
        seconds = SecondsSince(start);
        code = detector.LastErrorCode();
        reason = detector.LastError();
        done = true;
    });
    // A gray frame spins no loop.
    const cv::Mat gray(32, 32, CV_8UC3, cv::Scalar::all(114));
    std::uint64_t grayFrames = 0;
    std::string grayFailure;
    do {
        detector.RunInference(gray, "gray");
        ++grayFrames;
        if (detector.LastErrorCode() != KorvaErrorCode::kNone && grayFailure.empty()) grayFailure = detector.LastError();
    } while (!done);
    slowCamera.join();

    EXPECT_TRUE(empty);
    EXPECT_EQ(code, KorvaErrorCode::kInferenceFailed) << reason;
    EXPECT_NE(reason.find("inference exceeded 1000 ms"), std::string::npos) << reason;
    EXPECT_EQ(detector.LastInferenceError(), reason);
    EXPECT_EQ(detector.Statistics().inferenceFailures, 1u);
    EXPECT_LT(seconds, 10.0) << "the inference ran unstopped: " << reason;
    EXPECT_EQ(grayFailure, "");
    EXPECT_EQ(detector.Statistics().framesInspected, grayFrames);
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
