// Which engine a host asks for, and where the request and the answer live in
// the parameter record.
//
// Request (read by Initialize and OptimizeModel from the record last given
// to SetParameters, or written back by the previous Initialize):
//   texts "engine=auto" | "engine=onnxruntime" | "engine=opencv"; without it,
//     the environment variable KORVA_ENGINE, else auto. auto runs ONNX
//     Runtime where it loads and accepts the model, else OpenCV.
//   valueListEntries "intra_op_threads": wideValues[0] an integer 0..64;
//     0 (the default) is one thread per core, at most 8.
// Answer: flagEntries entry textA "engine", textB what runs and why, e.g.
//   "onnxruntime 1.31.1" or "opencv: onnxruntime not found (...)"; flagA
//   ONNX Runtime in use, valueA its intra-op threads (0 on OpenCV).
#pragma once

#include <string>

#include "korva/CustomParams.h"

namespace korva::detail {

enum class EngineKind { kAuto, kOnnxRuntime, kOpenCv };

struct EngineRequest {
    EngineKind kind = EngineKind::kAuto;
    int intraOpThreads = 0;  // 0: one per core, at most 8
    bool gpu = false;        // set by OptimizeModel, never read from the record
};

// What runs, for the record.
struct EngineReport {
    std::string text;  // empty when nothing is loaded
    bool onnxRuntime = false;
    int intraOpThreads = 0;
};

inline constexpr const char* kKeyEngine = "engine";
inline constexpr const char* kKeyIntraOpThreads = "intra_op_threads";
inline constexpr int kMaxIntraOpThreads = 64;

const char* EngineKindName(EngineKind kind);

// The request in `params`. False with a one-line reason when an entry (or
// KORVA_ENGINE) holds a value outside the forms above.
bool ReadEngineRequest(const CustomParams& params, EngineRequest& request, std::string& error);

// Threads for `requested` (0: one per core, at most 8).
int ResolveIntraOpThreads(int requested);

// Appends the request and the report to `params`.
void WriteEngineEntries(const EngineRequest& request, const EngineReport& report, CustomParams& params);

}  // namespace korva::detail
