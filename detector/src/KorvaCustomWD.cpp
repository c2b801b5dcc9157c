#include "korva/KorvaCustomWD.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>

#include "settings/ParameterRecord.h"
#include "engines/EngineRequest.h"
#include "pipeline/DetectionPipeline.h"
#include "model/LabelFile.h"
#include "support/CameraCounters.h"
#include "support/Mutex.h"
#include "engines/NetPool.h"
#include "support/ReasonText.h"
#include "support/Status.h"
#include "support/SwapGate.h"
#include "support/ThreadAnnotations.h"

using korva::detail::DetectorSettings;
using korva::detail::DetectorStatus;
using korva::detail::EntryOutcome;
using korva::detail::EngineRequest;
using korva::detail::EntryResult;
using korva::detail::ExclusiveGate;
using korva::detail::FrameOutcome;
using korva::detail::DetectionPipeline;
using korva::detail::ModelDescription;
using korva::detail::MutexLock;
using korva::detail::ReadOnlyEntries;
using korva::detail::SharedGate;
using korva::detail::StatusCode;

static_assert(static_cast<int>(KorvaErrorCode::kInternal) == static_cast<int>(StatusCode::kInternal),
              "the internal codes are the public ones");

namespace {

const std::string kNoCamera;

DetectorSettings InitialSettings() {
    DetectorSettings s;
    s.poolCapacity = static_cast<int>(korva::detail::DefaultPoolCapacity());
    s.engine = korva::detail::DefaultEngineName();
    return s;
}

// The engine `settings` ask for; false with a reason when the engine name is
// not one (only KORVA_ENGINE can bring such a name: the record's is checked).
bool RequestOf(const DetectorSettings& settings, bool gpu, EngineRequest& request, std::string& error) {
    if (!korva::detail::ParseEngineKind(settings.engine, request.kind)) {
        error = "engine '" + settings.engine.substr(0, 40) +
                "' (from KORVA_ENGINE) must be auto, onnxruntime or opencv";
        return false;
    }
    request.intraOpThreads = settings.intraOpThreads;
    request.poolCapacity = static_cast<std::size_t>(settings.poolCapacity);
    request.gpu = gpu;
    request.dynamicInputSide = settings.dynamicInputSide;
    request.warmupTimeoutMs = settings.warmupTimeoutMs;
    return true;
}

KorvaCustomWD::ParameterChange::Outcome PublicOutcome(EntryOutcome outcome) {
    using Outcome = KorvaCustomWD::ParameterChange::Outcome;
    switch (outcome) {
        case EntryOutcome::kApplied: return Outcome::kApplied;
        case EntryOutcome::kAtNextLoad: return Outcome::kAtNextInitialize;
        case EntryOutcome::kRefused: return Outcome::kRefused;
        case EntryOutcome::kHeldBack: return Outcome::kNotApplied;
    }
    return Outcome::kRefused;
}

// The engine's detections in `frame` after the alarm rules of `settings`;
// exactly the engine's when no rule is configured.
std::vector<CustomObject> DetectWithRules(const DetectionPipeline& engine, const DetectorSettings& settings,
                                          korva::detail::ConfirmationTracker& tracker, const cv::Mat& frame,
                                          const std::string& cameraId) {
    const korva::detail::AlarmRules& rules = settings.rules;
    korva::detail::DetectionThresholds decode;
    decode.confidence = settings.confidenceThreshold;
    decode.nmsIou = settings.nmsIouThreshold;
    const int timeoutMs = settings.inferenceTimeoutMs;
    if (rules.Empty()) return engine.Detect(frame, decode, timeoutMs, cameraId);
    // Class thresholds may lower the decoding threshold.
    decode.confidence = rules.classes.DecodeThreshold(settings.confidenceThreshold, engine.ClassNames());
    return rules.Apply(settings.confidenceThreshold, tracker, cameraId, frame.size(),
                       engine.Detect(frame, decode, timeoutMs, cameraId),
                       korva::detail::ConfirmationTracker::Clock::now());
}

}  // namespace

struct KorvaCustomWD::Impl {
    // Names this detector's reasons in each thread's store.
    const std::uint64_t owner = korva::detail::NewReasonOwner();

    // Serialises the loads of Initialize and OptimizeModel, which build a
    // model without holding anything else, so that a slow or hung load never
    // holds back ApplyParameters, ConfigureParameters, Statistics or Destroy.
    // Taken before changeMutex.
    korva::detail::Mutex loadMutex;
    // Serialises the short changes: a load's commit, ApplyParameters and
    // Destroy; `engine` is replaced only with this held (besides the gate).
    // Taken before the gate or settingsMutex.
    korva::detail::Mutex changeMutex;
    // Counts the Destroy calls; a load that finds it changed discards its model.
    std::uint64_t destroyEpoch KORVA_GUARDED_BY(changeMutex) = 0;
    korva::detail::SwapGate gate;
    // Shared so that OptimizeModel can rebuild from it without holding the gate.
    std::shared_ptr<const DetectionPipeline> engine KORVA_GUARDED_BY(gate);
    bool gpuRequested KORVA_GUARDED_BY(gate) = false;
    std::string gpuFallback KORVA_GUARDED_BY(gate);  // why `engine` is not on the GPU asked for

    // The published settings; inference works on the snapshot it took.
    mutable korva::detail::Mutex settingsMutex;
    std::shared_ptr<const DetectorSettings> settings KORVA_GUARDED_BY(settingsMutex) =
        std::make_shared<const DetectorSettings>(InitialSettings());

    // Objects followed per camera for confirmation; locks itself (after the
    // gate). Cleared under the gate when the model changes or is released.
    korva::detail::ConfirmationTracker tracker;

    std::atomic<std::uint64_t> inspected{0};
    std::atomic<std::uint64_t> refusedNoModel{0};
    std::atomic<std::uint64_t> refusedUnsupported{0};
    std::atomic<std::uint64_t> failures{0};
    // The same four per camera; locks itself.
    korva::detail::CameraCounters cameraCounts;
    mutable korva::detail::Mutex failureMutex;
    korva::detail::ReasonText lastFailure KORVA_GUARDED_BY(failureMutex);

    std::shared_ptr<const DetectorSettings> Settings() const KORVA_EXCLUDES(settingsMutex) {
        MutexLock lock(settingsMutex);
        return settings;
    }

    void Publish(std::shared_ptr<const DetectorSettings> next) noexcept KORVA_EXCLUDES(settingsMutex) {
        {
            MutexLock lock(settingsMutex);
            settings.swap(next);
        }
        // The old snapshot goes when its last reader lets go of it.
    }

    ModelDescription Describe() const KORVA_REQUIRES_SHARED(gate) {
        ModelDescription m = engine ? engine->Describe(gpuRequested) : ModelDescription{};
        m.gpuRequested = gpuRequested;
        m.gpuFallback = gpuFallback;
        return m;
    }

    DetectorStatus Status() const KORVA_EXCLUDES(failureMutex) {
        DetectorStatus s;
        s.framesInspected = inspected.load(std::memory_order_relaxed);
        s.framesRefusedNoModel = refusedNoModel.load(std::memory_order_relaxed);
        s.framesRefusedUnsupported = refusedUnsupported.load(std::memory_order_relaxed);
        s.inferenceFailures = failures.load(std::memory_order_relaxed);
        s.cameras = cameraCounts.Snapshot();
        MutexLock lock(failureMutex);
        s.lastInferenceError = std::string(lastFailure.View());
        return s;
    }

    void Fail(StatusCode code, std::initializer_list<std::string_view> parts) noexcept {
        korva::detail::SetThreadReason(owner, code, parts);
    }
    void Succeed() noexcept { korva::detail::ClearThreadReason(owner); }

    // Counts a failed inference and keeps its reason. Allocates nothing.
    void InferenceFailed(std::string_view what) noexcept KORVA_EXCLUDES(failureMutex) {
        failures.fetch_add(1, std::memory_order_relaxed);
        Fail(StatusCode::kInferenceFailed, {"inference failed: ", what});
        try {
            MutexLock lock(failureMutex);
            lastFailure.Assign({"inference failed: ", what});
        } catch (...) {
            // Locking failed (system error); the count and the thread's reason stand.
        }
    }

};

KorvaCustomWD::KorvaCustomWD() : impl_(std::make_unique<Impl>()) {}

KorvaCustomWD::~KorvaCustomWD() { Destroy(); }

bool KorvaCustomWD::Initialize(const std::string& modelFolder, float threshold,
                               std::string& labelMap) noexcept {
    Impl& d = *impl_;
    try {
        MutexLock load(d.loadMutex);
        if (!(threshold >= 0.0f && threshold <= 1.0f)) {
            char value[32];
            std::snprintf(value, sizeof value, "%g", static_cast<double>(threshold));
            d.Fail(StatusCode::kSettingRefused, {"confidence threshold must be a number from 0 to 1, got ", value});
            return false;
        }
        // The stored record over the current settings; what it describes of
        // an earlier model is skipped.
        const ModelDescription noModel;
        const DetectorStatus noStatus;
        CustomParams record;
        std::shared_ptr<const DetectorSettings> base;
        std::uint64_t epoch = 0;
        DetectorSettings next;
        std::vector<EntryResult> results;
        {
            MutexLock change(d.changeMutex);
            record = parameters;
            epoch = d.destroyEpoch;
            base = d.Settings();
        }
        if (!korva::detail::ReadRecord(record, ReadOnlyEntries::kSkip, {*base, noModel, noStatus}, next,
                                       results)) {
            d.Fail(StatusCode::kSettingRefused,
                   {"the stored parameter record is refused: ", korva::detail::DescribeRefusals(results)});
            return false;
        }
        next.confidenceThreshold = threshold;

        bool gpu = false;
        {
            SharedGate gate(d.gate);
            gpu = d.gpuRequested;
        }
        std::string error;
        EngineRequest request;
        if (!RequestOf(next, gpu, request, error)) {
            d.Fail(StatusCode::kSettingRefused, {error});
            return false;
        }
        // Built with no lock but loadMutex held.
        StatusCode code = StatusCode::kOk;
        std::shared_ptr<const DetectionPipeline> engine = DetectionPipeline::Load(modelFolder, request, error, code);
        if (!engine) {
            d.Fail(code, {error});
            return false;
        }
        std::string fallback = engine->GpuFallback();
        std::string newLabelMap = korva::detail::JoinLabelMap(engine->ClassNames());
        ModelDescription model = engine->Describe(gpu);
        model.gpuFallback = fallback;
        // Read again with the new model's classes: a class rule for a class
        // it lacks is refused before it replaces the serving one.
        results.clear();
        if (!korva::detail::ReadRecord(record, ReadOnlyEntries::kSkip, {*base, model, noStatus}, next, results)) {
            d.Fail(StatusCode::kSettingRefused, {"the stored parameter record is refused for this model: ",
                                                 korva::detail::DescribeRefusals(results)});
            return false;
        }
        next.confidenceThreshold = threshold;

        std::shared_ptr<const DetectionPipeline> old;
        {
            MutexLock change(d.changeMutex);
            if (d.destroyEpoch != epoch) {
                d.Fail(StatusCode::kLoadAbandoned,
                       {"Initialize: Destroy was called while the model loaded; the new model is discarded"});
                return false;
            }
            // Settings edited live while the model loaded stay: the record is
            // read again over them.
            const std::shared_ptr<const DetectorSettings> current = d.Settings();
            if (current != base) {
                results.clear();
                if (!korva::detail::ReadRecord(record, ReadOnlyEntries::kSkip, {*current, model, noStatus},
                                               next, results)) {
                    d.Fail(StatusCode::kSettingRefused, {"the stored parameter record is refused for this model: ",
                                                         korva::detail::DescribeRefusals(results)});
                    return false;
                }
                next.confidenceThreshold = threshold;
            }
            auto published = std::make_shared<const DetectorSettings>(next);
            CustomParams effective;
            korva::detail::WriteRecord({next, model, d.Status()}, effective);
            {
                ExclusiveGate gate(d.gate);
                old = std::move(d.engine);
                d.engine = std::move(engine);
                d.gpuFallback.swap(fallback);
                d.Publish(std::move(published));
                d.tracker.Clear();
            }
            parameters = std::move(effective);
        }
        labelMap.swap(newLabelMap);
        d.Succeed();
        return true;  // `old` is released here, outside the locks
    } catch (const std::bad_alloc& e) {
        d.Fail(StatusCode::kOutOfMemory, {"Initialize failed: ", e.what()});
    } catch (const std::exception& e) {
        d.Fail(StatusCode::kInternal, {"Initialize failed: ", e.what()});
    } catch (...) {
        d.Fail(StatusCode::kInternal, {"Initialize failed: unknown error"});
    }
    return false;
}

bool KorvaCustomWD::OptimizeModel(bool useGpu) noexcept {
    Impl& d = *impl_;
    try {
        MutexLock load(d.loadMutex);
        std::shared_ptr<const DetectionPipeline> current;
        std::uint64_t epoch = 0;
        {
            MutexLock change(d.changeMutex);
            epoch = d.destroyEpoch;
            SharedGate gate(d.gate);
            current = d.engine;
        }
        if (current == nullptr) {
            d.Fail(StatusCode::kNoModel, {"no model is loaded; call Initialize first"});
            return false;
        }

        std::string error;
        StatusCode code = StatusCode::kOk;
        std::shared_ptr<const DetectionPipeline> fresh = current->Rebuild(useGpu, error, code);
        if (!fresh) {
            d.Fail(code, {error});
            return false;
        }
        std::string fallback = fresh->GpuFallback();

        std::shared_ptr<const DetectionPipeline> old;
        {
            MutexLock change(d.changeMutex);
            if (d.destroyEpoch != epoch) {
                d.Fail(StatusCode::kLoadAbandoned,
                       {"OptimizeModel: Destroy was called while the engine was rebuilt; the rebuild is discarded"});
                return false;
            }
            ExclusiveGate gate(d.gate);
            old = std::move(d.engine);
            d.engine = std::move(fresh);
            d.gpuRequested = useGpu;
            d.gpuFallback.swap(fallback);
        }
        current.reset();
        d.Succeed();
        return true;
    } catch (const std::bad_alloc& e) {
        d.Fail(StatusCode::kOutOfMemory, {"OptimizeModel failed: ", e.what()});
    } catch (const std::exception& e) {
        d.Fail(StatusCode::kInternal, {"OptimizeModel failed: ", e.what()});
    } catch (...) {
        d.Fail(StatusCode::kInternal, {"OptimizeModel failed: unknown error"});
    }
    return false;
}

std::vector<CustomObject> KorvaCustomWD::RunInference(const cv::Mat& frame,
                                                      const std::string& cameraId) noexcept {
    Impl& d = *impl_;
    try {
        if (!korva::detail::IsSupportedFrame(frame)) {
            d.refusedUnsupported.fetch_add(1, std::memory_order_relaxed);
            d.cameraCounts.Count(cameraId, FrameOutcome::kRefusedUnsupported);
            const bool tooLarge = !frame.empty() && frame.dims == 2 &&
                                  (frame.rows > korva::detail::kMaxFrameSide || frame.cols > korva::detail::kMaxFrameSide);
            d.Fail(tooLarge ? StatusCode::kFrameTooLarge : StatusCode::kBadFrame,
                   {"frame not inspected: empty, not 8-bit gray, BGR or BGRA, or a side above 16384"});
            return {};
        }
        SharedGate gate(d.gate);
        if (!d.engine) {
            d.refusedNoModel.fetch_add(1, std::memory_order_relaxed);
            d.cameraCounts.Count(cameraId, FrameOutcome::kRefusedNoModel);
            d.Fail(StatusCode::kNoModel, {"frame not inspected: no model is loaded"});
            return {};
        }
        const std::shared_ptr<const DetectorSettings> settings = d.Settings();
        std::vector<CustomObject> found = DetectWithRules(*d.engine, *settings, d.tracker, frame, cameraId);
        d.inspected.fetch_add(1, std::memory_order_relaxed);
        d.cameraCounts.Count(cameraId, FrameOutcome::kInspected);
        d.Succeed();
        return found;
    } catch (const std::exception& e) {
        d.InferenceFailed(e.what());
    } catch (...) {
        d.InferenceFailed("unknown error");
    }
    d.cameraCounts.Count(cameraId, FrameOutcome::kFailed);
    return {};
}

std::vector<CustomObject> KorvaCustomWD::RunInference(const cv::Mat& frame) noexcept {
    return RunInference(frame, kNoCamera);
}

bool KorvaCustomWD::ConfigureParameters(CustomParams& params) noexcept {
    Impl& d = *impl_;
    try {
        const std::shared_ptr<const DetectorSettings> settings = d.Settings();
        ModelDescription model;
        {
            SharedGate gate(d.gate);
            model = d.Describe();
        }
        korva::detail::WriteRecord({*settings, model, d.Status()}, params);
        d.Succeed();
        return true;
    } catch (...) {
        d.Fail(StatusCode::kOutOfMemory, {"ConfigureParameters failed: out of memory; the record is unchanged"});
        return false;
    }
}

bool KorvaCustomWD::Destroy() noexcept {
    Impl& d = *impl_;
    try {
        std::shared_ptr<const DetectionPipeline> old;
        {
            MutexLock change(d.changeMutex);
            ++d.destroyEpoch;  // a load in progress discards its model
            ExclusiveGate gate(d.gate);
            old = std::move(d.engine);
            d.gpuFallback.clear();
            d.tracker.Clear();
        }
    } catch (...) {
        // Locking failed (system error): the model may still be loaded.
        d.Fail(StatusCode::kInternal, {"Destroy failed: the detector's lock could not be taken"});
        return false;
    }
    d.Succeed();
    return true;
}

bool KorvaCustomWD::ApplyParameters(const CustomParams& params, ParameterReport& report) noexcept {
    Impl& d = *impl_;
    try {
        report.changes.clear();
        MutexLock change(d.changeMutex);
        const std::shared_ptr<const DetectorSettings> current = d.Settings();
        ModelDescription model;
        {
            SharedGate gate(d.gate);
            model = d.Describe();
        }
        const DetectorStatus status = d.Status();
        DetectorSettings next;
        std::vector<EntryResult> results;
        const bool accepted = korva::detail::ReadRecord(
            params, model.loaded ? ReadOnlyEntries::kMustMatch : ReadOnlyEntries::kSkip,
            {*current, model, status}, next, results);
        const std::string refusals = accepted ? std::string() : korva::detail::DescribeRefusals(results);
        report.changes.reserve(results.size());
        for (EntryResult& r : results) {
            report.changes.push_back({std::move(r.key), PublicOutcome(r.outcome), std::move(r.reason)});
        }
        if (!accepted) {
            d.Fail(StatusCode::kSettingRefused, {refusals});
            return false;
        }
        CustomParams effective;
        korva::detail::WriteRecord({next, model, status}, effective);
        d.Publish(std::make_shared<const DetectorSettings>(next));
        parameters = std::move(effective);
        d.Succeed();
        return true;
    } catch (...) {
        d.Fail(StatusCode::kOutOfMemory, {"ApplyParameters failed: out of memory; nothing changed"});
        return false;
    }
}

bool KorvaCustomWD::ApplyParameters(ParameterReport& report) noexcept {
    return ApplyParameters(parameters, report);
}

KorvaCustomWD::InferenceStatistics KorvaCustomWD::Statistics() const noexcept {
    InferenceStatistics s;
    s.framesInspected = impl_->inspected.load(std::memory_order_relaxed);
    s.framesRefusedNoModel = impl_->refusedNoModel.load(std::memory_order_relaxed);
    s.framesRefusedUnsupported = impl_->refusedUnsupported.load(std::memory_order_relaxed);
    s.inferenceFailures = impl_->failures.load(std::memory_order_relaxed);
    return s;
}

std::vector<KorvaCustomWD::CameraStatistics> KorvaCustomWD::CameraStatisticsSnapshot() const noexcept {
    try {
        std::vector<CameraStatistics> out;
        for (const korva::detail::CameraCount& c : impl_->cameraCounts.Snapshot()) {
            CameraStatistics s;
            s.cameraId = c.idPrefix;
            s.cameraIdLength = c.idLength;
            s.counts.framesInspected = c.counts[static_cast<std::size_t>(FrameOutcome::kInspected)];
            s.counts.framesRefusedNoModel = c.counts[static_cast<std::size_t>(FrameOutcome::kRefusedNoModel)];
            s.counts.framesRefusedUnsupported = c.counts[static_cast<std::size_t>(FrameOutcome::kRefusedUnsupported)];
            s.counts.inferenceFailures = c.counts[static_cast<std::size_t>(FrameOutcome::kFailed)];
            out.push_back(std::move(s));
        }
        impl_->Succeed();
        return out;
    } catch (...) {
        impl_->Fail(StatusCode::kOutOfMemory, {"CameraStatisticsSnapshot failed: out of memory"});
        return {};
    }
}

std::string KorvaCustomWD::LastInferenceError() const noexcept {
    try {
        MutexLock lock(impl_->failureMutex);
        return impl_->lastFailure.Copy();
    } catch (...) {
        return std::string();
    }
}

std::string KorvaCustomWD::LastError() const noexcept {
    return korva::detail::ThreadReason(impl_->owner);
}

KorvaErrorCode KorvaCustomWD::LastErrorCode() const noexcept {
    return static_cast<KorvaErrorCode>(korva::detail::ThreadReasonCode(impl_->owner));
}
