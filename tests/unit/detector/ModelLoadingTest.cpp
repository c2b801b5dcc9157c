// The detector loading models: what it accepts, what it refuses, and the exact detections of the constant models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"

namespace {

namespace fs = std::filesystem;
using korva::test::ClassList;
using korva::test::CopyWithLabels;
using korva::test::Describe;
using korva::test::FindValue;
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;
using korva::test::TempDir;
using korva::test::WriteFile;

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
    // The class entries come first; the key descriptions follow them.
    ASSERT_EQ(std::count_if(p.textListEntries.begin(), p.textListEntries.end(),
                            [](const TextListEntry& e) { return e.textA == "class"; }),
              nc);
    std::string names;
    for (int i = 0; i < nc; ++i) {
        EXPECT_EQ(p.textListEntries[i].textA, "class");
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

// ---- A model that loads writes nothing to stdout or stderr --------------------

#ifdef _WIN32
int DupFd(int fd) { return _dup(fd); }
int Dup2Fd(int from, int to) { return _dup2(from, to); }
int CloseFd(int fd) { return _close(fd); }
int FileFd(std::FILE* f) { return _fileno(f); }
#else
int DupFd(int fd) { return dup(fd); }
int Dup2Fd(int from, int to) { return dup2(from, to); }
int CloseFd(int fd) { return close(fd); }
int FileFd(std::FILE* f) { return fileno(f); }
#endif

// Sends file descriptors 1 and 2 to a file for its lifetime; Text() stops
// the capture and returns what was written.
class OutputCapture {
public:
    OutputCapture() {
        std::fflush(nullptr);
        file_ = dir_.path() / "captured.txt";
        sink_ = std::fopen(file_.string().c_str(), "wb");
        if (sink_ == nullptr) return;
        for (int fd : {1, 2}) saved_[fd - 1] = DupFd(fd);
        for (int fd : {1, 2}) Dup2Fd(FileFd(sink_), fd);
    }
    ~OutputCapture() { Stop(); }
    std::string Text() {
        Stop();
        std::ifstream in(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Capturing() const { return sink_ != nullptr; }

private:
    void Stop() {
        if (sink_ == nullptr) return;
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        for (int fd : {1, 2}) {
            Dup2Fd(saved_[fd - 1], fd);
            CloseFd(saved_[fd - 1]);
        }
        std::fclose(sink_);
        sink_ = nullptr;
    }
    TempDir dir_;
    fs::path file_;
    std::FILE* sink_ = nullptr;
    int saved_[2] = {-1, -1};
};

struct QuietCase {
    std::string model;
    bool onnxRuntimeOnly = false;
};
void PrintTo(const QuietCase& c, std::ostream* os) { *os << c.model; }

class QuietLoadTest : public testing::TestWithParam<QuietCase> {};

TEST_P(QuietLoadTest, LoadingAndOneInferencePrintNothing) {
    const QuietCase& c = GetParam();
    if (c.onnxRuntimeOnly && !korva::test::OnnxRuntimeExpected()) {
        GTEST_SKIP() << c.model << " runs on ONNX Runtime only";
    }
    bool loaded = false;
    std::string error, printed;
    {
        OutputCapture capture;
        ASSERT_TRUE(capture.Capturing());
        KorvaCustomWD detector;
        std::string labels;
        loaded = detector.Initialize(ModelDir(c.model), 0.3f, labels);
        if (loaded) detector.RunInference(RandomFrame({96, 64}, CV_8UC3, 7));
        error = detector.LastError();
        printed = capture.Text();
    }
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(printed, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommittedModels, QuietLoadTest,
    testing::Values(QuietCase{"v8_nc3"}, QuietCase{"e2e_nc1"}, QuietCase{"v8_nc3_fp16", true},
                    QuietCase{"dynamic_imgsz_nc3", true}, QuietCase{"e2e_topk_nc2", true}),
    [](const testing::TestParamInfo<QuietCase>& info) { return info.param.model; });

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

}  // namespace
