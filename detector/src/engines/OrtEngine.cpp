#include "engines/OrtEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "model/ModelInput.h"
#include "onnx/OnnxModelCheck.h"
#include "support/ExceptionText.h"

namespace korva::detail {
namespace {

// Owns one runtime object and releases it with the runtime's own function.
template <typename T>
class OrtOwned {
public:
    using Release = void(KORVA_ORT_CALL*)(T*) noexcept;
    explicit OrtOwned(Release release) : release_(release) {}
    OrtOwned(const OrtOwned&) = delete;
    OrtOwned& operator=(const OrtOwned&) = delete;
    ~OrtOwned() {
        if (p_ != nullptr) release_(p_);
    }
    T** Out() { return &p_; }
    T* Get() const { return p_; }
    T* Take() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    Release release_;
    T* p_ = nullptr;
};

// The run option that hands a run's arena memory back at its end.
constexpr const char* kShrinkKey = "memory.enable_memory_arena_shrinkage";
constexpr const char* kShrinkCpu = "cpu:0";

// Throws the status's message, prefixed with `what`, when the call failed.
void Check(const OrtRuntime& rt, OrtStatus* status, const char* what) {
    if (status != nullptr) throw std::runtime_error(std::string(what) + ": " + rt.Consume(status));
}

// Whether a failed run's message is the capped arena refusing a request
// ("Available memory of N is smaller than requested bytes of M").
bool IsOverTheCap(const std::string& message) { return message.find("Available memory of") != std::string::npos; }

// Throws the reason of a failed run; `overCap` is set when the cap refused it.
void CheckRun(const OrtRuntime& rt, OrtStatus* status, std::atomic<bool>& overCap) {
    if (status == nullptr) return;
    const std::string message = rt.Consume(status);
    if (IsOverTheCap(message)) {
        overCap.store(true, std::memory_order_relaxed);
        throw std::runtime_error("the model needs more memory than the " + std::to_string(kMaxActivationBytes >> 20) +
                                 " MiB allowed at run time (onnxruntime: " + message + ")");
    }
    throw std::runtime_error("inference failed: " + message);
}

// A run stopped for its time limit.
class RunTimedOut : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string TakeName(const OrtRuntime& rt, OrtAllocator* allocator, char* name) {
    std::string text = name != nullptr ? name : "";
    if (name != nullptr) rt.Consume(rt.Api().AllocatorFree(allocator, name));
    return text;
}

// Element type and dimensions of a tensor type.
void ReadTensorInfo(const OrtRuntime& rt, const OrtTensorTypeAndShapeInfo* info, int& type,
                    std::vector<std::int64_t>& dims) {
    const OrtApi& api = rt.Api();
    Check(rt, api.GetTensorElementType(info, &type), "tensor type");
    std::size_t rank = 0;
    Check(rt, api.GetDimensionsCount(info, &rank), "tensor rank");
    if (rank > 16) throw std::runtime_error("tensor of rank " + std::to_string(rank));
    dims.assign(rank, 0);
    Check(rt, api.GetDimensions(info, dims.data(), rank), "tensor dimensions");
}

}  // namespace

std::unique_ptr<OrtEngine> OrtEngine::Create(std::shared_ptr<const OrtRuntime> runtime,
                                             const std::vector<unsigned char>& onnx, cv::Size inputSize,
                                             const OrtEngineOptions& options, std::string& note,
                                             std::string& error, bool* warmupTimedOut) {
    if (warmupTimedOut != nullptr) *warmupTimedOut = false;
    try {
        const OrtRuntime& rt = *runtime;
        const OrtApi& api = rt.Api();
        std::unique_ptr<OrtEngine> engine(new OrtEngine());
        engine->runtime_ = runtime;
        engine->inputSize_ = inputSize;
        engine->intraOpThreads_ = std::max(1, options.intraOpThreads);

        auto makeOptions = [&](bool cuda, OrtOwned<OrtSessionOptions>& so) {
            Check(rt, api.CreateSessionOptions(so.Out()), "session options");
            Check(rt, api.SetIntraOpNumThreads(so.Get(), engine->intraOpThreads_), "intra-op threads");
            Check(rt, api.SetInterOpNumThreads(so.Get(), 1), "inter-op threads");
            Check(rt, api.SetSessionGraphOptimizationLevel(so.Get(), kOrtGraphOptimizeAll), "optimisation level");
            Check(rt, api.AddSessionConfigEntry(so.Get(), "session.intra_op.allow_spinning", "0"), "spinning");
            Check(rt, api.AddSessionConfigEntry(so.Get(), "session.inter_op.allow_spinning", "0"), "spinning");
            // The environment's capped CPU arena (see OrtRuntime.h).
            Check(rt, api.AddSessionConfigEntry(so.Get(), "session.use_env_allocators", "1"), "shared allocator");
            if (!cuda) return true;
            OrtCudaOptionsBlock block;
            block.options.gpuMemLimit = static_cast<std::size_t>(std::min<std::uint64_t>(kMaxActivationBytes, SIZE_MAX));
            const std::string why = rt.Consume(api.SessionOptionsAppendExecutionProvider_CUDA(so.Get(), &block.options));
            if (!why.empty()) note = "CUDA unavailable: " + why;
            return why.empty();
        };

        OrtOwned<OrtSession> session(api.ReleaseSession);
        bool onCuda = false;
        if (options.cuda) {
            OrtOwned<OrtSessionOptions> so(api.ReleaseSessionOptions);
            if (makeOptions(true, so)) {
                const std::string why = rt.Consume(
                    api.CreateSessionFromArray(rt.Env(), onnx.data(), onnx.size(), so.Get(), session.Out()));
                onCuda = why.empty();
                if (!onCuda) note = "CUDA session failed: " + why;
            }
        }
        if (!onCuda) {
            OrtOwned<OrtSessionOptions> so(api.ReleaseSessionOptions);
            makeOptions(false, so);
            Check(rt, api.CreateSessionFromArray(rt.Env(), onnx.data(), onnx.size(), so.Get(), session.Out()),
                  "cannot create a session");
        }
        engine->onCuda_ = onCuda;
        engine->session_ = session.Take();

        std::size_t inputs = 0, outputs = 0;
        Check(rt, api.SessionGetInputCount(engine->session_, &inputs), "input count");
        Check(rt, api.SessionGetOutputCount(engine->session_, &outputs), "output count");
        if (inputs != 1) throw std::runtime_error("the model has " + std::to_string(inputs) + " inputs; expected 1");
        if (outputs == 0 || outputs > 64) {
            throw std::runtime_error("the model has " + std::to_string(outputs) + " outputs");
        }
        OrtAllocator* allocator = nullptr;
        Check(rt, api.GetAllocatorWithDefaultOptions(&allocator), "allocator");
        char* name = nullptr;
        Check(rt, api.SessionGetInputName(engine->session_, 0, allocator, &name), "input name");
        engine->inputName_ = TakeName(rt, allocator, name);
        for (std::size_t i = 0; i < outputs; ++i) {
            name = nullptr;
            Check(rt, api.SessionGetOutputName(engine->session_, i, allocator, &name), "output name");
            engine->outputNames_.push_back(TakeName(rt, allocator, name));
        }
        for (const std::string& n : engine->outputNames_) engine->outputNamePtrs_.push_back(n.c_str());

        OrtOwned<OrtTypeInfo> typeInfo(api.ReleaseTypeInfo);
        Check(rt, api.SessionGetInputTypeInfo(engine->session_, 0, typeInfo.Out()), "input type");
        const OrtTensorTypeAndShapeInfo* tensorInfo = nullptr;
        Check(rt, api.CastTypeInfoToTensorInfo(typeInfo.Get(), &tensorInfo), "input type");
        if (tensorInfo == nullptr) throw std::runtime_error("the model input is not a tensor");
        std::vector<std::int64_t> dims;
        ReadTensorInfo(rt, tensorInfo, engine->inputType_, dims);
        if (engine->inputType_ != kOrtFloat && engine->inputType_ != kOrtFloat16) {
            throw std::runtime_error("the model input has element type " + std::to_string(engine->inputType_) +
                                     "; expected float32 or float16");
        }
        Check(rt, api.CreateCpuMemoryInfo(kOrtArenaAllocator, kOrtMemTypeDefault, &engine->memory_), "memory info");

        const int warmDims[] = {1, 3, inputSize.height, inputSize.width};
        const cv::Mat gray(4, warmDims, CV_32F, cv::Scalar(kPadValue / 255.0));
        std::vector<int> all;
        for (std::size_t i = 0; i < outputs; ++i) all.push_back(static_cast<int>(i));
        std::vector<std::vector<float>> values;
        // The warm-up hands back what it took from the arena even when it
        // fails: a model refused for its memory does not keep it.
        Check(rt, api.CreateRunOptions(&engine->shrink_), "run options");
        Check(rt, api.AddRunConfigEntry(engine->shrink_, kShrinkKey, kShrinkCpu), "arena shrinkage");
        Deadline warmup;
        warmup.ms = options.warmupTimeoutMs;
        warmup.at = RunWatchdog::Clock::now() + std::chrono::milliseconds(warmup.ms);
        warmup.what = "the warm-up inference";
        const Deadline* limit = warmup.ms > 0 ? &warmup : nullptr;
        // The second run finds the memory plan made by the first.
        engine->RunOutputs(gray, all, values, nullptr, true, limit);
        engine->RunOutputs(gray, all, values, &engine->outputs_, true, limit);
        return engine;
    } catch (const RunTimedOut& e) {
        error = OneLine(e.what());
        if (warmupTimedOut != nullptr) *warmupTimedOut = true;
    } catch (const std::exception& e) {
        error = OneLine(e.what());
    } catch (...) {
        error = "unknown error";
    }
    return nullptr;
}

OrtEngine::~OrtEngine() {
    if (runtime_ == nullptr) return;
    if (session_ != nullptr) runtime_->Api().ReleaseSession(session_);
    if (memory_ != nullptr) runtime_->Api().ReleaseMemoryInfo(memory_);
    if (shrink_ != nullptr) runtime_->Api().ReleaseRunOptions(shrink_);
}

void OrtEngine::RunOutputs(const cv::Mat& blob, const std::vector<int>& outputs,
                           std::vector<std::vector<float>>& values, std::vector<EngineOutput>* shapes, bool shrink,
                           const Deadline* deadline) const {
    const OrtRuntime& rt = *runtime_;
    const OrtApi& api = rt.Api();
    CV_Assert(blob.type() == CV_32F && blob.isContinuous() && blob.dims == 4 && blob.size[2] == inputSize_.height &&
              blob.size[3] == inputSize_.width);

    cv::Mat half;
    const cv::Mat* input = &blob;
    if (inputType_ == kOrtFloat16) {
        blob.convertTo(half, CV_16F);
        input = &half;
    }
    const std::int64_t shape[] = {1, 3, inputSize_.height, inputSize_.width};
    OrtOwned<OrtValue> tensor(api.ReleaseValue);
    Check(rt,
          api.CreateTensorWithDataAsOrtValue(memory_, input->data, input->total() * input->elemSize(), shape, 4,
                                             inputType_, tensor.Out()),
          "input tensor");

    std::vector<const char*> names;
    for (int i : outputs) names.push_back(outputNamePtrs_.at(static_cast<std::size_t>(i)));
    std::vector<OrtValue*> results(names.size(), nullptr);
    struct ReleaseAll {
        const OrtApi& api;
        std::vector<OrtValue*>& values;
        ~ReleaseAll() {
            for (OrtValue* v : values) {
                if (v != nullptr) api.ReleaseValue(v);
            }
        }
    } releaseAll{api, results};
    const char* inputName = inputName_.c_str();
    const OrtValue* inputValue = tensor.Get();
    // A run with a deadline has options of its own: their terminate flag
    // stops that run alone.
    OrtOwned<OrtRunOptions> timed(api.ReleaseRunOptions);
    if (deadline != nullptr) Check(rt, api.CreateRunOptions(timed.Out()), "run options");
    if (!shrink) shrink = shrinkNext_.exchange(false, std::memory_order_relaxed);
    const OrtRunOptions* options = shrink ? shrink_ : nullptr;
    std::uint64_t ticket = 0;
    if (deadline != nullptr) {
        if (shrink) Check(rt, api.AddRunConfigEntry(timed.Get(), kShrinkKey, kShrinkCpu), "arena shrinkage");
        options = timed.Get();
        const OrtApi* stopApi = &api;
        OrtRunOptions* stopOptions = timed.Get();
        ticket = watchdog_.Arm(deadline->at, [stopApi, stopOptions] {
            if (OrtStatus* s = stopApi->RunOptionsSetTerminate(stopOptions)) stopApi->ReleaseStatus(s);
        });
    }
    OrtStatus* status =
        api.Run(session_, options, &inputName, &inputValue, 1, names.data(), names.size(), results.data());
    bool stopped = false;
    if (deadline != nullptr) {
        try {
            stopped = watchdog_.Disarm(ticket);
        } catch (...) {
            // Still armed: the options must outlive the watchdog's table.
            static_cast<void>(timed.Take());
            rt.Consume(status);
            throw;
        }
    }
    if (stopped && status != nullptr) {
        rt.Consume(status);
        throw RunTimedOut(std::string(deadline->what) + " exceeded " + std::to_string(deadline->ms) +
                          " ms and was stopped");
    }
    CheckRun(rt, status, shrinkNext_);

    values.resize(results.size());
    if (shapes != nullptr) shapes->assign(results.size(), {});
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] == nullptr) throw std::runtime_error(std::string("the model returned no output ") + names[i]);
        OrtOwned<OrtTensorTypeAndShapeInfo> info(api.ReleaseTensorTypeAndShapeInfo);
        Check(rt, api.GetTensorTypeAndShape(results[i], info.Out()), "output shape");
        int type = 0;
        std::vector<std::int64_t> dims;
        ReadTensorInfo(rt, info.Get(), type, dims);
        std::size_t count = 1;
        std::vector<int> intDims;
        for (std::int64_t d : dims) {
            if (d < 0 || d > (1 << 30)) throw std::runtime_error("output dimension " + std::to_string(d));
            count *= static_cast<std::size_t>(d);
            intDims.push_back(static_cast<int>(d));
        }
        const bool isFloat = type == kOrtFloat || type == kOrtFloat16;
        if (shapes != nullptr) (*shapes)[i] = {intDims, isFloat};
        if (!isFloat) {
            values[i].clear();
            continue;
        }
        void* data = nullptr;
        Check(rt, api.GetTensorMutableData(results[i], &data), "output data");
        if (count > 0 && data == nullptr) throw std::runtime_error("output without data");
        if (type == kOrtFloat) {
            const float* f = static_cast<const float*>(data);
            values[i].assign(f, f + count);
        } else {
            values[i].resize(count);
            const cv::Mat src(1, static_cast<int>(count), CV_16F, data);
            cv::Mat dst(1, static_cast<int>(count), CV_32F, values[i].data());
            src.convertTo(dst, CV_32F);
        }
    }
}

void OrtEngine::Run(const cv::Mat& blob, int output, std::vector<float>& values, int timeoutMs) const {
    Deadline deadline;
    deadline.ms = timeoutMs;
    deadline.at = RunWatchdog::Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::vector<float>> one(1);
    one[0].swap(values);  // reuses the caller's buffer
    RunOutputs(blob, {output}, one, nullptr, false, timeoutMs > 0 ? &deadline : nullptr);
    values.swap(one[0]);
}

}  // namespace korva::detail
