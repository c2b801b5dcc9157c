// korva-detect run as a user runs it: its records against the detector's
// own results on the same frames, and its exit status on bad input.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"

namespace {

namespace fs = std::filesystem;

const std::string kDemoModel = KORVA_SOURCE_DIR "/assets/models/Korva_WeaponDetection(GPU)_1.0";
const std::string kDemoVideo = KORVA_SOURCE_DIR "/assets/videos/AK47 Glock.mp4";
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::TempDir;
using korva::test::WriteFile;

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ToolResult {
    int exitCode = -1;
    std::string err;
};

ToolResult RunTool(const std::vector<std::string>& args, const fs::path& dir) {
    std::string command = Quote(KORVA_DETECT_EXE);
    for (const std::string& a : args) command += " " + Quote(a);
    const fs::path err = dir / "stderr.txt";
    command += " > /dev/null 2> " + Quote(err.string()) + " < /dev/null";
    const int status = std::system(command.c_str());
    ToolResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadText(err);
    return r;
}

// Detections of one JSON Lines record, as text the test can compare.
struct Record {
    std::string status;
    std::vector<std::string> detections;  // "class_id class confidence x y w h"
};
using Records = std::map<std::pair<std::string, long>, Record>;

Records ParseJsonLines(const std::string& text) {
    static const std::regex head(R"re(^\{"source":"([^"]*)","frame":(\d+),.*"status":"(\w+)")re");
    static const std::regex det(
        R"re(\{"class_id":(\d+),"class":"([^"]*)","confidence":([0-9.e-]+),"box":\[(-?\d+),(-?\d+),(-?\d+),(-?\d+)\]\})re");
    Records records;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, head)) {
            ADD_FAILURE() << "unexpected record: " << line;
            continue;
        }
        Record& r = records[{m[1].str(), std::stol(m[2].str())}];
        r.status = m[3].str();
        for (std::sregex_iterator it(line.begin(), line.end(), det), end; it != end; ++it) {
            const std::smatch& d = *it;
            // The confidence must read back as the very float the detector returned.
            const float confidence = std::strtof(d[3].str().c_str(), nullptr);
            r.detections.push_back(d[1].str() + " " + d[2].str() + " " + std::to_string(korva::test::Bits(confidence)) +
                                   " " + d[4].str() + " " + d[5].str() + " " + d[6].str() + " " + d[7].str());
        }
    }
    return records;
}

std::vector<std::string> Expected(const std::vector<CustomObject>& objects) {
    std::vector<std::string> out;
    for (const CustomObject& o : objects) {
        out.push_back(std::to_string(o.classId) + " " + o.textA + " " + std::to_string(korva::test::Bits(o.confidence)) +
                      " " + std::to_string(o.box.x) + " " + std::to_string(o.box.y) + " " +
                      std::to_string(o.box.width) + " " + std::to_string(o.box.height));
    }
    return out;
}

void ExpectNoPartFiles(const fs::path& dir) {
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        EXPECT_EQ(e.path().filename().string().find(".part."), std::string::npos) << e.path();
    }
}

// ---- Good input: records equal RunInference on the same frames ---------------

struct Source {
    std::string name;                 // expected source name; empty: the only one there is
    std::string argument;             // relative to the temp folder
    std::vector<std::string> images;  // files read in order (empty: a video)
    std::string video;                // the video file, when not `argument` itself
};

struct GoodCase {
    std::string name;
    std::string model;
    float threshold;
    int maxFrames;  // 0: all
    std::function<std::vector<Source>(const fs::path&)> make;
};

void WriteNoise(const fs::path& p, cv::Size size, unsigned seed) {
    ASSERT_TRUE(cv::imwrite(p.string(), RandomFrame(size, CV_8UC3, seed)));
}

std::vector<Source> OneImage(const fs::path& t) {
    WriteNoise(t / "scene.png", {200, 150}, 1);
    return {{"scene", "scene.png", {"scene.png"}, ""}};
}

std::vector<Source> Folder(const fs::path& t) {
    fs::create_directories(t / "shots");
    WriteNoise(t / "shots" / "b.png", {320, 240}, 2);
    WriteNoise(t / "shots" / "a.jpg", {97, 211}, 3);
    WriteNoise(t / "shots" / "c.bmp", {640, 48}, 4);
    WriteFile(t / "shots" / "notes.txt", "not an image");
    return {{"shots", "shots", {"shots/a.jpg", "shots/b.png", "shots/c.bmp"}, ""}};
}

std::vector<Source> TwoSources(const fs::path& t) {
    std::vector<Source> s = Folder(t);
    WriteNoise(t / "door.png", {160, 120}, 5);
    s.push_back({"door", "door.png", {"door.png"}, ""});
    // Same file name elsewhere: a name and an annotated file of its own.
    fs::create_directories(t / "yard");
    WriteNoise(t / "yard" / "door.png", {130, 140}, 6);
    s.push_back({"door_2", "yard/door.png", {"yard/door.png"}, ""});
    return s;
}

std::vector<Source> DemoVideo(const fs::path&) { return {{"AK47 Glock", kDemoVideo, {}, kDemoVideo}}; }

// A URL goes through the stream path (FFmpeg reads file:// as it reads rtsp://).
std::vector<Source> StreamUrl(const fs::path&) { return {{"", "file://" + kDemoVideo, {}, kDemoVideo}}; }

class DetectToolGoodInput : public testing::TestWithParam<GoodCase> {};

TEST_P(DetectToolGoodInput, RecordsEqualTheDetectorsResults) {
    const GoodCase& c = GetParam();
    TempDir tmp;
    const std::vector<Source> sources = c.make(tmp.path());
    std::vector<std::string> args = {"--model", c.model, "--conf", std::to_string(c.threshold), "-q",
                                     "--jsonl", (tmp.path() / "out.jsonl").string(), "--out-dir",
                                     (tmp.path() / "annotated").string()};
    if (c.maxFrames > 0) args.insert(args.end(), {"--max-frames", std::to_string(c.maxFrames)});
    for (const Source& s : sources) {
        const bool asGiven = fs::path(s.argument).is_absolute() || s.argument.find("://") != std::string::npos;
        args.push_back(asGiven ? s.argument : (tmp.path() / s.argument).string());
    }
    const ToolResult run = RunTool(args, tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Records records = ParseJsonLines(ReadText(tmp.path() / "out.jsonl"));

    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(c.model, c.threshold, labelMap)) << detector.LastError();
    std::size_t expectedRecords = 0;
    std::size_t detections = 0;
    for (Source s : sources) {
        if (s.name.empty() && !records.empty()) s.name = records.begin()->first.first;
        std::vector<cv::Mat> frames;
        if (s.images.empty()) {
            cv::VideoCapture video(s.video);
            for (cv::Mat f; static_cast<int>(frames.size()) < c.maxFrames && video.read(f);) frames.push_back(f.clone());
        } else {
            for (const std::string& f : s.images) frames.push_back(cv::imread((tmp.path() / f).string()));
        }
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ASSERT_FALSE(frames[i].empty());
            const auto found = records.find({s.name, static_cast<long>(i)});
            ASSERT_NE(found, records.end()) << s.name << " frame " << i;
            EXPECT_EQ(found->second.status, "inspected");
            const std::vector<std::string> expected = Expected(detector.RunInference(frames[i], s.name));
            EXPECT_EQ(found->second.detections, expected) << s.name << " frame " << i;
            detections += expected.size();
            // The annotated copy keeps the frame's size.
            if (!s.images.empty()) {
                const fs::path image(s.images[i]);
                const fs::path out = tmp.path() / "annotated" /
                                     (s.argument == s.images[0] ? fs::path(s.name + image.extension().string())
                                                                : fs::path(s.name) / image.filename());
                EXPECT_EQ(cv::imread(out.string()).size(), frames[i].size()) << out;
            }
        }
        if (s.images.empty() && s.argument == s.video) {
            cv::VideoCapture annotated((tmp.path() / "annotated" / (s.name + ".mp4")).string());
            ASSERT_TRUE(annotated.isOpened());
            EXPECT_EQ(annotated.get(cv::CAP_PROP_FRAME_COUNT), c.maxFrames);
            EXPECT_EQ(annotated.get(cv::CAP_PROP_FRAME_WIDTH), frames[0].cols);
            EXPECT_EQ(annotated.get(cv::CAP_PROP_FRAME_HEIGHT), frames[0].rows);
            EXPECT_EQ(annotated.get(cv::CAP_PROP_FPS), cv::VideoCapture(s.video).get(cv::CAP_PROP_FPS));
        }
        expectedRecords += frames.size();
    }
    EXPECT_EQ(records.size(), expectedRecords);
    EXPECT_GT(detections, 0u) << "no detection at all: the comparison saw nothing";
    ExpectNoPartFiles(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DetectToolGoodInput,
    testing::Values(GoodCase{"Image", ModelDir("v8_nc3"), 0.3f, 0, OneImage},
                    GoodCase{"Folder", ModelDir("v8_nc3"), 0.3f, 0, Folder},
                    GoodCase{"SeveralSourcesAtOnce", ModelDir("v5_nc3"), 0.3f, 0, TwoSources},
                    GoodCase{"DemoVideo", kDemoModel, 0.5f, 4, DemoVideo},
                    GoodCase{"StreamUrl", ModelDir("v8_nc3"), 0.3f, 3, StreamUrl}),
    [](const testing::TestParamInfo<GoodCase>& info) { return info.param.name; });

// ---- Bad input: a message, a documented status, nothing half-written --------

struct BadCase {
    std::string name;
    // Prepares the temp folder and returns the arguments after the model's.
    std::function<std::vector<std::string>(const fs::path&)> args;
    int exitCode;
    std::string word;       // expected on standard error
    int records;            // lines in the JSON Lines file; -1: no file (the run stopped)
};

std::vector<std::string> With(const fs::path& t, std::vector<std::string> extra) {
    WriteNoise(t / "good.png", {120, 90}, 9);
    std::vector<std::string> args = {"--model", ModelDir("v8_nc3"), "-q", "--jsonl", (t / "out.jsonl").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

class DetectToolBadInput : public testing::TestWithParam<BadCase> {};

TEST_P(DetectToolBadInput, ReportsAndExitsWithItsStatus) {
    const BadCase& c = GetParam();
    TempDir tmp;
    WriteFile(tmp.path() / "file.txt", "a plain file");
    const ToolResult run = RunTool(c.args(tmp.path()), tmp.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    // One line of ours names the fault (OpenCV and FFmpeg may add their own).
    const std::size_t line = run.err.find("korva-detect: error: ");
    ASSERT_NE(line, std::string::npos) << run.err;
    EXPECT_NE(run.err.substr(line, run.err.find('\n', line) - line).find(c.word), std::string::npos) << run.err;
    const fs::path jsonl = tmp.path() / "out.jsonl";
    EXPECT_EQ(fs::exists(jsonl), c.records >= 0);
    if (c.records >= 0) {
        const std::string text = ReadText(jsonl);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.records) << text;
    }
    ExpectNoPartFiles(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectToolBadInput,
    testing::Values(
        BadCase{"MissingSource", [](const fs::path& t) { return With(t, {(t / "gone.mp4").string()}); }, 1,
                "gone.mp4 does not exist", 0},
        BadCase{"UndecodableImage",
                [](const fs::path& t) {
                    WriteFile(t / "broken.png", "\x89PNG not really");
                    return With(t, {(t / "broken.png").string()});
                },
                1, "cannot decode image", 0},
        BadCase{"UndecodableVideo",
                [](const fs::path& t) {
                    WriteFile(t / "broken.mp4", std::string(4096, 'x'));
                    return With(t, {(t / "broken.mp4").string()});
                },
                1, "broken.mp4", 0},
        BadCase{"FolderWithoutImages",
                [](const fs::path& t) {
                    fs::create_directories(t / "empty");
                    return With(t, {(t / "empty").string()});
                },
                1, "holds no image", 0},
        BadCase{"BrokenImageInFolder",
                [](const fs::path& t) {
                    fs::create_directories(t / "shots");
                    WriteNoise(t / "shots" / "a.png", {64, 48}, 7);
                    WriteFile(t / "shots" / "b.png", "not a png");
                    return With(t, {(t / "shots").string()});
                },
                1, "shots: cannot decode image", 2},
        BadCase{"OneBrokenAmongGood",
                [](const fs::path& t) { return With(t, {(t / "good.png").string(), (t / "gone.png").string()}); },
                1, "gone.png does not exist", 1},
        BadCase{"MissingModelFolder",
                [](const fs::path& t) {
                    auto a = With(t, {(t / "good.png").string()});
                    a[1] = (t / "no-model").string();
                    return a;
                },
                4, "does not exist", -1},
        BadCase{"LabelsDisagreeWithModel",
                [](const fs::path& t) {
                    fs::create_directories(t / "model");
                    fs::copy_file(ModelDir("v8_nc3") + "/model.onnx", t / "model" / "model.onnx");
                    WriteFile(t / "model" / "labels.txt", "only\ntwo\n");
                    auto a = With(t, {(t / "good.png").string()});
                    a[1] = (t / "model").string();
                    return a;
                },
                4, "refused model folder", -1},
        BadCase{"OutputFolderUnderAFile",
                [](const fs::path& t) { return With(t, {"-o", (t / "file.txt" / "out").string(), (t / "good.png").string()}); },
                5, "cannot create output folder", -1},
        BadCase{"RecordsUnderAFile",
                [](const fs::path& t) {
                    auto a = With(t, {(t / "good.png").string()});
                    a[4] = (t / "file.txt" / "out.jsonl").string();
                    return a;
                },
                5, "cannot write", -1},
        BadCase{"MissingPlugin",
                [](const fs::path& t) { return With(t, {"--plugin", (t / "none.so").string(), (t / "good.png").string()}); },
                3, "not found", -1},
        BadCase{"NotAPlugin",
                [](const fs::path& t) { return With(t, {"--plugin", (t / "file.txt").string(), (t / "good.png").string()}); },
                3, "cannot load the detector library", -1},
        BadCase{"UnknownClass",
                [](const fs::path& t) { return With(t, {"--classes", "rifle,bazooka", (t / "good.png").string()}); },
                2, "unknown class 'bazooka'", -1},
        BadCase{"UnknownSetting",
                [](const fs::path& t) { return With(t, {"--set", "no_such_key=1", (t / "good.png").string()}); },
                2, "'no_such_key': unknown key", -1},
        BadCase{"FrameTooLargeForTheDetector",
                [](const fs::path& t) {
                    EXPECT_TRUE(cv::imwrite((t / "strip.png").string(), cv::Mat(1, 16385, CV_8UC3, cv::Scalar::all(9))));
                    return With(t, {(t / "strip.png").string()});
                },
                1, "strip: frame not inspected", 1},
        BadCase{"ThresholdOutOfRange",
                [](const fs::path& t) { return With(t, {"--conf", "1.5", (t / "good.png").string()}); }, 2,
                "from 0 to 1", -1},
        BadCase{"NoSource", [](const fs::path& t) { return With(t, {}); }, 2, "no source given", -1}),
    [](const testing::TestParamInfo<BadCase>& info) { return info.param.name; });

}  // namespace
