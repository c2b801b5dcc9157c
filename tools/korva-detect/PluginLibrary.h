// The detector library, loaded at run time through its C entry points as a
// host loads it, and the plug-ins it creates.
//
// Load tries one explicit path or, without one, the candidate paths in
// order; the first that loads and exports every entry point wins. A plug-in
// is owned by a PluginHandle that destroys it through the library; the
// library must outlive every handle it made.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "korva/IKorvaCustomClass.h"
#include "korva/KorvaErrorCode.h"
#include "korva/KorvaPluginEntry.h"
#include "support/SharedLibrary.h"

namespace korva::detect {

class PluginLibrary;

struct PluginDeleter {
    DestroyPluginFn destroy = nullptr;
    void operator()(IKorvaCustomClass* plugin) const noexcept {
        if (destroy != nullptr) destroy(plugin);
    }
};
using PluginHandle = std::unique_ptr<IKorvaCustomClass, PluginDeleter>;

class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the first candidate that is a detector library; false with a
    // one-line `error` naming every path tried and why each failed.
    bool Load(const std::vector<std::filesystem::path>& candidates, std::string& error);
    // The path that was loaded.
    const std::filesystem::path& Path() const { return path_; }
    // The library's interface version.
    unsigned InterfaceVersion() const { return version_(); }
    // A new plug-in; null with `error` when the library refuses this
    // program's interface version.
    PluginHandle Create(std::string& error) const;
    // The reason the calling thread's last call on `plugin` left; empty
    // after a success.
    std::string LastError(const IKorvaCustomClass& plugin) const;
    // Its kind; decisions go by this, never by the reason's text.
    KorvaErrorCode LastErrorCode(const IKorvaCustomClass& plugin) const;
    // Applies `record` live, all or nothing (KorvaPluginApplyParameters);
    // false with one "key: reason" line per refused entry in `refusals`.
    bool ApplyParameters(IKorvaCustomClass& plugin, const CustomParams& record,
                         std::vector<std::string>& refusals) const;

private:
    korva::detail::SharedLibrary library_;
    std::filesystem::path path_;
    PluginInterfaceVersionFn version_ = nullptr;
    CreatePluginFn create_ = nullptr;
    DestroyPluginFn destroy_ = nullptr;
    PluginLastErrorFn lastError_ = nullptr;
    PluginLastErrorCodeFn lastErrorCode_ = nullptr;
    PluginApplyParametersFn apply_ = nullptr;
};

// Where to look for the library when no path is given: beside the
// executable, then the install's library folder relative to it.
std::vector<std::filesystem::path> DefaultPluginCandidates(const char* argv0);

}  // namespace korva::detect
