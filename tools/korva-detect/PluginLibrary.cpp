#include "PluginLibrary.h"

#include <algorithm>

#include <cstring>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#ifndef KORVA_DETECT_PLUGIN_FILE
#error "KORVA_DETECT_PLUGIN_FILE must name the detector library's file"
#endif
#ifndef KORVA_DETECT_LIBDIR_FROM_BINDIR
#define KORVA_DETECT_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace korva::detect {

namespace fs = std::filesystem;

namespace {

fs::path ExecutablePath(const char* argv0) {
#if defined(_WIN32)
    std::wstring buffer(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n > 0 && n < buffer.size()) return fs::path(buffer.substr(0, n));
#elif defined(__linux__)
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return self;
#endif
    std::error_code ec2;
    const fs::path guess = fs::absolute(argv0 != nullptr ? argv0 : "", ec2);
    return ec2 ? fs::path() : guess;
}

}  // namespace

bool PluginLibrary::Load(const std::vector<fs::path>& candidates, std::string& error) {
    library_.Close();
    std::string tried;
    for (const fs::path& path : candidates) {
        std::string why;
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            why = "not found";
        } else if (library_.Open(path.u8string(), why)) {
            auto sym = [&](const char* name) { return library_.Symbol(name); };
            version_ = reinterpret_cast<PluginInterfaceVersionFn>(sym(KORVA_PLUGIN_INTERFACE_VERSION_SYMBOL));
            create_ = reinterpret_cast<CreatePluginFn>(sym(KORVA_PLUGIN_CREATE_SYMBOL));
            destroy_ = reinterpret_cast<DestroyPluginFn>(sym(KORVA_PLUGIN_DESTROY_SYMBOL));
            lastError_ = reinterpret_cast<PluginLastErrorFn>(sym(KORVA_PLUGIN_LAST_ERROR_SYMBOL));
            lastErrorCode_ = reinterpret_cast<PluginLastErrorCodeFn>(sym(KORVA_PLUGIN_LAST_ERROR_CODE_SYMBOL));
            apply_ = reinterpret_cast<PluginApplyParametersFn>(sym(KORVA_PLUGIN_APPLY_PARAMETERS_SYMBOL));
            if (version_ && create_ && destroy_ && lastError_ && lastErrorCode_ && apply_) {
                path_ = path;
                return true;
            }
            library_.Close();
            why = "not a detector library (entry points missing)";
        }
        tried += (tried.empty() ? "" : "; ") + path.u8string() + ": " + why;
    }
    error = "cannot load the detector library (" + (tried.empty() ? std::string("no path") : tried) + ")";
    return false;
}

PluginHandle PluginLibrary::Create(std::string& error) const {
    PluginHandle plugin(create_(korva::kPluginInterfaceVersion), PluginDeleter{destroy_});
    if (!plugin) {
        error = "the detector library " + path_.u8string() + " speaks plug-in interface version " +
                std::to_string(version_()) + ", this program version " +
                std::to_string(korva::kPluginInterfaceVersion) + " (or it ran out of memory)";
    }
    return plugin;
}

std::string PluginLibrary::LastError(const IKorvaCustomClass& plugin) const {
    const std::size_t length = lastError_(&plugin, nullptr, 0);
    std::string reason(length + 1, '\0');
    lastError_(&plugin, &reason[0], reason.size());
    reason.resize(std::strlen(reason.c_str()));  // the reason may have changed meanwhile
    return reason;
}

KorvaErrorCode PluginLibrary::LastErrorCode(const IKorvaCustomClass& plugin) const {
    return static_cast<KorvaErrorCode>(lastErrorCode_(&plugin));
}

bool PluginLibrary::ApplyParameters(IKorvaCustomClass& plugin, const CustomParams& record,
                                    std::vector<std::string>& refusals) const {
    refusals.clear();
    // Refusals come first in the report, at most one per entry of the record.
    const std::size_t entries = record.flagEntries.size() + record.texts.size() +
                                record.textListEntries.size() + record.valueListEntries.size();
    std::vector<KorvaParameterChange> changes(entries);
    std::size_t count = 0;
    const bool applied = apply_(&plugin, &record, changes.data(), changes.size(), &count) != 0;
    for (std::size_t i = 0; i < std::min(count, changes.size()); ++i) {
        if (changes[i].outcome == KORVA_PARAMETER_REFUSED) {
            refusals.push_back(std::string(changes[i].key) + ": " + changes[i].reason);
        }
    }
    if (!applied && refusals.empty()) refusals.push_back(LastError(plugin));
    return applied;
}

std::vector<fs::path> DefaultPluginCandidates(const char* argv0) {
    const fs::path dir = ExecutablePath(argv0).parent_path();
    return {dir / KORVA_DETECT_PLUGIN_FILE,
            (dir / KORVA_DETECT_LIBDIR_FROM_BINDIR / KORVA_DETECT_PLUGIN_FILE).lexically_normal()};
}

}  // namespace korva::detect
