// What the detector does with bad frames, bad model folders and bad
// thresholds: each case has one documented outcome, and none throws or crashes.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

#include "AddressSpaceLimit.h"
#include "OnnxTestGraph.h"
#include "RobustnessSupport.h"
#include "korva/KorvaCustomWD.h"

namespace korva::robustness {
namespace {
namespace fs = std::filesystem;

constexpr float kThreshold = 0.3f;
const std::vector<std::string> kNames = {"handgun", "rifle", "knife"};

// One detector with the v8_nc3 test model for all tests of this file.
KorvaCustomWD& SharedDetector() {
    static KorvaCustomWD* detector = [] {
        auto* d = new KorvaCustomWD;
        std::string labelMap;
        if (!d->Initialize(ModelDir("v8_nc3").string(), kThreshold, labelMap)) {
            ADD_FAILURE() << d->LastError();
        }
        return d;
    }();
    return *detector;
}

// ---------------------------------------------------------------- frames

enum class FrameOutcome { kEmpty, kValid };

struct FrameCase {
    const char* name;
    std::function<cv::Mat()> make;
    FrameOutcome outcome;
    // A frame that must give exactly the same detections (same content in
    // another layout); it must find something, so the comparison means
    // something.
    std::function<cv::Mat(const cv::Mat&)> equivalent;
};

cv::Mat Bgr(int rows, int cols, unsigned seed = 11u) { return NoiseFrame(rows, cols, CV_8UC3, seed); }

const FrameCase kFrameCases[] = {
    {"Empty", [] { return cv::Mat(); }, FrameOutcome::kEmpty, nullptr},
    {"EmptyWithType", [] { return cv::Mat(0, 0, CV_8UC3); }, FrameOutcome::kEmpty, nullptr},
    {"OneByOne", [] { return Bgr(1, 1); }, FrameOutcome::kValid, nullptr},
    {"FiveByFive", [] { return Bgr(5, 5); }, FrameOutcome::kValid, nullptr},
    {"OneRowAtSizeLimit", [] { return Bgr(1, 16384); }, FrameOutcome::kValid, nullptr},
    {"OneRowOverSizeLimit", [] { return Bgr(1, 16385); }, FrameOutcome::kEmpty, nullptr},
    {"Gray", [] { return NoiseFrame(240, 320, CV_8UC1, 12u); }, FrameOutcome::kValid,
     [](const cv::Mat& f) {
         cv::Mat bgr;
         cv::cvtColor(f, bgr, cv::COLOR_GRAY2BGR);
         return bgr;
     }},
    {"Bgra", [] { return NoiseFrame(240, 320, CV_8UC4, 13u); }, FrameOutcome::kValid,
     [](const cv::Mat& f) {
         cv::Mat bgr;
         cv::cvtColor(f, bgr, cv::COLOR_BGRA2BGR);
         return bgr;
     }},
    {"Depth16", [] { return NoiseFrame(240, 320, CV_16UC3, 14u); }, FrameOutcome::kEmpty, nullptr},
    {"Float", [] { return NoiseFrame(240, 320, CV_32FC3, 15u); }, FrameOutcome::kEmpty, nullptr},
    {"Signed8", [] { return NoiseFrame(240, 320, CV_8SC3, 16u); }, FrameOutcome::kEmpty, nullptr},
    {"TwoChannel", [] { return NoiseFrame(240, 320, CV_8UC2, 17u); }, FrameOutcome::kEmpty, nullptr},
    {"ThreeDimensional", [] {
         const int dims[] = {4, 5, 6};
         return cv::Mat(3, dims, CV_8UC3, cv::Scalar::all(100));
     }, FrameOutcome::kEmpty, nullptr},
    {"RoiView", [] { return Bgr(300, 400, 18u)(cv::Rect(37, 21, 251, 199)); }, FrameOutcome::kValid,
     [](const cv::Mat& f) { return f.clone(); }},
    {"RoiViewBgra", [] { return NoiseFrame(300, 400, CV_8UC4, 19u)(cv::Rect(1, 3, 333, 111)); },
     FrameOutcome::kValid, [](const cv::Mat& f) { return f.clone(); }},
    {"RoiViewGray", [] { return NoiseFrame(300, 400, CV_8UC1, 20u)(cv::Rect(5, 0, 97, 300)); },
     FrameOutcome::kValid, [](const cv::Mat& f) { return f.clone(); }},
    {"EightK", [] { return Bgr(4320, 7680, 21u); }, FrameOutcome::kValid, nullptr},
};

class FrameMatrix : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameMatrix, GivesItsDocumentedOutcome) {
    const FrameCase& c = GetParam();
    KorvaCustomWD& detector = SharedDetector();
    const cv::Mat frame = c.make();
    const std::vector<CustomObject> result = detector.RunInference(frame, "cam-7");
    if (c.outcome == FrameOutcome::kEmpty) {
        EXPECT_TRUE(result.empty()) << result.size() << " detections on an unsupported frame";
        return;
    }
    ExpectValidDetections(result, frame.size(), kNames, kThreshold, "cam-7");
    // The same frame twice gives the same answer.
    EXPECT_TRUE(SameDetections(result, detector.RunInference(frame, "cam-7")));
    if (c.equivalent) {
        const std::vector<CustomObject> reference = detector.RunInference(c.equivalent(frame), "cam-7");
        ASSERT_FALSE(reference.empty()) << "the equivalent frame finds nothing; pick another seed";
        EXPECT_TRUE(SameDetections(result, reference))
            << result.size() << " detections, " << reference.size() << " on the equivalent frame";
    }
}

INSTANTIATE_TEST_SUITE_P(BadInput, FrameMatrix, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return std::string(info.param.name); });

bool OnnxRuntimeRuns() {
    const char* engine = std::getenv("KORVA_ENGINE");
    return KORVA_TEST_ORT_BESIDE && (engine == nullptr || std::string(engine) != "opencv");
}

// A 3-class detector on 32 x 32 (20 anchors at strides 8 and 16) whose output
// also sums a ConstantOfShape sized by the frame's brightest value: nothing
// for the padding gray of the warm-up and dark frames, 10^10 floats for a
// white one.
std::vector<unsigned char> FrameSizedDetector() {
    using korva::testing::Int64Tensor;
    using korva::testing::IntsAttribute;
    using korva::testing::Node;
    cv::RNG rng(3);
    korva::testing::Proto g;
    g.Bytes(2, "frame-sized");
    g.Message(11, korva::testing::ValueInfo("x", {1, 3, 32, 32}));
    korva::testing::AddConv(g, "c1", "x", "c", 3, 7, rng);
    g.Message(1, Node("MaxPool", {"c"}, {"p8"}, "p8", {IntsAttribute("kernel_shape", {8, 8}), IntsAttribute("strides", {8, 8})}));
    g.Message(1, Node("MaxPool", {"c"}, {"p16"}, "p16", {IntsAttribute("kernel_shape", {16, 16}), IntsAttribute("strides", {16, 16})}));
    g.Message(5, Int64Tensor("s8", {3}, {1, 7, 16}));
    g.Message(5, Int64Tensor("s16", {3}, {1, 7, 4}));
    g.Message(1, Node("Reshape", {"p8", "s8"}, {"r8"}));
    g.Message(1, Node("Reshape", {"p16", "s16"}, {"r16"}));
    g.Message(1, Node("Concat", {"r8", "r16"}, {"det"}, "cat", {korva::testing::IntAttribute("axis", 2)}));
    g.Message(5, korva::testing::FloatTensor("threshold", {1}, cv::Mat(1, 1, CV_32F, cv::Scalar(0.6))));
    g.Message(5, korva::testing::FloatTensor("factor", {1}, cv::Mat(1, 1, CV_32F, cv::Scalar(2.5e10))));
    g.Message(5, korva::testing::FloatTensor("zero", {1}, cv::Mat(1, 1, CV_32F, cv::Scalar(0))));
    g.Message(5, Int64Tensor("one", {1}, {1}));
    g.Message(1, Node("ReduceMax", {"x"}, {"peak"}, "peak", {IntsAttribute("axes", {0, 1, 2, 3})}));
    g.Message(1, Node("Reshape", {"peak", "one"}, {"peak1"}));
    g.Message(1, Node("Sub", {"peak1", "threshold"}, {"over"}));
    g.Message(1, Node("Relu", {"over"}, {"over0"}));
    g.Message(1, Node("Mul", {"over0", "factor"}, {"count"}));
    g.Message(1, Node("Cast", {"count"}, {"size"}, "size", {korva::testing::IntAttribute("to", 7)}));
    g.Message(1, Node("ConstantOfShape", {"size"}, {"fill"}, "fill"));
    g.Message(1, Node("ReduceSum", {"fill"}, {"sum"}, "sum", {korva::testing::IntAttribute("keepdims", 0)}));
    g.Message(1, Node("Mul", {"sum", "zero"}, {"nothing"}));
    g.Message(1, Node("Add", {"det", "nothing"}, {"y"}));
    g.Message(12, korva::testing::ValueInfo("y", {1, 7, 20}));
    return korva::testing::Model(g);
}

// The check as an exit status, for a child with a capped address space: 0
// when the white frame's inference fails with the limit's reason, is counted
// as an inference failure, and a dark frame still runs.
int FrameSizedInferenceCounted(const fs::path& folder) {
    if (!korva::testing::CapAddressSpace()) return 2;
    KorvaCustomWD detector;
    std::string labelMap;
    if (!detector.Initialize(folder.string(), kThreshold, labelMap)) {
        std::fprintf(stderr, "not loaded: %s\n", detector.LastError().c_str());
        return 3;
    }
    const std::vector<CustomObject> white = detector.RunInference(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(255)), "cam");
    const std::string reason = detector.LastInferenceError();
    std::fprintf(stderr, "reason: %s\n", reason.c_str());
    if (!white.empty() || detector.Statistics().inferenceFailures != 1) return 4;
    if (reason.find("4096 MiB allowed at run time") == std::string::npos || reason.find('\n') != std::string::npos) {
        return 5;
    }
    detector.RunInference(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(20)), "cam");
    const KorvaCustomWD::InferenceStatistics after = detector.Statistics();
    return after.inferenceFailures == 1 && after.framesInspected == 1 ? 0 : 6;
}

TEST(FrameSizedModel, InferenceFailsWithTheLimitAndIsCounted) {
    if (!korva::testing::AddressSpaceCapAvailable()) GTEST_SKIP() << "no address-space cap here";
    if (!OnnxRuntimeRuns()) GTEST_SKIP() << "OpenCV cannot read a size computed from the frame";
    TempDir temp;
    const std::vector<unsigned char> onnx = FrameSizedDetector();
    std::ofstream(temp.Path() / "model.onnx", std::ios::binary)
        .write(reinterpret_cast<const char*>(onnx.data()), static_cast<std::streamsize>(onnx.size()));
    std::ofstream(temp.Path() / "labels.txt") << "handgun\nrifle\nknife\n";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int status = FrameSizedInferenceCounted(temp.Path());
            std::error_code ec;
            fs::remove_all(temp.Path(), ec);
            std::_Exit(status);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------- model folders

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kGoodLabels = "handgun\nrifle\nknife\n";

std::string GoodOnnx() { return ReadAll(ModelDir("v8_nc3") / "model.onnx"); }

struct FolderCase {
    const char* name;
    // Fills the temporary directory and returns the folder to load.
    std::function<fs::path(const fs::path&)> make;
    const char* reasonContains;  // a word the reason must contain
    bool needsPermissionChecks = false;
    // A model that would take gigabytes: the whole case runs in a child
    // process with a capped address space (see AddressSpaceLimit.h).
    bool takesGigabytes = false;
    // Refused by ONNX Runtime's bound at run time (OpenCV cannot read it).
    bool needsOnnxRuntime = false;
};

void WriteModel(const fs::path& d, const std::vector<unsigned char>& onnx) {
    WriteFile(d / "model.onnx", std::string(onnx.begin(), onnx.end()));
    WriteFile(d / "labels.txt", kGoodLabels);
}

const FolderCase kFolderCases[] = {
    {"EmptyOnnxFile", [](const fs::path& d) {
         WriteFile(d / "model.onnx", "");
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "empty"},
    {"TruncatedOnnx", [](const fs::path& d) {
         const std::string onnx = GoodOnnx();
         WriteFile(d / "model.onnx", onnx.substr(0, onnx.size() / 2));
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "model.onnx"},
    {"OnnxCutAfterTheInput", [](const fs::path& d) {
         // The declared input is readable, the weights are missing.
         const std::string onnx = GoodOnnx();
         WriteFile(d / "model.onnx", onnx.substr(0, onnx.size() - 200));
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "model.onnx"},
    {"RandomBytesOnnx", [](const fs::path& d) {
         cv::Mat noise = NoiseFrame(1, 40000, CV_8UC1, 99u);
         WriteFile(d / "model.onnx", std::string(noise.ptr<char>(), noise.total()));
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "model.onnx"},
    {"DirectoryNamedModelOnnx", [](const fs::path& d) {
         fs::create_directory(d / "model.onnx");
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "not a regular file"},
    {"UnreadableOnnx", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         WriteFile(d / "labels.txt", kGoodLabels);
         fs::permissions(d / "model.onnx", fs::perms::none);
         return d;
     }, "model.onnx", true},
    {"UnreadableLabels", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         WriteFile(d / "labels.txt", kGoodLabels);
         fs::permissions(d / "labels.txt", fs::perms::none);
         return d;
     }, "labels.txt", true},
    {"SymlinkLoopAsModel", [](const fs::path& d) {
         fs::create_symlink("model.onnx", d / "model.onnx");
         WriteFile(d / "labels.txt", kGoodLabels);
         return d;
     }, "ONNX"},
    {"SymlinkLoopAsFolder", [](const fs::path& d) {
         fs::create_symlink("a", d / "b");
         fs::create_symlink("b", d / "a");
         return d / "a";
     }, "model folder"},
    {"HugeLabelFile", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         std::string labels = kGoodLabels;
         while (labels.size() <= (4u << 20)) labels += "class_name_that_goes_on\n";
         WriteFile(d / "labels.txt", labels);
         return d;
     }, "large"},
    {"ManyLabels", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         std::string labels;
         for (int i = 0; i < 50000; ++i) labels += "c" + std::to_string(i) + "\n";
         WriteFile(d / "labels.txt", labels);
         return d;
     }, "50000"},
    {"Latin1Labels", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         WriteFile(d / "labels.txt", "pistolet\nfusil \xe0 pompe\ncouteau\n");
         return d;
     }, "UTF-8"},
    {"Utf16Labels", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         const char utf16[] = "\xff\xfeh\0a\0n\0d\0g\0u\0n\0\n\0r\0i\0f\0l\0e\0\n\0k\0n\0i\0f\0e\0\n\0";
         WriteFile(d / "labels.txt", std::string(utf16, sizeof utf16 - 1));
         return d;
     }, "UTF-8"},
    {"NulInLabels", [](const fs::path& d) {
         WriteFile(d / "model.onnx", GoodOnnx());
         WriteFile(d / "labels.txt", std::string("handgun\nrif\0le\nknife\n", 20));
         return d;
     }, "NUL"},
    // Memory the graph would take, refused before it is taken.
    {"ConstantOfShapeOfSixGigabytes", [](const fs::path& d) {
         WriteModel(d, korva::testing::ConstantOfShapeModel({3, 500000000}));  // 5.6 GiB in 1 KB
         return d;
     }, "would materialise 5722 MiB, at most 4096 MiB allowed", false, true},
    {"ConstantOfShapeOpenCvCanReadOfFiveGiB", [](const fs::path& d) {
         WriteModel(d, korva::testing::ConstantOfShapeModel({5, 268435456}));  // 5 GiB
         return d;
     }, "would materialise 5120 MiB, at most 4096 MiB allowed", false, true},
    {"LoopScanOutputGrows", [](const fs::path& d) {
         // 4 KB, 8 MB, then 16 GB in its third iteration.
         WriteModel(d, korva::testing::GrowingLoopModel(3, 1024, 2000));
         return d;
     }, "MiB allowed at run time", false, true, true},
};

class FolderMatrix : public ::testing::TestWithParam<FolderCase> {};

// The case's check as an exit status, for a child process: 0 when the
// folder is refused with the reason while the previous model keeps serving.
int RefusedUnderCappedAddressSpace(const FolderCase& c, const fs::path& folder) {
    if (!korva::testing::CapAddressSpace()) return 2;
    KorvaCustomWD detector;
    std::string labelMap;
    if (!detector.Initialize(ModelDir("v8_nc3").string(), kThreshold, labelMap)) return 3;
    const cv::Mat frame = Bgr(120, 160, 5u);
    const std::vector<CustomObject> before = detector.RunInference(frame, "cam");
    std::string untouched = "untouched";
    if (detector.Initialize(folder.string(), kThreshold, untouched)) {
        std::fprintf(stderr, "loaded\n");
        return 4;
    }
    const std::string reason = detector.LastError();
    std::fprintf(stderr, "reason: %s\n", reason.c_str());
    if (reason.find(c.reasonContains) == std::string::npos || reason.find('\n') != std::string::npos) return 5;
    if (untouched != "untouched" || before.empty() || !SameDetections(detector.RunInference(frame, "cam"), before)) {
        return 6;
    }
    return 0;
}

TEST_P(FolderMatrix, IsRefusedWithAReasonAndThePreviousModelKeepsServing) {
    const FolderCase& c = GetParam();
    if (c.needsPermissionChecks && ::geteuid() == 0) {
        GTEST_SKIP() << "running as root, which reads a file whatever its permissions";
    }
    TempDir temp;
    const fs::path folder = c.make(temp.Path());
    if (c.takesGigabytes) {
        if (!korva::testing::AddressSpaceCapAvailable()) GTEST_SKIP() << "no address-space cap here";
        if (c.needsOnnxRuntime && !OnnxRuntimeRuns()) GTEST_SKIP() << "refused by ONNX Runtime's bound";
        // A child started afresh: no thread of this process is copied into it.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_EXIT(
            {
                const int status = RefusedUnderCappedAddressSpace(c, folder);
                std::error_code ec;
                fs::remove_all(temp.Path(), ec);
                std::_Exit(status);
            },
            ::testing::ExitedWithCode(0), "");
        return;
    }

    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3").string(), kThreshold, labelMap))
        << detector.LastError();
    const cv::Mat frame = Bgr(120, 160, 5u);
    const std::vector<CustomObject> before = detector.RunInference(frame, "cam");
    ASSERT_FALSE(before.empty());

    std::string untouched = "untouched";
    EXPECT_FALSE(detector.Initialize(folder.string(), kThreshold, untouched));
    const std::string reason = detector.LastError();
    EXPECT_NE(reason.find(c.reasonContains), std::string::npos) << "reason: " << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << "reason: " << reason;
    EXPECT_EQ(untouched, "untouched");
    EXPECT_TRUE(SameDetections(detector.RunInference(frame, "cam"), before));

    // And on a detector without a model: still false, still nothing detected.
    KorvaCustomWD fresh;
    EXPECT_FALSE(fresh.Initialize(folder.string(), kThreshold, untouched));
    EXPECT_FALSE(fresh.LastError().empty());
    EXPECT_TRUE(fresh.RunInference(frame, "cam").empty());
}

INSTANTIATE_TEST_SUITE_P(BadInput, FolderMatrix, ::testing::ValuesIn(kFolderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- thresholds

struct ThresholdCase {
    const char* name;
    float value;
    bool accepted;  // a number in [0, 1]
};

const ThresholdCase kThresholdCases[] = {
    {"NaN", std::numeric_limits<float>::quiet_NaN(), false},
    {"Minus1", -1.0f, false},
    {"Zero", 0.0f, true},
    {"One", 1.0f, true},
    {"Two", 2.0f, false},
    {"Infinity", std::numeric_limits<float>::infinity(), false},
};

class ThresholdMatrix : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(ThresholdMatrix, InitializeAcceptsExactlyTheUnitInterval) {
    const ThresholdCase& c = GetParam();
    const cv::Mat frame = Bgr(240, 320, 31u);
    KorvaCustomWD detector;
    std::string labelMap;
    const bool ok = detector.Initialize(ModelDir("v8_nc3").string(), c.value, labelMap);
    ASSERT_EQ(ok, c.accepted) << detector.LastError();
    if (!ok) {
        EXPECT_NE(detector.LastError().find("threshold"), std::string::npos) << detector.LastError();
        EXPECT_TRUE(labelMap.empty());
        EXPECT_TRUE(detector.RunInference(frame, "cam").empty());
        return;
    }
    const std::vector<CustomObject> result = detector.RunInference(frame, "cam");
    ExpectValidDetections(result, frame.size(), kNames, c.value, "cam");
    if (c.value == 0.0f) {
        EXPECT_FALSE(result.empty()) << "a zero threshold keeps every anchor's best box";
    }
}

// The same values applied live: valid ones take effect from the next
// inference, invalid ones are refused with a reason and change nothing.
TEST_P(ThresholdMatrix, ApplyParametersAppliesValidValuesAndRefusesOthers) {
    const ThresholdCase& c = GetParam();
    const cv::Mat frame = Bgr(240, 320, 32u);
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3").string(), kThreshold, labelMap));
    const std::vector<CustomObject> atDefault = detector.RunInference(frame, "cam");

    CustomParams params;
    ASSERT_TRUE(detector.ConfigureParameters(params));
    bool found = false;
    for (ValueListEntry& e : params.valueListEntries) {
        if (e.textA == "confidence_threshold") {
            e.wideValues = {static_cast<double>(c.value)};
            found = true;
        }
    }
    ASSERT_TRUE(found);
    KorvaCustomWD::ParameterReport report;
    const bool applied = detector.ApplyParameters(params, report);
    EXPECT_EQ(applied, c.accepted) << detector.LastError();
    const std::string reason = detector.LastError();
    const std::vector<CustomObject> result = detector.RunInference(frame, "cam");

    if (!c.accepted) {
        EXPECT_NE(reason.find("confidence_threshold"), std::string::npos) << reason;
        EXPECT_TRUE(SameDetections(result, atDefault));
        return;
    }
    KorvaCustomWD direct;
    ASSERT_TRUE(direct.Initialize(ModelDir("v8_nc3").string(), c.value, labelMap));
    EXPECT_TRUE(SameDetections(result, direct.RunInference(frame, "cam")));
    ExpectValidDetections(result, frame.size(), kNames, c.value, "cam");
}

INSTANTIATE_TEST_SUITE_P(BadInput, ThresholdMatrix, ::testing::ValuesIn(kThresholdCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korva::robustness
