// The engine on OpenCV's DNN module.
//
// A cv::dnn::Net must not be driven by two threads at once, so networks come
// from a NetPool, all built from one in-memory copy of the model. On the CPU
// each SiLU written as Mul(x, Sigmoid(x)) is fused into one layer (see
// OnnxSiluFusion.h) unless KORVA_SILU_FUSION=0 or the rewritten graph fails
// to import or run; the choice is made once, at Create, for every network.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/Engine.h"
#include "engines/NetPool.h"

namespace korva::detail {

enum class OpenCvTarget { kCpu, kCudaFp16 };

// False when the environment variable KORVA_SILU_FUSION is "0": models are
// then run exactly as exported. Read at each Create.
bool SiluFusionEnabled();

// True when OpenCV was built with CUDA, sees a device and offers FP16.
bool OpenCvCudaFp16Available();

class OpenCvEngine final : public Engine {
public:
    // Imports `onnx` for `target` and runs it once on a gray input of
    // `inputSize`, once its layer outputs and `constantBytes` (what the
    // import computes, BoundFoldedConstants) are known to fit the activation
    // limit. Null with a one-line reason on failure. Never throws.
    static std::unique_ptr<OpenCvEngine> Create(std::shared_ptr<const std::vector<unsigned char>> onnx,
                                                cv::Size inputSize, std::uint64_t constantBytes,
                                                OpenCvTarget target, std::size_t poolCapacity,
                                                std::string& error);

    using Engine::Run;
    // A forward cannot be interrupted: `timeoutMs` is ignored.
    void Run(const cv::Mat& blob, int output, std::vector<float>& values, int timeoutMs) const override;
    std::string Backend() const override;
    std::size_t Instances() const override { return pool_->Capacity(); }
    bool SiluFused() const { return fuseSilu_; }

private:
    OpenCvEngine() = default;

    std::shared_ptr<const std::vector<unsigned char>> onnx_;
    OpenCvTarget target_ = OpenCvTarget::kCpu;
    bool fuseSilu_ = false;
    std::vector<std::string> outputNames_;  // the same for every network of the pool
    std::unique_ptr<NetPool> pool_;
};

}  // namespace korva::detail
