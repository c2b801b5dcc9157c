// The C entry points, resolved at run time as a host does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
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

using korva::test::FindValue;
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

// Every entry point, resolved by name as a host resolves it.
struct EntryPoints {
    explicit EntryPoints(const PluginLibrary& library)
        : version(library.Find<korva::PluginInterfaceVersionFn>(KORVA_PLUGIN_INTERFACE_VERSION_SYMBOL)),
          create(library.Find<korva::CreatePluginFn>(KORVA_PLUGIN_CREATE_SYMBOL)),
          destroy(library.Find<korva::DestroyPluginFn>(KORVA_PLUGIN_DESTROY_SYMBOL)),
          lastError(library.Find<korva::PluginLastErrorFn>(KORVA_PLUGIN_LAST_ERROR_SYMBOL)),
          lastCode(library.Find<korva::PluginLastErrorCodeFn>(KORVA_PLUGIN_LAST_ERROR_CODE_SYMBOL)),
          apply(library.Find<korva::PluginApplyParametersFn>(KORVA_PLUGIN_APPLY_PARAMETERS_SYMBOL)) {}
    bool All() const { return version && create && destroy && lastError && lastCode && apply; }

    korva::PluginInterfaceVersionFn version;
    korva::CreatePluginFn create;
    korva::DestroyPluginFn destroy;
    korva::PluginLastErrorFn lastError;
    korva::PluginLastErrorCodeFn lastCode;
    korva::PluginApplyParametersFn apply;
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
    const EntryPoints entry(library);
    ASSERT_TRUE(entry.All());
    const auto [version, create, destroy, lastError, lastCode, apply] = entry;
    static_cast<void>(apply);
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

// ---- Live settings through the C entry point ----------------------------------

struct ApplyCase {
    std::string name;
    std::function<void(CustomParams&)> edit;
    std::size_t capacity;       // entries of the caller's array
    std::vector<int> outcomes;  // the report's, in order
};

void PrintTo(const ApplyCase& c, std::ostream* os) { *os << c.name; }

class PluginApplyTest : public testing::TestWithParam<ApplyCase> {};

// The entry point applies, refuses and reports exactly as the member
// function does on a twin detector, and writes no more than it was given.
TEST_P(PluginApplyTest, MatchesTheMemberFunction) {
    const ApplyCase& c = GetParam();
    PluginLibrary library;
    ASSERT_TRUE(library.Loaded()) << KORVA_PLUGIN_LIBRARY;
    const EntryPoints entry(library);
    ASSERT_TRUE(entry.All());
    const auto [version, create, destroy, lastError, lastCode, apply] = entry;
    static_cast<void>(version);

    IKorvaCustomClass* plugin = create(korva::kPluginInterfaceVersion);
    ASSERT_NE(plugin, nullptr);
    KorvaCustomWD linked;
    std::string labelMap;
    ASSERT_TRUE(plugin->Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    ASSERT_TRUE(linked.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    CustomParams record;
    ASSERT_TRUE(linked.ConfigureParameters(record));
    c.edit(record);

    KorvaCustomWD::ParameterReport expected;
    const bool expectedApplied = linked.ApplyParameters(record, expected);

    const int kUntouched = -7;
    std::vector<KorvaParameterChange> changes(c.capacity + 1);
    for (KorvaParameterChange& change : changes) change.outcome = kUntouched;
    std::size_t count = 99;
    const int applied = apply(plugin, &record, changes.data(), c.capacity, &count);
    EXPECT_EQ(applied, expectedApplied ? 1 : 0);
    ASSERT_EQ(count, expected.changes.size());
    std::vector<int> outcomes;
    for (const KorvaCustomWD::ParameterChange& change : expected.changes) outcomes.push_back(static_cast<int>(change.outcome));
    EXPECT_EQ(outcomes, c.outcomes);
    const std::size_t written = std::min(count, c.capacity);
    for (std::size_t i = 0; i < written; ++i) {
        const KorvaCustomWD::ParameterChange& want = expected.changes[i];
        EXPECT_EQ(changes[i].outcome, static_cast<int>(want.outcome)) << want.key;
        EXPECT_EQ(std::string(changes[i].key), want.key);
        EXPECT_EQ(std::string(changes[i].reason), want.reason.substr(0, KORVA_PARAMETER_REASON_SIZE - 1));
    }
    for (std::size_t i = written; i < changes.size(); ++i) EXPECT_EQ(changes[i].outcome, kUntouched) << i;

    // The same reason and kind for this thread, and the same settings after.
    EXPECT_EQ(lastCode(plugin), static_cast<int>(linked.LastErrorCode()));
    std::string reason(lastError(plugin, nullptr, 0) + 1, '\0');
    lastError(plugin, &reason[0], reason.size());
    EXPECT_EQ(reason.c_str(), linked.LastError());
    CustomParams after;
    CustomParams linkedAfter;
    ASSERT_TRUE(plugin->ConfigureParameters(after));
    ASSERT_TRUE(linked.ConfigureParameters(linkedAfter));
    EXPECT_EQ(FindValue(after, "confidence_threshold")->wideValues,
              FindValue(linkedAfter, "confidence_threshold")->wideValues);

    // Ignored, changing nothing: a null record, a plug-in destroyed or never made here.
    EXPECT_EQ(apply(plugin, nullptr, changes.data(), c.capacity, &count), 0);
    EXPECT_EQ(count, 0u);
    destroy(plugin);
    EXPECT_EQ(apply(plugin, &record, changes.data(), c.capacity, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(apply(&linked, &record, nullptr, 0, nullptr), 0);
    EXPECT_EQ(apply(nullptr, &record, nullptr, 0, nullptr), 0);
}

void SetValue(CustomParams& p, const std::string& key, double value) {
    ValueListEntry* e = FindValue(p, key);
    if (e != nullptr) {
        e->wideValues = {value};
    } else {
        p.valueListEntries.push_back({key, {value}, "", "", 0});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, PluginApplyTest,
    testing::Values(
        ApplyCase{"EditableValueApplied", [](CustomParams& p) { SetValue(p, "confidence_threshold", 0.8); }, 4,
                  {KORVA_PARAMETER_APPLIED}},
        ApplyCase{"LoadTimeValueAtNextInitialize",
                  [](CustomParams& p) { SetValue(p, "warmup_timeout_ms", 0); }, 4,
                  {KORVA_PARAMETER_AT_NEXT_INITIALIZE}},
        ApplyCase{"RefusedEntryHoldsBackTheRest",
                  [](CustomParams& p) {
                      SetValue(p, "confidence_threshold", 0.8);
                      SetValue(p, "nms_iou_treshold", 0.9);
                  },
                  4,
                  {KORVA_PARAMETER_REFUSED, KORVA_PARAMETER_NOT_APPLIED}},
        ApplyCase{"CallerArrayTooSmall",
                  [](CustomParams& p) {
                      SetValue(p, "confidence_threshold", 0.8);
                      SetValue(p, "warmup_timeout_ms", 0);
                      SetValue(p, "inference_timeout_ms", 2500);
                  },
                  1,
                  {KORVA_PARAMETER_APPLIED, KORVA_PARAMETER_APPLIED, KORVA_PARAMETER_AT_NEXT_INITIALIZE}},
        ApplyCase{"ZeroCapacity", [](CustomParams& p) { SetValue(p, "inference_timeout_ms", 2500); }, 0,
                  {KORVA_PARAMETER_APPLIED}}),
    [](const testing::TestParamInfo<ApplyCase>& info) { return info.param.name; });

}  // namespace
