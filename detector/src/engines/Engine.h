// One way of running a loaded network on prepared input tensors.
//
// An engine is built for one model and one input size and warmed up before
// it is handed out. Run may be called from any number of threads at once;
// what an engine shares between calls (a session, a pool of networks) is its
// own business. Engines know nothing of frames, labels or boxes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace korva::detail {

// What the warm-up run produced at one network output.
struct EngineOutput {
    std::vector<int> shape;
    bool isFloat = false;  // delivered as float32 (float16 counts: it is converted)
};

class Engine {
public:
    virtual ~Engine() = default;

    // Runs `blob` (1 x 3 x H x W float32, RGB, values 0..1, the model's input
    // size) and stores output `output` as float32 in `values`. Throws an
    // std::exception with a reason on failure. An engine that can stop a run
    // stops one that takes longer than `timeoutMs` (0: no limit) and throws
    // "inference exceeded N ms"; others ignore the limit.
    virtual void Run(const cv::Mat& blob, int output, std::vector<float>& values, int timeoutMs) const = 0;
    // A run without a time limit.
    void Run(const cv::Mat& blob, int output, std::vector<float>& values) const { Run(blob, output, values, 0); }

    // The outputs as seen on the warm-up run, in the network's order.
    const std::vector<EngineOutput>& Outputs() const { return outputs_; }
    // Short backend name for the parameter record, e.g. "onnxruntime-cpu".
    virtual std::string Backend() const = 0;
    // Networks that may exist at once for this model.
    virtual std::size_t Instances() const = 0;

protected:
    std::vector<EngineOutput> outputs_;  // set while building, read-only afterwards
};

}  // namespace korva::detail
