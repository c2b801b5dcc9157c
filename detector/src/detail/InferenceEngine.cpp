#include "detail/InferenceEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>

#include "detail/CandidateDecoder.h"
#include "detail/LabelFile.h"
#include "detail/Letterbox.h"
#include "detail/ModelFolder.h"
#include "detail/Nms.h"
#include "detail/OnnxInputShape.h"
#include "detail/OnnxModelCheck.h"
#include "detail/OnnxSiluFusion.h"
#include "detail/SiluLayer.h"

namespace korva::detail {
namespace {

// One line of text, short enough for a log.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    constexpr std::size_t kMax = 400;
    if (text.size() > kMax) text = text.substr(0, kMax) + "...";
    return text;
}

// A model beyond a resource limit: refused, not retried another way.
class ModelLimitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ExceptionText(const std::exception& e) {
    if (const auto* cvErr = dynamic_cast<const cv::Exception*>(&e)) {
        return OneLine(cvErr->err + (cvErr->func.empty() ? "" : " (in " + cvErr->func + ")"));
    }
    return OneLine(e.what());
}

// Bytes of every layer output for one input of `inputShape`, counted once
// each without reuse (float elements; saturates instead of overflowing).
// OpenCV's own getMemoryConsumption sums in int and wraps at 2 GiB.
std::uint64_t ActivationBytes(cv::dnn::Net& net, const cv::dnn::MatShape& inputShape) {
    std::vector<int> layerIds;
    std::vector<std::vector<cv::dnn::MatShape>> inShapes, outShapes;
    net.getLayersShapes(inputShape, layerIds, inShapes, outShapes);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = 0;
    for (const auto& layerOutputs : outShapes) {
        for (const cv::dnn::MatShape& shape : layerOutputs) {
            std::uint64_t bytes = sizeof(float);
            for (const int d : shape) {
                const auto u = static_cast<std::uint64_t>(d < 0 ? 0 : d);
                bytes = (u != 0 && bytes > kMax / u) ? kMax : bytes * u;
            }
            total = bytes > kMax - total ? kMax : total + bytes;
        }
    }
    return total;
}

std::vector<int> ShapeOf(const cv::Mat& m) {
    return std::vector<int>(m.size.p, m.size.p + m.dims);
}

bool InputSizeFromOnnx(const std::vector<unsigned char>& onnx, cv::Size& size, std::string& error) {
    OnnxInput input;
    if (!ReadOnnxInput(onnx.data(), onnx.size(), input, error)) return false;
    const std::string name = "model input '" + input.name + "'";
    if (input.dims.size() != 4) {
        error = name + " has " + std::to_string(input.dims.size()) +
                " dimensions; expected 4 (1 x 3 x height x width)";
        return false;
    }
    static const char* const kAxis[] = {"batch", "channels", "height", "width"};
    for (std::size_t i = 1; i < 4; ++i) {
        if (input.dims[i] < 0) {
            const std::string& sym = input.symbolicNames[i];
            error = name + " has a dynamic " + kAxis[i] + (sym.empty() ? "" : " ('" + sym + "')") +
                    "; export the model with a static input shape";
            return false;
        }
    }
    if (input.dims[0] > 1) {
        error = name + " has batch size " + std::to_string(input.dims[0]) + "; expected 1";
        return false;
    }
    if (input.dims[1] != 3) {
        error = name + " has " + std::to_string(input.dims[1]) + " channels; expected 3 (RGB)";
        return false;
    }
    if (input.dims[2] > kMaxModelInputSide || input.dims[3] > kMaxModelInputSide) {
        error = name + " is larger than " + std::to_string(kMaxModelInputSide) + " pixels per side";
        return false;
    }
    size = cv::Size(static_cast<int>(input.dims[3]), static_cast<int>(input.dims[2]));
    return true;
}

}  // namespace

bool SiluFusionEnabled() {
    const char* value = std::getenv("KORVA_SILU_FUSION");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

const char* BackendName(Backend backend) {
    return backend == Backend::kCudaFp16 ? "cuda-fp16" : "opencv-cpu";
}

bool IsSupportedFrame(const cv::Mat& frame) {
    if (frame.empty() || frame.dims != 2 || frame.depth() != CV_8U) return false;
    const int ch = frame.channels();
    return (ch == 1 || ch == 3 || ch == 4) && frame.rows <= kMaxFrameSide &&
           frame.cols <= kMaxFrameSide;
}

cv::dnn::Net InferenceEngine::CreateNet(const Model& model, Backend backend) {
    cv::dnn::Net net;
    if (backend == Backend::kOpenCvCpu && model.fuseSilu) {
        // Rewritten per network rather than stored: it costs milliseconds and
        // saves a second copy of the weights per loaded model.
        SiluFusion fusion;
        std::string ignored;
        if (FuseSilu(model.onnx.data(), model.onnx.size(), kSiluLayerType, fusion, ignored) &&
            fusion.fused > 0) {
            RegisterSiluLayer();
            net = cv::dnn::readNetFromONNX(fusion.onnx);
        }
    }
    if (net.empty()) net = cv::dnn::readNetFromONNX(model.onnx);
    if (backend == Backend::kCudaFp16) {
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_CUDA);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CUDA_FP16);
    } else {
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    return net;
}

void InferenceEngine::WarmUp(cv::dnn::Net& net, const Model& model, std::vector<cv::Mat>& outputs) {
    const int dims[] = {1, 3, model.inputSize.height, model.inputSize.width};
    // Shape inference alone, before anything of that size is allocated.
    std::string tooLarge;
    if (!CheckActivationEstimate(ActivationBytes(net, cv::dnn::MatShape(dims, dims + 4)), tooLarge)) {
        throw ModelLimitError(tooLarge);
    }
    cv::Mat blob(4, dims, CV_32F, cv::Scalar(kPadValue / 255.0));
    net.setInput(blob);
    net.forward(outputs, net.getUnconnectedOutLayersNames());
}

std::unique_ptr<InferenceEngine> InferenceEngine::Finish(std::shared_ptr<const Model> model,
                                                         Backend backend, cv::dnn::Net first,
                                                         std::size_t poolCapacity) {
    std::unique_ptr<InferenceEngine> engine(new InferenceEngine(model, backend));
    engine->outputNames_ = first.getUnconnectedOutLayersNames();
    engine->pool_ = std::make_unique<NetPool>(
        std::move(first), [model, backend] { return CreateNet(*model, backend); }, poolCapacity);
    return engine;
}

std::unique_ptr<InferenceEngine> InferenceEngine::Load(const std::string& folder, Backend backend,
                                                       std::size_t poolCapacity,
                                                       std::string& error) {
    try {
        ModelFiles files;
        if (!LocateModelFiles(folder, files, error)) return nullptr;

        auto model = std::make_shared<Model>();
        model->path = PathText(files.model);
        std::vector<unsigned char> labelBytes;
        if (!ReadFileBytes(files.labels, kMaxLabelFileBytes, labelBytes, error)) return nullptr;
        std::string labelError;
        const std::string_view labelText(reinterpret_cast<const char*>(labelBytes.data()),
                                         labelBytes.size());
        if (!ParseLabels(labelText, model->classNames, labelError)) {
            error = PathText(files.labels) + ": " + labelError;
            return nullptr;
        }

        if (!ReadOnnxModelFile(files.model, model->onnx, error)) return nullptr;
        std::string shapeError;
        if (!InputSizeFromOnnx(model->onnx, model->inputSize, shapeError)) {
            error = PathText(files.model) + ": " + shapeError;
            return nullptr;
        }

        cv::dnn::Net net;
        std::vector<cv::Mat> outputs;
        model->fuseSilu = backend == Backend::kOpenCvCpu && SiluFusionEnabled();
        if (model->fuseSilu) {
            try {
                net = CreateNet(*model, backend);
                WarmUp(net, *model, outputs);
            } catch (const ModelLimitError& e) {
                error = PathText(files.model) + ": " + e.what();
                return nullptr;
            } catch (...) {
                // Fall back to the model as exported.
                model->fuseSilu = false;
                net = cv::dnn::Net();
                outputs.clear();
            }
        }
        try {
            if (net.empty()) net = CreateNet(*model, backend);
        } catch (const std::exception& e) {
            error = "OpenCV cannot import " + PathText(files.model) + ": " + ExceptionText(e);
            return nullptr;
        }
        try {
            if (outputs.empty()) WarmUp(net, *model, outputs);
        } catch (const ModelLimitError& e) {
            error = PathText(files.model) + ": " + e.what();
            return nullptr;
        } catch (const std::exception& e) {
            error = "model " + PathText(files.model) + " fails its first inference: " + ExceptionText(e);
            return nullptr;
        }

        const int nc = static_cast<int>(model->classNames.size());
        std::string layoutError;
        bool found = false;
        for (std::size_t i = 0; i < outputs.size() && !found; ++i) {
            std::string ignored;
            if (outputs[i].type() == CV_32F &&
                RecognizeLayout(ShapeOf(outputs[i]), nc, model->layout, ignored)) {
                model->outputIndex = static_cast<int>(i);
                found = true;
            }
        }
        if (!found) {
            if (outputs.empty()) {
                error = "model " + PathText(files.model) + " produced no output";
            } else {
                RecognizeLayout(ShapeOf(outputs.front()), nc, model->layout, layoutError);
                error = (outputs.front().type() != CV_32F ? "model output is not float32; " : "") +
                        layoutError;
            }
            return nullptr;
        }
        return Finish(std::move(model), backend, std::move(net), poolCapacity);
    } catch (const std::exception& e) {
        error = "cannot load model from " + folder + ": " + ExceptionText(e);
    } catch (...) {
        error = "cannot load model from " + folder + ": unknown error";
    }
    return nullptr;
}

std::unique_ptr<InferenceEngine> InferenceEngine::Rebuild(Backend backend, std::string& error) const {
    try {
        cv::dnn::Net net = CreateNet(*model_, backend);
        std::vector<cv::Mat> outputs;
        WarmUp(net, *model_, outputs);
        return Finish(model_, backend, std::move(net), pool_->Capacity());
    } catch (const std::exception& e) {
        error = std::string("cannot prepare the model for ") + BackendName(backend) + ": " +
                ExceptionText(e);
    } catch (...) {
        error = std::string("cannot prepare the model for ") + BackendName(backend);
    }
    return nullptr;
}

ModelDescription InferenceEngine::Describe(bool gpuRequested) const {
    ModelDescription d;
    d.loaded = true;
    d.inputSize = model_->inputSize;
    d.backend = BackendName(backend_);
    d.gpuRequested = gpuRequested;
    d.poolCapacity = static_cast<int>(pool_->Capacity());
    d.modelPath = model_->path;
    d.classNames = model_->classNames;
    return d;
}

std::vector<CustomObject> InferenceEngine::Detect(const cv::Mat& frame,
                                                  const DetectorSettings& settings,
                                                  const std::string& cameraId) {
    const Model& model = *model_;
    NetPool::Lease slot = pool_->Acquire();

    const LetterboxGeometry geometry = ComputeLetterbox(frame.size(), model.inputSize);
    MakeInputBlob(frame, geometry, slot->letterbox);
    slot->net.setInput(slot->letterbox.blob);
    slot->net.forward(slot->outputs, outputNames_);
    CV_Assert(model.outputIndex < static_cast<int>(slot->outputs.size()));
    cv::Mat output = slot->outputs[model.outputIndex];
    CV_Assert(output.type() == CV_32F);
    const std::size_t expected = static_cast<std::size_t>(model.layout.numAnchors) *
                                 (model.layout.numClasses + (model.layout.kind == LayoutKind::kV5 ? 5 : 4));
    CV_Assert(output.total() == expected);
    if (!output.isContinuous()) output = output.clone();

    slot->candidates.clear();
    DecodeCandidates(output.ptr<float>(), model.layout, settings.confidenceThreshold, slot->decode,
                     slot->candidates);
    const std::vector<std::size_t> kept =
        SuppressNonMaxima(slot->candidates, settings.nmsIouThreshold);

    std::vector<CustomObject> detections;
    detections.reserve(kept.size());
    for (std::size_t index : kept) {
        const Candidate& c = slot->candidates[index];
        const cv::Rect2d r = MapToFrame(c.cx, c.cy, c.w, c.h, geometry);
        const int x0 = cvRound(r.x), y0 = cvRound(r.y);
        const int x1 = cvRound(r.x + r.width), y1 = cvRound(r.y + r.height);
        if (x1 <= x0 || y1 <= y0) continue;  // outside the frame or thinner than a pixel
        CustomObject obj;
        obj.classId = c.classId;
        obj.textA = model.classNames[static_cast<std::size_t>(c.classId)];
        obj.confidence = std::clamp(c.score, 0.0f, 1.0f);
        obj.box = cv::Rect(x0, y0, x1 - x0, y1 - y0);
        obj.textB = cameraId;
        detections.push_back(std::move(obj));
    }
    return detections;
}

}  // namespace korva::detail
