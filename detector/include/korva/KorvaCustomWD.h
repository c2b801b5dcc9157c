// KorvaCustomWD: a weapon detector plug-in. It runs a YOLO-family ONNX model
// on camera frames, on ONNX Runtime where the runtime is installed beside the
// library and accepts the model, else on OpenCV's DNN module.
//
// A host loads a model folder with Initialize, then calls RunInference from
// any number of camera threads; settings change live through ApplyParameters.
// No call throws or writes to standard output. Every failure, and every empty
// result that is not "inspected, nothing found", leaves a one-line reason and
// its kind for the calling thread (LastError, LastErrorCode); Statistics tells
// "nothing seen" from "not inspected" over the detector's life.
//
// The model folder, the parameter schema, the limits a model is held to, the
// engines and the threading design are in docs/DETECTOR.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korva/IKorvaCustomClass.h"
#include "korva/KorvaErrorCode.h"
#include "korva/KorvaWeaponDetectionExport.h"

class KORVA_WD_API KorvaCustomWD final : public IKorvaCustomClass {
public:
    // Frames by what became of them, since the detector was made.
    struct InferenceStatistics {
        std::uint64_t framesInspected = 0;            // the model ran; the result may be empty
        std::uint64_t framesRefusedNoModel = 0;       // no model was loaded
        std::uint64_t framesRefusedUnsupported = 0;   // empty, wrong type, or too large
        std::uint64_t inferenceFailures = 0;          // the model could not run (out of memory, ...)
    };

    // The counters of one camera id.
    struct CameraStatistics {
        std::string cameraId;              // the id; its first 128 bytes when longer
        std::uint64_t cameraIdLength = 0;  // of the whole id
        InferenceStatistics counts;
    };

    // What ApplyParameters did with each entry of a record that was not
    // simply handed back unchanged.
    struct ParameterChange {
        enum class Outcome {
            kApplied,             // an editable value changed; the next frame uses it
            kAtNextInitialize,    // a load-time value changed; the next Initialize uses it
            kRefused,             // `reason` says why; nothing of the record was applied
            kNotApplied,          // acceptable, but another entry was refused
        };
        std::string key;
        Outcome outcome = Outcome::kRefused;
        std::string reason;  // one line; empty for kApplied and kAtNextInitialize
    };
    struct ParameterReport {
        std::vector<ParameterChange> changes;
    };

    KorvaCustomWD();
    // Releases everything, as Destroy does. The host must have stopped every
    // other call on this detector first: the detector is gone afterwards.
    ~KorvaCustomWD();
    KorvaCustomWD(const KorvaCustomWD&) = delete;
    KorvaCustomWD& operator=(const KorvaCustomWD&) = delete;

    // Loads the model folder (UTF-8 path) with a confidence threshold in
    // [0, 1] and the other settings of the stored parameter record, runs one
    // warm-up inference (on ONNX Runtime within "warmup_timeout_ms", else the
    // model is refused) and writes the class names joined with "," to
    // `labelMap`. Builds for the GPU when OptimizeModel(true) asked for it
    // before (falling back to the CPU, noted as "gpu_fallback"). On a loaded
    // detector the new model replaces the old one atomically; on failure the
    // old one keeps serving and `labelMap` is left unchanged. The model is
    // built holding nothing that other calls need; a Destroy meanwhile makes
    // this call fail (kLoadAbandoned) and discard what it built.
    bool Initialize(const std::string& modelFolder, float threshold,
                    std::string& labelMap) noexcept override;
    // Rebuilds the loaded model on the same engine for the fastest backend
    // available: with `useGpu`, ONNX Runtime's CUDA provider (or OpenCV's CUDA
    // FP16 target) where the build and a device offer it, else the CPU, noted
    // as "gpu_fallback". The request is kept for later Initialize calls until
    // OptimizeModel(false). False when no model is loaded (kNoModel).
    bool OptimizeModel(bool useGpu) noexcept override;
    // Detections in `frame`; `cameraId` is copied into each detection. Empty
    // also when the frame was not inspected: see Statistics(). On ONNX
    // Runtime an inference past "inference_timeout_ms" is stopped and fails
    // (kInferenceFailed).
    std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                           const std::string& cameraId) noexcept override;
    std::vector<CustomObject> RunInference(const cv::Mat& frame) noexcept override;
    // Fills `params` with the current settings, model and counters (schema:
    // docs/DETECTOR.md); false only when out of memory, `params` then
    // unchanged.
    bool ConfigureParameters(CustomParams& params) noexcept override;
    // Releases the model once the inferences in flight have finished; true,
    // also when nothing was loaded. False (kInternal) only when the
    // detector's lock cannot be taken. Settings, the GPU request and the
    // counters stay.
    bool Destroy() noexcept override;

    // Checks `params` and applies it whole, or nothing of it. True when
    // applied; `report` lists what changed or, on false (kSettingRefused),
    // every refused entry with its reason. Thread-safe.
    bool ApplyParameters(const CustomParams& params, ParameterReport& report) noexcept;
    // The same for the record stored with SetParameters. Not thread-safe
    // against SetParameters.
    bool ApplyParameters(ParameterReport& report) noexcept;

    // The counters; never fails.
    InferenceStatistics Statistics() const noexcept;
    // The counters per camera id (RunInference without one counts as ""),
    // most recently seen first, for the 1024 cameras seen last: a camera
    // beyond that replaces the one seen longest ago, and starts from zero if
    // it comes back. Empty with kOutOfMemory in LastErrorCode() when out of
    // memory.
    std::vector<CameraStatistics> CameraStatisticsSnapshot() const noexcept;
    // One-line reason of the most recent failed inference on any thread;
    // empty when none has failed (or when no memory is left for the copy).
    std::string LastInferenceError() const noexcept;
    // One-line reason for the calling thread's last call on this detector
    // when that call failed or returned an uninspected empty result; empty
    // after any successful call. Kept per thread for the last 8 detectors
    // that failed on it. Empty also when no memory is left for the copy.
    std::string LastError() const noexcept;
    // The kind of that reason; KorvaErrorCode::kNone when LastError() has
    // none. Never fails.
    KorvaErrorCode LastErrorCode() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
