#include "pipeline/DetectionPipeline.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "model/LabelFile.h"
#include "model/ModelFolder.h"
#include "support/FileBytes.h"
#include "decode/Nms.h"
#include "engines/NetPool.h"
#include "support/ExceptionText.h"
#include "onnx/OnnxModelInfo.h"
#include "onnx/OnnxModelCheck.h"
#include "engines/OpenCvEngine.h"
#include "model/ActivationEstimate.h"
#include "model/ConstantFolding.h"
#include "engines/OrtEngine.h"
#include "engines/OrtRuntime.h"

namespace korva::detail {
namespace {

// On the GPU when asked for and available, else on the CPU with the reason
// in `gpuFallback`.
std::unique_ptr<Engine> BuildOpenCv(const std::shared_ptr<const std::vector<unsigned char>>& onnx,
                                    cv::Size inputSize, std::uint64_t constantBytes, const EngineRequest& request,
                                    std::string& gpuFallback, std::string& error) {
    if (request.gpu && !OpenCvCudaFp16Available()) {
        gpuFallback = "GPU requested, but OpenCV has no CUDA FP16 target or sees no device; running on the CPU";
    }
    if (request.gpu && gpuFallback.empty()) {
        std::unique_ptr<Engine> gpu =
            OpenCvEngine::Create(onnx, inputSize, constantBytes, OpenCvTarget::kCudaFp16, request.poolCapacity, error);
        if (gpu) return gpu;
        gpuFallback = "GPU requested, but " + error + "; running on the CPU";
    }
    return OpenCvEngine::Create(onnx, inputSize, constantBytes, OpenCvTarget::kCpu, request.poolCapacity, error);
}

}  // namespace

bool IsSupportedFrame(const cv::Mat& frame) {
    if (frame.empty() || frame.dims != 2 || frame.depth() != CV_8U) return false;
    const int ch = frame.channels();
    return (ch == 1 || ch == 3 || ch == 4) && frame.rows <= kMaxFrameSide && frame.cols <= kMaxFrameSide;
}

bool DetectionPipeline::ReadModel(const std::string& folder, int dynamicInputSide, Model& model,
                                std::string& error) {
    ModelFiles files;
    if (!LocateModelFiles(folder, files, error, LabelFileRule::kOptional)) return false;
    model.path = PathText(files.model);

    std::vector<unsigned char> labelBytes;
    std::optional<std::string_view> labelText;
    if (!files.labels.empty()) {
        if (!ReadFileBytes(files.labels, kMaxLabelFileBytes, labelBytes, error)) return false;
        labelText = std::string_view(reinterpret_cast<const char*>(labelBytes.data()), labelBytes.size());
    }

    auto onnx = std::make_shared<std::vector<unsigned char>>();
    if (!ReadOnnxModelFile(files.model, *onnx, error)) return false;
    OnnxModelInfo info;
    std::string reason;
    if (!ReadOnnxModelInfo(onnx->data(), onnx->size(), info, reason)) {
        error = OneLine(model.path + ": " + reason);
        return false;
    }

    // What an importer would fold into constants is sized from the graph
    // before either engine sees the model.
    FoldedConstants folded;
    if (!BoundFoldedConstants(onnx->data(), onnx->size(), folded)) folded = FoldedConstants{};
    if (!CheckFoldedConstants(folded, reason)) {
        error = OneLine(model.path + ": " + reason);
        return false;
    }
    model.constantBytes = folded.bytes;
    model.openCvImports = OpenCvCanImport(info);

    std::optional<std::string_view> metadataNames;
    if (const std::string* names = info.Metadata("names")) metadataNames = *names;
    ResolvedClassNames resolved;
    if (!ResolveClassNames(labelText, metadataNames, resolved, reason)) {
        error = OneLine((labelText ? PathText(files.labels) : files.noLabelFile) + ": " + reason);
        return false;
    }
    model.classNames = std::move(resolved.names);

    ChosenInputSize size;
    if (!ChooseInputSize(info.input, info.Metadata("imgsz"), dynamicInputSide, size, reason)) {
        error = OneLine(model.path + ": " + reason);
        return false;
    }
    model.inputSize = cv::Size(size.width, size.height);
    model.dynamicInput = size.dynamic;
    model.onnx = std::move(onnx);
    return true;
}

std::unique_ptr<Engine> DetectionPipeline::BuildEngine(const Model& model, EngineKind kind,
                                                     const EngineRequest& request, EngineReport& report,
                                                     std::string& openCvReason, std::string& gpuFallback,
                                                     std::string& error, StatusCode& code) {
    code = StatusCode::kModelRefused;
    report = EngineReport{};
    gpuFallback.clear();
    std::string ortReason;
    if (kind != EngineKind::kOpenCv) {
        std::shared_ptr<const OrtRuntime> runtime = OrtRuntime::Shared(ortReason);
        // OpenCV's engine checks this in its warm-up; ONNX Runtime would
        // allocate first. The layers of models OpenCV cannot read are not
        // estimated; their constants are.
        std::string tooLarge;
        if (runtime && !CheckActivationMemory(*model.onnx, model.inputSize, model.constantBytes,
                                              model.openCvImports, tooLarge)) {
            error = OneLine(model.path + ": " + tooLarge);
            return nullptr;
        }
        if (runtime) {
            OrtEngineOptions options;
            options.intraOpThreads = ResolveIntraOpThreads(request.intraOpThreads);
            options.cuda = request.gpu;
            options.warmupTimeoutMs = request.warmupTimeoutMs;
            std::string note;
            bool timedOut = false;
            std::unique_ptr<OrtEngine> engine =
                OrtEngine::Create(runtime, *model.onnx, model.inputSize, options, note, ortReason, &timedOut);
            if (engine) {
                report.text = "onnxruntime " + runtime->Version();
                if (!note.empty()) gpuFallback = OneLine("GPU requested, but " + note + "; running on the CPU");
                report.onnxRuntime = true;
                report.intraOpThreads = engine->IntraOpThreads();
                return engine;
            }
            ortReason = "onnxruntime " + runtime->Version() + " refused the model (" + ortReason + ")";
            if (timedOut) {
                // Too slow to serve; OpenCV could not stop it at all.
                error = OneLine(model.path + ": " + ortReason);
                return nullptr;
            }
        } else {
            ortReason = "onnxruntime not found (" + ortReason + ")";
        }
        if (kind == EngineKind::kOnnxRuntime) {
            if (!runtime) code = StatusCode::kEngineUnavailable;
            error = OneLine(model.path + ": " + ortReason);
            return nullptr;
        }
    }

    std::string cvError;
    std::unique_ptr<Engine> engine;
    if (model.dynamicInput) {
        cvError = "OpenCV's engine needs a static input height and width; this model's are dynamic";
    } else {
        engine = BuildOpenCv(model.onnx, model.inputSize, model.constantBytes, request, gpuFallback, cvError);
    }
    if (!engine) {
        error = OneLine(model.path + ": " + cvError + (ortReason.empty() ? "" : "; " + ortReason));
        return nullptr;
    }
    openCvReason = OneLine("opencv: " + (ortReason.empty() ? std::string("requested") : ortReason));
    report.text = openCvReason;
    return engine;
}

bool DetectionPipeline::ChooseOutput(const Engine& engine, Model& model, std::string& error) {
    const std::vector<EngineOutput>& outputs = engine.Outputs();
    const int nc = static_cast<int>(model.classNames.size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        std::string ignored;
        if (outputs[i].isFloat && RecognizeLayout(outputs[i].shape, nc, model.inputSize.height,
                                                  model.inputSize.width, model.layout, ignored)) {
            model.outputIndex = static_cast<int>(i);
            return true;
        }
    }
    if (outputs.empty()) {
        error = "model " + model.path + " produced no output";
        return false;
    }
    std::string layoutError;
    RecognizeLayout(outputs.front().shape, nc, model.inputSize.height, model.inputSize.width,
                    model.layout, layoutError);
    error = (outputs.front().isFloat ? "" : "model output is not float32; ") + layoutError;
    return false;
}

std::unique_ptr<DetectionPipeline> DetectionPipeline::Load(const std::string& folder, const EngineRequest& request,
                                                       std::string& error, StatusCode& code) {
    code = StatusCode::kModelRefused;
    try {
        auto model = std::make_shared<Model>();
        if (!ReadModel(folder, request.dynamicInputSide, *model, error)) return nullptr;
        std::unique_ptr<DetectionPipeline> loaded(new DetectionPipeline());
        loaded->engine_ = BuildEngine(*model, request.kind, request, loaded->report_, loaded->openCvReason_,
                                      loaded->gpuFallback_, error, code);
        if (!loaded->engine_) return nullptr;
        code = StatusCode::kModelRefused;
        if (!ChooseOutput(*loaded->engine_, *model, error)) return nullptr;
        loaded->request_ = request;
        loaded->request_.kind = loaded->report_.onnxRuntime ? EngineKind::kOnnxRuntime : EngineKind::kOpenCv;
        loaded->model_ = std::move(model);
        code = StatusCode::kOk;
        return loaded;
    } catch (const std::bad_alloc& e) {
        code = StatusCode::kOutOfMemory;
        error = "cannot load model from " + folder + ": " + ExceptionText(e);
    } catch (const std::exception& e) {
        error = "cannot load model from " + folder + ": " + ExceptionText(e);
    } catch (...) {
        error = "cannot load model from " + folder + ": unknown error";
    }
    return nullptr;
}

std::unique_ptr<DetectionPipeline> DetectionPipeline::Rebuild(bool gpu, std::string& error,
                                                              StatusCode& code) const {
    code = StatusCode::kModelRefused;
    try {
        auto model = std::make_shared<Model>(*model_);
        std::unique_ptr<DetectionPipeline> rebuilt(new DetectionPipeline());
        rebuilt->request_ = request_;
        rebuilt->request_.gpu = gpu;
        std::string ignored;
        rebuilt->engine_ = BuildEngine(*model, request_.kind, rebuilt->request_, rebuilt->report_, ignored,
                                       rebuilt->gpuFallback_, error, code);
        if (!rebuilt->engine_) return nullptr;
        code = StatusCode::kModelRefused;
        if (!ChooseOutput(*rebuilt->engine_, *model, error)) return nullptr;
        rebuilt->openCvReason_ = openCvReason_;
        if (request_.kind == EngineKind::kOpenCv) rebuilt->report_.text = openCvReason_;  // keeps why OpenCV runs
        rebuilt->model_ = std::move(model);
        code = StatusCode::kOk;
        return rebuilt;
    } catch (const std::bad_alloc& e) {
        code = StatusCode::kOutOfMemory;
        error = "cannot rebuild the engine: " + ExceptionText(e);
    } catch (const std::exception& e) {
        error = "cannot rebuild the engine: " + ExceptionText(e);
    } catch (...) {
        error = "cannot rebuild the engine: unknown error";
    }
    return nullptr;
}

ModelDescription DetectionPipeline::Describe(bool gpuRequested) const {
    ModelDescription d;
    d.loaded = true;
    d.inputSize = model_->inputSize;
    d.backend = engine_->Backend();
    d.gpuRequested = gpuRequested;
    d.poolCapacity = static_cast<int>(engine_->Instances());
    d.modelPath = model_->path;
    d.classNames = model_->classNames;
    d.gpuFallback = gpuFallback_;
    d.engine = report_.text;
    d.onnxRuntime = report_.onnxRuntime;
    d.intraOpThreads = report_.intraOpThreads;
    return d;
}

std::unique_ptr<DetectionPipeline::CallScratch> DetectionPipeline::TakeScratch() const {
    {
        MutexLock lock(scratchMutex_);
        if (!idleScratch_.empty()) {
            std::unique_ptr<CallScratch> scratch = std::move(idleScratch_.back());
            idleScratch_.pop_back();
            return scratch;
        }
    }
    return std::make_unique<CallScratch>();
}

void DetectionPipeline::ReturnScratch(std::unique_ptr<CallScratch> scratch) const {
    MutexLock lock(scratchMutex_);
    idleScratch_.push_back(std::move(scratch));
}

std::vector<CustomObject> DetectionPipeline::Detect(const cv::Mat& frame, const DetectionThresholds& thresholds,
                                                    int timeoutMs, const std::string& cameraId) const {
    const Model& model = *model_;
    std::unique_ptr<CallScratch> scratch = TakeScratch();

    const LetterboxGeometry geometry = ComputeLetterbox(frame.size(), model.inputSize);
    MakeInputBlob(frame, geometry, scratch->letterbox);
    engine_->Run(scratch->letterbox.blob, model.outputIndex, scratch->output, timeoutMs);
    CV_Assert(scratch->output.size() == OutputValueCount(model.layout));

    scratch->candidates.clear();
    DecodeCandidates(scratch->output.data(), model.layout, thresholds.confidence, scratch->decode,
                     scratch->candidates);
    const std::vector<std::size_t> kept = SuppressNonMaxima(scratch->candidates, thresholds.nmsIou);

    std::vector<CustomObject> detections;
    detections.reserve(kept.size());
    for (std::size_t index : kept) {
        const Candidate& c = scratch->candidates[index];
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
    ReturnScratch(std::move(scratch));
    return detections;
}

}  // namespace korva::detail
