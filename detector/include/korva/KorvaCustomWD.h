// KorvaCustomWD: a weapon detector plug-in running a YOLO ONNX model on ONNX
// Runtime, or on OpenCV's DNN module where ONNX Runtime is absent or refuses
// the model.
//
// Model folder
//   One ONNX model: "model.onnx", else the only "*.onnx" file. Its input is
//   1 x 3 x H x W (RGB, values 0..1), float32 or float16 (float16 on ONNX
//   Runtime only). A dynamic H/W (ONNX Runtime only) runs at the model's
//   "imgsz" metadata, else at "dynamic_input_size". Its output may be
//   YOLOv8/v11 [1, 4+nc, N], the transposed [1, N, 4+nc] or YOLOv5
//   [1, N, 5+nc] (boxes: centre and size in input pixels), accepted only when
//   N is the anchor count of the input's stride grid (a run of at least two
//   of the strides 8, 16, 32, 64; three anchors per cell for YOLOv5); or
//   end-to-end [1, N, 6] (x1, y1, x2, y2, score, class; NMS done).
//   Class names: a label file, "labels.txt", else "classes.txt", else the
//   only "*.names" file (UTF-8, one class name per line, CR/LF tolerated,
//   names trimmed, blank lines skipped, no comma in a name), else the model's
//   "names" metadata ({0: 'a', 1: 'b'} or ['a', 'b']). When both exist they
//   must agree. The number of names must match the model's output.
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
//   93 MiB), estimated by OpenCV's shape inference before either engine
//   runs the model; a model OpenCV cannot read (float16, TopK) is not
//   estimated.
//
// Inference
//   Frames are letterboxed into the input (aspect ratio kept, padding 114),
//   scores below the confidence threshold dropped, of two boxes of one class
//   overlapping by more than the NMS IoU the weaker suppressed (best first, at
//   most 300 kept), and the rest mapped back to frame pixels and clipped to
//   the frame. Frames may be 8-bit gray, BGR or BGRA, of any size up to 16384
//   per side, continuous or not; any other frame, and any frame while no
//   model is loaded, gives an empty result and counts as not inspected (see
//   below). Each detection has classId in [0, nc), confidence in
//   [threshold, 1], textA = class name, textB = camera id.
//
// Parameters (ConfigureParameters fills; ApplyParameters, or SetParameters
// followed by Initialize, takes back)
//   valueListEntries, keyed by textA, value in wideValues, textB the kind:
//     "confidence_threshold"  editable, 0..1 (Initialize's threshold)
//     "nms_iou_threshold"     editable, 0..1 (0.45)
//     "pool_capacity"         load-time, whole number 1..64 (one per hardware
//                             thread, at most 8): networks for concurrent calls
//     "intra_op_threads"      load-time, whole number 0..64 (0): threads one
//                             ONNX Runtime inference uses (see Engines)
//     "dynamic_input_size"    load-time, a multiple of 32 from 32 to 8192
//                             (640): input side of a model with a dynamic
//                             H/W and no "imgsz" metadata
//     "input_size"            read-only, wideValues = {width, height}
//     "frames_inspected", "frames_refused_no_model",
//     "frames_refused_unsupported", "inference_failures"
//                             status: the counters of Statistics()
//   flagEntries[0]: textA "backend", textB "onnxruntime-cpu" |
//     "onnxruntime-cuda" | "opencv-cpu" | "cuda-fp16" | "none"; flagA model
//     loaded, flagB GPU requested, flagC GPU in use, valueA networks that may
//     exist at once (1 on ONNX Runtime: one shared session), valueB number of
//     classes.
//   flagEntries[1]: textA "engine", textB the engine in use and why (see
//     Engines), "none" while no model is loaded; flagA ONNX Runtime in use,
//     valueA its intra-op threads (0 on OpenCV).
//   textListEntries: one per class, textA "class", textB its name,
//     valueA its class id.
//   texts: "engine=auto" | "engine=onnxruntime" | "engine=opencv" (load-time,
//     see Engines);
//     "model=<path of the ONNX file>" when a model is loaded (read-only);
//     "gpu_fallback=<reason>" when a GPU was requested but is not in use and
//     "last_inference_error=<reason>" after a failed inference (status).
//   Editable values take effect from the next frame, load-time values from
//   the next Initialize; a load-time entry reports the value the next
//   Initialize will use, the backend entry what is in use.
//
// Changing settings
//   ApplyParameters(record, report) is the live way: safe while other threads
//   run inferences, all or nothing. Every entry is checked: an unknown key, a
//   value out of range or of the wrong count, a key given twice, and a
//   read-only entry (input_size, model, class) that differs from the loaded
//   model are refused, each with its reason in the report, and then nothing
//   changes. Status entries and the backend entry are reports and ignored;
//   with no model loaded, read-only entries are skipped too. Otherwise the
//   edits are published at once (inferences already running finish with the
//   settings they started with) and the base class's `parameters` becomes
//   the effective record.
//   The base class's SetParameters only stores a record: it is not
//   synchronised, so the detector reads that record only at two points, in
//   Initialize and in the no-argument ApplyParameters. Initialize takes every
//   editable and load-time entry from it (its own threshold argument wins
//   over "confidence_threshold"; read-only and status entries are skipped,
//   they describe the previous model) and refuses to load, with the reason,
//   when an entry is refused. Until then a stored record has no effect: edits
//   made through SetParameters no longer apply from the next RunInference.
//   An empty record (nothing stored) leaves every setting as it is.
//
// Engines
//   Initialize builds the engine the "engine" setting asks for; its default
//   is the environment variable KORVA_ENGINE, else auto. auto runs ONNX
//   Runtime where it loads and accepts the model, else OpenCV; onnxruntime
//   refuses to load without it; opencv never tries it. A host sets it before
//   Initialize through the record it hands to SetParameters (or to
//   ApplyParameters, as a load-time entry); an invalid KORVA_ENGINE makes
//   Initialize fail with the reason. ONNX Runtime (libonnxruntime.so.1,
//   onnxruntime.dll) is looked up at the path in KORVA_ONNXRUNTIME, else
//   beside this library, else through the system's loader. The engine entry
//   says what runs and why, e.g. "onnxruntime 1.31.1" or "opencv: onnxruntime
//   not found (...)"; OptimizeModel keeps the engine and rebuilds it for the
//   GPU request.
//   intra_op_threads: threads one ONNX Runtime inference uses; 0 is one per
//   core, at most 8, the fastest for one camera. With several cameras, 1
//   gives the most frames per second in total, as concurrent inferences then
//   do not compete for one pool. Idle ONNX Runtime threads never spin, so
//   they leave the cores to the host between inferences.
//
// Telling "nothing seen" from "not inspected"
//   RunInference returns an empty list both when it looked and found nothing
//   and when it could not look. Statistics() counts each frame once: inspected,
//   refused for want of a model, refused as unsupported, or failed (with the
//   reason of the last failure in LastInferenceError()). The counters cover
//   the detector's whole life and are reported in the record as status
//   entries, so a host that knows only the base class can read them too.
//   A caller can also ask LastError() right after an empty result.
//
// Alarm rules (off until the record configures them)
//   After the model, a frame's detections pass three rules in this order;
//   with none configured they are returned exactly as without rules. Each
//   rule is a valueListEntries entry taken like the editable settings above
//   (ApplyParameters; live): textA the key, textB what it applies to instead
//   of the kind, wideValues the values. Entries of a repeated key replace all
//   of that key's entries; the record ConfigureParameters fills lists them.
//   Classes (textB = class name as in the label map):
//     "class_threshold"  {t in [0, 1]}: the class keeps detections scoring at
//                        least t, above or below confidence_threshold
//     "class_enabled"    {0 or 1}: 0 reports nothing of the class
//   Zones (textB = camera id; "*" = every camera without zones of its own):
//     "zone_include"     {x0, y0, x1, y1, ...}: 3 to 64 points, normalised
//                        to the frame (0..1); the camera reports only inside
//                        its include zones
//     "zone_exclude"     same form; nothing inside is reported
//     The centre of a detection's box decides; an edge belongs to the zone,
//     and an exclude mask wins over an include zone.
//   Confirmation (textB = camera id or "*"):
//     "confirm_frames"   {k, n}, 1 <= k <= n <= 64: a detection is reported
//                        once its object was seen in k of the camera's last n
//                        frames, and then whenever it is seen until it goes
//                        unseen for n frames; {1, 1} is off
//     "confirm_iou"      (0, 1], 0.3: same-class boxes of consecutive
//                        sightings overlapping this much are one object
//     "confirm_expiry_s" seconds, 60: a camera without a frame for this long
//                        starts afresh
//     "confirm_max_cameras" 1..4096, 256, least recently used forgotten
//                        first; "confirm_max_objects" 1..1024, 64 per camera
//   Objects are followed per camera id: one camera's frames never confirm
//   another's, and a camera's results depend only on its own frames and
//   their order (as long as it is not forgotten through the expiry or the
//   camera limit). Frames of one camera id sent from two threads at once are
//   counted one at a time, in the order their inferences finish; a host that
//   needs that camera's results repeatable sends its frames in order. The
//   followed objects are forgotten by Initialize and Destroy and by a change
//   of the camera's rule. Measured trade-offs of k of n:
//   docs/ALARM_RULES.md.
//
// Threads
//   RunInference may be called from any number of threads at once. On ONNX
//   Runtime every call runs on the one session of the loaded model (its Run
//   is thread-safe), so memory does not grow with the number of cameras. On
//   OpenCV each call leases a cv::dnn::Net of its own from a pool (a Net must
//   not be driven by two threads at once); the pool creates up to
//   "pool_capacity" Nets, all built from one in-memory copy of the model, and
//   callers beyond that wait for a free Net. Results do not depend on which
//   call ran a frame or on how many calls run at once: both engines' CPU
//   layers split work by output element, so a layer gives the same bits run
//   serially or in parallel.
//   The detector changes no process-wide OpenCV setting (cv::setNumThreads,
//   the parallel backend): the host's settings apply to its work as to the
//   host's own. OpenCV runs one parallel loop at a time per process and runs
//   a loop entered meanwhile serially on its caller's thread, so a lone
//   camera's inference uses every core and concurrent ones share them
//   without the detector fixing any thread count.
//   Initialize, OptimizeModel and Destroy build what they need first, then
//   wait for the inferences in flight, swap, and return; a waiting swap holds
//   new inferences back so it cannot be starved. A failed Initialize or
//   OptimizeModel leaves the previous model serving. ApplyParameters(record,
//   report), ConfigureParameters, Statistics, LastInferenceError and LastError
//   may run at any time. SetParameters, SetLoadEngineOnCreate (base class) and
//   the no-argument ApplyParameters must not run concurrently with other calls
//   (inference never reads the stored record, so a host that breaks this rule
//   beside RunInference alone only loses its edit's effect).
//   The destructor must not run while any other call on the detector is in
//   progress or may still start: the host stops its cameras first.
//
// Errors
//   No operation throws. Every false, and every empty result that is not
//   "inspected, nothing found", leaves a one-line reason that the calling
//   thread reads through LastError(). Nothing is written to standard output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korva/IKorvaCustomClass.h"
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
    // Releases everything. The host must have stopped every other call on
    // this detector first; destruction does not wait for callers.
    ~KorvaCustomWD();
    KorvaCustomWD(const KorvaCustomWD&) = delete;
    KorvaCustomWD& operator=(const KorvaCustomWD&) = delete;

    // Loads the model folder (UTF-8 path) with a confidence threshold in
    // [0, 1] and the other settings of the stored parameter record, runs one
    // warm-up inference and writes the class names joined with "," to
    // `labelMap`. Builds for the GPU when OptimizeModel(true) asked for it
    // before (falling back to the CPU, noted as "gpu_fallback"). On a loaded
    // detector the new model replaces the old one atomically; on failure the
    // old one keeps serving and `labelMap` is left unchanged.
    bool Initialize(const std::string& modelFolder, float threshold,
                    std::string& labelMap) noexcept override;
    // Rebuilds the loaded model on the same engine for the fastest backend
    // available: with `useGpu`, ONNX Runtime's CUDA provider (or OpenCV's CUDA
    // FP16 target) where the build and a device offer it, else the CPU, noted
    // as "gpu_fallback". The request is kept for later Initialize calls until
    // OptimizeModel(false). False when no model is loaded.
    bool OptimizeModel(bool useGpu) noexcept override;
    // Detections in `frame`; `cameraId` is copied into each detection. Empty
    // also when the frame was not inspected: see Statistics().
    std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                           const std::string& cameraId) noexcept override;
    std::vector<CustomObject> RunInference(const cv::Mat& frame) noexcept override;
    // Fills `params` with the current settings, model and counters (schema
    // above); false only when out of memory, `params` then unchanged.
    bool ConfigureParameters(CustomParams& params) noexcept override;
    // Releases the model; true, also when nothing was loaded. Settings, the
    // GPU request and the counters stay.
    bool Destroy() noexcept override;

    // Checks `params` and applies it whole, or nothing of it (see "Changing
    // settings"). True when applied; `report` lists what changed or, on
    // false, every refused entry with its reason. Thread-safe.
    bool ApplyParameters(const CustomParams& params, ParameterReport& report) noexcept;
    // The same for the record stored with SetParameters. Not thread-safe
    // against SetParameters.
    bool ApplyParameters(ParameterReport& report) noexcept;

    // The counters; never fails.
    InferenceStatistics Statistics() const noexcept;
    // One-line reason of the most recent failed inference on any thread;
    // empty when none has failed (or when no memory is left for the copy).
    std::string LastInferenceError() const noexcept;
    // One-line reason for the calling thread's last call on this detector
    // when that call failed or returned an uninspected empty result; empty
    // after a success. Kept per thread for the last 8 detectors that failed
    // on it. Empty also when no memory is left for the copy.
    std::string LastError() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
