// The parameter record: reported, edited live, stored for the next Initialize.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"
#include "korva/KorvaPluginEntry.h"

namespace {

using korva::test::Describe;
using korva::test::FindValue;
using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;

// ---- Parameters ------------------------------------------------------------------

using Outcome = KorvaCustomWD::ParameterChange::Outcome;

class DetectorParameters : public testing::Test {
protected:
    void SetUp() override {
        std::string labelMap;
        ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
        baseline = detector.RunInference(frame);
        ASSERT_EQ(baseline.size(), 3u);
        ASSERT_TRUE(detector.ConfigureParameters(record));
    }
    // Sets `key` in a copy of the record and applies it.
    void Set(const std::string& key, double value) {
        CustomParams edited = record;
        ASSERT_NE(FindValue(edited, key), nullptr) << key;
        FindValue(edited, key)->wideValues = {value};
        KorvaCustomWD::ParameterReport report;
        ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    }

    KorvaCustomWD detector;
    const cv::Mat frame = RandomFrame({96, 64}, CV_8UC3, 5);
    std::vector<CustomObject> baseline;
    CustomParams record;
};

TEST_F(DetectorParameters, RecordDescribesTheSettings) {
    ASSERT_NE(FindValue(record, "confidence_threshold"), nullptr);
    EXPECT_EQ(FindValue(record, "confidence_threshold")->wideValues, (std::vector<double>{0.5}));
    ASSERT_NE(FindValue(record, "nms_iou_threshold"), nullptr);
    EXPECT_EQ(FindValue(record, "nms_iou_threshold")->wideValues, (std::vector<double>{0.45f}));
    ASSERT_NE(FindValue(record, "pool_capacity"), nullptr);
    // The backend entry counts the networks: the pool on OpenCV, one shared
    // session on ONNX Runtime.
    if (korva::test::OnnxRuntimeExpected()) {
        EXPECT_EQ(record.flagEntries.at(0).valueA, 1);
    } else {
        EXPECT_EQ(FindValue(record, "pool_capacity")->wideValues,
                  (std::vector<double>{double(record.flagEntries.at(0).valueA)}));
    }
}

TEST_F(DetectorParameters, HandedBackUnchangedKeepsResults) {
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(record, report)) << detector.LastError();
    EXPECT_TRUE(report.changes.empty());
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));
    EXPECT_TRUE(detector.ApplyParameters(CustomParams{}, report));  // nothing: nothing changes
    EXPECT_TRUE(report.changes.empty());
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));
}

TEST_F(DetectorParameters, EditedThresholdsApplyFromTheNextFrame) {
    Set("confidence_threshold", 0.95);
    EXPECT_TRUE(detector.RunInference(frame).empty());
    CustomParams now;
    detector.ConfigureParameters(now);
    EXPECT_EQ(FindValue(now, "confidence_threshold")->wideValues, (std::vector<double>{0.95f}));

    Set("confidence_threshold", 0.85);
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);

    // IoU(A, C) = 0.905: C survives once the NMS threshold is above it.
    Set("nms_iou_threshold", 0.95);
    const auto dets = detector.RunInference(frame);
    ASSERT_EQ(dets.size(), 4u) << Describe(dets);
    EXPECT_EQ(dets[2].classId, 1);
    EXPECT_EQ(dets[2].confidence, 0.7f);
    EXPECT_EQ(dets[2].box, cv::Rect(21, 15, 20, 10));
}

// One edit of the detector's own record, and what ApplyParameters makes of it.
struct EditCase {
    std::string name;
    std::function<void(CustomParams&)> edit;
    bool accepted;
    std::vector<std::pair<std::string, Outcome>> changes;  // the report, in order
    std::string reason;  // in every refusal's reason and in LastError()
    std::size_t detections;  // on the test frame afterwards (3 unchanged)
};

void SetValues(CustomParams& p, const std::string& key, std::vector<double> values) {
    ValueListEntry* e = FindValue(p, key);
    if (e == nullptr) {
        p.valueListEntries.push_back({key, {}, "", "", 0});
        e = &p.valueListEntries.back();
    }
    e->wideValues = std::move(values);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

class ParameterEditTest : public DetectorParameters, public testing::WithParamInterface<EditCase> {};

TEST_P(ParameterEditTest, ReportsEachEntryAndAppliesAllOrNothing) {
    const EditCase& c = GetParam();
    CustomParams edited = record;
    c.edit(edited);
    KorvaCustomWD::ParameterReport report;
    report.changes.push_back({"stale", Outcome::kApplied, ""});
    EXPECT_EQ(detector.ApplyParameters(edited, report), c.accepted) << detector.LastError();

    std::vector<std::pair<std::string, Outcome>> got;
    for (const auto& change : report.changes) {
        got.emplace_back(change.key, change.outcome);
        if (change.outcome == Outcome::kRefused) {
            EXPECT_NE(change.reason.find(c.reason), std::string::npos) << change.reason;
        }
        EXPECT_EQ(change.reason.empty(), change.outcome == Outcome::kApplied ||
                                             change.outcome == Outcome::kAtNextInitialize)
            << change.key;
    }
    EXPECT_EQ(got, c.changes);
    const std::string error = detector.LastError();
    if (c.accepted) {
        EXPECT_EQ(error, "");
    } else {
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    EXPECT_EQ(detector.RunInference(frame).size(), c.detections) << Describe(detector.RunInference(frame));

    // A refused record changes nothing, also in the record reported.
    CustomParams now;
    ASSERT_TRUE(detector.ConfigureParameters(now));
    if (!c.accepted) {
        EXPECT_EQ(FindValue(now, "confidence_threshold")->wideValues,
                  FindValue(record, "confidence_threshold")->wideValues);
        EXPECT_EQ(FindValue(now, "pool_capacity")->wideValues, FindValue(record, "pool_capacity")->wideValues);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ParameterEditTest,
    testing::Values(
        EditCase{"ThresholdUp", [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.85}); },
                 true, {{"confidence_threshold", Outcome::kApplied}}, "", 1},
        EditCase{"ThresholdAboveOne",
                 [](CustomParams& p) { SetValues(p, "confidence_threshold", {1.5}); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "from 0 to 1, got 1.5", 3},
        EditCase{"ThresholdNaN", [](CustomParams& p) { SetValues(p, "confidence_threshold", {kNaN}); },
                 false, {{"confidence_threshold", Outcome::kRefused}}, "from 0 to 1", 3},
        EditCase{"IouNegative", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {-0.5}); },
                 false, {{"nms_iou_threshold", Outcome::kRefused}}, "from 0 to 1", 3},
        EditCase{"TwoValues",
                 [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.95, 0.95}); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "one number, got 2", 3},
        EditCase{"MisspelledKey",
                 [](CustomParams& p) { p.valueListEntries.push_back({"confidence_treshold", {0.9}, "", "", 0}); },
                 false, {{"confidence_treshold", Outcome::kRefused}}, "unknown key", 3},
        // All or nothing: the valid edit is held back with the misspelled one.
        EditCase{"ValidEditBesideAMisspelledKey",
                 [](CustomParams& p) {
                     SetValues(p, "confidence_threshold", {0.85});
                     p.valueListEntries.push_back({"nms_iou_treshold", {0.9}, "", "", 0});
                 },
                 false,
                 {{"nms_iou_treshold", Outcome::kRefused}, {"confidence_threshold", Outcome::kNotApplied}},
                 "unknown key", 3},
        EditCase{"InputSizeWritten", [](CustomParams& p) { SetValues(p, "input_size", {320, 320}); },
                 false, {{"input_size", Outcome::kRefused}}, "read-only", 3},
        EditCase{"ModelPathWritten", [](CustomParams& p) { p.texts = {"model=/elsewhere/model.onnx"}; },
                 false, {{"model", Outcome::kRefused}}, "read-only", 3},
        EditCase{"ClassRenamed", [](CustomParams& p) { p.textListEntries.at(1).textB = "shotgun"; },
                 false, {{"class", Outcome::kRefused}}, "read-only", 3},
        // Key descriptions and per-camera counters are reports: edited, they are ignored.
        EditCase{"KeyDescriptionsEdited",
                 [](CustomParams& p) {
                     for (TextListEntry& e : p.textListEntries) {
                         if (e.textA == "key_info") e.textE = "99";
                     }
                     p.textListEntries.push_back({"key_info", "made_up", 0, 0, 0, "editable", {}, "", ""});
                 },
                 true, {}, "", 3},
        EditCase{"CameraCountsEdited",
                 [](CustomParams& p) {
                     p.valueListEntries.push_back({"camera_frames", {1, 2, 3, 4}, "cam-a", "", 0});
                     p.valueListEntries.push_back({"camera_frames", {5}, "cam-b", "", 0});
                 },
                 true, {}, "", 3},
        EditCase{"KeyTwice",
                 [](CustomParams& p) {
                     p.valueListEntries.push_back({"confidence_threshold", {0.85}, "", "", 0});
                 },
                 false, {{"confidence_threshold", Outcome::kRefused}}, "more than once", 3},
        EditCase{"TextWithoutValue", [](CustomParams& p) { p.texts.push_back("verbose"); }, false,
                 {{"verbose", Outcome::kRefused}}, "name=value", 3},
        EditCase{"NumberGivenAsText",
                 [](CustomParams& p) { p.texts.push_back("confidence_threshold=0.85"); }, false,
                 {{"confidence_threshold", Outcome::kRefused}}, "belongs in valueListEntries", 3},
        EditCase{"UnknownFlagEntry",
                 [](CustomParams& p) {
                     p.flagEntries.push_back({});
                     p.flagEntries.back().textA = "tracking";
                 },
                 false, {{"tracking", Outcome::kRefused}}, "unknown flag entry", 3},
        EditCase{"PoolCapacityZero", [](CustomParams& p) { SetValues(p, "pool_capacity", {0}); }, false,
                 {{"pool_capacity", Outcome::kRefused}}, "whole number from 1 to 64", 3},
        EditCase{"PoolCapacityFraction", [](CustomParams& p) { SetValues(p, "pool_capacity", {2.5}); },
                 false, {{"pool_capacity", Outcome::kRefused}}, "whole number from 1 to 64", 3},
        EditCase{"DynamicInputSizeNotOnTheStrideGrid",
                 [](CustomParams& p) { SetValues(p, "dynamic_input_size", {650}); }, false,
                 {{"dynamic_input_size", Outcome::kRefused}}, "multiple of 32 from 32 to 8192", 3},
        EditCase{"DynamicInputSizeLater", [](CustomParams& p) { SetValues(p, "dynamic_input_size", {320}); },
                 true, {{"dynamic_input_size", Outcome::kAtNextInitialize}}, "", 3},
        EditCase{"InferenceTimeoutLive", [](CustomParams& p) { SetValues(p, "inference_timeout_ms", {2500}); },
                 true, {{"inference_timeout_ms", Outcome::kApplied}}, "", 3},
        EditCase{"InferenceTimeoutFraction",
                 [](CustomParams& p) { SetValues(p, "inference_timeout_ms", {0.5}); }, false,
                 {{"inference_timeout_ms", Outcome::kRefused}}, "whole number of milliseconds from 0 to 3600000", 3},
        EditCase{"WarmupTimeoutOff", [](CustomParams& p) { SetValues(p, "warmup_timeout_ms", {0}); }, true,
                 {{"warmup_timeout_ms", Outcome::kAtNextInitialize}}, "", 3},
        EditCase{"WarmupTimeoutPastAnHour",
                 [](CustomParams& p) { SetValues(p, "warmup_timeout_ms", {3600001}); }, false,
                 {{"warmup_timeout_ms", Outcome::kRefused}}, "from 0 to 3600000, got 3600001", 3},
        EditCase{"PoolCapacityLater",
                 [](CustomParams& p) {
                     SetValues(p, "pool_capacity", {FindValue(p, "pool_capacity")->wideValues[0] == 3.0 ? 2.0 : 3.0});
                 },
                 true, {{"pool_capacity", Outcome::kAtNextInitialize}}, "", 3},
        // Counters and the backend entry are reports, not settings.
        EditCase{"StatusAndBackendHandedBackChanged",
                 [](CustomParams& p) {
                     SetValues(p, "frames_inspected", {12345});
                     p.flagEntries.at(0).textB = "cuda-fp16";
                     p.texts.push_back("last_inference_error=made up");
                 },
                 true, {}, "", 3}),
    [](const testing::TestParamInfo<EditCase>& info) { return info.param.name; });

// The record's description of its keys, for a host that builds a settings
// screen from the record alone.
TEST(ParameterDescription, ListsEveryKeyWithItsKindTypeRangeAndDefaultBeforeAModel) {
    KorvaCustomWD fresh;
    CustomParams described;
    ASSERT_TRUE(fresh.ConfigureParameters(described));
    std::map<std::string, const TextListEntry*> info;
    for (const TextListEntry& e : described.textListEntries) {
        if (e.textA != "key_info") continue;
        EXPECT_TRUE(info.emplace(e.textB, &e).second) << "listed twice: " << e.textB;
        EXPECT_TRUE(e.textC == "editable" || e.textC == "load-time" || e.textC == "read-only" ||
                    e.textC == "status")
            << e.textB << ": " << e.textC;
        EXPECT_FALSE(e.textD.empty()) << e.textB;  // type
        ASSERT_EQ(e.textList.size(), 2u) << e.textB;
        EXPECT_FALSE(e.textList[0].empty()) << e.textB;  // range
        EXPECT_FALSE(e.textList[1].empty()) << e.textB;  // help
        const bool setting = e.textC == "editable" || e.textC == "load-time";
        EXPECT_EQ(e.textE.empty(), !setting) << e.textB;  // default, for settings only
    }
    // Every key a loaded detector with alarm rules reports is described, with
    // the kind its entries are marked with; a plain number's default is the
    // value a fresh detector reports.
    KorvaCustomWD loaded;
    std::string labelMap;
    ASSERT_TRUE(loaded.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    CustomParams rules;
    ASSERT_TRUE(loaded.ConfigureParameters(rules));
    rules.valueListEntries.push_back({"class_threshold", {0.6}, "rifle", "", 0});
    rules.valueListEntries.push_back({"class_enabled", {1}, "rifle", "", 0});
    rules.valueListEntries.push_back({"zone_include", {0, 0, 1, 0, 1, 1}, "cam", "", 0});
    rules.valueListEntries.push_back({"zone_exclude", {0, 0, 0.1, 0, 0.1, 0.1}, "cam", "", 0});
    rules.valueListEntries.push_back({"confirm_frames", {2, 3}, "cam", "", 0});
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(loaded.ApplyParameters(rules, report)) << loaded.LastError();
    loaded.RunInference(RandomFrame({96, 64}, CV_8UC3, 5), "cam");
    ASSERT_TRUE(loaded.ConfigureParameters(rules));
    std::size_t checked = 0;
    for (const ValueListEntry& e : rules.valueListEntries) {
        ASSERT_EQ(info.count(e.textA), 1u) << "not described: " << e.textA;
        const TextListEntry& d = *info[e.textA];
        EXPECT_EQ(d.valueA, 0) << e.textA;  // a valueListEntries key
        if (d.valueB == 1) continue;        // repeated: textB names a class or camera
        EXPECT_EQ(e.textB, d.textC) << e.textA;
        if (d.textD != "number" && d.textD != "integer") continue;
        CustomParams freshRecord = described;
        const ValueListEntry* value = FindValue(freshRecord, e.textA);
        ASSERT_NE(value, nullptr) << e.textA;
        char* end = nullptr;
        const double fallback = std::strtod(d.textE.c_str(), &end);
        if (d.textC == "status" || *end != '\0') continue;  // no default, or one in words
        ASSERT_EQ(value->wideValues.size(), 1u) << e.textA;
        EXPECT_EQ(float(value->wideValues[0]), float(fallback)) << e.textA;
        ++checked;
    }
    EXPECT_GE(checked, 10u);
    for (const std::string& line : rules.texts) {
        const std::string name = line.substr(0, line.find('='));
        ASSERT_EQ(info.count(name), 1u) << "not described: " << name;
        EXPECT_EQ(info[name]->valueA, 1) << name;  // a texts key
    }
    // Text keys reported only when set.
    EXPECT_EQ(info.count("gpu_fallback"), 1u);
    EXPECT_EQ(info.count("last_inference_error"), 1u);

    // Handed back whole, before and after a model, the description changes nothing.
    ASSERT_TRUE(fresh.ApplyParameters(described, report)) << fresh.LastError();
    EXPECT_TRUE(report.changes.empty());
    ASSERT_TRUE(loaded.ApplyParameters(rules, report)) << loaded.LastError();
    EXPECT_TRUE(report.changes.empty());
}

TEST_F(DetectorParameters, ReadOnlyEntriesAreSkippedWithoutAModel) {
    ASSERT_TRUE(detector.Destroy());
    CustomParams edited = record;
    SetValues(edited, "nms_iou_threshold", {0.95});
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    ASSERT_EQ(report.changes.size(), 1u);
    EXPECT_EQ(report.changes[0].key, "nms_iou_threshold");
    // Kept for the next load: the constant model then shows C too.
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap));
    EXPECT_EQ(detector.RunInference(frame).size(), 4u);
}

// The host empties the row it was handed: the class's threshold is gone.
TEST_F(DetectorParameters, ClassThresholdRowEmptiedRemovesIt) {
    CustomParams edited = record;
    edited.valueListEntries.push_back({"class_threshold", {0.85}, "knife", "", 0});
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    ASSERT_EQ(detector.RunInference(frame).size(), 2u);
    ASSERT_TRUE(detector.ConfigureParameters(edited));
    ValueListEntry* row = FindValue(edited, "class_threshold");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->textB, "knife");
    row->wideValues.clear();
    ASSERT_TRUE(detector.ApplyParameters(edited, report)) << detector.LastError();
    ASSERT_EQ(report.changes.size(), 1u);
    EXPECT_EQ(report.changes[0].key, "class_threshold");
    EXPECT_EQ(report.changes[0].outcome, Outcome::kApplied);
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));
    ASSERT_TRUE(detector.ConfigureParameters(edited));
    EXPECT_EQ(FindValue(edited, "class_threshold"), nullptr);
}

TEST_F(DetectorParameters, EditsSurviveOptimizeModel) {
    Set("confidence_threshold", 0.85);
    ASSERT_TRUE(detector.OptimizeModel(false));
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

// A record stored with the base class's SetParameters is read by Initialize
// and by the no-argument ApplyParameters, never by inference.
struct StoredCase {
    std::string name;
    std::function<void(CustomParams&)> edit;
    bool loads;               // Initialize succeeds with it
    std::size_t detections;   // after Initialize(const_v8_nc3, 0.5)
    int poolCapacity;         // backend entry after it, 0: as before
};

class StoredRecordTest : public DetectorParameters, public testing::WithParamInterface<StoredCase> {};

TEST_P(StoredRecordTest, TakesEffectAtInitializeOnly) {
    const StoredCase& c = GetParam();
    CustomParams stored = record;
    c.edit(stored);
    ASSERT_TRUE(detector.SetParameters(stored));
    // Stored only: the frames still see the settings in force.
    EXPECT_TRUE(SameDetections(detector.RunInference(frame), baseline));

    std::string labelMap = "kept";
    ASSERT_EQ(detector.Initialize(ModelDir("const_v8_nc3"), 0.5f, labelMap), c.loads) << detector.LastError();
    if (!c.loads) {
        EXPECT_EQ(labelMap, "kept");
        EXPECT_NE(detector.LastError().find("stored parameter record"), std::string::npos)
            << detector.LastError();
        EXPECT_EQ(detector.LastErrorCode(), KorvaErrorCode::kSettingRefused);
    }
    EXPECT_EQ(detector.RunInference(frame).size(), c.detections);
    CustomParams now;
    ASSERT_TRUE(detector.ConfigureParameters(now));
    const int expectedPool = korva::test::OnnxRuntimeExpected() ? 1  // one shared session, no pool
                             : c.poolCapacity != 0                ? c.poolCapacity
                                                                  : record.flagEntries.at(0).valueA;
    EXPECT_EQ(now.flagEntries.at(0).valueA, expectedPool);
}

INSTANTIATE_TEST_SUITE_P(
    Records, StoredRecordTest,
    testing::Values(
        StoredCase{"Unchanged", [](CustomParams&) {}, true, 3, 0},
        StoredCase{"Empty", [](CustomParams& p) { p = CustomParams{}; }, true, 3, 0},
        StoredCase{"NmsRaised", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {0.95}); }, true, 4, 0},
        // Initialize's own threshold wins over the record's.
        StoredCase{"ThresholdInRecord", [](CustomParams& p) { SetValues(p, "confidence_threshold", {0.95}); },
                   true, 3, 0},
        StoredCase{"PoolCapacity", [](CustomParams& p) { SetValues(p, "pool_capacity", {2}); }, true, 3, 2},
        // What describes the old model is skipped.
        StoredCase{"OtherModelsInputSize", [](CustomParams& p) { SetValues(p, "input_size", {640, 640}); },
                   true, 3, 0},
        // Class rules are checked against the classes of the model loaded.
        StoredCase{"ClassThresholdOfTheModel",
                   [](CustomParams& p) { p.valueListEntries.push_back({"class_threshold", {0.85}, "knife", "", 0}); },
                   true, 2, 0},
        StoredCase{"ClassThresholdOfNoClass",
                   [](CustomParams& p) { p.valueListEntries.push_back({"class_threshold", {0.85}, "knif", "", 0}); },
                   false, 3, 0},
        StoredCase{"ClassOffOfNoClass",
                   [](CustomParams& p) { p.valueListEntries.push_back({"class_enabled", {0}, "Knife", "", 0}); },
                   false, 3, 0},
        StoredCase{"IouAboveOne", [](CustomParams& p) { SetValues(p, "nms_iou_threshold", {1.5}); }, false,
                   3, 0},
        StoredCase{"MisspelledKey",
                   [](CustomParams& p) { p.valueListEntries.push_back({"nms_iou", {0.9}, "", "", 0}); },
                   false, 3, 0}),
    [](const testing::TestParamInfo<StoredCase>& info) { return info.param.name; });

TEST_F(DetectorParameters, StoredRecordAppliedOnRequest) {
    CustomParams stored = record;
    SetValues(stored, "confidence_threshold", {0.85});
    ASSERT_TRUE(detector.SetParameters(stored));
    EXPECT_EQ(detector.RunInference(frame).size(), 3u);
    KorvaCustomWD::ParameterReport report;
    ASSERT_TRUE(detector.ApplyParameters(report)) << detector.LastError();
    ASSERT_EQ(report.changes.size(), 1u);
    EXPECT_EQ(report.changes[0].outcome, Outcome::kApplied);
    EXPECT_EQ(detector.RunInference(frame).size(), 1u);
}

}  // namespace
