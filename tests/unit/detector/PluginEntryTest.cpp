// The C entry points, resolved at run time as a host does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using korva::test::ModelDir;
using korva::test::SameDetections;

// ---- C entry points, resolved at run time as a host does ----------------------

class PluginLibrary {
public:
    PluginLibrary() {
#if defined(_WIN32)
        handle_ = ::LoadLibraryA(KORVA_PLUGIN_LIBRARY);
#else
        handle_ = ::dlopen(KORVA_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~PluginLibrary() {
#if defined(_WIN32)
        if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
#else
        if (handle_) ::dlclose(handle_);
#endif
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    bool Loaded() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn Find(const char* name) const {
#if defined(_WIN32)
        return reinterpret_cast<Fn>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return reinterpret_cast<Fn>(::dlsym(handle_, name));
#endif
    }

private:
    void* handle_ = nullptr;
};

struct EntryCase {
    std::string name;
    unsigned version;
    bool created;
};

class PluginEntryTest : public testing::TestWithParam<EntryCase> {};

TEST_P(PluginEntryTest, CreatesOnlyForItsOwnVersion) {
    const EntryCase& c = GetParam();
    PluginLibrary library;
    ASSERT_TRUE(library.Loaded()) << KORVA_PLUGIN_LIBRARY;
    const auto version = library.Find<korva::PluginInterfaceVersionFn>(KORVA_PLUGIN_INTERFACE_VERSION_SYMBOL);
    const auto create = library.Find<korva::CreatePluginFn>(KORVA_PLUGIN_CREATE_SYMBOL);
    const auto destroy = library.Find<korva::DestroyPluginFn>(KORVA_PLUGIN_DESTROY_SYMBOL);
    const auto lastError = library.Find<korva::PluginLastErrorFn>(KORVA_PLUGIN_LAST_ERROR_SYMBOL);
    const auto lastCode = library.Find<korva::PluginLastErrorCodeFn>(KORVA_PLUGIN_LAST_ERROR_CODE_SYMBOL);
    ASSERT_TRUE(version && create && destroy && lastError && lastCode);
    EXPECT_EQ(version(), korva::kPluginInterfaceVersion);

    IKorvaCustomClass* plugin = create(c.version);
    EXPECT_EQ(plugin != nullptr, c.created);
    if (plugin == nullptr) return;

    // A working detector behind the base pointer, with its reasons readable.
    std::string labelMap;
    EXPECT_FALSE(plugin->Initialize(ModelDir("absent"), 0.5f, labelMap));
    char small[8];
    const std::size_t length = lastError(plugin, small, sizeof small);
    EXPECT_GT(length, sizeof small);
    EXPECT_EQ(std::string(small).size(), sizeof small - 1);
    std::string reason(length + 1, '\0');
    EXPECT_EQ(lastError(plugin, &reason[0], reason.size()), length);
    EXPECT_NE(reason.find("does not exist"), std::string::npos) << reason;
    EXPECT_EQ(lastCode(plugin), static_cast<int>(KorvaErrorCode::kModelRefused));

    ASSERT_TRUE(plugin->Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(labelMap, "handgun,rifle,knife");
    EXPECT_EQ(lastError(plugin, nullptr, 0), 0u);
    EXPECT_EQ(lastCode(plugin), 0);
    const cv::Mat frame(64, 96, CV_8UC3, cv::Scalar::all(90));
    KorvaCustomWD linked;
    ASSERT_TRUE(linked.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_TRUE(SameDetections(plugin->RunInference(frame, "c"), linked.RunInference(frame, "c")));
    // Through the base class: the frame counted for its camera, and the keys described.
    CustomParams record;
    ASSERT_TRUE(plugin->ConfigureParameters(record));
    const auto camera = std::find_if(record.valueListEntries.begin(), record.valueListEntries.end(),
                                     [](const ValueListEntry& e) { return e.textA == "camera_frames"; });
    ASSERT_NE(camera, record.valueListEntries.end());
    EXPECT_EQ(camera->textB, "c");
    EXPECT_EQ(camera->wideValues, (std::vector<double>{1, 0, 0, 0}));
    EXPECT_TRUE(std::any_of(record.textListEntries.begin(), record.textListEntries.end(), [](const TextListEntry& e) {
        return e.textA == "key_info" && e.textB == "confidence_threshold" && e.textC == "editable" &&
               e.textD == "number" && e.textE == "0.5";
    }));
    destroy(plugin);
    // A pointer already destroyed, or never made here, is ignored.
    destroy(plugin);
    EXPECT_EQ(lastError(plugin, small, sizeof small), 0u);
    EXPECT_EQ(lastCode(plugin), 0);
    destroy(&linked);
    destroy(nullptr);
    EXPECT_EQ(lastError(nullptr, small, sizeof small), 0u);
    EXPECT_EQ(std::string(small), "");
    EXPECT_EQ(lastCode(nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PluginEntryTest,
    testing::Values(EntryCase{"Current", korva::kPluginInterfaceVersion, true},
                    EntryCase{"Next", korva::kPluginInterfaceVersion + 1, false},
                    EntryCase{"Previous", korva::kPluginInterfaceVersion - 1, false},
                    EntryCase{"Garbage", 0xFFFFFFFFu, false}),
    [](const testing::TestParamInfo<EntryCase>& info) { return info.param.name; });

}  // namespace
