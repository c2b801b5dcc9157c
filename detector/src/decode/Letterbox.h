// Letterboxing a frame into the network input and mapping boxes back.
//
// The frame is scaled by one factor that keeps its aspect ratio, centred on a
// canvas of the input size and padded with gray kPadValue. Boxes found in input
// pixels map back to frame pixels through the same factor, in floating point.
#pragma once

#include <opencv2/core.hpp>

#include "model/ModelInput.h"

namespace korva::detail {

struct LetterboxGeometry {
    cv::Size frame;    // original frame size
    cv::Size input;    // network input size
    double scale = 1;  // input pixels per frame pixel
    cv::Size scaled;   // frame size after scaling
    int padX = 0;      // left padding in input pixels
    int padY = 0;      // top padding in input pixels
};

// Geometry for a non-empty frame and input.
LetterboxGeometry ComputeLetterbox(cv::Size frame, cv::Size input);

// A box given by centre and size in input pixels, mapped to frame pixels and
// clipped to the frame. The result may be empty when the box lies outside.
cv::Rect2d MapToFrame(double cx, double cy, double w, double h, const LetterboxGeometry& g);

// Reusable buffers for one preprocessing call at a time.
struct LetterboxScratch {
    cv::Mat resized;  // scaled frame, still in the frame's channel layout
    cv::Mat bgr;      // scaled frame as 8-bit BGR
    cv::Mat blob;     // 1 x 3 x H x W float32, RGB, values in [0, 1]
};

// Builds the network input blob of `frame` (8-bit, 1, 3 or 4 channels, any
// stride) into `scratch.blob`. Channels are converted after scaling, so the
// cost follows the input size rather than the frame size.
void MakeInputBlob(const cv::Mat& frame, const LetterboxGeometry& g, LetterboxScratch& scratch);

}  // namespace korva::detail
