// korva_detect_throughput: frames per second of korva-detect on a video next
// to RunInference alone on the same frames, measured in one run.
//
//   korva_detect_throughput --tool PATH --model DIR --video FILE [--frames 100] [--rounds 2]
//
// Each round times, in turn: RunInference over the frames decoded into memory
// beforehand; korva-detect writing JSON Lines only; korva-detect writing JSON
// Lines and the annotated video. For the tool it prints the run loop's rate
// from its summary (decode, inference, outputs) and the rate over the whole
// process (start and model load included).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/videoio.hpp>

#include "korva/KorvaCustomWD.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

double JsonNumber(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\"" + key + "\":");
    return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + key.size() + 3);
}

struct ToolRate {
    double loopFps = -1.0;
    double processFps = -1.0;
};

ToolRate RunTool(const std::string& tool, const std::string& model, const std::string& video, int frames,
                 const fs::path& work, bool annotate) {
    const fs::path summary = work / "summary.json";
    std::string command = Quote(tool) + " -q --model " + Quote(model) + " --max-frames " +
                          std::to_string(frames) + " --jsonl " + Quote((work / "out.jsonl").string()) +
                          " --summary-json " + Quote(summary.string());
    if (annotate) command += " --out-dir " + Quote((work / "annotated").string());
    command += " " + Quote(video);
    const Clock::time_point start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = Seconds(start);
    ToolRate rate;
    if (status != 0) {
        std::fprintf(stderr, "korva-detect failed (%d)\n", status);
        return rate;
    }
    std::ifstream in(summary);
    std::stringstream text;
    text << in.rdbuf();
    rate.loopFps = JsonNumber(text.str(), "fps");
    rate.processFps = frames / seconds;
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool, model, video;
    int frames = 100;
    int rounds = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--tool") tool = argv[i + 1];
        else if (key == "--model") model = argv[i + 1];
        else if (key == "--video") video = argv[i + 1];
        else if (key == "--frames") frames = std::atoi(argv[i + 1]);
        else if (key == "--rounds") rounds = std::atoi(argv[i + 1]);
    }
    if (tool.empty() || model.empty() || video.empty() || frames < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: korva_detect_throughput --tool PATH --model DIR --video FILE "
                             "[--frames 100] [--rounds 2]\n");
        return 2;
    }
    std::vector<cv::Mat> decoded;
    cv::VideoCapture capture(video);
    for (cv::Mat f; static_cast<int>(decoded.size()) < frames && capture.read(f);) decoded.push_back(f.clone());
    if (static_cast<int>(decoded.size()) < frames) {
        std::fprintf(stderr, "the video has only %zu frames\n", decoded.size());
        return 2;
    }
    KorvaCustomWD detector;
    std::string labelMap;
    if (!detector.Initialize(model, 0.5f, labelMap)) {
        std::fprintf(stderr, "%s\n", detector.LastError().c_str());
        return 2;
    }
    detector.RunInference(decoded[0], "warm-up");

    const fs::path work = fs::temp_directory_path() / ("korva_detect_throughput_" + std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(work);
    std::printf("%d frames of %s, %dx%d\n", frames, video.c_str(), decoded[0].cols, decoded[0].rows);
    std::printf("round  RunInference alone  tool, records only (loop / process)  tool, records + video (loop / process)\n");
    for (int round = 1; round <= rounds; ++round) {
        const Clock::time_point start = Clock::now();
        std::size_t detections = 0;
        for (const cv::Mat& f : decoded) detections += detector.RunInference(f, "AK47 Glock").size();
        const double alone = frames / Seconds(start);
        const ToolRate records = RunTool(tool, model, video, frames, work, false);
        const ToolRate annotated = RunTool(tool, model, video, frames, work, true);
        std::printf("%5d  %12.2f fps     %10.2f / %.2f fps (%.2fx)           %10.2f / %.2f fps (%.2fx)\n", round,
                    alone, records.loopFps, records.processFps, records.loopFps / alone, annotated.loopFps,
                    annotated.processFps, annotated.loopFps / alone);
        if (detections == 0) std::fprintf(stderr, "note: no detections in round %d\n", round);
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}
