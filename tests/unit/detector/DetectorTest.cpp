// The detector through its public interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

namespace fs = std::filesystem;
using korva::test::Describe;
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;
using korva::test::TempDir;
using korva::test::WriteFile;

ValueListEntry* FindValue(CustomParams& p, const std::string& key) {
    for (ValueListEntry& e : p.valueListEntries) {
        if (e.textA == key) return &e;
    }
    return nullptr;
}

std::string ClassList(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? ",class" : "class") + std::to_string(i);
    return s;
}

// ---- Initialize on every committed model ------------------------------------

struct ModelCase {
    std::string name;
    std::string labelMap;
    cv::Size input;
};

class InitializeModelTest : public testing::TestWithParam<ModelCase> {};

TEST_P(InitializeModelTest, LoadsAndDescribesTheModel) {
    const ModelCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labelMap = "stale";
    ASSERT_TRUE(detector.Initialize(ModelDir(c.name), 0.4f, labelMap)) << detector.LastError();
    EXPECT_EQ(labelMap, c.labelMap);
    EXPECT_EQ(detector.LastError(), "");

    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    const ValueListEntry* size = FindValue(p, "input_size");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->wideValues, (std::vector<double>{double(c.input.width), double(c.input.height)}));
    const ValueListEntry* conf = FindValue(p, "confidence_threshold");
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->wideValues, (std::vector<double>{0.4f}));
    ASSERT_EQ(p.flagEntries.size(), 2u);
    EXPECT_EQ(p.flagEntries[0].textA, "backend");
    EXPECT_TRUE(p.flagEntries[0].flagA);
    EXPECT_EQ(p.flagEntries[0].textB, korva::test::ExpectedCpuBackend());
    EXPECT_EQ(p.flagEntries[1].textA, "engine");
    EXPECT_EQ(p.flagEntries[1].flagA, korva::test::OnnxRuntimeExpected()) << p.flagEntries[1].textB;
    const int nc = static_cast<int>(std::count(labelMap.begin(), labelMap.end(), ',')) + 1;
    EXPECT_EQ(p.flagEntries[0].valueB, nc);
    ASSERT_EQ(p.textListEntries.size(), static_cast<std::size_t>(nc));
    std::string names;
    for (int i = 0; i < nc; ++i) {
        EXPECT_EQ(p.textListEntries[i].valueA, i);
        names += (i ? "," : "") + p.textListEntries[i].textB;
    }
    EXPECT_EQ(names, c.labelMap);
    ASSERT_EQ(p.texts.size(), 2u);
    EXPECT_EQ(p.texts[0], korva::test::DefaultEngineText());
    EXPECT_EQ(fs::path(p.texts[1].substr(p.texts[1].find('=') + 1)), fs::path(ModelDir(c.name)) / "model.onnx");
}

// Every detection of a random model on noise frames obeys the contract.
TEST_P(InitializeModelTest, DetectionsAreValid) {
    const ModelCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir(c.name), 0.3f, labelMap)) << detector.LastError();
    std::vector<std::string> names;
    for (std::size_t start = 0;;) {
        const std::size_t comma = labelMap.find(',', start);
        names.push_back(labelMap.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::size_t total = 0;
    const cv::Size sizes[] = {{96, 64}, {640, 480}, {37, 211}, {300, 17}, {1, 1}};
    unsigned seed = 1;
    for (cv::Size size : sizes) {
        for (int type : {CV_8UC3, CV_8UC1, CV_8UC4}) {
            const cv::Mat frame = RandomFrame(size, type, seed++);
            const auto dets = detector.RunInference(frame, "cam-7");
            total += dets.size();
            for (const CustomObject& d : dets) {
                ASSERT_GE(d.classId, 0);
                ASSERT_LT(d.classId, static_cast<int>(names.size()));
                EXPECT_EQ(d.textA, names[static_cast<std::size_t>(d.classId)]);
                EXPECT_EQ(d.textB, "cam-7");
                EXPECT_GE(d.confidence, 0.3f);
                EXPECT_LE(d.confidence, 1.0f);
                EXPECT_GE(d.box.width, 0);
                EXPECT_GE(d.box.height, 0);
                EXPECT_GE(d.box.x, 0);
                EXPECT_GE(d.box.y, 0);
                EXPECT_LE(d.box.x + d.box.width, size.width);
                EXPECT_LE(d.box.y + d.box.height, size.height);
            }
        }
    }
    EXPECT_GT(total, 0u) << "no detection at all: the checks above saw nothing";
}

INSTANTIATE_TEST_SUITE_P(
    CommittedModels, InitializeModelTest,
    testing::Values(ModelCase{"v8_nc1", "class0", {64, 64}},
                    ModelCase{"v8_nc3", "handgun,rifle,knife", {96, 64}},
                    ModelCase{"v8_nc80", ClassList(80), {64, 64}},
                    ModelCase{"v8t_nc3", "handgun,rifle,knife", {64, 64}},
                    ModelCase{"v5_nc3", "handgun,rifle,knife", {64, 64}},
                    ModelCase{"v5_nc80", ClassList(80), {64, 64}},
                    ModelCase{"const_v8_nc3", "handgun,rifle,knife", {96, 64}},
                    ModelCase{"const_v5_nc3", "handgun,rifle,knife", {96, 64}},
                    ModelCase{"everywhere_v8_nc3", "handgun,rifle,knife", {64, 64}},
                    ModelCase{"grid_v8_nc3", "handgun,rifle,knife", {96, 64}},
                    ModelCase{"e2e_nc1", "class0", {64, 64}}),
    [](const testing::TestParamInfo<ModelCase>& info) { return info.param.name; });

// ---- Initialize errors ---------------------------------------------------------

struct ErrorCase {
    std::string name;
    // Prepares a folder under `tmp` (or names a committed one) and returns it.
    std::function<std::string(const fs::path& tmp)> folder;
    float threshold;
    std::string word;  // expected in LastError()
};

// A copy of a committed model folder with the given label text.
std::string CopyWithLabels(const fs::path& tmp, const std::string& model, const std::string& labels) {
    fs::copy_file(fs::path(ModelDir(model)) / "model.onnx", tmp / "model.onnx");
    WriteFile(tmp / "labels.txt", labels);
    return tmp.string();
}

class InitializeErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(InitializeErrorTest, FailsWithReasonAndLeavesLabelMap) {
    const ErrorCase& c = GetParam();
    TempDir tmp;
    const std::string folder = c.folder(tmp.path());
    KorvaCustomWD detector;
    std::string labelMap = "untouched";
    EXPECT_FALSE(detector.Initialize(folder, c.threshold, labelMap));
    EXPECT_EQ(labelMap, "untouched");
    const std::string error = detector.LastError();
    EXPECT_NE(error.find(c.word), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_LE(error.size(), 512u) << error;
    // Nothing is loaded.
    EXPECT_TRUE(detector.RunInference(cv::Mat(64, 96, CV_8UC3, cv::Scalar::all(90))).empty());
    CustomParams p;
    ASSERT_TRUE(detector.ConfigureParameters(p));
    ASSERT_EQ(p.flagEntries.size(), 2u);
    EXPECT_FALSE(p.flagEntries[0].flagA);
    EXPECT_EQ(p.flagEntries[0].textB, "none");
    EXPECT_EQ(p.flagEntries[1].textB, "none");
}

const std::string kLabels3 = "handgun\nrifle\nknife\n";

INSTANTIATE_TEST_SUITE_P(
    Folders, InitializeErrorTest,
    testing::Values(
        ErrorCase{"MissingFolder", [](const fs::path& t) { return (t / "absent").string(); }, 0.5f,
                  "does not exist"},
        ErrorCase{"NewlineInPath",
                  [](const fs::path& t) { return (t / "cam\nfolder").string(); }, 0.5f,
                  "cam\\nfolder"},
        ErrorCase{"VeryLongPath",
                  [](const fs::path& t) {
                      fs::path p = t;
                      for (int i = 0; i < 12; ++i) p /= std::string(200, char('a' + i));
                      return p.string();
                  },
                  0.5f, "does not exist"},
        ErrorCase{"FileInsteadOfFolder",
                  [](const fs::path&) { return ModelDir("v8_nc3") + "/model.onnx"; }, 0.5f,
                  "not a folder"},
        ErrorCase{"NoOnnx",
                  [](const fs::path& t) {
                      WriteFile(t / "labels.txt", kLabels3);
                      return t.string();
                  },
                  0.5f, "no ONNX model"},
        ErrorCase{"TwoOnnx",
                  [](const fs::path& t) {
                      CopyWithLabels(t, "v8_nc3", kLabels3);
                      fs::rename(t / "model.onnx", t / "a.onnx");
                      fs::copy_file(t / "a.onnx", t / "b.onnx");
                      return t.string();
                  },
                  0.5f, "2 *.onnx"},
        ErrorCase{"CorruptOnnx",
                  [](const fs::path& t) {
                      std::mt19937 rng(5);
                      std::string junk(4096, '\0');
                      for (char& ch : junk) ch = static_cast<char>(rng() & 0xFF);
                      WriteFile(t / "model.onnx", junk);
                      WriteFile(t / "labels.txt", kLabels3);
                      return t.string();
                  },
                  0.5f, "ONNX"},
        ErrorCase{"TruncatedOnnx",
                  [](const fs::path& t) {
                      fs::copy_file(fs::path(ModelDir("v8_nc3")) / "model.onnx", t / "model.onnx");
                      fs::resize_file(t / "model.onnx", fs::file_size(t / "model.onnx") / 2);
                      WriteFile(t / "labels.txt", kLabels3);
                      return t.string();
                  },
                  0.5f, "ONNX"},
        ErrorCase{"NoLabels",
                  [](const fs::path& t) {
                      fs::copy_file(fs::path(ModelDir("v8_nc3")) / "model.onnx", t / "model.onnx");
                      return t.string();
                  },
                  0.5f, "no label file"},
        ErrorCase{"EmptyLabels",
                  [](const fs::path& t) { return CopyWithLabels(t, "v8_nc3", "\n \n"); }, 0.5f,
                  "no class name"},
        ErrorCase{"TwoLabelsForThreeClasses",
                  [](const fs::path& t) { return CopyWithLabels(t, "v8_nc3", "handgun\nrifle\n"); },
                  0.5f, "2 classes"},
        ErrorCase{"FourLabelsForThreeClasses",
                  [](const fs::path& t) { return CopyWithLabels(t, "v8_nc3", kLabels3 + "axe\n"); },
                  0.5f, "4 classes"},
        ErrorCase{"CommaInName",
                  [](const fs::path& t) {
                      return CopyWithLabels(t, "v8_nc3", "handgun\nrifle,long\nknife\n");
                  },
                  0.5f, "comma"},
        ErrorCase{"NotUtf8Labels",
                  [](const fs::path& t) { return CopyWithLabels(t, "v8_nc3", "handgun\nr\xEF" "fle\nknife\n"); },
                  0.5f, "UTF-8"},
        ErrorCase{"BadLayout", [](const fs::path&) { return ModelDir("bad_layout"); }, 0.5f,
                  "does not fit 3 classes"},
        ErrorCase{"DynamicInput", [](const fs::path&) { return ModelDir("dynamic_input"); }, 0.5f,
                  "dynamic"},
        ErrorCase{"LabelsDisagreeWithMetadataNames",
                  [](const fs::path&) { return ModelDir("names_mismatch_nc3"); }, 0.5f,
                  "class 2 is 'blade' in the label file and 'knife' in the metadata"},
        ErrorCase{"V5WithOneLabelTooMany",
                  [](const fs::path&) { return ModelDir("v5_nc3_extra_label"); }, 0.5f,
                  "fits YOLOv5 with 3 classes"},
        ErrorCase{"ThresholdNaN", [](const fs::path&) { return ModelDir("v8_nc3"); },
                  std::numeric_limits<float>::quiet_NaN(), "threshold"},
        ErrorCase{"ThresholdNegative", [](const fs::path&) { return ModelDir("v8_nc3"); }, -0.1f,
                  "threshold"},
        ErrorCase{"ThresholdAboveOne", [](const fs::path&) { return ModelDir("v8_nc3"); }, 1.1f,
                  "threshold"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

// ---- Constant models: exact detections -------------------------------------------

struct Expected {
    int classId;
    float confidence;
    cv::Rect box;
};

struct ConstCase {
    cv::Size frame;
    std::vector<Expected> expected;  // at threshold 0.5 and IoU 0.45
};

// Raw boxes A (class 1, 0.9), B (class 2, 0.8) and D (class 0, 0.65) of the
// constant models, in input pixels (96 x 64): A = D = (20..40, 15..25),
// B = (62..78, 25..55). C (class 1, 0.7) overlaps A and is suppressed.
// Expected frame boxes are worked out by hand for each frame size.
const ConstCase kConstCases[] = {
    // Same size as the input: identity.
    {{96, 64}, {{1, 0.9f, {20, 15, 20, 10}}, {2, 0.8f, {62, 25, 16, 30}}, {0, 0.65f, {20, 15, 20, 10}}}},
    // Scale 1/2, no padding.
    {{192, 128}, {{1, 0.9f, {40, 30, 40, 20}}, {2, 0.8f, {124, 50, 32, 60}}, {0, 0.65f, {40, 30, 40, 20}}}},
    // Scale 1/3, no padding.
    {{288, 192}, {{1, 0.9f, {60, 45, 60, 30}}, {2, 0.8f, {186, 75, 48, 90}}, {0, 0.65f, {60, 45, 60, 30}}}},
    // Square: scale 1/3, 64x64 placed 16 px right.
    {{192, 192}, {{1, 0.9f, {12, 45, 60, 30}}, {2, 0.8f, {138, 75, 48, 90}}, {0, 0.65f, {12, 45, 60, 30}}}},
    // Full HD: scale 1/20, 96x54 placed 5 px down.
    {{1920, 1080},
     {{1, 0.9f, {400, 200, 400, 200}}, {2, 0.8f, {1240, 400, 320, 600}}, {0, 0.65f, {400, 200, 400, 200}}}},
    // Tall: scale 1/4, 24x64 placed 36 px right; A is clipped, B lies in the padding.
    {{96, 256}, {{1, 0.9f, {0, 60, 16, 40}}, {0, 0.65f, {0, 60, 16, 40}}}},
    // Wide: scale 1/4, 96x16 placed 24 px down; A and B are clipped.
    {{384, 64}, {{1, 0.9f, {80, 0, 80, 4}}, {2, 0.8f, {248, 4, 64, 60}}, {0, 0.65f, {80, 0, 80, 4}}}},
};

class ConstModelTest : public testing::TestWithParam<std::tuple<std::string, ConstCase>> {};

TEST_P(ConstModelTest, ExactDetections) {
    const auto& [model, c] = GetParam();
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir(model), 0.5f, labelMap)) << detector.LastError();
    const char* names[] = {"handgun", "rifle", "knife"};
    for (int type : {CV_8UC3, CV_8UC1}) {
        const auto got = detector.RunInference(RandomFrame(c.frame, type, 3), "front door");
        ASSERT_EQ(got.size(), c.expected.size()) << Describe(got);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].classId, c.expected[i].classId) << i;
            EXPECT_EQ(got[i].confidence, c.expected[i].confidence) << i;
            EXPECT_EQ(got[i].box, c.expected[i].box) << i << ": " << Describe(got);
            EXPECT_EQ(got[i].textA, names[got[i].classId]);
            EXPECT_EQ(got[i].textB, "front door");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ConstModelTest,
    testing::Combine(testing::Values("const_v8_nc3", "const_v5_nc3"), testing::ValuesIn(kConstCases)),
    [](const testing::TestParamInfo<std::tuple<std::string, ConstCase>>& info) {
        const cv::Size s = std::get<1>(info.param).frame;
        return std::get<0>(info.param) + "_" + std::to_string(s.width) + "x" +
               std::to_string(s.height);
    });

TEST(ConstModels, V8AndV5Agree) {
    KorvaCustomWD v8, v5;
    std::string labels;
    ASSERT_TRUE(v8.Initialize(ModelDir("const_v8_nc3"), 0.3f, labels)) << v8.LastError();
    ASSERT_TRUE(v5.Initialize(ModelDir("const_v5_nc3"), 0.3f, labels)) << v5.LastError();
    unsigned seed = 10;
    std::size_t total = 0;
    for (cv::Size s : {cv::Size(1, 1), cv::Size(5, 5), cv::Size(640, 480), cv::Size(1279, 721),
                       cv::Size(33, 500)}) {
        const cv::Mat frame = RandomFrame(s, CV_8UC3, seed++);
        const auto a = v8.RunInference(frame);
        total += a.size();
        EXPECT_TRUE(SameDetections(a, v5.RunInference(frame)))
            << s << ": " << Describe(a) << " vs " << Describe(v5.RunInference(frame));
    }
    // Sub-pixel boxes vanish on the smallest frames; the larger ones show A, B and D.
    EXPECT_GE(total, 9u);
}

// ---- Variants of the same weights agree -----------------------------------------

struct TwinCase {
    std::string variant;
    std::string reference;  // the grid float32 export of the same weights
    bool onnxRuntimeOnly = false;  // OpenCV's engine refuses the variant
    float scoreTolerance = 0.0f;   // float16 weights round the scores
};

class VariantAgreementTest : public testing::TestWithParam<TwinCase> {};

TEST_P(VariantAgreementTest, SameDetectionsAsTheReference) {
    const TwinCase& c = GetParam();
    if (c.onnxRuntimeOnly && !korva::test::OnnxRuntimeExpected()) {
        GTEST_SKIP() << c.variant << " runs on ONNX Runtime only";
    }
    KorvaCustomWD variant, reference;
    std::string labels;
    ASSERT_TRUE(variant.Initialize(ModelDir(c.variant), 0.3f, labels)) << variant.LastError();
    ASSERT_TRUE(reference.Initialize(ModelDir(c.reference), 0.3f, labels)) << reference.LastError();
    std::size_t total = 0;
    unsigned seed = 40;
    for (cv::Size size : {cv::Size(64, 64), cv::Size(640, 480), cv::Size(211, 37)}) {
        const cv::Mat frame = RandomFrame(size, CV_8UC3, seed++);
        const auto got = variant.RunInference(frame);
        const auto want = reference.RunInference(frame);
        total += want.size();
        ASSERT_EQ(got.size(), want.size()) << size << ": " << Describe(got) << " vs " << Describe(want);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].classId, want[i].classId);
            EXPECT_NEAR(got[i].confidence, want[i].confidence, c.scoreTolerance);
            // Corners and back may move a rounding by a pixel.
            EXPECT_LE(std::abs(got[i].box.x - want[i].box.x), 1) << Describe(got);
            EXPECT_LE(std::abs(got[i].box.y - want[i].box.y), 1) << Describe(got);
            EXPECT_LE(std::abs(got[i].box.br().x - want[i].box.br().x), 1) << Describe(got);
            EXPECT_LE(std::abs(got[i].box.br().y - want[i].box.br().y), 1) << Describe(got);
        }
    }
    EXPECT_GT(total, 0u) << "no detection to compare";
}

INSTANTIATE_TEST_SUITE_P(
    CommittedTwins, VariantAgreementTest,
    testing::Values(TwinCase{"e2e_nc1", "v8_nc1"}, TwinCase{"names_only_nc3", "v8_nc3"},
                    TwinCase{"dynamic_imgsz_nc3", "grid_v8_nc3", true},
                    TwinCase{"v8_nc3_fp16", "v8_nc3", true, 2e-3f}),
    [](const testing::TestParamInfo<TwinCase>& info) { return info.param.variant; });

TEST(ConstModels, ThresholdSelectsDetections) {
    const cv::Mat frame = RandomFrame({96, 64}, CV_8UC3, 4);
    std::string labels;
    const std::vector<std::pair<float, std::vector<int>>> cases = {
        {0.0f, {1, 2, 0}}, {0.65f, {1, 2, 0}}, {0.66f, {1, 2}}, {0.85f, {1}}, {0.9f, {1}}, {0.95f, {}}};
    for (const auto& [threshold, classes] : cases) {
        KorvaCustomWD detector;
        ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), threshold, labels));
        std::vector<int> got;
        const auto dets = detector.RunInference(frame);
        for (const CustomObject& d : dets) got.push_back(d.classId);
        if (threshold > 0.0f) {
            EXPECT_EQ(got, classes) << "threshold " << threshold;
        } else {
            // The 0.01 background anchors count too; A, B and D still lead.
            ASSERT_GE(got.size(), 3u);
            EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 3), classes);
        }
    }
}

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

// ---- Parameters ------------------------------------------------------------------

using Outcome = KorvaCustomWD::ParameterChange::Outcome;

class DetectorParameters : public testing::Test {
protected:
    void SetUp() override {
        std::string labelMap;
        ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
        baseline = detector.RunInference(frame);
        ASSERT_EQ(baseline.size(), 3u);
        ASSERT_TRUE(detector.ConfigureParameters(record));
    }
    // Sets `key` in a copy of the record and applies it.
    void Set(const std::string& key, double value) {
        CustomParams edited = record;
        ASSERT_NE(FindValue(edited, key), nullptr) << key;
        FindValue(edited, key)->wideValues = {value};
        KorvaCustomWD::ParameterReport report;
        ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    }

    KorvaCustomWD detector;
    const cv::Mat frame = RandomFrame({96, 64}, CV_8UC3, 5);
    std::vector<CustomObject> baseline;
    CustomParams record;
};

TEST_F(DetectorParameters, RecordDescribesTheSettings) {
    ASSERT_NE(FindValue(record, "confidence_threshold"), nullptr);
    EXPECT_EQ(FindValue(record, "confidence_threshold")->wideValues, (std::vector<double>{0.5}));
    ASSERT_NE(FindValue(record, "nms_iou_threshold"), nullptr);
    EXPECT_EQ(FindValue(record, "nms_iou_threshold")->wideValues, (std::vector<double>{0.45f}));
    ASSERT_NE(FindValue(record, "pool_capacity"), nullptr);
    // The backend entry counts the networks: the pool on OpenCV, one shared
    // session on ONNX Runtime.
    if (korva::test::OnnxRuntimeExpected()) {
        EXPECT_EQ(record.flagEntries.at(0).valueA, 1);
    } else {
        EXPECT_EQ(FindValue(record, "pool_capacity")->wideValues,
                  (std::vector<double>{double(record.flagEntries.at(0).valueA)}));
    }
}

TEST_F(DetectorParameters, HandedBackUnchangedKeepsResults) {
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();
    EXPECT_TRUE(report.changes.empty());
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));
    EXPECT_TRUE(detector.ApplyParameters(CustomParams{}, report));  // nothing: nothing changes
    EXPECT_TRUE(report.changes.empty());
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));
}

TEST_F(DetectorParameters, EditedThresholdsApplyFromTheNextFrame) {
    Set("confidence_threshold", 0.95);
    EXPECT_TRUE(detector.RunInference(frame).empty());
    CustomParams now;
    detector.ConfigureParameters(now);
    EXPECT_EQ(FindValue(now, "confidence_threshold")->wideValues, (std::vector<double>{0.95f}));

    Set("confidence_threshold", 0.85);
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);

    // IoU(A, C) = 0.905: C survives once the NMS threshold is above it.
    Set("nms_iou_threshold", 0.95);
    const auto dets = detector.RunInference(frame);
    ASSERT_EQ(dets.size(), 4u) << Describe(dets);
    EXPECT_EQ(dets[2].classId, 1);
    EXPECT_EQ(dets[2].confidence, 0.7f);
    EXPECT_EQ(dets[2].box, cv::Rect(21, 15, 20, 10));
}

// One edit of the detector's own record, and what ApplyParameters makes of it.
struct EditCase {
    std::string name;
    std::function<void(CustomParams&)> edit;
    bool accepted;
    std::vector<std::pair<std::string, Outcome>> changes;  // the report, in order
    std::string reason;  // in every refusal's reason and in LastError()
    std::size_t detections;  // on the test frame afterwards (3 unchanged)
};

void SetValues(CustomParams& p, const std::string& key, std::vector<double> values) {
    ValueListEntry* e = FindValue(p, key);
    if (e == nullptr) {
        p.valueListEntries.push_back({key, {}, "", "", 0});
        e = &p.valueListEntries.back();
    }
    e->wideValues = std::move(values);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

class ParameterEditTest : public DetectorParameters, public testing::WithParamInterface<EditCase> {};

TEST_P(ParameterEditTest, ReportsEachEntryAndAppliesAllOrNothing) {
    const EditCase& c = GetParam();
    CustomParams edited = record;
    c.edit(edited);
    KorvaCustomWD::ParameterReport report;
    report.changes.push_back({"stale", Outcome::kApplied, ""});
    EXPECT_EQ(detector.ApplyParameters(edited, report), c.accepted) << detector.LastError();

    std::vector<std::pair<std::string, Outcome>> got;
    for (const auto& change : report.changes) {
        got.emplace_back(change.key, change.outcome);
        if (change.outcome == Outcome::kRefused) {
            EXPECT_NE(change.reason.find(c.reason), std::string::npos) << change.reason;
        }
        EXPECT_EQ(change.reason.empty(), change.outcome == Outcome::kApplied ||
                                             change.outcome == Outcome::kAtNextInitialize)
            << change.key;
    }
    EXPECT_EQ(got, c.changes);
    const std::string error = detector.LastError();
    if (c.accepted) {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    EXPECT_EQ(detector.RunInference(frame).size(), c.detections) << Describe(detector.RunInference(frame));

    // A refused record changes nothing, also in the record reported.
    CustomParams now;
    ASSERT_TRUE(detector.ConfigureParameters(now));
    if (!c.accepted) {
        EXPECT_EQ(FindValue(now, "confidence_threshold")->wideValues,
                  FindValue(record, "confidence_threshold")->wideValues);
        EXPECT_EQ(FindValue(now, "pool_capacity")->wideValues, FindValue(record, "pool_capacity")->wideValues);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ParameterEditTest,
    testing::Values(
        EditCase{"ThresholdUp", [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.85}); },
                 true, {{"confidence_threshold", Outcome::kApplied}}, "", 1},
        EditCase{"ThresholdAboveOne",
                 [](CustomParams& p) { SetValues(p, "confidence_threshold", {1.5}); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "from 0 to 1, got 1.5", 3},
        EditCase{"ThresholdNaN", [](CustomParams& p) { SetValues(p, "confidence_threshold", {kNaN}); },
                 false, {{"confidence_threshold", Outcome::kRefused}}, "from 0 to 1", 3},
        EditCase{"IouNegative", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {-0.5}); },
                 false, {{"nms_iou_threshold", Outcome::kRefused}}, "from 0 to 1", 3},
        EditCase{"TwoValues",
                 [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.95, 0.95}); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "one number, got 2", 3},
        EditCase{"MisspelledKey",
                 [](CustomParams& p) { p.valueListEntries.push_back({"confidence_treshold", {0.9}, "", "", 0}); },
                 false, {{"confidence_treshold", Outcome::kRefused}}, "unknown key", 3},
        // All or nothing: the valid edit is held back with the misspelled one.
        EditCase{"ValidEditBesideAMisspelledKey",
                 [](CustomParams& p) {
                     SetValues(p, "confidence_threshold", {0.85});
                     p.valueListEntries.push_back({"nms_iou_treshold", {0.9}, "", "", 0});
                 },
                 false,
                 {{"nms_iou_treshold", Outcome::kRefused}, {"confidence_threshold", Outcome::kNotApplied}},
                 "unknown key", 3},
        EditCase{"InputSizeWritten", [](CustomParams& p) { SetValues(p, "input_size", {320, 320}); },
                 false, {{"input_size", Outcome::kRefused}}, "read-only", 3},
        EditCase{"ModelPathWritten", [](CustomParams& p) { p.texts = {"model=/elsewhere/model.onnx"}; },
                 false, {{"model", Outcome::kRefused}}, "read-only", 3},
        EditCase{"ClassRenamed", [](CustomParams& p) { p.textListEntries.at(1).textB = "shotgun"; },
                 false, {{"class", Outcome::kRefused}}, "read-only", 3},
        EditCase{"KeyTwice",
                 [](CustomParams& p) {
                     p.valueListEntries.push_back({"confidence_threshold", {0.85}, "", "", 0});
                 },
                 false, {{"confidence_threshold", Outcome::kRefused}}, "more than once", 3},
        EditCase{"TextWithoutValue", [](CustomParams& p) { p.texts.push_back("verbose"); }, false,
                 {{"verbose", Outcome::kRefused}}, "name=value", 3},
        EditCase{"NumberGivenAsText",
                 [](CustomParams& p) { p.texts.push_back("confidence_threshold=0.85"); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "belongs in valueListEntries", 3},
        EditCase{"UnknownFlagEntry",
                 [](CustomParams& p) {
                     p.flagEntries.push_back({});
                     p.flagEntries.back().textA = "tracking";
                 },
                 false, {{"tracking", Outcome::kRefused}}, "unknown flag entry", 3},
        EditCase{"PoolCapacityZero", [](CustomParams& p) { SetValues(p, "pool_capacity", {0}); }, false,
                 {{"pool_capacity", Outcome::kRefused}}, "whole number from 1 to 64", 3},
        EditCase{"PoolCapacityFraction", [](CustomParams& p) { SetValues(p, "pool_capacity", {2.5}); },
                 false, {{"pool_capacity", Outcome::kRefused}}, "whole number from 1 to 64", 3},
        EditCase{"DynamicInputSizeNotOnTheStrideGrid",
                 [](CustomParams& p) { SetValues(p, "dynamic_input_size", {650}); }, false,
                 {{"dynamic_input_size", Outcome::kRefused}}, "multiple of 32 from 32 to 8192", 3},
        EditCase{"DynamicInputSizeLater", [](CustomParams& p) { SetValues(p, "dynamic_input_size", {320}); },
                 true, {{"dynamic_input_size", Outcome::kAtNextInitialize}}, "", 3},
        EditCase{"PoolCapacityLater",
                 [](CustomParams& p) {
                     SetValues(p, "pool_capacity", {FindValue(p, "pool_capacity")->wideValues[0] == 3.0 ? 2.0 : 3.0});
                 },
                 true, {{"pool_capacity", Outcome::kAtNextInitialize}}, "", 3},
        // Counters and the backend entry are reports, not settings.
        EditCase{"StatusAndBackendHandedBackChanged",
                 [](CustomParams& p) {
                     SetValues(p, "frames_inspected", {12345});
                     p.flagEntries.at(0).textB = "cuda-fp16";
                     p.texts.push_back("last_inference_error=made up");
                 },
                 true, {}, "", 3}),
    [](const testing::TestParamInfo<EditCase>& info) { return info.param.name; });

TEST_F(DetectorParameters, ReadOnlyEntriesAreSkippedWithoutAModel) {
    ASSERT_TRUE(detector.Destroy());
    CustomParams edited = record;
    SetValues(edited, "nms_iou_threshold", {0.95});
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    ASSERT_EQ(report.changes.size(), 1u);
    EXPECT_EQ(report.changes[0].key, "nms_iou_threshold");
    // Kept for the next load: the constant model then shows C too.
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(detector.RunInference(frame).size(), 4u);
}

TEST_F(DetectorParameters, EditsSurviveOptimizeModel) {
    Set("confidence_threshold", 0.85);
    ASSERT_TRUE(detector.OptimizeModel(false));
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

// A record stored with the base class's SetParameters is read by Initialize
// and by the no-argument ApplyParameters, never by inference.
struct StoredCase {
    std::string name;
    std::function<void(CustomParams&)> edit;
    bool loads;               // Initialize succeeds with it
    std::size_t detections;   // after Initialize(const_v8_nc3, 0.5)
    int poolCapacity;         // backend entry after it, 0: as before
};

class StoredRecordTest : public DetectorParameters, public testing::WithParamInterface<StoredCase> {};

TEST_P(StoredRecordTest, TakesEffectAtInitializeOnly) {
    const StoredCase& c = GetParam();
    CustomParams stored = record;
    c.edit(stored);
    ASSERT_TRUE(detector.SetParameters(stored));
    // Stored only: the frames still see the settings in force.
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));

    std::string labelMap = "kept";
    ASSERT_EQ(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap), c.loads) << detector.LastError();
    if (!c.loads) {
        EXPECT_EQ(labelMap, "kept");
        EXPECT_NE(detector.LastError().find("stored parameter record"), std::string::npos)
            << detector.LastError();
    }
    EXPECT_EQ(detector.RunInference(frame).size(), c.detections);
    CustomParams now;
    ASSERT_TRUE(detector.ConfigureParameters(now));
    const int expectedPool = korva::test::OnnxRuntimeExpected() ? 1  // one shared session, no pool
                             : c.poolCapacity != 0                ? c.poolCapacity
                                                                  : record.flagEntries.at(0).valueA;
    EXPECT_EQ(now.flagEntries.at(0).valueA, expectedPool);
}

INSTANTIATE_TEST_SUITE_P(
    Records, StoredRecordTest,
    testing::Values(
        StoredCase{"Unchanged", [](CustomParams&) {}, true, 3, 0},
        StoredCase{"Empty", [](CustomParams& p) { p = CustomParams{}; }, true, 3, 0},
        StoredCase{"NmsRaised", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {0.95}); }, true, 4, 0},
        // Initialize's own threshold wins over the record's.
        StoredCase{"ThresholdInRecord", [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.95}); },
                   true, 3, 0},
        StoredCase{"PoolCapacity", [](CustomParams& p) { SetValues(p, "pool_capacity", {2}); }, true, 3, 2},
        // What describes the old model is skipped.
        StoredCase{"OtherModelsInputSize", [](CustomParams& p) { SetValues(p, "input_size", {640, 640}); },
                   true, 3, 0},
        StoredCase{"IouAboveOne", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {1.5}); }, false,
                   3, 0},
        StoredCase{"MisspelledKey",
                   [](CustomParams& p) { p.valueListEntries.push_back({"nms_iou", {0.9}, "", "", 0}); },
                   false, 3, 0}),
    [](const testing::TestParamInfo<StoredCase>& info) { return info.param.name; });

TEST_F(DetectorParameters, StoredRecordAppliedOnRequest) {
    CustomParams stored = record;
    SetValues(stored, "confidence_threshold", {0.85});
    ASSERT_TRUE(detector.SetParameters(stored));
    EXPECT_EQ(detector.RunInference(frame).size(), 3u);
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(report)) << detector.LastError();
    ASSERT_EQ(report.changes.size(), 1u);
    EXPECT_EQ(report.changes[0].outcome, Outcome::kApplied);
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

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

// ---- C entry points, resolved at run time as a host does ----------------------

class PluginLibrary {
public:
    PluginLibrary() {
#if defined(_WIN32)
        handle_ = ::LoadLibraryA(KORVA_PLUGIN_LIBRARY);
#else
        handle_ = ::dlopen(KORVA_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~PluginLibrary() {
#if defined(_WIN32)
        if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
#else
        if (handle_) ::dlclose(handle_);
#endif
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    bool Loaded() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn Find(const char* name) const {
#if defined(_WIN32)
        return reinterpret_cast<Fn>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return reinterpret_cast<Fn>(::dlsym(handle_, name));
#endif
    }

private:
    void* handle_ = nullptr;
};

struct EntryCase {
    std::string name;
    unsigned version;
    bool created;
};

class PluginEntryTest : public testing::TestWithParam<EntryCase> {};

TEST_P(PluginEntryTest, CreatesOnlyForItsOwnVersion) {
    const EntryCase& c = GetParam();
    PluginLibrary library;
    ASSERT_TRUE(library.Loaded()) << KORVA_PLUGIN_LIBRARY;
    const auto version = library.Find<korva::PluginInterfaceVersionFn>(KORVA_PLUGIN_INTERFACE_VERSION_SYMBOL);
    const auto create = library.Find<korva::CreatePluginFn>(KORVA_PLUGIN_CREATE_SYMBOL);
    const auto destroy = library.Find<korva::DestroyPluginFn>(KORVA_PLUGIN_DESTROY_SYMBOL);
    const auto lastError = library.Find<korva::PluginLastErrorFn>(KORVA_PLUGIN_LAST_ERROR_SYMBOL);
    ASSERT_TRUE(version && create && destroy && lastError);
    EXPECT_EQ(version(), korva::kPluginInterfaceVersion);

    IKorvaCustomClass* plugin = create(c.version);
    EXPECT_EQ(plugin != nullptr, c.created);
    if (plugin == nullptr) return;

    // A working detector behind the base pointer, with its reasons readable.
    std::string labelMap;
    EXPECT_FALSE(plugin->Initialize(ModelDir("absent"), 0.5f, labelMap));
    char small[8];
    const std::size_t length = lastError(plugin, small, sizeof small);
    EXPECT_GT(length, sizeof small);
    EXPECT_EQ(std::string(small).size(), sizeof small - 1);
    std::string reason(length + 1, '\0');
    EXPECT_EQ(lastError(plugin, &reason[0], reason.size()), length);
    EXPECT_NE(reason.find("does not exist"), std::string::npos) << reason;

    ASSERT_TRUE(plugin->Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(labelMap, "handgun,rifle,knife");
    EXPECT_EQ(lastError(plugin, nullptr, 0), 0u);
    const cv::Mat frame(64, 96, CV_8UC3, cv::Scalar::all(90));
    KorvaCustomWD linked;
    ASSERT_TRUE(linked.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_TRUE(SameDetections(plugin->RunInference(frame, "c"), linked.RunInference(frame, "c")));
    destroy(plugin);
    destroy(nullptr);
    EXPECT_EQ(lastError(nullptr, small, sizeof small), 0u);
    EXPECT_EQ(std::string(small), "");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PluginEntryTest,
    testing::Values(EntryCase{"Current", korva::kPluginInterfaceVersion, true},
                    EntryCase{"Next", korva::kPluginInterfaceVersion + 1, false},
                    EntryCase{"Previous", korva::kPluginInterfaceVersion - 1, false},
                    EntryCase{"Garbage", 0xFFFFFFFFu, false}),
    [](const testing::TestParamInfo<EntryCase>& info) { return info.param.name; });

}  // namespace
