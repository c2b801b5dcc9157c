#include "korva/KorvaPluginEntry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "korva/KorvaCustomWD.h"

namespace {

// The plug-ins this library made and has not destroyed.
struct LivePlugins {
    std::mutex mutex;
    std::unordered_set<const IKorvaCustomClass*> plugins;
    ~LivePlugins();
};

// Set once the registry is destroyed (library unload, process exit); zero
// before any constructor runs.
bool g_registryGone = false;

LivePlugins::~LivePlugins() { g_registryGone = true; }

// The registry, or null once it is gone: a plug-in destroyed after that is
// left to the process's end rather than freed unchecked.
LivePlugins* Live() {
    static LivePlugins live;
    return g_registryGone ? nullptr : &live;
}

bool IsLive(const IKorvaCustomClass* plugin) noexcept {
    LivePlugins* live = Live();
    if (plugin == nullptr || live == nullptr) return false;
    try {
        std::lock_guard<std::mutex> lock(live->mutex);
        return live->plugins.count(plugin) != 0;
    } catch (...) {
        return false;
    }
}

// Copies `text` into a fixed buffer, NUL-terminated and cut to fit.
template <std::size_t N>
void CopyCut(const std::string& text, char (&out)[N]) noexcept {
    const std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

int OutcomeNumber(KorvaCustomWD::ParameterChange::Outcome outcome) noexcept {
    using Outcome = KorvaCustomWD::ParameterChange::Outcome;
    switch (outcome) {
        case Outcome::kApplied: return KORVA_PARAMETER_APPLIED;
        case Outcome::kAtNextInitialize: return KORVA_PARAMETER_AT_NEXT_INITIALIZE;
        case Outcome::kRefused: return KORVA_PARAMETER_REFUSED;
        case Outcome::kNotApplied: return KORVA_PARAMETER_NOT_APPLIED;
    }
    return KORVA_PARAMETER_REFUSED;
}

}  // namespace

extern "C" {

unsigned KorvaPluginInterfaceVersion() noexcept { return korva::kPluginInterfaceVersion; }

IKorvaCustomClass* KorvaCreatePlugin(unsigned interfaceVersion) noexcept {
    if (interfaceVersion != korva::kPluginInterfaceVersion) return nullptr;
    try {
        LivePlugins* live = Live();
        if (live == nullptr) return nullptr;
        auto plugin = std::make_unique<KorvaCustomWD>();
        std::lock_guard<std::mutex> lock(live->mutex);
        live->plugins.insert(plugin.get());
        return plugin.release();
    } catch (...) {
        return nullptr;
    }
}

void KorvaDestroyPlugin(IKorvaCustomClass* plugin) noexcept {
    LivePlugins* live = Live();
    if (plugin == nullptr || live == nullptr) return;
    try {
        std::lock_guard<std::mutex> lock(live->mutex);
        if (live->plugins.erase(plugin) == 0) return;  // not ours, or already destroyed
    } catch (...) {
        return;  // the registry's lock failed: leaking beats freeing twice
    }
    // Every plug-in this library hands out is a KorvaCustomWD.
    delete static_cast<KorvaCustomWD*>(plugin);
}

std::size_t KorvaPluginLastError(const IKorvaCustomClass* plugin, char* buffer,
                                 std::size_t size) noexcept {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    if (!IsLive(plugin)) return 0;
    try {
        const std::string reason = static_cast<const KorvaCustomWD*>(plugin)->LastError();
        if (buffer != nullptr && size > 0) {
            const std::size_t n = std::min(reason.size(), size - 1);
            std::memcpy(buffer, reason.data(), n);
            buffer[n] = '\0';
        }
        return reason.size();
    } catch (...) {
        return 0;  // out of memory copying the reason
    }
}

int KorvaPluginLastErrorCode(const IKorvaCustomClass* plugin) noexcept {
    if (!IsLive(plugin)) return 0;
    return static_cast<int>(static_cast<const KorvaCustomWD*>(plugin)->LastErrorCode());
}

int KorvaPluginApplyParameters(IKorvaCustomClass* plugin, const CustomParams* params,
                               KorvaParameterChange* changes, std::size_t capacity,
                               std::size_t* changeCount) noexcept {
    if (changeCount != nullptr) *changeCount = 0;
    if (params == nullptr || !IsLive(plugin)) return 0;
    KorvaCustomWD::ParameterReport report;
    const bool applied = static_cast<KorvaCustomWD*>(plugin)->ApplyParameters(*params, report);
    if (changeCount != nullptr) *changeCount = report.changes.size();
    if (changes != nullptr) {
        const std::size_t n = std::min(capacity, report.changes.size());
        for (std::size_t i = 0; i < n; ++i) {
            const KorvaCustomWD::ParameterChange& c = report.changes[i];
            changes[i].outcome = OutcomeNumber(c.outcome);
            CopyCut(c.key, changes[i].key);
            CopyCut(c.reason, changes[i].reason);
        }
    }
    return applied ? 1 : 0;
}

}  // extern "C"
