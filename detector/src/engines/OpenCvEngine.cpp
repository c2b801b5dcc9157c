#include "engines/OpenCvEngine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <utility>

#include <opencv2/core/cuda.hpp>
#include <opencv2/dnn.hpp>

#include "model/ActivationEstimate.h"
#include "model/ModelInput.h"
#include "onnx/OnnxModelCheck.h"
#include "engines/OnnxSiluFusion.h"
#include "support/ExceptionText.h"
#include "engines/SiluLayer.h"

namespace korva::detail {
namespace {

cv::dnn::Net CreateNet(const std::vector<unsigned char>& onnx, bool fuseSilu, OpenCvTarget target) {
    cv::dnn::Net net;
    if (fuseSilu) {
        // Rewritten per network rather than stored: it costs milliseconds and
        // saves a second copy of the weights per loaded model.
        SiluFusion fusion;
        std::string error;
        if (!FuseSilu(onnx.data(), onnx.size(), kSiluLayerType, fusion, error)) {
            throw std::runtime_error("SiLU rewrite failed: " + error);
        }
        RegisterSiluLayer();
        net = cv::dnn::readNetFromONNX(fusion.fused > 0 ? fusion.onnx : onnx);
    } else {
        net = cv::dnn::readNetFromONNX(onnx);
    }
    if (target == OpenCvTarget::kCudaFp16) {
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_CUDA);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CUDA_FP16);
    } else {
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    return net;
}

// Runs `net` once on a padding-gray input and returns its outputs, after
// shape inference alone has shown that the activations, with the
// `constantBytes` its import computed, fit the limit.
std::vector<cv::Mat> WarmUp(cv::dnn::Net& net, cv::Size inputSize, std::uint64_t constantBytes) {
    const int dims[] = {1, 3, inputSize.height, inputSize.width};
    const std::uint64_t layers = ActivationBytes(net, inputSize);
    const std::uint64_t total = layers > UINT64_MAX - constantBytes ? UINT64_MAX : layers + constantBytes;
    std::string tooLarge;
    if (!CheckActivationEstimate(total, tooLarge)) {
        throw std::runtime_error(tooLarge);
    }
    cv::Mat blob(4, dims, CV_32F, cv::Scalar(kPadValue / 255.0));
    std::vector<cv::Mat> outputs;
    net.setInput(blob);
    net.forward(outputs, net.getUnconnectedOutLayersNames());
    return outputs;
}

}  // namespace

bool SiluFusionEnabled() {
    const char* value = std::getenv("KORVA_SILU_FUSION");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

bool OpenCvCudaFp16Available() {
    try {
        if (cv::cuda::getCudaEnabledDeviceCount() <= 0) return false;
        const auto targets = cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_CUDA);
        return std::find(targets.begin(), targets.end(), cv::dnn::DNN_TARGET_CUDA_FP16) != targets.end();
    } catch (...) {
        return false;
    }
}

std::unique_ptr<OpenCvEngine> OpenCvEngine::Create(std::shared_ptr<const std::vector<unsigned char>> onnx,
                                                   cv::Size inputSize, std::uint64_t constantBytes,
                                                   OpenCvTarget target, std::size_t poolCapacity,
                                                   std::string& error) {
    std::unique_ptr<OpenCvEngine> engine(new OpenCvEngine());
    engine->onnx_ = std::move(onnx);
    engine->target_ = target;
    cv::dnn::Net net;
    std::vector<cv::Mat> outputs;
    // The fused graph is an optimisation: any failure falls back to the
    // model as exported, whose own failure is then the one reported.
    engine->fuseSilu_ = target == OpenCvTarget::kCpu && SiluFusionEnabled();
    if (engine->fuseSilu_) {
        try {
            net = CreateNet(*engine->onnx_, true, target);
            outputs = WarmUp(net, inputSize, constantBytes);
        } catch (...) {
            engine->fuseSilu_ = false;
        }
    }
    try {
        if (!engine->fuseSilu_) {
            net = CreateNet(*engine->onnx_, false, target);
            outputs = WarmUp(net, inputSize, constantBytes);
        }
        engine->outputNames_ = net.getUnconnectedOutLayersNames();
    } catch (const std::exception& e) {
        error = "OpenCV cannot run the model: " + ExceptionText(e);
        return nullptr;
    } catch (...) {
        error = "OpenCV cannot run the model: unknown error";
        return nullptr;
    }
    for (const cv::Mat& m : outputs) {
        engine->outputs_.push_back({std::vector<int>(m.size.p, m.size.p + m.dims), m.type() == CV_32F});
    }
    const std::shared_ptr<const std::vector<unsigned char>> bytes = engine->onnx_;
    const bool fuse = engine->fuseSilu_;
    try {
        engine->pool_ = std::make_unique<NetPool>(
            std::move(net), [bytes, fuse, target] { return CreateNet(*bytes, fuse, target); }, poolCapacity);
    } catch (const std::exception& e) {
        error = "cannot set up the network pool: " + ExceptionText(e);
        return nullptr;
    }
    return engine;
}

void OpenCvEngine::Run(const cv::Mat& blob, int output, std::vector<float>& values, int /*timeoutMs*/) const {
    NetPool::Lease slot = pool_->Acquire();
    slot->net.setInput(blob);
    slot->net.forward(slot->outputs, outputNames_);
    CV_Assert(output >= 0 && output < static_cast<int>(slot->outputs.size()));
    cv::Mat m = slot->outputs[static_cast<std::size_t>(output)];
    CV_Assert(m.type() == CV_32F);
    if (!m.isContinuous()) m = m.clone();
    const float* data = m.ptr<float>();
    values.assign(data, data + m.total());
}

std::string OpenCvEngine::Backend() const {
    return target_ == OpenCvTarget::kCudaFp16 ? "cuda-fp16" : "opencv-cpu";
}

}  // namespace korva::detail
