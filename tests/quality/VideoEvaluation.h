// Scoring a detector against a video with per-frame ground truth.
//
// Ground truth is CSV with the header "frame,class_id,x,y,w,h" and one row per
// object; frames without a row hold no object. A detection counts as a true
// positive when it overlaps an unmatched ground-truth box of the same class
// with IoU >= 0.5 (greedy, best confidence first).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/CustomObject.h"

class KorvaCustomWD;

namespace korva::eval {

struct GroundTruthBox {
    int classId = 0;
    cv::Rect box;
    int objectId = -1;  // set by LinkObjects
};

// Frame index -> objects in that frame.
using GroundTruth = std::map<int, std::vector<GroundTruthBox>>;

bool LoadGroundTruth(const std::string& csvPath, GroundTruth& truth, std::string& error);

// Numbers the objects of `truth`: a box continues the object of a box of the
// same class in the frame just before that it overlaps with IoU >= `minIou`
// (best overlap first, one to one); any other box starts a new object.
// Returns the number of objects.
int LinkObjects(GroundTruth& truth, double minIou = 0.3);

struct ClassTally {
    int truePositives = 0;
    int falsePositives = 0;
    int falseNegatives = 0;
    double Precision() const;
    double Recall() const;
};

struct Evaluation {
    std::vector<ClassTally> perClass;  // indexed by class id
    int frames = 0;                    // frames read and scored
    int weaponFreeFrames = 0;          // frames without ground truth
    int detectionsOnWeaponFree = 0;    // detections reported on those frames
    // Per linked object: the frame it first appears in and the frame it is
    // first detected in (-1: never).
    std::map<int, std::pair<int, int>> objects;
    // False alarms as a viewer counts them: a false positive continues the
    // alarm of a false positive of the same class in the frame before that it
    // overlaps with IoU >= 0.3, else it raises a new one.
    int falseAlarms = 0;
    std::vector<CustomObject> lastFalsePositives;

    ClassTally Total() const;
};

double IntersectionOverUnion(const cv::Rect& a, const cv::Rect& b);

// Scores one frame's detections against its ground truth into `evaluation`.
void ScoreFrame(const std::vector<CustomObject>& detections,
                const std::vector<GroundTruthBox>& truth, double minIou, Evaluation& evaluation);

// Runs `detector` on every frame of `videoPath` and scores it. `progress` (may
// be empty) is called after each frame with the frame count so far.
bool EvaluateVideo(KorvaCustomWD& detector, const std::string& videoPath, const GroundTruth& truth,
                   int numClasses, Evaluation& evaluation, std::string& error,
                   const std::function<void(int)>& progress = {});

// A per-class table of precision and recall, one line per class and a total.
std::string FormatEvaluation(const Evaluation& evaluation, const std::vector<std::string>& classNames);

}  // namespace korva::eval
