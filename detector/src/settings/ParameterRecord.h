// The CustomParams record that reports the detector's settings, model and
// counters, and takes settings back.
//
// Every key of the record is one row of the key table (SettingKeys): its
// name, where its value lives (a ValueListEntry keyed by textA with numbers in
// wideValues, or a "name=value" line of `texts`), when an edit takes effect,
// and two functions: one checks a handed-in value and stores it in
// DetectorSettings, the other reads the current value. A new setting is a
// member of DetectorSettings plus a row of the table; ReadRecord and
// WriteRecord need no change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korva/CustomParams.h"
#include "model/ModelDescription.h"
#include "settings/DetectorSettings.h"
#include "support/CameraCounters.h"

namespace korva::detail {

// The detector's counters and its last inference failure.
struct DetectorStatus {
    std::uint64_t framesInspected = 0;
    std::uint64_t framesRefusedNoModel = 0;
    std::uint64_t framesRefusedUnsupported = 0;
    std::uint64_t inferenceFailures = 0;
    std::string lastInferenceError;
    std::vector<CameraCount> cameras;  // most recently seen first
};

// Everything a record reports.
struct RecordSource {
    const DetectorSettings& settings;
    const ModelDescription& model;
    const DetectorStatus& status;
};

enum class EntryKind {
    kNumbers,  // valueListEntries: textA = name, wideValues = value
    kText,     // texts: "name=value"
};

enum class KeyUse {
    kLive,      // takes effect from the next frame
    kLoadTime,  // stored now, used from the next Initialize
    kReadOnly,  // describes the model; a different value is refused
    kStatus,    // counters and notes; ignored when handed back
};

struct SettingValue {
    std::vector<double> numbers;  // EntryKind::kNumbers
    std::string text;             // EntryKind::kText
    std::string qualifier;        // repeated keys: the entry's textB (a class, a camera)
};

// How a generic host edits a key, as text (written to the "key_info" entries).
struct KeyShape {
    const char* type;          // "number", "integer", "text", "... per class", "... per camera"
    const char* range;         // the values taken
    const char* defaultValue;  // empty for read-only and status keys
};

struct SettingKey {
    const char* name;
    EntryKind kind;
    KeyUse use;
    const char* help;
    KeyShape shape;
    // False: at most one entry. True (kNumbers only): any number of entries,
    // each with a qualifier in textB instead of the use marker; the entries
    // with numbers of a record replace the key's whole list (`clear` empties
    // it first), an entry without numbers removes its qualifier's rule
    // unless an entry with numbers gives it one.
    bool repeated;
    void (*clear)(DetectorSettings& settings);
    // kLive and kLoadTime only: stores `value` in `settings` (a repeated key
    // adds it), or returns false with a reason when it is not acceptable.
    // `current` describes the loaded model (no classes while none is).
    bool (*parse)(const SettingValue& value, const RecordSource& current, DetectorSettings& settings,
                  std::string& reason);
    // The current value, one per entry. A kText key with an empty text is
    // not written.
    std::vector<SettingValue> (*read)(const RecordSource& source);
};

// The key table, in the order the record lists the keys.
const std::vector<SettingKey>& SettingKeys();

// Marker written to an entry's textB (kNumbers keys): "editable",
// "load-time", "read-only" or "status".
const char* KeyUseName(KeyUse use);

// The other entries a record carries, handed back unchanged or ignored.
inline constexpr const char* kKeyBackend = "backend";  // flagEntries[0]
inline constexpr const char* kKeyEngine = "engine";    // flagEntries[1], and a texts setting
inline constexpr const char* kKeyClass = "class";      // textListEntries, one per class
inline constexpr const char* kKeyInfo = "key_info";    // textListEntries, one per key of the table
inline constexpr const char* kKeyCameraFrames = "camera_frames";  // status, one per camera
// A valueListEntry without numbers that removes every rule of the repeated
// keys the same record gives no entry with numbers; never written.
inline constexpr const char* kKeyRulesClear = "rules_clear";

// True for the textA of a flag entry the detector writes as a report; such
// entries are ignored when handed back, any other flag entry is refused.
bool IsReportFlagEntry(const std::string& name);

// What became of one entry of a handed-in record.
enum class EntryOutcome {
    kApplied,     // a live value changed
    kAtNextLoad,  // a load-time value changed; the next Initialize uses it
    kRefused,     // see `reason`
    kHeldBack,    // acceptable, but another entry was refused
};

struct EntryResult {
    std::string key;
    EntryOutcome outcome = EntryOutcome::kRefused;
    std::string reason;
};

// What to do with read-only entries: compare them with `current.model`, or
// skip them (Initialize, or no model loaded: they describe an old model).
enum class ReadOnlyEntries { kSkip, kMustMatch };

// Reads every entry of `record` over `current.settings` into `out`. Report
// flag entries, status entries and key descriptions are ignored. All or nothing: true when no
// entry is refused; `results` then lists, after the refusals, each key whose
// value changes, once. On false `out` is `current.settings`, `results` lists
// every refused entry with its reason and every changed one as held back.
bool ReadRecord(const CustomParams& record, ReadOnlyEntries readOnly, const RecordSource& current,
                DetectorSettings& out, std::vector<EntryResult>& results);

// One line naming the refused entries of `results` and why (at most three
// reasons, then a count).
std::string DescribeRefusals(const std::vector<EntryResult>& results);

// Replaces the content of `params` with the record of `source`.
void WriteRecord(const RecordSource& source, CustomParams& params);

}  // namespace korva::detail
