// A loaded model and everything needed to run it on frames.
//
// The model (ONNX bytes, class names, input size, output layout) is fixed at
// load and shared read-only by every engine built from it; the engine runs
// the network (see Engine.h), and per-call buffers come from a small free
// list, so Detect may run on many threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "decode/CandidateDecoder.h"
#include "engines/Engine.h"
#include "engines/EngineRequest.h"
#include "model/ModelDescription.h"
#include "decode/Letterbox.h"
#include "support/Mutex.h"
#include "support/Status.h"
#include "decode/OutputLayout.h"
#include "support/ThreadAnnotations.h"
#include "korva/CustomObject.h"

namespace korva::detail {

// The two thresholds decoding needs.
struct DetectionThresholds {
    float confidence = 0.5f;  // candidates scoring below are dropped
    float nmsIou = 0.45f;     // same-class boxes overlapping more are suppressed
};

// Largest frame side accepted; bigger frames are refused as input errors.
inline constexpr int kMaxFrameSide = 16384;

// True for frames RunInference handles: non-empty 2-D 8-bit images with 1, 3
// or 4 channels, no side above kMaxFrameSide.
bool IsSupportedFrame(const cv::Mat& frame);

class DetectionPipeline {
public:
    // Loads the model folder and builds the engine `request` asks for (see
    // EngineRequest.h), warmed up. Null with a one-line reason in `error` and
    // its kind in `code` on any failure. Throws only when memory runs out
    // while the reason is written.
    static std::unique_ptr<DetectionPipeline> Load(const std::string& folder, const EngineRequest& request,
                                                   std::string& error, StatusCode& code);

    // The same model on a fresh engine of the same kind, threads and pool,
    // built for the GPU when `gpu`. Null with a reason and its kind on
    // failure; throws as Load.
    std::unique_ptr<DetectionPipeline> Rebuild(bool gpu, std::string& error, StatusCode& code) const;

    // Detections in `frame`, which must satisfy IsSupportedFrame. Throws on
    // engine failures, and when the engine stopped an inference that took
    // longer than `timeoutMs` (0: no limit; OpenCV cannot stop one); the
    // caller turns that into an empty result.
    std::vector<CustomObject> Detect(const cv::Mat& frame, const DetectionThresholds& thresholds, int timeoutMs,
                                     const std::string& cameraId) const;

    const std::vector<std::string>& ClassNames() const { return model_->classNames; }
    ModelDescription Describe(bool gpuRequested) const;
    const EngineReport& Report() const { return report_; }
    // Why the GPU asked for is not in use; empty when it is or none was asked for.
    const std::string& GpuFallback() const { return gpuFallback_; }

private:
    // Immutable once loaded; shared by every engine built from it.
    struct Model {
        std::string path;
        std::shared_ptr<const std::vector<unsigned char>> onnx;
        std::vector<std::string> classNames;
        cv::Size inputSize;
        bool dynamicInput = false;  // the model declares a symbolic height or width
        std::uint64_t constantBytes = 0;  // what importers compute as constants, bounded from the graph
        bool openCvImports = true;        // OpenCV's importer can take it, as far as the graph tells
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

    DetectionPipeline() = default;

    // Reads the folder's model and class names (label file, else the model's
    // `names` metadata; both must agree) and settles the input size.
    static bool ReadModel(const std::string& folder, int dynamicInputSide, Model& model, std::string& error);
    // Builds an engine of `kind` (auto tries ONNX Runtime, then OpenCV) and
    // says in `report` what runs and why; `openCvReason` is the why alone
    // when OpenCV runs, `gpuFallback` why a GPU asked for is not used. On
    // failure `code` tells a refused model from an engine that cannot run.
    static std::unique_ptr<Engine> BuildEngine(const Model& model, EngineKind kind, const EngineRequest& request,
                                               EngineReport& report, std::string& openCvReason,
                                               std::string& gpuFallback, std::string& error, StatusCode& code);
    // Picks the output that carries detections and its layout.
    static bool ChooseOutput(const Engine& engine, Model& model, std::string& error);

    std::unique_ptr<CallScratch> TakeScratch() const KORVA_EXCLUDES(scratchMutex_);
    void ReturnScratch(std::unique_ptr<CallScratch> scratch) const KORVA_EXCLUDES(scratchMutex_);

    std::shared_ptr<const Model> model_;
    std::unique_ptr<Engine> engine_;
    EngineRequest request_;  // what built the engine; its kind is kOnnxRuntime or kOpenCv
    EngineReport report_;
    std::string openCvReason_;  // why OpenCV runs, when it does
    std::string gpuFallback_;
    mutable Mutex scratchMutex_;
    mutable std::vector<std::unique_ptr<CallScratch>> idleScratch_ KORVA_GUARDED_BY(scratchMutex_);
};

}  // namespace korva::detail
