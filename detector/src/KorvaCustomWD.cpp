#include "korva/KorvaCustomWD.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include "detail/DetectorSettings.h"
#include "detail/EngineRequest.h"
#include "detail/InferenceEngine.h"
#include "detail/LabelFile.h"
#include "detail/SwapGate.h"

using korva::detail::DetectorSettings;
using korva::detail::EngineRequest;
using korva::detail::InferenceEngine;

struct KorvaCustomWD::Impl {
    // Serialises Initialize, OptimizeModel and Destroy, so only one swap is
    // prepared at a time and `engine` changes only under this mutex.
    std::mutex swapMutex;
    korva::detail::SwapGate gate;
    std::unique_ptr<InferenceEngine> engine;  // guarded by gate (written under swapMutex too)
    DetectorSettings defaults;                // guarded by gate
    bool gpuRequested = false;                // guarded by gate
    EngineRequest engineRequest;              // guarded by gate

    mutable std::mutex errorMutex;
    std::string lastError;  // guarded by errorMutex

    void SetError(std::string text) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = std::move(text);
    }
};

namespace {

const std::string kNoCamera;

// The whole record: settings, model description, engine request and report.
void WriteRecord(const DetectorSettings& settings, const InferenceEngine* engine, bool gpuRequested,
                 const EngineRequest& request, CustomParams& params) {
    if (engine != nullptr) {
        korva::detail::WriteSettings(settings, engine->Describe(gpuRequested), params);
        korva::detail::WriteEngineEntries(request, engine->Report(), params);
    } else {
        korva::detail::WriteSettings(settings, korva::detail::ModelDescription{}, params);
        korva::detail::WriteEngineEntries(request, {}, params);
    }
}

}  // namespace

KorvaCustomWD::KorvaCustomWD() : impl_(std::make_unique<Impl>()) {}

KorvaCustomWD::~KorvaCustomWD() { Destroy(); }

bool KorvaCustomWD::Initialize(const std::string& modelFolder, float threshold,
                               std::string& labelMap) noexcept {
    try {
        std::lock_guard<std::mutex> swap(impl_->swapMutex);
        if (!(threshold >= 0.0f && threshold <= 1.0f)) {
            impl_->SetError("confidence threshold must be a number from 0 to 1, got " +
                            std::to_string(threshold));
            return false;
        }
        std::string error;
        EngineRequest request;
        if (!korva::detail::ReadEngineRequest(parameters, request, error)) {
            impl_->SetError(error);
            return false;
        }
        std::unique_ptr<InferenceEngine> engine = InferenceEngine::Load(modelFolder, request, error);
        if (!engine) {
            impl_->SetError(error);
            return false;
        }

        DetectorSettings settings;
        settings.confidenceThreshold = threshold;
        std::string newLabelMap = korva::detail::JoinLabelMap(engine->ClassNames());
        CustomParams newParameters;
        WriteRecord(settings, engine.get(), false, request, newParameters);

        std::unique_ptr<InferenceEngine> old;
        {
            std::unique_lock<korva::detail::SwapGate> gate(impl_->gate);
            old = std::move(impl_->engine);
            impl_->engine = std::move(engine);
            impl_->defaults = settings;
            impl_->gpuRequested = false;
            impl_->engineRequest = request;
            parameters = std::move(newParameters);
        }
        labelMap = std::move(newLabelMap);
        impl_->SetError({});
        return true;  // `old` is released here, outside the gate
    } catch (const std::exception& e) {
        impl_->SetError(std::string("Initialize failed: ") + e.what());
    } catch (...) {
        impl_->SetError("Initialize failed: unknown error");
    }
    return false;
}

bool KorvaCustomWD::OptimizeModel(bool useGpu) noexcept {
    try {
        std::lock_guard<std::mutex> swap(impl_->swapMutex);
        // Only this thread may replace `engine` while swapMutex is held.
        const InferenceEngine* current = nullptr;
        {
            std::shared_lock<korva::detail::SwapGate> gate(impl_->gate);
            current = impl_->engine.get();
        }
        if (current == nullptr) {
            impl_->SetError("no model is loaded; call Initialize first");
            return false;
        }

        std::string error;
        EngineRequest request;
        if (!korva::detail::ReadEngineRequest(parameters, request, error)) {
            impl_->SetError(error);
            return false;
        }
        request.gpu = useGpu;
        std::unique_ptr<InferenceEngine> fresh = current->Rebuild(request, error);
        if (!fresh) {
            impl_->SetError(error);
            return false;
        }

        std::unique_ptr<InferenceEngine> old;
        {
            std::unique_lock<korva::detail::SwapGate> gate(impl_->gate);
            const DetectorSettings settings = korva::detail::ReadSettings(parameters, impl_->defaults);
            CustomParams updated;
            WriteRecord(settings, fresh.get(), useGpu, request, updated);
            old = std::move(impl_->engine);
            impl_->engine = std::move(fresh);
            impl_->gpuRequested = useGpu;
            impl_->engineRequest = request;
            parameters = std::move(updated);
        }
        impl_->SetError({});
        return true;
    } catch (const std::exception& e) {
        impl_->SetError(std::string("OptimizeModel failed: ") + e.what());
    } catch (...) {
        impl_->SetError("OptimizeModel failed: unknown error");
    }
    return false;
}

std::vector<CustomObject> KorvaCustomWD::RunInference(const cv::Mat& frame,
                                                      const std::string& cameraId) noexcept {
    try {
        if (!korva::detail::IsSupportedFrame(frame)) return {};
        std::shared_lock<korva::detail::SwapGate> gate(impl_->gate);
        if (!impl_->engine) return {};
        const DetectorSettings settings = korva::detail::ReadSettings(parameters, impl_->defaults);
        return impl_->engine->Detect(frame, settings, cameraId);
    } catch (...) {
        return {};
    }
}

std::vector<CustomObject> KorvaCustomWD::RunInference(const cv::Mat& frame) noexcept {
    return RunInference(frame, kNoCamera);
}

bool KorvaCustomWD::ConfigureParameters(CustomParams& params) noexcept {
    try {
        std::shared_lock<korva::detail::SwapGate> gate(impl_->gate);
        const DetectorSettings settings =
            impl_->engine ? korva::detail::ReadSettings(parameters, impl_->defaults) : impl_->defaults;
        WriteRecord(settings, impl_->engine.get(), impl_->gpuRequested, impl_->engineRequest, params);
        return true;
    } catch (...) {
        return false;  // out of memory; `params` is left as it was
    }
}

bool KorvaCustomWD::Destroy() noexcept {
    try {
        std::lock_guard<std::mutex> swap(impl_->swapMutex);
        std::unique_ptr<InferenceEngine> old;
        {
            std::unique_lock<korva::detail::SwapGate> gate(impl_->gate);
            old = std::move(impl_->engine);
            impl_->gpuRequested = false;
        }
    } catch (...) {
        // Locking failed (system error); nothing was held that could leak.
    }
    return true;
}

std::string KorvaCustomWD::LastError() const {
    std::lock_guard<std::mutex> lock(impl_->errorMutex);
    return impl_->lastError;
}
