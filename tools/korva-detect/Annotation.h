// Boxes and labels drawn onto a frame. Each class has its own colour; a
// label ("name 0.87") sits in a filled box of that colour with black or
// white text, whichever contrasts more, so it reads on any background.
// Line width and text size follow the frame size.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "FrameRecord.h"

namespace korva::detect {

// The colour (BGR) of class `classId`.
cv::Scalar ClassColor(int classId);

// Black or white, whichever contrasts more with `background` (BGR).
cv::Scalar TextColorOn(const cv::Scalar& background);

// Contrast ratio of two sRGB colours (BGR), 1 to 21, as WCAG defines it.
double ContrastRatio(const cv::Scalar& a, const cv::Scalar& b);

// Draws every detection onto `image` (8-bit, 1, 3 or 4 channels).
void Annotate(cv::Mat& image, const std::vector<Detection>& detections);

}  // namespace korva::detect
