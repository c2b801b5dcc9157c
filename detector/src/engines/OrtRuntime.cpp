#include "engines/OrtRuntime.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>

#include "onnx/OnnxModelCheck.h"
#include "support/ExceptionText.h"
#include "support/SharedLibrary.h"

namespace korva::detail {
namespace {

// An address inside this library, to find its folder.
void Anchor() {}

std::mutex sharedMutex;
std::shared_ptr<const OrtRuntime> sharedRuntime;  // guarded by sharedMutex

// The environments this code registered the capped arena with, once each.
// Such an environment is kept for the life of the process, like the
// library: the runtime hands out one environment per process while any
// holder keeps it, and one released with the arena in it and created again
// corrupts the runtime's heap at exit.
std::mutex arenaMutex;
std::set<const OrtEnv*> cappedEnvs;  // guarded by arenaMutex

// Registers the shared CPU arena capped at kMaxActivationBytes with `env`,
// once per environment. Empty on success, else the runtime's reason.
std::string RegisterCappedArena(const OrtRuntime& rt, OrtEnv* env) {
    const OrtApi& api = rt.Api();
    std::lock_guard<std::mutex> lock(arenaMutex);
    if (cappedEnvs.count(env) != 0) return {};
    OrtMemoryInfo* memory = nullptr;
    std::string why = rt.Consume(api.CreateCpuMemoryInfo(kOrtArenaAllocator, kOrtMemTypeDefault, &memory));
    OrtArenaCfg* config = nullptr;
    if (why.empty()) {
        const char* keys[] = {"max_mem", "arena_extend_strategy"};
        const std::size_t values[] = {
            static_cast<std::size_t>(std::min<std::uint64_t>(kMaxActivationBytes, SIZE_MAX)),
            kOrtArenaExtendSameAsRequested};
        why = rt.Consume(api.CreateArenaCfgV2(keys, values, 2, &config));
    }
    if (why.empty()) why = rt.Consume(api.CreateAndRegisterAllocator(env, memory, config));
    if (config != nullptr) api.ReleaseArenaCfg(config);
    if (memory != nullptr) api.ReleaseMemoryInfo(memory);
    if (why.empty()) cappedEnvs.insert(env);
    return why;
}

}  // namespace

std::shared_ptr<const OrtRuntime> OrtRuntime::Load(const std::string& path, std::string& reason) {
    try {
        std::string error;
        SharedLibrary library;
        if (!library.Open(path, error)) {
            reason = OneLine("cannot load " + path + ": " + error);
            return nullptr;
        }
        // The library is never unloaded (see the header), also after a failure
        // below: it may already have started threads.
        const auto getApiBase = reinterpret_cast<OrtGetApiBaseFn>(library.Symbol("OrtGetApiBase"));
        library.Keep();
        const OrtApiBase* base = getApiBase != nullptr ? getApiBase() : nullptr;
        if (base == nullptr) {
            reason = path + " is not ONNX Runtime (no OrtGetApiBase)";
            return nullptr;
        }
        const char* version = base->GetVersionString();
        const void* table = base->GetApi(kOrtApiVersion);
        if (table == nullptr) {
            reason = path + ": ONNX Runtime " + (version != nullptr ? version : "?") +
                     " does not offer API version " + std::to_string(kOrtApiVersion);
            return nullptr;
        }
        std::shared_ptr<OrtRuntime> runtime(new OrtRuntime());
        BindOrtApi(table, runtime->api_);
        runtime->version_ = version != nullptr ? version : "";
        runtime->path_ = path;
        const std::string envError =
            runtime->Consume(runtime->api_.CreateEnv(kOrtLoggingFatal, "korva", &runtime->env_));
        if (!envError.empty() || runtime->env_ == nullptr) {
            reason = "ONNX Runtime cannot create its environment: " + envError;
            return nullptr;
        }
        const std::string arenaError = RegisterCappedArena(*runtime, runtime->env_);
        if (!arenaError.empty()) {
            reason = OneLine("ONNX Runtime cannot bound its CPU memory: " + arenaError);
            return nullptr;
        }
        runtime->arenaRegistered_ = true;
        return runtime;
    } catch (const std::exception& e) {
        reason = OneLine(std::string("cannot load ONNX Runtime: ") + e.what());
    }
    return nullptr;
}

std::shared_ptr<const OrtRuntime> OrtRuntime::Shared(std::string& reason) {
    try {
        std::lock_guard<std::mutex> lock(sharedMutex);
        if (sharedRuntime) return sharedRuntime;

        const char* chosen = std::getenv("KORVA_ONNXRUNTIME");
        if (chosen != nullptr && *chosen != '\0') {
            sharedRuntime = Load(chosen, reason);
            if (!sharedRuntime) reason = "KORVA_ONNXRUNTIME: " + reason;
            return sharedRuntime;
        }
        // Beside the detector's real file first, then beside the link the
        // host loaded it through.
        std::string besideReason;
        const void* anchor = reinterpret_cast<const void*>(&Anchor);
        const std::string folder = RealModuleFolderOf(anchor);
        if (!folder.empty()) {
            sharedRuntime = Load(folder + kOnnxRuntimeLibraryName, besideReason);
            if (sharedRuntime) return sharedRuntime;
        }
        const std::string linkFolder = ModuleFolderOf(anchor);
        if (!linkFolder.empty() && linkFolder != folder) {
            std::string linkReason;
            sharedRuntime = Load(linkFolder + kOnnxRuntimeLibraryName, linkReason);
            if (sharedRuntime) return sharedRuntime;
            besideReason += "; beside the link: " + linkReason;
        }
        std::string systemReason;
        sharedRuntime = Load(kOnnxRuntimeLibraryName, systemReason);
        if (!sharedRuntime) {
            reason = OneLine(std::string(kOnnxRuntimeLibraryName) + " not found beside the detector (" +
                             (folder.empty() ? "folder unknown" : besideReason) +
                             ") nor on the loader's path (" + systemReason + ")");
        }
        return sharedRuntime;
    } catch (const std::exception& e) {
        reason = OneLine(std::string("cannot look for ONNX Runtime: ") + e.what());
    }
    return nullptr;
}

OrtRuntime::~OrtRuntime() {
    // An environment holding the capped arena stays (see cappedEnvs).
    if (env_ != nullptr && !arenaRegistered_) api_.ReleaseEnv(env_);
}

std::string OrtRuntime::Consume(OrtStatus* status) const {
    if (status == nullptr) return {};
    const char* message = api_.GetErrorMessage(status);
    std::string text = OneLine(message != nullptr && *message != '\0' ? message : "unknown error");
    api_.ReleaseStatus(status);
    return text;
}

void BindOrtApi(const void* table, OrtApi& api) {
    using Slot = void (*)();
    const auto* slots = static_cast<const Slot*>(table);
#define KORVA_ORT_BIND(slot, name, result, params) \
    api.name = reinterpret_cast<decltype(api.name)>(slots[slot]);
    KORVA_ORT_SLOTS(KORVA_ORT_BIND)
#undef KORVA_ORT_BIND
}

}  // namespace korva::detail
