// korva_compare: runs a model folder and a reference folder (the same weights,
// exported another way) through the detector on the same frames and reports
// whether the model loads and how far its detections are from the reference's.
//
//   korva_compare --model DIR --reference DIR [--video FILE.mp4] [--frames 40]
//                 [--threshold 0.3]
//
// Frames come from the video (every few frames) or, without one, are seeded
// noise. Prints one line of JSON on stdout: {"accepted": false, "reason": ...}
// or the detection counts, how many detections pair up (same class, IoU >=
// 0.9), the largest confidence difference and the largest corner offset in
// pixels among the pairs, and the engine the detector reports. Exit status 0
// when the comparison ran (a refused model included), 2 on a usage error or
// when the reference itself fails to load.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "korva/KorvaCustomWD.h"

namespace {

int Usage() {
    std::cerr << "usage: korva_compare --model DIR --reference DIR [--video FILE.mp4] [--frames 40] "
                 "[--threshold 0.3]\n";
    return 2;
}

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
            continue;
        }
        out += c;
    }
    return out + "\"";
}

double Iou(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double uni = a.area() + b.area() - inter;
    return uni > 0 ? inter / uni : 0.0;
}

std::string Engine(KorvaCustomWD& detector) {
    CustomParams p;
    if (!detector.ConfigureParameters(p)) return "?";
    for (const auto& f : p.flagEntries) {
        if (f.textA == "backend") return f.textB;
    }
    return "?";
}

std::vector<cv::Mat> Frames(const std::string& video, int count) {
    std::vector<cv::Mat> frames;
    if (!video.empty()) {
        cv::VideoCapture cap(video);
        cv::Mat f;
        for (int i = 0; static_cast<int>(frames.size()) < count && cap.read(f); ++i) {
            if (i % 5 == 0) frames.push_back(f.clone());
        }
        return frames;
    }
    std::mt19937 rng(1234);
    const cv::Size sizes[] = {{640, 480}, {1280, 720}, {96, 64}, {333, 777}};
    for (int i = 0; i < count; ++i) {
        cv::Mat f(sizes[i % 4], CV_8UC3);
        cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(256));
        frames.push_back(f);
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    std::string model, reference, video;
    int frameCount = 40;
    float threshold = 0.3f;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--model") model = value;
        else if (key == "--reference") reference = value;
        else if (key == "--video") video = value;
        else if (key == "--frames") frameCount = std::atoi(value.c_str());
        else if (key == "--threshold") threshold = std::strtof(value.c_str(), nullptr);
        else return Usage();
    }
    if (argc % 2 == 0 || model.empty() || reference.empty() || frameCount <= 0) return Usage();

    KorvaCustomWD ref;
    std::string labels;
    if (!ref.Initialize(reference, threshold, labels)) {
        std::cerr << "error: reference: " << ref.LastError() << "\n";
        return 2;
    }
    KorvaCustomWD det;
    std::string modelLabels;
    if (!det.Initialize(model, threshold, modelLabels)) {
        std::cout << "{\"accepted\": false, \"reason\": " << Json(det.LastError()) << "}\n";
        return 0;
    }

    std::size_t modelCount = 0, refCount = 0, paired = 0;
    double maxConf = 0.0, maxCorner = 0.0;
    for (const cv::Mat& frame : Frames(video, frameCount)) {
        const auto a = det.RunInference(frame);
        const auto b = ref.RunInference(frame);
        modelCount += a.size();
        refCount += b.size();
        std::vector<bool> used(b.size(), false);
        for (const CustomObject& d : a) {
            std::size_t best = b.size();
            double bestIou = 0.9;
            for (std::size_t j = 0; j < b.size(); ++j) {
                const double iou = Iou(d.box, b[j].box);
                if (!used[j] && b[j].classId == d.classId && iou >= bestIou) {
                    best = j;
                    bestIou = iou;
                }
            }
            if (best == b.size()) continue;
            used[best] = true;
            ++paired;
            const cv::Rect& r = b[best].box;
            maxConf = std::max(maxConf, std::abs(double(d.confidence) - double(b[best].confidence)));
            maxCorner = std::max({maxCorner, std::abs(double(d.box.x - r.x)), std::abs(double(d.box.y - r.y)),
                                  std::abs(double(d.box.br().x - r.br().x)),
                                  std::abs(double(d.box.br().y - r.br().y))});
        }
    }
    std::printf("{\"accepted\": true, \"engine\": %s, \"reference_engine\": %s, \"labels\": %s, "
                "\"detections\": %zu, \"reference_detections\": %zu, \"paired\": %zu, "
                "\"max_confidence_diff\": %.6g, \"max_corner_px\": %.6g}\n",
                Json(Engine(det)).c_str(), Json(Engine(ref)).c_str(), Json(modelLabels).c_str(),
                modelCount, refCount, paired, maxConf, maxCorner);
    return 0;
}
