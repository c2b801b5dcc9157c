#include "VideoEvaluation.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>

#include <opencv2/videoio.hpp>

#include "korva/KorvaCustomWD.h"

namespace korva::eval {

double ClassTally::Precision() const {
    const int reported = truePositives + falsePositives;
    return reported == 0 ? 1.0 : double(truePositives) / reported;
}

double ClassTally::Recall() const {
    const int present = truePositives + falseNegatives;
    return present == 0 ? 1.0 : double(truePositives) / present;
}

ClassTally Evaluation::Total() const {
    ClassTally total;
    for (const ClassTally& t : perClass) {
        total.truePositives += t.truePositives;
        total.falsePositives += t.falsePositives;
        total.falseNegatives += t.falseNegatives;
    }
    return total;
}

bool LoadGroundTruth(const std::string& csvPath, GroundTruth& truth, std::string& error) {
    truth.clear();
    std::ifstream in(csvPath);
    if (!in) {
        error = "cannot open ground truth " + csvPath;
        return false;
    }
    std::string line;
    if (!std::getline(in, line) || line.rfind("frame,class_id,x,y,w,h", 0) != 0) {
        error = csvPath + ": expected the header frame,class_id,x,y,w,h";
        return false;
    }
    int lineNumber = 1;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line == "\r") continue;
        int frame = 0;
        GroundTruthBox b;
        if (std::sscanf(line.c_str(), "%d,%d,%d,%d,%d,%d", &frame, &b.classId, &b.box.x, &b.box.y,
                        &b.box.width, &b.box.height) != 6 ||
            frame < 0 || b.classId < 0) {
            error = csvPath + ":" + std::to_string(lineNumber) + ": malformed row";
            return false;
        }
        truth[frame].push_back(b);
    }
    return true;
}

int LinkObjects(GroundTruth& truth, double minIou) {
    int next = 0;
    const std::vector<GroundTruthBox>* previous = nullptr;
    int previousFrame = -2;
    for (auto& [frame, boxes] : truth) {
        std::vector<std::tuple<double, std::size_t, std::size_t>> pairs;
        if (previous != nullptr && previousFrame == frame - 1) {
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                for (std::size_t j = 0; j < previous->size(); ++j) {
                    if (boxes[i].classId != (*previous)[j].classId) continue;
                    const double iou = IntersectionOverUnion(boxes[i].box, (*previous)[j].box);
                    if (iou >= minIou) pairs.emplace_back(iou, i, j);
                }
            }
        }
        std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
            return std::get<0>(a) > std::get<0>(b);
        });
        std::vector<bool> taken(previous ? previous->size() : 0, false);
        for (auto& b : boxes) b.objectId = -1;
        for (const auto& [iou, i, j] : pairs) {
            if (boxes[i].objectId >= 0 || taken[j]) continue;
            boxes[i].objectId = (*previous)[j].objectId;
            taken[j] = true;
        }
        for (auto& b : boxes) {
            if (b.objectId < 0) b.objectId = next++;
        }
        previous = &boxes;
        previousFrame = frame;
    }
    return next;
}

double IntersectionOverUnion(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double uni = double(a.area()) + double(b.area()) - inter;
    return uni > 0 ? inter / uni : 0.0;
}

void ScoreFrame(const std::vector<CustomObject>& detections,
                const std::vector<GroundTruthBox>& truth, double minIou, Evaluation& evaluation) {
    int maxClass = 0;
    for (const auto& d : detections) maxClass = std::max(maxClass, d.classId);
    for (const auto& t : truth) maxClass = std::max(maxClass, t.classId);
    if (evaluation.perClass.size() <= static_cast<std::size_t>(maxClass)) {
        evaluation.perClass.resize(maxClass + 1);
    }

    std::vector<std::size_t> order(detections.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return detections[a].confidence > detections[b].confidence;
    });
    std::vector<bool> matched(truth.size(), false);
    std::vector<CustomObject> falsePositives;
    for (std::size_t i : order) {
        const CustomObject& d = detections[i];
        double bestIou = minIou;
        int best = -1;
        for (std::size_t t = 0; t < truth.size(); ++t) {
            if (matched[t] || truth[t].classId != d.classId) continue;
            const double iou = IntersectionOverUnion(d.box, truth[t].box);
            if (iou >= bestIou) {
                bestIou = iou;
                best = static_cast<int>(t);
            }
        }
        ClassTally& tally = evaluation.perClass[static_cast<std::size_t>(d.classId)];
        if (best >= 0) {
            matched[static_cast<std::size_t>(best)] = true;
            ++tally.truePositives;
        } else {
            ++tally.falsePositives;
            const bool continues = std::any_of(
                evaluation.lastFalsePositives.begin(), evaluation.lastFalsePositives.end(),
                [&](const CustomObject& p) {
                    return p.classId == d.classId && IntersectionOverUnion(p.box, d.box) >= 0.3;
                });
            if (!continues) ++evaluation.falseAlarms;
            falsePositives.push_back(d);
        }
    }
    evaluation.lastFalsePositives = std::move(falsePositives);
    for (std::size_t t = 0; t < truth.size(); ++t) {
        if (!matched[t]) ++evaluation.perClass[static_cast<std::size_t>(truth[t].classId)].falseNegatives;
        if (truth[t].objectId < 0) continue;
        std::pair<int, int>& object =
            evaluation.objects.try_emplace(truth[t].objectId, evaluation.frames, -1).first->second;
        if (matched[t] && object.second < 0) object.second = evaluation.frames;
    }
    ++evaluation.frames;
    if (truth.empty()) {
        ++evaluation.weaponFreeFrames;
        evaluation.detectionsOnWeaponFree += static_cast<int>(detections.size());
    }
}

bool EvaluateVideo(KorvaCustomWD& detector, const std::string& videoPath, const GroundTruth& truth,
                   int numClasses, Evaluation& evaluation, std::string& error,
                   const std::function<void(int)>& progress) {
    evaluation = Evaluation{};
    evaluation.perClass.resize(static_cast<std::size_t>(std::max(numClasses, 0)));
    cv::VideoCapture cap(videoPath, cv::CAP_ANY);
    if (!cap.isOpened()) {
        error = "cannot open video " + videoPath;
        return false;
    }
    static const std::vector<GroundTruthBox> kNothing;
    cv::Mat frame;
    for (int index = 0; cap.read(frame); ++index) {
        const auto it = truth.find(index);
        ScoreFrame(detector.RunInference(frame, "eval"), it == truth.end() ? kNothing : it->second,
                   0.5, evaluation);
        if (progress) progress(evaluation.frames);
    }
    if (evaluation.frames == 0) {
        error = "video " + videoPath + " yielded no frame";
        return false;
    }
    const int lastTruthFrame = truth.empty() ? -1 : truth.rbegin()->first;
    if (lastTruthFrame >= evaluation.frames) {
        error = "ground truth names frame " + std::to_string(lastTruthFrame) + " but the video has " +
                std::to_string(evaluation.frames) + " frames";
        return false;
    }
    return true;
}

std::string FormatEvaluation(const Evaluation& evaluation, const std::vector<std::string>& classNames) {
    std::ostringstream out;
    char line[160];
    std::snprintf(line, sizeof line, "%-12s %6s %6s %6s %10s %8s\n", "class", "TP", "FP", "FN",
                  "precision", "recall");
    out << line;
    const auto row = [&](const std::string& name, const ClassTally& t) {
        std::snprintf(line, sizeof line, "%-12s %6d %6d %6d %10.4f %8.4f\n", name.c_str(),
                      t.truePositives, t.falsePositives, t.falseNegatives, t.Precision(), t.Recall());
        out << line;
    };
    for (std::size_t c = 0; c < evaluation.perClass.size(); ++c) {
        row(c < classNames.size() ? classNames[c] : "class" + std::to_string(c), evaluation.perClass[c]);
    }
    row("all", evaluation.Total());
    out << "frames " << evaluation.frames << ", weapon-free frames " << evaluation.weaponFreeFrames
        << ", detections on weapon-free frames " << evaluation.detectionsOnWeaponFree
        << ", false alarms (false positives linked across frames) " << evaluation.falseAlarms << "\n";
    if (!evaluation.objects.empty()) {
        int detected = 0;
        double delay = 0.0;
        for (const auto& [id, frames] : evaluation.objects) {
            if (frames.second < 0) continue;
            ++detected;
            delay += frames.second - frames.first;
        }
        std::snprintf(line, sizeof line,
                      "objects %zu, detected %d (recall per object %.4f), mean frames to first "
                      "detection %.2f\n",
                      evaluation.objects.size(), detected,
                      double(detected) / double(evaluation.objects.size()),
                      detected > 0 ? delay / detected : 0.0);
        out << line;
    }
    return out.str();
}

}  // namespace korva::eval
