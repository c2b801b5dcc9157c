// KorvaCustomWD: a weapon detector plug-in running a YOLO ONNX model on
// OpenCV's DNN module.
//
// Model folder
//   One ONNX model: "model.onnx", else the only "*.onnx" file. Its input must
//   have a static shape 1 x 3 x H x W (RGB, values 0..1). Its output may be
//   YOLOv8/v11 [1, 4+nc, N], the transposed [1, N, 4+nc], or YOLOv5
//   [1, N, 5+nc]; boxes are centre and size in input pixels.
//   One label file: "labels.txt", else "classes.txt", else the only "*.names"
//   file. UTF-8, one class name per line, CR/LF tolerated, names trimmed,
//   blank lines skipped; a name may not contain a comma. The number of names
//   must match the model's output.
//
// Model limits (refused by Initialize with a reason, before any engine
// reads the model)
//   File: at most 1 GiB, judged by its size before it is read; a file whose
//   first bytes are not an ONNX model is refused before the rest is read.
//   Tensors: every initializer and every tensor in a node attribute (a
//   Constant's value, subgraphs of If/Loop/Scan included) must hold exactly
//   the data its type and dims declare: no negative dimension, no element
//   count beyond what can be addressed, no external or segmented data.
//   Subgraphs nest at most 16 deep.
//   Input: at most 8192 pixels per side.
//   Activation memory: the outputs of all layers for one frame, counted
//   without reuse, at most 4 GiB (the 12 MB demo model at 416 x 416 needs
//   93 MiB).
//
// Inference
//   Frames are letterboxed into the input (aspect ratio kept, padding 114),
//   scores below the confidence threshold dropped, boxes of one class
//   overlapping by more than the NMS IoU merged (best first, at most 300), and
//   the rest mapped back to frame pixels and clipped to the frame. Frames may
//   be 8-bit gray, BGR or BGRA, of any size up to 16384 per side, continuous or
//   not; any other frame, and any frame while no model is loaded, gives an
//   empty result. Each detection has classId in [0, nc), confidence in
//   [threshold, 1], textA = class name, textB = camera id.
//
// Parameters (ConfigureParameters fills, SetParameters hands back)
//   valueListEntries, keyed by textA, value in wideValues[0]:
//     "confidence_threshold"  editable, 0..1 (Initialize's threshold)
//     "nms_iou_threshold"     editable, 0..1 (0.45)
//     "input_size"            read-only, wideValues = {width, height}
//   flagEntries[0]: textA "backend", textB "opencv-cpu" | "cuda-fp16" | "none";
//     flagA model loaded, flagB GPU requested, flagC GPU in use,
//     valueA network pool capacity, valueB number of classes.
//   textListEntries: one per class, textA "class", textB its name,
//     valueA its class id.
//   texts: "model=<path of the ONNX file>" when a model is loaded.
//   A successful Initialize replaces `parameters` with this record. Edits to
//   the editable entries made through SetParameters apply from the next
//   RunInference; entries with an invalid value (not a finite number in
//   [0, 1]) and all other entries are ignored.
//
// Threads
//   RunInference may be called from any number of threads at once. Each call
//   leases a cv::dnn::Net of its own from a pool (a Net must not be driven by
//   two threads at once); the pool creates up to one Net per hardware thread
//   (at most 8), all built from one in-memory copy of the model, and callers
//   beyond that wait for a free Net. Results do not depend on which Net ran a
//   frame or on how many calls run at once: OpenCV's CPU layers split work by
//   output element, so a layer gives the same bits run serially or in
//   parallel.
//   The detector changes no process-wide OpenCV setting (cv::setNumThreads,
//   the parallel backend): the host's settings apply to its work as to the
//   host's own. OpenCV runs one parallel loop at a time per process and runs
//   a loop entered meanwhile serially on its caller's thread, so a lone
//   camera's inference uses every core and concurrent ones share them
//   without the detector fixing any thread count.
//   Initialize, OptimizeModel and Destroy build what they need first, then
//   wait for the inferences in flight, swap, and return; a waiting swap holds
//   new inferences back so it cannot be starved. A failed Initialize or
//   OptimizeModel leaves the previous model serving. SetParameters and
//   SetLoadEngineOnCreate (base class) must not run concurrently with other
//   calls.
//
// Errors
//   No operation throws. Initialize and OptimizeModel return false with a
//   one-line reason readable through LastError(). Nothing is written to
//   standard output.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "korva/IKorvaCustomClass.h"
#include "korva/KorvaWeaponDetectionExport.h"

class KORVA_WD_API KorvaCustomWD final : public IKorvaCustomClass {
public:
    KorvaCustomWD();
    // Waits for inferences in flight and releases everything.
    ~KorvaCustomWD();
    KorvaCustomWD(const KorvaCustomWD&) = delete;
    KorvaCustomWD& operator=(const KorvaCustomWD&) = delete;

    // Loads the model folder (UTF-8 path) with a confidence threshold in
    // [0, 1], runs one warm-up inference and writes the class names joined
    // with "," to `labelMap`. On a loaded detector the new model replaces the
    // old one atomically; on failure the old one keeps serving and `labelMap`
    // is left unchanged.
    bool Initialize(const std::string& modelFolder, float threshold,
                    std::string& labelMap) noexcept override;
    // Moves the loaded model to the fastest backend available: CUDA with FP16
    // when `useGpu` and OpenCV was built with CUDA and sees a device, else
    // OpenCV's CPU backend. False when no model is loaded.
    bool OptimizeModel(bool useGpu) noexcept override;
    // Detections in `frame`; `cameraId` is copied into each detection.
    std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                           const std::string& cameraId) noexcept override;
    std::vector<CustomObject> RunInference(const cv::Mat& frame) noexcept override;
    // Always true: fills `params` with the current settings (schema above).
    bool ConfigureParameters(CustomParams& params) noexcept override;
    // Releases the model; true, also when nothing was loaded.
    bool Destroy() noexcept override;

    // Reason for the last false returned by Initialize or OptimizeModel;
    // empty after a success.
    std::string LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
