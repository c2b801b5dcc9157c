// korva_evaluate: scores the detector on a video with ground truth.
//
//   korva_evaluate --model DIR --video FILE.mp4 [--truth FILE.csv] [--threshold 0.6]
//                  [--param KEY[@SUBJECT]=V1,V2,...]... [--compare ENTRY[+ENTRY...]]...
//
// Prints precision and recall per class (IoU >= 0.5, right class), the
// detections on weapon-free frames, and how many of the video's objects
// (ground-truth boxes linked across frames) were detected at least once;
// progress goes to stderr. Each --param adds a value entry to the detector's
// parameter record (textA KEY, textB SUBJECT, the values), e.g.
// --param confirm_frames@*=2,3 or --param class_threshold@knife=0.7; the
// frames run as camera "eval". Each --compare scores one more set of alarm
// rules (entries as for --param, joined with "+") in the same pass: applied
// to the detector's detections of each frame by the detector's own rule code,
// frames 40 ms apart, so a sweep costs one inference per frame. It reproduces
// the detector's results except where a class threshold lies below
// --threshold (the detector then decodes at the lower threshold). The ground truth
// defaults to the video path with ".mp4" replaced by ".gt.csv". Exit status 0
// when the evaluation ran, 2 on a usage or input error.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <algorithm>
#include <chrono>

#include <opencv2/videoio.hpp>

#include "VideoEvaluation.h"
#include "rules/AlarmRules.h"
#include "settings/ParameterRecord.h"
#include "korva/KorvaCustomWD.h"

namespace {

int Usage() {
    std::cerr << "usage: korva_evaluate --model DIR --video FILE.mp4 [--truth FILE.csv] "
                 "[--threshold 0.6] [--param KEY[@SUBJECT]=V1,V2,...]... "
                 "[--compare ENTRY[+ENTRY...]]...\n";
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

// "KEY[@SUBJECT]=V1,V2,..." as a value entry; false when malformed.
bool ParseParam(const std::string& text, ValueListEntry& entry) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    const std::string name = text.substr(0, eq);
    const std::size_t at = name.find('@');
    entry.textA = name.substr(0, at);
    entry.textB = at == std::string::npos ? std::string() : name.substr(at + 1);
    for (const std::string& v : Split(text.substr(eq + 1))) {
        char* end = nullptr;
        const double d = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0') return false;
        entry.wideValues.push_back(d);
    }
    return !entry.textA.empty();
}

struct Comparison {
    std::string label;
    CustomParams record;
    korva::detail::AlarmRules rules;
    korva::detail::ConfirmationTracker tracker;
    korva::eval::Evaluation evaluation;
};

// One line: label, tallies, weapon-free detections, false alarms, objects.
std::string Summary(const std::string& label, const korva::eval::Evaluation& e) {
    const korva::eval::ClassTally t = e.Total();
    int detected = 0;
    double delay = 0.0;
    for (const auto& [id, frames] : e.objects) {
        if (frames.second < 0) continue;
        ++detected;
        delay += frames.second - frames.first;
    }
    char line[320];
    std::snprintf(line, sizeof line,
                  "summary %-40s TP %4d FP %4d FN %4d P %.4f R %.4f weapon-free %3d/%3d alarms %3d "
                  "objects %d/%zu delay %.2f\n",
                  label.c_str(), t.truePositives, t.falsePositives, t.falseNegatives, t.Precision(),
                  t.Recall(), e.detectionsOnWeaponFree, e.weaponFreeFrames, e.falseAlarms, detected,
                  e.objects.size(), detected > 0 ? delay / detected : 0.0);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    std::string model, video, truthPath;
    float threshold = 0.6f;
    std::vector<ValueListEntry> extra;
    std::vector<std::unique_ptr<Comparison>> comparisons;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--model") model = value;
        else if (key == "--video") video = value;
        else if (key == "--truth") truthPath = value;
        else if (key == "--threshold") threshold = std::strtof(value.c_str(), nullptr);
        else if (key == "--param") {
            ValueListEntry entry;
            if (!ParseParam(value, entry)) return Usage();
            extra.push_back(entry);
        } else if (key == "--compare") {
            auto c = std::make_unique<Comparison>();
            c->label = value;
            std::string part;
            for (std::size_t at = 0; at <= value.size(); ++at) {
                if (at < value.size() && value[at] != '+') {
                    part += value[at];
                    continue;
                }
                ValueListEntry entry;
                if (!ParseParam(part, entry)) return Usage();
                c->record.valueListEntries.push_back(entry);
                part.clear();
            }
            comparisons.push_back(std::move(c));
        } else return Usage();
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
    const int objects = korva::eval::LinkObjects(truth);
    KorvaCustomWD detector;
    std::string labelMap;
    if (!detector.Initialize(model, threshold, labelMap)) {
        std::cerr << "error: " << detector.LastError() << "\n";
        return 2;
    }
    if (!extra.empty()) {
        CustomParams record;
        detector.ConfigureParameters(record);
        auto& list = record.valueListEntries;
        for (const ValueListEntry& e : extra) {
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [&](const ValueListEntry& o) { return o.textA == e.textA; }),
                       list.end());
        }
        list.insert(list.end(), extra.begin(), extra.end());
        KorvaCustomWD::ParameterReport report;
        if (!detector.ApplyParameters(record, report)) {
            std::cerr << "error: " << detector.LastError() << "\n";
            return 2;
        }
    }
    const std::vector<std::string> classes = Split(labelMap);
    korva::detail::ModelDescription loaded;
    loaded.loaded = true;
    loaded.classNames = classes;
    const korva::detail::DetectorStatus status;
    for (auto& c : comparisons) {
        const korva::detail::DetectorSettings defaults;
        korva::detail::DetectorSettings read;
        std::vector<korva::detail::EntryResult> results;
        if (!korva::detail::ReadRecord(c->record, korva::detail::ReadOnlyEntries::kSkip,
                                       {defaults, loaded, status}, read, results)) {
            std::cerr << "error: --compare " << c->label << ": " << korva::detail::DescribeRefusals(results)
                      << "\n";
            return 2;
        }
        c->rules = read.rules;
    }
    korva::eval::Evaluation evaluation;
    const auto progress = [](int frames) {
        if (frames % 25 == 0) std::fprintf(stderr, "\r%d frames scored", frames);
    };
    bool ok = true;
    if (comparisons.empty()) {
        ok = korva::eval::EvaluateVideo(detector, video, truth, static_cast<int>(classes.size()),
                                        evaluation, error, progress);
    } else {
        cv::VideoCapture cap(video, cv::CAP_ANY);
        if (!cap.isOpened()) {
            std::cerr << "error: cannot open video " << video << "\n";
            return 2;
        }
        static const std::vector<korva::eval::GroundTruthBox> kNothing;
        const korva::detail::ConfirmationTracker::Clock::time_point start{};
        cv::Mat frame;
        for (int index = 0; cap.read(frame); ++index) {
            const auto it = truth.find(index);
            const auto& boxes = it == truth.end() ? kNothing : it->second;
            const std::vector<CustomObject> raw = detector.RunInference(frame, "eval");
            korva::eval::ScoreFrame(raw, boxes, 0.5, evaluation);
            for (auto& c : comparisons) {
                korva::eval::ScoreFrame(
                    c->rules.Apply(threshold, c->tracker, "eval", frame.size(), raw,
                                   start + std::chrono::milliseconds(40) * index),
                    boxes, 0.5, c->evaluation);
            }
            progress(evaluation.frames);
        }
        ok = evaluation.frames > 0;
        error = "video " + video + " yielded no frame";
    }
    std::fprintf(stderr, "\n");
    if (!ok) {
        std::cerr << "error: " << error << "\n";
        return 2;
    }
    std::cout << video << " at threshold " << threshold;
    for (const ValueListEntry& e : extra) {
        std::cout << " " << e.textA << (e.textB.empty() ? "" : "@" + e.textB) << "=";
        for (std::size_t i = 0; i < e.wideValues.size(); ++i) std::cout << (i ? "," : "") << e.wideValues[i];
    }
    std::cout << " (" << objects << " objects in the ground truth)\n"
              << korva::eval::FormatEvaluation(evaluation, classes);
    if (comparisons.empty()) return 0;
    std::cout << Summary("as configured", evaluation);
    for (const auto& c : comparisons) std::cout << Summary(c->label, c->evaluation);
    return 0;
}
