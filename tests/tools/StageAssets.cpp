// Stages the weapon model folder and test video into a run directory under
// the names the test executable looks for (relative names where the backslash
// is no path separator), optionally spoiling the model folder.
//
//   korva_stage_assets <run-dir> [--model <folder>] [--video <file>]
//                      [--model-as-file] [--corrupt-onnx] [--empty-labels]
//
// Every argument is checked before anything on disk changes. The run
// directory must be missing, empty, or one this tool staged before (it holds
// the marker file kMarker); only such a directory is emptied. Anything else
// is refused, so a mistyped run directory cannot cost the user files; so is
// a --model or --video inside the run directory, which emptying it would delete.
// The video is copied as it is when
// OpenCV can open it under its staged name from the run directory; otherwise
// (FFmpeg reads the "C:" of that name as a protocol) it is re-encoded as
// Motion-JPEG AVI, which OpenCV's built-in reader opens under any name.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "TestAssetPaths.h"

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& file, const std::string& text);

// Marks a run directory as staged by this tool and so safe to empty.
const char* const kMarker = ".korva_stage_run";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: korva_stage_assets <run-dir> [--model <folder>] [--video <file>]\n"
    "                          [--model-as-file] [--corrupt-onnx] [--empty-labels]\n"
    "       korva_stage_assets --help\n";

int Usage(const std::string& problem) {
    std::cerr << "korva_stage_assets: " << problem << "\n" << kUsage;
    return kExitUsage;
}

int Refuse(const std::string& problem) {
    std::cerr << "korva_stage_assets: " << problem << "\n";
    return kExitUsage;
}

// Whether `dir` may be used as the run directory: missing, an empty
// directory, or a directory holding the marker. `why` says why not.
bool RunDirUsable(const fs::path& dir, std::string& why) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(dir, ec);
    if (st.type() == fs::file_type::not_found) return true;
    if (ec) {
        why = "cannot inspect run directory " + dir.string() + ": " + ec.message();
        return false;
    }
    if (st.type() != fs::file_type::directory) {
        why = "run directory " + dir.string() + " exists and is not a directory (symbolic links are not followed)";
        return false;
    }
    const bool empty = fs::is_empty(dir, ec);
    if (ec) {
        why = "cannot list run directory " + dir.string() + ": " + ec.message();
        return false;
    }
    if (empty || fs::is_regular_file(fs::symlink_status(dir / kMarker, ec))) return true;
    why = "run directory " + dir.string() + " is not empty and was not staged by this tool (no " +
          kMarker + "); refusing to empty it";
    return false;
}

// Whether `path` is `dir` or lies below it, symbolic links resolved: such an
// input would be deleted when the run directory is emptied.
bool InsideDir(const fs::path& path, const fs::path& dir) {
    std::error_code ec;
    const fs::path d = fs::weakly_canonical(fs::absolute(dir, ec), ec);
    if (ec) return false;
    const fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) return false;
    auto pi = p.begin();
    for (auto di = d.begin(); di != d.end(); ++di, ++pi) {
        if (di->empty() && std::next(di) == d.end()) break;  // trailing separator
        if (pi == p.end() || *pi != *di) return false;
    }
    return true;
}

// Removes everything in the run directory, which RunDirUsable accepted,
// and leaves it holding the marker alone.
void ResetRunDir(const fs::path& dir) {
    fs::create_directories(dir);
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename() != kMarker) fs::remove_all(entry.path());
    }
    WriteText(dir / kMarker, "staged by korva_stage_assets; the directory is emptied on the next run\n");
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw fs::filesystem_error("cannot write", file, std::make_error_code(std::errc::io_error));
    }
}

// Whether the staged video opens and yields a frame the way the tests open
// it: by its name, relative to the run directory, with any backend.
bool VideoOpensInPlace(const fs::path& runDir) {
    const fs::path previous = fs::current_path();
    fs::current_path(runDir);
    bool ok = false;
    {
        cv::VideoCapture cap(kWeaponVideo, cv::CAP_ANY);
        cv::Mat frame;
        ok = cap.isOpened() && cap.read(frame) && !frame.empty();
    }
    fs::current_path(previous);
    return ok;
}

// Re-encodes every frame of `source` into a Motion-JPEG AVI at `target`.
bool TranscodeToMjpeg(const fs::path& source, const fs::path& target) {
    cv::VideoCapture in(source.string(), cv::CAP_ANY);
    if (!in.isOpened()) {
        std::cerr << "korva_stage_assets: cannot open " << source << "\n";
        return false;
    }
    double fps = in.get(cv::CAP_PROP_FPS);
    if (!(fps > 0.0 && fps < 1000.0)) {
        fps = 25.0;
    }
    cv::VideoWriter out;
    cv::Mat frame;
    int frames = 0;
    while (in.read(frame) && !frame.empty()) {
        if (!out.isOpened()) {
            // FFmpeg's encoder where available; OpenCV's own writes frames
            // that libjpeg decodes with warnings.
            const int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
            if (!out.open(target.string(), cv::CAP_FFMPEG, fourcc, fps, frame.size()) &&
                !out.open(target.string(), cv::CAP_OPENCV_MJPEG, fourcc, fps, frame.size())) {
                std::cerr << "korva_stage_assets: cannot write " << target << "\n";
                return false;
            }
            out.set(cv::VIDEOWRITER_PROP_QUALITY, 95);
        }
        out.write(frame);
        ++frames;
    }
    out.release();
    if (frames == 0) {
        std::cerr << "korva_stage_assets: no frame in " << source << "\n";
        return false;
    }
    std::cout << "re-encoded " << frames << " frames as Motion-JPEG\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (argc < 2) {
        return Usage("no run directory given");
    }
    const std::string runArg = argv[1];
    if (runArg.empty() || runArg[0] == '-') {
        return Usage("the first argument must be the run directory, not '" + runArg + "'");
    }
    const fs::path runDir = runArg;
    fs::path model;
    fs::path video;
    bool modelAsFile = false;
    bool corruptOnnx = false;
    bool emptyLabels = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--model" || arg == "--video") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                return Usage(arg + " needs a path");
            }
            (arg == "--model" ? model : video) = argv[++i];
        } else if (arg == "--model-as-file") {
            modelAsFile = true;
        } else if (arg == "--corrupt-onnx") {
            corruptOnnx = true;
        } else if (arg == "--empty-labels") {
            emptyLabels = true;
        } else {
            return Usage("unknown argument '" + arg + "'");
        }
    }

    // Every input is checked before anything on disk changes.
    std::error_code ec;
    if (modelAsFile && !model.empty()) {
        return Usage("--model-as-file and --model exclude each other");
    }
    if ((corruptOnnx || emptyLabels) && model.empty()) {
        return Usage("--corrupt-onnx and --empty-labels need --model");
    }
    if (!model.empty() && !fs::is_directory(model, ec)) {
        return Refuse("model folder missing: " + model.string());
    }
    if (corruptOnnx && !fs::is_regular_file(model / "model.onnx", ec)) {
        return Refuse("--corrupt-onnx needs " + (model / "model.onnx").string());
    }
    if (!video.empty() && !fs::is_regular_file(video, ec)) {
        return Refuse("video missing: " + video.string());
    }
    std::string why;
    if (!RunDirUsable(runDir, why)) {
        return Refuse(why);
    }
    for (const fs::path* input : {&model, &video}) {
        if (!input->empty() && InsideDir(*input, runDir)) {
            return Refuse(input->string() + " is inside run directory " + runDir.string() +
                          ", which is emptied before staging; copy it elsewhere first");
        }
    }

    try {
        ResetRunDir(runDir);
        const fs::path modelDest = runDir / kWeaponModelDir;
        if (modelAsFile) {
            WriteText(modelDest, "not a model folder\n");
        } else if (!model.empty()) {
            fs::create_directory(modelDest);
            for (const fs::directory_entry& entry : fs::directory_iterator(model)) {
                if (entry.is_regular_file()) {
                    fs::copy_file(entry.path(), modelDest / entry.path().filename());
                }
            }
            if (corruptOnnx) {
                // A truncated download: half of the protobuf is gone.
                const fs::path onnx = modelDest / "model.onnx";
                fs::resize_file(onnx, fs::file_size(onnx) / 2);
            }
            if (emptyLabels) {
                WriteText(modelDest / "labels.txt", "");
            }
        }
        if (!video.empty()) {
            const fs::path videoDest = runDir / kWeaponVideo;
            fs::copy_file(video, videoDest);
            if (!VideoOpensInPlace(runDir)) {
                const fs::path temp = runDir / "video.avi";
                if (!TranscodeToMjpeg(video, temp)) {
                    return kExitFailed;
                }
                fs::rename(temp, videoDest);
                if (!VideoOpensInPlace(runDir)) {
                    std::cerr << "korva_stage_assets: staged video does not open\n";
                    return kExitFailed;
                }
            }
        }
    } catch (const fs::filesystem_error& e) {
        std::cerr << "korva_stage_assets: " << e.what() << "\n";
        return kExitFailed;
    }
    std::cout << "staged " << runDir.string() << "\n";
    return 0;
}
