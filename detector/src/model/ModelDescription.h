// What describes a loaded model and the engine running it, for reports.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace korva::detail {

// What describes the loaded model; reported, never edited by a host.
struct ModelDescription {
    bool loaded = false;
    cv::Size inputSize;
    std::string backend = "none";
    bool gpuRequested = false;
    int poolCapacity = 0;
    std::string modelPath;
    std::vector<std::string> classNames;
    // Why a requested GPU is not in use; empty when it is or none was asked for.
    std::string gpuFallback;
    // The engine in use and why ("onnxruntime 1.31.1", "opencv: ..."); empty
    // while no model is loaded.
    std::string engine;
    bool onnxRuntime = false;
    int intraOpThreads = 0;  // in use; 0 on OpenCV
};

}  // namespace korva::detail
