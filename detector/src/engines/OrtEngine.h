// The engine on ONNX Runtime.
//
// One session per loaded model, shared by every calling thread: a session's
// Run is safe to call concurrently, so memory does not grow with the number
// of cameras. Thread pools never spin while idle, which leaves the cores to
// the host's other work (decoding, OpenCV) between inferences.
//
// Intra-op threads: each Run splits its layers over this many threads (the
// caller's included). One camera is fastest with one thread per core; with
// several cameras, one thread each gives the most frames per second in total
// because concurrent runs then do not compete for one pool. float16 inputs
// and outputs are converted to and from float32 here.
//
// Memory: every run, the warm-up included, allocates from the runtime's
// capped CPU arena (OrtRuntime.h), on CUDA also from a device arena capped
// at kMaxActivationBytes; a model whose tensors grow past the cap at run time
// (a Loop, a size computed from the frame) fails that run with a reason.
//
// Time: a run given a limit gets run options of its own, and the engine's
// watchdog sets their terminate flag once the limit passes; the runtime then
// leaves the run between two nodes (a Loop checks between iterations) and
// hands its memory back, and the run throws "... exceeded N ms". A kernel that
// never returns to the runtime (one long node) is not stopped before it ends.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engines/Engine.h"
#include "engines/OrtRuntime.h"
#include "engines/RunWatchdog.h"

namespace korva::detail {

struct OrtEngineOptions {
    int intraOpThreads = 1;  // >= 1
    bool cuda = false;       // try CUDA's execution provider first
    int warmupTimeoutMs = 0; // the warm-up's two runs together; 0: no limit
};

class OrtEngine final : public Engine {
public:
    // Creates the session for `onnx` and runs it twice on a gray input of
    // `inputSize`. When CUDA was asked for but is unavailable, the session
    // runs on the CPU and `note` says why. Null with a one-line reason on
    // failure; `warmupTimedOut` (when given) is set when the warm-up was
    // stopped for its time limit. Never throws.
    static std::unique_ptr<OrtEngine> Create(std::shared_ptr<const OrtRuntime> runtime,
                                             const std::vector<unsigned char>& onnx, cv::Size inputSize,
                                             const OrtEngineOptions& options, std::string& note,
                                             std::string& error, bool* warmupTimedOut = nullptr);
    ~OrtEngine() override;

    using Engine::Run;
    void Run(const cv::Mat& blob, int output, std::vector<float>& values, int timeoutMs) const override;
    std::string Backend() const override { return onCuda_ ? "onnxruntime-cuda" : "onnxruntime-cpu"; }
    std::size_t Instances() const override { return 1; }
    int IntraOpThreads() const { return intraOpThreads_; }

private:
    OrtEngine() = default;

    // When a run must end, and what it is called in the reason.
    struct Deadline {
        RunWatchdog::Clock::time_point at;
        int ms = 0;
        const char* what = "inference";
    };

    // Runs `blob` and stores the requested outputs (all when `outputs` has
    // every index) as float32. `shrink`: the run hands what it took from the
    // arena back at its end. A run the capped arena refuses throws a reason
    // naming the limit, and the next run shrinks the arena; a run past
    // `deadline` (null: none) is stopped and throws "<what> exceeded N ms".
    void RunOutputs(const cv::Mat& blob, const std::vector<int>& outputs,
                    std::vector<std::vector<float>>& values, std::vector<EngineOutput>* shapes, bool shrink,
                    const Deadline* deadline) const;

    std::shared_ptr<const OrtRuntime> runtime_;
    OrtSession* session_ = nullptr;
    OrtMemoryInfo* memory_ = nullptr;
    // Run options that hand what a run took from the arena back at its end:
    // for the warm-up, and for the run after one the cap refused.
    OrtRunOptions* shrink_ = nullptr;
    mutable std::atomic<bool> shrinkNext_{false};
    int inputType_ = kOrtFloat;
    cv::Size inputSize_;
    std::string inputName_;
    std::vector<std::string> outputNames_;
    std::vector<const char*> outputNamePtrs_;  // into outputNames_
    int intraOpThreads_ = 1;
    bool onCuda_ = false;
    // Stops the runs past their deadline; its thread starts with the first.
    mutable RunWatchdog watchdog_;
};

}  // namespace korva::detail
