// A loaded model and everything needed to run it on frames.
//
// The model bytes, class names, input size and output layout are fixed at
// load and shared read-only; the networks and their scratch buffers live in
// a NetPool, one per concurrent call. Detect may run on many threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detail/DetectorSettings.h"
#include "detail/NetPool.h"
#include "detail/OutputLayout.h"
#include "korva/CustomObject.h"

namespace korva::detail {

enum class Backend { kOpenCvCpu, kCudaFp16 };

const char* BackendName(Backend backend);

// Largest frame side accepted; bigger frames are refused as input errors.
inline constexpr int kMaxFrameSide = 16384;

// True for frames RunInference handles: non-empty 2-D 8-bit images with 1, 3
// or 4 channels, no side above kMaxFrameSide.
bool IsSupportedFrame(const cv::Mat& frame);

// False when the environment variable KORVA_SILU_FUSION is "0": models are
// then run exactly as exported. Read at each Load.
bool SiluFusionEnabled();

class InferenceEngine {
public:
    // Loads the model folder and runs one warm-up inference. Returns null
    // with a one-line reason in `error` on any failure. Throws only when
    // memory runs out while the reason is written.
    static std::unique_ptr<InferenceEngine> Load(const std::string& folder, Backend backend,
                                                 std::size_t poolCapacity, std::string& error);

    // A fresh engine for the same model on another backend, warmed up.
    std::unique_ptr<InferenceEngine> Rebuild(Backend backend, std::string& error) const;

    // Detections in `frame`, which must satisfy IsSupportedFrame. Throws on
    // OpenCV failures; the caller turns that into an empty result.
    std::vector<CustomObject> Detect(const cv::Mat& frame, const DetectorSettings& settings,
                                     const std::string& cameraId);

    const std::vector<std::string>& ClassNames() const { return model_->classNames; }
    cv::Size InputSize() const { return model_->inputSize; }
    const OutputLayout& Layout() const { return model_->layout; }
    Backend GetBackend() const { return backend_; }
    const NetPool& Pool() const { return *pool_; }
    ModelDescription Describe(bool gpuRequested) const;

private:
    // Immutable once loaded; shared by every engine built from it.
    struct Model {
        std::string path;
        std::vector<unsigned char> onnx;
        // On the CPU backend, networks are built from a copy of `onnx` with
        // each SiLU fused into one node (see OnnxSiluFusion.h). False when
        // fusion is disabled or the rewritten graph failed to import or run.
        bool fuseSilu = false;
        std::vector<std::string> classNames;
        cv::Size inputSize;
        OutputLayout layout;
        int outputIndex = 0;  // which network output carries the detections
    };

    InferenceEngine(std::shared_ptr<const Model> model, Backend backend) noexcept
        : model_(std::move(model)), backend_(backend) {}

    static cv::dnn::Net CreateNet(const Model& model, Backend backend);
    // Runs the net once on a padding-gray input and returns its outputs.
    static void WarmUp(cv::dnn::Net& net, const Model& model, std::vector<cv::Mat>& outputs);
    static std::unique_ptr<InferenceEngine> Finish(std::shared_ptr<const Model> model,
                                                   Backend backend, cv::dnn::Net first,
                                                   std::size_t poolCapacity);

    std::shared_ptr<const Model> model_;
    Backend backend_;
    std::vector<std::string> outputNames_;  // the same for every network of the pool
    std::unique_ptr<NetPool> pool_;
};

}  // namespace korva::detail
