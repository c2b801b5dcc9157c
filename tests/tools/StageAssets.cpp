// Stages the weapon model folder and test video into a run directory under
// the names the test executable looks for (relative names where the backslash
// is no path separator), optionally spoiling the model folder.
//
//   korva_stage_assets <run-dir> [--model <folder>] [--video <file>]
//                      [--model-as-file] [--corrupt-onnx] [--empty-labels]
//
// The run directory is emptied first. The video is copied as it is when
// OpenCV can open it under its staged name from the run directory; otherwise
// (FFmpeg reads the "C:" of that name as a protocol) it is re-encoded as
// Motion-JPEG AVI, which OpenCV's built-in reader opens under any name.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "TestAssetPaths.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
    std::cerr << "usage: korva_stage_assets <run-dir> [--model <folder>] [--video <file>]\n"
                 "                          [--model-as-file] [--corrupt-onnx] [--empty-labels]\n";
    return 2;
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
    if (argc < 2) {
        return Usage();
    }
    const fs::path runDir = argv[1];
    fs::path model;
    fs::path video;
    bool modelAsFile = false;
    bool corruptOnnx = false;
    bool emptyLabels = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--model" || arg == "--video") && i + 1 < argc) {
            (arg == "--model" ? model : video) = argv[++i];
        } else if (arg == "--model-as-file") {
            modelAsFile = true;
        } else if (arg == "--corrupt-onnx") {
            corruptOnnx = true;
        } else if (arg == "--empty-labels") {
            emptyLabels = true;
        } else {
            return Usage();
        }
    }

    try {
        fs::remove_all(runDir);
        fs::create_directories(runDir);
        const fs::path modelDest = runDir / kWeaponModelDir;
        if (modelAsFile) {
            WriteText(modelDest, "not a model folder\n");
        } else if (!model.empty()) {
            if (!fs::is_directory(model)) {
                std::cerr << "korva_stage_assets: model folder missing: " << model << "\n";
                return 1;
            }
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
            if (!fs::is_regular_file(video)) {
                std::cerr << "korva_stage_assets: video missing: " << video << "\n";
                return 1;
            }
            const fs::path videoDest = runDir / kWeaponVideo;
            fs::copy_file(video, videoDest);
            if (!VideoOpensInPlace(runDir)) {
                const fs::path temp = runDir / "video.avi";
                if (!TranscodeToMjpeg(video, temp)) {
                    return 1;
                }
                fs::rename(temp, videoDest);
                if (!VideoOpensInPlace(runDir)) {
                    std::cerr << "korva_stage_assets: staged video does not open\n";
                    return 1;
                }
            }
        }
    } catch (const fs::filesystem_error& e) {
        std::cerr << "korva_stage_assets: " << e.what() << "\n";
        return 1;
    }
    std::cout << "staged " << runDir.string() << "\n";
    return 0;
}
