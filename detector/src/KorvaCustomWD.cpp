#include "korva/KorvaCustomWD.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include <opencv2/core/cuda.hpp>
#include <opencv2/dnn.hpp>

#include "detail/AlarmRules.h"
#include "detail/DetectorSettings.h"
#include "detail/InferenceEngine.h"
#include "detail/LabelFile.h"
#include "detail/SwapGate.h"

using korva::detail::AlarmRules;
using korva::detail::Backend;
using korva::detail::DetectorSettings;
using korva::detail::InferenceEngine;

struct KorvaCustomWD::Impl {
    // Serialises Initialize, OptimizeModel and Destroy, so only one swap is
    // prepared at a time and `engine` changes only under this mutex.
    std::mutex swapMutex;
    korva::detail::SwapGate gate;
    std::unique_ptr<InferenceEngine> engine;  // guarded by gate (written under swapMutex too)
    DetectorSettings defaults;                // guarded by gate
    bool gpuRequested = false;                // guarded by gate
    // Objects followed per camera for confirmation; locks itself (after the
    // gate). Cleared under the gate when the model changes or is released.
    korva::detail::ConfirmationTracker tracker;

    mutable std::mutex errorMutex;
    std::string lastError;  // guarded by errorMutex

    void SetError(std::string text) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = std::move(text);
    }
};

namespace {

const std::string kNoCamera;

// Appends the alarm rules configured in `from` to `to`, and with
// `withRefusals` one "refused=..." text per entry that was not used.
void CopyAlarmRules(const CustomParams& from, const std::vector<std::string>& classNames,
                    CustomParams& to, bool withRefusals) {
    std::vector<korva::detail::RuleRefusal> refusals;
    AlarmRules::Read(from, classNames, refusals).Write(classNames, to);
    if (!withRefusals) return;
    for (const korva::detail::RuleRefusal& r : refusals) {
        to.texts.push_back(std::string(korva::detail::kKeyRefused) + "=" + r.Text());
    }
}

bool CudaFp16Available() {
    try {
        if (cv::cuda::getCudaEnabledDeviceCount() <= 0) return false;
        const auto targets = cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_CUDA);
        return std::find(targets.begin(), targets.end(), cv::dnn::DNN_TARGET_CUDA_FP16) !=
               targets.end();
    } catch (...) {
        return false;
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
        std::unique_ptr<InferenceEngine> engine = InferenceEngine::Load(
            modelFolder, Backend::kOpenCvCpu, korva::detail::DefaultPoolCapacity(), error);
        if (!engine) {
            impl_->SetError(error);
            return false;
        }

        DetectorSettings settings;
        settings.confidenceThreshold = threshold;
        std::string newLabelMap = korva::detail::JoinLabelMap(engine->ClassNames());
        CustomParams newParameters;
        korva::detail::WriteSettings(settings, engine->Describe(false), newParameters);

        std::unique_ptr<InferenceEngine> old;
        {
            std::unique_lock<korva::detail::SwapGate> gate(impl_->gate);
            old = std::move(impl_->engine);
            impl_->engine = std::move(engine);
            impl_->defaults = settings;
            impl_->gpuRequested = false;
            parameters = std::move(newParameters);
            impl_->tracker.Clear();
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
        std::unique_ptr<InferenceEngine> fresh;
        if (useGpu && CudaFp16Available()) fresh = current->Rebuild(Backend::kCudaFp16, error);
        if (!fresh) fresh = current->Rebuild(Backend::kOpenCvCpu, error);
        if (!fresh) {
            impl_->SetError(error);
            return false;
        }

        std::unique_ptr<InferenceEngine> old;
        {
            std::unique_lock<korva::detail::SwapGate> gate(impl_->gate);
            const DetectorSettings settings = korva::detail::ReadSettings(parameters, impl_->defaults);
            CustomParams updated;
            korva::detail::WriteSettings(settings, fresh->Describe(useGpu), updated);
            CopyAlarmRules(parameters, fresh->ClassNames(), updated, false);
            old = std::move(impl_->engine);
            impl_->engine = std::move(fresh);
            impl_->gpuRequested = useGpu;
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
        InferenceEngine& engine = *impl_->engine;
        std::vector<korva::detail::RuleRefusal> refused;  // reported by ConfigureParameters
        const AlarmRules rules = AlarmRules::Read(parameters, engine.ClassNames(), refused);
        if (rules.Empty()) return engine.Detect(frame, settings, cameraId);

        DetectorSettings decode = settings;
        decode.confidenceThreshold =
            rules.classes.DecodeThreshold(settings.confidenceThreshold, engine.ClassNames().size());
        return rules.Apply(settings.confidenceThreshold, impl_->tracker, cameraId, frame.size(),
                           engine.Detect(frame, decode, cameraId),
                           korva::detail::ConfirmationTracker::Clock::now());
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
        if (impl_->engine) {
            CustomParams out;
            korva::detail::WriteSettings(korva::detail::ReadSettings(parameters, impl_->defaults),
                                         impl_->engine->Describe(impl_->gpuRequested), out);
            CopyAlarmRules(parameters, impl_->engine->ClassNames(), out, true);
            params = std::move(out);
        } else {
            korva::detail::WriteSettings(impl_->defaults, korva::detail::ModelDescription{}, params);
        }
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
            impl_->tracker.Clear();
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
