// One detection returned by a plug-in's RunInference.
//
// A valid detection has classId >= 0, 0 <= confidence <= 1 and a box with
// non-negative width and height. The matrix members follow OpenCV's sharing
// rules: a copy refers to the same pixel buffers as its source.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

struct CustomObject {
    int classId = 0;
    std::string textA;
    float confidence = 0.0f;
    cv::Rect box;
    std::vector<double> wideValues;
    cv::Mat hostImage;
    cv::cuda::GpuMat deviceImage;
    std::vector<float> narrowValues;
    std::string textB;
    std::string textC;
};
