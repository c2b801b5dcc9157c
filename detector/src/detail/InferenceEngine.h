// A loaded model and everything needed to run it on frames.
//
// The model (ONNX bytes, class names, input size, output layout) is fixed at
// load and shared read-only by every engine built from it; the engine runs
// the network (see Engine.h), and per-call buffers come from a small free
// list, so Detect may run on many threads at once.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detail/CandidateDecoder.h"
#include "detail/DetectorSettings.h"
#include "detail/Engine.h"
#include "detail/EngineRequest.h"
#include "detail/Letterbox.h"
#include "detail/OutputLayout.h"
#include "korva/CustomObject.h"

namespace korva::detail {

// Largest frame side accepted; bigger frames are refused as input errors.
inline constexpr int kMaxFrameSide = 16384;

// True for frames RunInference handles: non-empty 2-D 8-bit images with 1, 3
// or 4 channels, no side above kMaxFrameSide.
bool IsSupportedFrame(const cv::Mat& frame);

class InferenceEngine {
public:
    // Loads the model folder and builds the engine `request` asks for (see
    // EngineRequest.h), warmed up. Null with a one-line reason in `error` on
    // any failure. Never throws.
    static std::unique_ptr<InferenceEngine> Load(const std::string& folder, const EngineRequest& request,
                                                 std::string& error);

    // The same model on a fresh engine of the same kind, built for `request`'s
    // GPU wish and thread count. Null with a reason on failure. Never throws.
    std::unique_ptr<InferenceEngine> Rebuild(const EngineRequest& request, std::string& error) const;

    // Detections in `frame`, which must satisfy IsSupportedFrame. Throws on
    // engine failures; the caller turns that into an empty result.
    std::vector<CustomObject> Detect(const cv::Mat& frame, const DetectorSettings& settings,
                                     const std::string& cameraId) const;

    const std::vector<std::string>& ClassNames() const { return model_->classNames; }
    ModelDescription Describe(bool gpuRequested) const;
    const EngineReport& Report() const { return report_; }

private:
    // Immutable once loaded; shared by every engine built from it.
    struct Model {
        std::string path;
        std::shared_ptr<const std::vector<unsigned char>> onnx;
        std::vector<std::string> classNames;
        cv::Size inputSize;
        OutputLayout layout;
        int outputIndex = 0;  // which network output carries the detections
    };

    // Buffers for one Detect call.
    struct CallScratch {
        LetterboxScratch letterbox;
        std::vector<float> output;
        DecodeScratch decode;
        std::vector<Candidate> candidates;
    };

    InferenceEngine() = default;

    static bool ReadModel(const std::string& folder, Model& model, std::string& error);
    // Builds an engine of `kind` (auto tries ONNX Runtime, then OpenCV) and
    // says in `report` what runs and why; `openCvReason` is the why alone
    // when OpenCV runs.
    static std::unique_ptr<Engine> BuildEngine(const Model& model, EngineKind kind, const EngineRequest& request,
                                               EngineReport& report, std::string& openCvReason,
                                               std::string& error);
    // Picks the output that carries detections and its layout.
    static bool ChooseOutput(const Engine& engine, Model& model, std::string& error);

    std::unique_ptr<CallScratch> TakeScratch() const;
    void ReturnScratch(std::unique_ptr<CallScratch> scratch) const;

    std::shared_ptr<const Model> model_;
    std::unique_ptr<Engine> engine_;
    EngineKind kind_ = EngineKind::kAuto;  // kOnnxRuntime or kOpenCv once built
    EngineReport report_;
    std::string openCvReason_;  // why OpenCV runs, when it does
    mutable std::mutex scratchMutex_;
    mutable std::vector<std::unique_ptr<CallScratch>> idleScratch_;  // guarded by scratchMutex_
};

}  // namespace korva::detail
