// korva_evaluate: scores the detector on a video with ground truth.
//
//   korva_evaluate --model DIR --video FILE.mp4 [--truth FILE.csv] [--threshold 0.6]
//
// Prints precision and recall per class (IoU >= 0.5, right class) and the
// detections on weapon-free frames; progress goes to stderr. The ground truth
// defaults to the video path with ".mp4" replaced by ".gt.csv". Exit status 0
// when the evaluation ran, 2 on a usage or input error.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "VideoEvaluation.h"
#include "korva/KorvaCustomWD.h"

namespace {

int Usage() {
    std::cerr << "usage: korva_evaluate --model DIR --video FILE.mp4 [--truth FILE.csv] "
                 "[--threshold 0.6]\n";
    return 2;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text) {
        if (c == ',') {
            items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    if (!text.empty()) items.push_back(item);
    return items;
}

}  // namespace

int main(int argc, char** argv) {
    std::string model, video, truthPath;
    float threshold = 0.6f;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--model") model = value;
        else if (key == "--video") video = value;
        else if (key == "--truth") truthPath = value;
        else if (key == "--threshold") threshold = std::strtof(value.c_str(), nullptr);
        else return Usage();
    }
    if (argc % 2 == 0 || model.empty() || video.empty()) return Usage();
    if (truthPath.empty()) {
        const std::size_t dot = video.rfind(".mp4");
        truthPath = (dot == std::string::npos ? video : video.substr(0, dot)) + ".gt.csv";
    }

    korva::eval::GroundTruth truth;
    std::string error;
    if (!korva::eval::LoadGroundTruth(truthPath, truth, error)) {
        std::cerr << "error: " << error << "\n";
        return 2;
    }
    KorvaCustomWD detector;
    std::string labelMap;
    if (!detector.Initialize(model, threshold, labelMap)) {
        std::cerr << "error: " << detector.LastError() << "\n";
        return 2;
    }
    const std::vector<std::string> classes = Split(labelMap);
    korva::eval::Evaluation evaluation;
    const bool ok = korva::eval::EvaluateVideo(
        detector, video, truth, static_cast<int>(classes.size()), evaluation, error, [](int frames) {
            if (frames % 25 == 0) std::fprintf(stderr, "\r%d frames scored", frames);
        });
    std::fprintf(stderr, "\n");
    if (!ok) {
        std::cerr << "error: " << error << "\n";
        return 2;
    }
    std::cout << video << " at threshold " << threshold << "\n"
              << korva::eval::FormatEvaluation(evaluation, classes);
    return 0;
}
