#include "settings/ParameterRecord.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "engines/EngineRequest.h"
#include "onnx/OnnxModelInfo.h"
#include "support/ReasonText.h"

namespace korva::detail {
namespace {

constexpr int kMaxPoolCapacity = 64;

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

bool OneNumber(const SettingValue& value, double& out, std::string& reason) {
    if (value.numbers.size() != 1) {
        reason = "expects one number, got " + std::to_string(value.numbers.size());
        return false;
    }
    out = value.numbers.front();
    return true;
}

bool Fraction(const SettingValue& value, float& out, std::string& reason) {
    double v = 0.0;
    if (!OneNumber(value, v, reason)) return false;
    if (!(std::isfinite(v) && v >= 0.0 && v <= 1.0)) {
        reason = "must be a number from 0 to 1, got " + Number(v);
        return false;
    }
    out = static_cast<float>(v);
    return true;
}

// A time limit in milliseconds, 0..kMaxTimeoutMs.
bool Milliseconds(const SettingValue& value, int& out, std::string& reason) {
    double n = 0.0;
    if (!OneNumber(value, n, reason)) return false;
    if (!(n >= 0.0 && n <= kMaxTimeoutMs && n == std::floor(n))) {
        reason = "must be a whole number of milliseconds from 0 to " + std::to_string(kMaxTimeoutMs) + ", got " +
                 Number(n);
        return false;
    }
    out = static_cast<int>(n);
    return true;
}

std::vector<SettingValue> Of(double v) { return {SettingValue{{v}, {}, {}}}; }
std::vector<SettingValue> OfText(std::string text) { return {SettingValue{{}, std::move(text), {}}}; }

using Current = const RecordSource&;

std::vector<SettingValue> ZoneValues(const ZoneRules& zones, bool include) {
    std::vector<SettingValue> out;
    for (auto& [camera, values] : zones.Entries(include)) out.push_back({std::move(values), {}, camera});
    return out;
}

constexpr const char* kZoneRange =
    "x0, y0, x1, y1, ...: a simple polygon of 3 to 64 points, each 0..1; at most 64 zones per camera";

const std::vector<SettingKey> kKeys = {
    {"confidence_threshold", EntryKind::kNumbers, KeyUse::kLive,
     "detections scoring below this are dropped; 0..1",
     {"number", "0..1", "0.5"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return Fraction(v, s.confidenceThreshold, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.confidenceThreshold); }},
    {"nms_iou_threshold", EntryKind::kNumbers, KeyUse::kLive,
     "of two same-class boxes overlapping more than this, the weaker is suppressed; 0..1",
     {"number", "0..1", "0.45"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return Fraction(v, s.nmsIouThreshold, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.nmsIouThreshold); }},
    {"inference_timeout_ms", EntryKind::kNumbers, KeyUse::kLive,
     "an ONNX Runtime inference running longer is stopped and fails; 0 = no limit; 0..3600000",
     {"integer", "0..3600000; 0 = no limit", "10000"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return Milliseconds(v, s.inferenceTimeoutMs, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.inferenceTimeoutMs); }},
    {"warmup_timeout_ms", EntryKind::kNumbers, KeyUse::kLoadTime,
     "a model whose ONNX Runtime warm-up runs longer is refused; 0 = no limit; 0..3600000; "
     "used from the next Initialize",
     {"integer", "0..3600000; 0 = no limit", "60000"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return Milliseconds(v, s.warmupTimeoutMs, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.warmupTimeoutMs); }},
    {"pool_capacity", EntryKind::kNumbers, KeyUse::kLoadTime,
     "networks kept for inferences running at once; 1..64; used from the next Initialize",
     {"integer", "1..64", "one per core, at most 8"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         double n = 0.0;
         if (!OneNumber(v, n, reason)) return false;
         if (!(n >= 1.0 && n <= kMaxPoolCapacity && n == std::floor(n))) {
             reason = "must be a whole number from 1 to " + std::to_string(kMaxPoolCapacity) +
                      ", got " + Number(n);
             return false;
         }
         s.poolCapacity = static_cast<int>(n);
         return true;
     },
     [](const RecordSource& r) { return Of(r.settings.poolCapacity); }},
    {"intra_op_threads", EntryKind::kNumbers, KeyUse::kLoadTime,
     "threads one ONNX Runtime inference uses; 0 = one per core (at most 8), 1 suits many cameras; "
     "0..64; used from the next Initialize",
     {"integer", "0..64; 0 = one per core, at most 8", "0"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         double n = 0.0;
         if (!OneNumber(v, n, reason)) return false;
         if (!(n >= 0.0 && n <= kMaxIntraOpThreads && n == std::floor(n))) {
             reason = "must be a whole number from 0 to " + std::to_string(kMaxIntraOpThreads) +
                      ", got " + Number(n);
             return false;
         }
         s.intraOpThreads = static_cast<int>(n);
         return true;
     },
     [](const RecordSource& r) { return Of(r.settings.intraOpThreads); }},
    {"dynamic_input_size", EntryKind::kNumbers, KeyUse::kLoadTime,
     "input side in pixels for a model with a dynamic height/width and no imgsz metadata; "
     "a multiple of 32 from 32 to 8192; used from the next Initialize",
     {"integer", "32..8192, a multiple of 32", "640"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         double n = 0.0;
         if (!OneNumber(v, n, reason)) return false;
         if (!(n >= 32.0 && n <= kMaxModelInputSide && n == std::floor(n) && std::fmod(n, 32.0) == 0.0)) {
             reason = "must be a multiple of 32 from 32 to " + std::to_string(kMaxModelInputSide) + ", got " +
                      Number(n);
             return false;
         }
         s.dynamicInputSide = static_cast<int>(n);
         return true;
     },
     [](const RecordSource& r) { return Of(r.settings.dynamicInputSide); }},
    // Alarm rules (AlarmRules.h): repeated keys name a class or a camera.
    {kKeyClassThreshold, EntryKind::kNumbers, KeyUse::kLive,
     "this class keeps detections scoring at least this; 0..1",
     {"number per class", "0..1", "none: confidence_threshold"}, true,
     [](DetectorSettings& s) { s.rules.classes.ClearThresholds(); },
     [](const SettingValue& v, Current c, DetectorSettings& s, std::string& reason) {
         return s.rules.classes.AddThreshold(v.qualifier, v.numbers, c.model.classNames, reason);
     },
     [](const RecordSource& r) {
         std::vector<SettingValue> out;
         for (const auto& [name, t] : r.settings.rules.classes.Thresholds()) out.push_back({{t}, {}, name});
         return out;
     }},
    {kKeyClassEnabled, EntryKind::kNumbers, KeyUse::kLive, "0: this class is never reported; 1: it is",
     {"integer per class", "0 or 1", "1"}, true,
     [](DetectorSettings& s) { s.rules.classes.ClearEnabled(); },
     [](const SettingValue& v, Current c, DetectorSettings& s, std::string& reason) {
         return s.rules.classes.AddEnabled(v.qualifier, v.numbers, c.model.classNames, reason);
     },
     [](const RecordSource& r) {
         std::vector<SettingValue> out;
         for (const auto& [name, on] : r.settings.rules.classes.Enabled()) out.push_back({{on ? 1.0 : 0.0}, {}, name});
         return out;
     }},
    {kKeyZoneInclude, EntryKind::kNumbers, KeyUse::kLive,
     "x0, y0, x1, y1, ... (0..1): this camera reports only inside its include zones",
     {"numbers per camera", kZoneRange, "none"}, true,
     [](DetectorSettings& s) { s.rules.zones.Clear(true); },
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.zones.Add(true, v.qualifier, v.numbers, reason);
     },
     [](const RecordSource& r) { return ZoneValues(r.settings.rules.zones, true); }},
    {kKeyZoneExclude, EntryKind::kNumbers, KeyUse::kLive,
     "x0, y0, x1, y1, ... (0..1): this camera reports nothing inside",
     {"numbers per camera", kZoneRange, "none"}, true,
     [](DetectorSettings& s) { s.rules.zones.Clear(false); },
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.zones.Add(false, v.qualifier, v.numbers, reason);
     },
     [](const RecordSource& r) { return ZoneValues(r.settings.rules.zones, false); }},
    {kKeyConfirmFrames, EntryKind::kNumbers, KeyUse::kLive,
     "k, n: this camera reports an object once seen in k of its last n frames",
     {"integer pair per camera", "k, n: 1 <= k <= n <= 64", "1, 1 (off)"}, true,
     [](DetectorSettings& s) { s.rules.confirmation.cameras.clear(); },
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.confirmation.AddCamera(v.qualifier, v.numbers, reason);
     },
     [](const RecordSource& r) {
         std::vector<SettingValue> out;
         for (const auto& [camera, rule] : r.settings.rules.confirmation.cameras) {
             out.push_back({{double(rule.k), double(rule.n)}, {}, camera});
         }
         return out;
     }},
    {kKeyConfirmIou, EntryKind::kNumbers, KeyUse::kLive,
     "same-class boxes of consecutive sightings overlapping this much are one object; above 0..1",
     {"number", "above 0 to 1", "0.3"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.confirmation.SetIou(v.numbers, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.rules.confirmation.iou); }},
    {kKeyConfirmExpiry, EntryKind::kNumbers, KeyUse::kLive,
     "a camera without a frame for this many seconds starts afresh",
     {"number", "above 0 to 86400", "60"}, false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.confirmation.SetExpiry(v.numbers, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.rules.confirmation.expirySeconds); }},
    {kKeyConfirmMaxCameras, EntryKind::kNumbers, KeyUse::kLive,
     "cameras followed for confirmation at most; 1..4096",
     {"integer", "1..4096", "256"}, false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.confirmation.SetMaxCameras(v.numbers, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.rules.confirmation.maxCameras); }},
    {kKeyConfirmMaxObjects, EntryKind::kNumbers, KeyUse::kLive,
     "objects followed per camera at most; 1..1024",
     {"integer", "1..1024", "64"}, false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         return s.rules.confirmation.SetMaxObjects(v.numbers, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.rules.confirmation.maxObjects); }},
    {kKeyRulesClear, EntryKind::kNumbers, KeyUse::kLive,
     "no numbers: every class and camera rule not given in the same record is removed",
     {"no numbers", "an entry without numbers", "not given"}, false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings&, std::string& reason) {
         if (v.numbers.empty()) return true;
         reason = "takes no numbers, got " + std::to_string(v.numbers.size());
         return false;
     },
     [](const RecordSource&) { return std::vector<SettingValue>{}; }},
    {"input_size", EntryKind::kNumbers, KeyUse::kReadOnly, "network input width and height in pixels",
     {"integer pair", "width, height", ""},
     false, nullptr, nullptr,
     [](const RecordSource& r) {
         return std::vector<SettingValue>{
             {{double(r.model.inputSize.width), double(r.model.inputSize.height)}, {}, {}}};
     }},
    {"frames_inspected", EntryKind::kNumbers, KeyUse::kStatus,
     "frames the model ran on, with or without detections",
     {"integer", "0 or more", ""}, false, nullptr, nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesInspected)); }},
    {"frames_refused_no_model", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: no model was loaded",
     {"integer", "0 or more", ""}, false, nullptr, nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesRefusedNoModel)); }},
    {"frames_refused_unsupported", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: empty, not 8-bit gray/BGR/BGRA, or a side above 16384",
     {"integer", "0 or more", ""}, false, nullptr, nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesRefusedUnsupported)); }},
    {"inference_failures", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: the inference failed (see last_inference_error)",
     {"integer", "0 or more", ""}, false, nullptr, nullptr,
     [](const RecordSource& r) { return Of(double(r.status.inferenceFailures)); }},
    {kKeyCameraFrames, EntryKind::kNumbers, KeyUse::kStatus,
     "frames of this camera: inspected, refused (no model), refused (unsupported), failed; "
     "the 1024 cameras seen last",
     {"integers per camera", "4 counts, each 0 or more", ""}, true, nullptr, nullptr,
     [](const RecordSource& r) {
         std::vector<SettingValue> out;
         for (const CameraCount& c : r.status.cameras) {
             std::string id = ReasonPart(c.idPrefix, kCameraIdKept);
             if (c.idLength > kCameraIdKept) id += "...";
             out.push_back({{double(c.counts[0]), double(c.counts[1]), double(c.counts[2]), double(c.counts[3])},
                            {}, std::move(id)});
         }
         return out;
     }},
    {kKeyEngine, EntryKind::kText, KeyUse::kLoadTime, "auto, onnxruntime or opencv; used from the next Initialize",
     {"text", "auto, onnxruntime or opencv", "auto, or KORVA_ENGINE where set"},
     false, nullptr,
     [](const SettingValue& v, Current, DetectorSettings& s, std::string& reason) {
         EngineKind kind = EngineKind::kAuto;
         if (!ParseEngineKind(v.text, kind)) {
             reason = "must be auto, onnxruntime or opencv, got '" + v.text.substr(0, 40) + "'";
             return false;
         }
         s.engine = v.text;
         return true;
     },
     [](const RecordSource& r) { return OfText(r.settings.engine); }},
    {"model", EntryKind::kText, KeyUse::kReadOnly, "path of the loaded ONNX file",
     {"text", "a path", ""}, false, nullptr, nullptr,
     [](const RecordSource& r) { return OfText(r.model.modelPath); }},
    {"gpu_fallback", EntryKind::kText, KeyUse::kStatus, "why a requested GPU is not in use",
     {"text", "one line", ""},
     false, nullptr, nullptr, [](const RecordSource& r) { return OfText(r.model.gpuFallback); }},
    {"last_inference_error", EntryKind::kText, KeyUse::kStatus, "reason of the last failed inference",
     {"text", "one line", ""},
     false, nullptr, nullptr, [](const RecordSource& r) { return OfText(r.status.lastInferenceError); }},
};

const SettingKey* FindKey(const std::string& name, EntryKind kind) {
    for (const SettingKey& k : kKeys) {
        if (k.kind == kind && name == k.name) return &k;
    }
    return nullptr;
}

bool SameValue(const SettingValue& a, const SettingValue& b) {
    if (a.text != b.text || a.qualifier != b.qualifier || a.numbers.size() != b.numbers.size()) return false;
    for (std::size_t i = 0; i < a.numbers.size(); ++i) {
        // Compared as the settings hold them, so a handed-back float reads equal.
        if (static_cast<float>(a.numbers[i]) != static_cast<float>(b.numbers[i])) return false;
    }
    return true;
}

bool SameValues(const std::vector<SettingValue>& a, const std::vector<SettingValue>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!SameValue(a[i], b[i])) return false;
    }
    return true;
}

const char* const kReportFlagEntries[] = {kKeyBackend, kKeyEngine};

FlagEntry BackendEntry(const ModelDescription& model) {
    FlagEntry backend;
    backend.flagA = model.loaded;
    backend.flagB = model.gpuRequested;
    backend.flagC = model.backend.find("cuda") != std::string::npos;
    backend.valueA = model.poolCapacity;
    backend.valueB = static_cast<std::int32_t>(model.classNames.size());
    backend.textA = kKeyBackend;
    backend.textB = model.backend;
    return backend;
}

// Reads the entries of the record one by one.
class RecordReader {
public:
    RecordReader(ReadOnlyEntries readOnly, const RecordSource& current, DetectorSettings& out,
                 std::vector<EntryResult>& results)
        : readOnly_(readOnly), current_(current), out_(out), results_(results) {}

    void Entry(const std::string& name, EntryKind kind, const SettingValue& value) {
        const SettingKey* key = FindKey(name, kind);
        if (key == nullptr) {
            const EntryKind other = kind == EntryKind::kText ? EntryKind::kNumbers : EntryKind::kText;
            Refuse(name, FindKey(name, other) == nullptr ? "unknown key"
                         : other == EntryKind::kText ? "belongs in texts as name=value"
                                                     : "belongs in valueListEntries");
            return;
        }
        const bool first = std::find(seen_.begin(), seen_.end(), key) == seen_.end();
        if (!first && !key->repeated) {
            Refuse(name, "given more than once");
            return;
        }
        if (first) seen_.push_back(key);
        switch (key->use) {
            case KeyUse::kStatus:
                return;
            case KeyUse::kReadOnly: {
                if (readOnly_ == ReadOnlyEntries::kSkip) return;
                const std::vector<SettingValue> now = key->read(current_);
                if (now.size() != 1 || !SameValue(value, now.front())) {
                    Refuse(name, "read-only; it describes the loaded model");
                }
                return;
            }
            case KeyUse::kLive:
            case KeyUse::kLoadTime: {
                if (key->repeated && value.numbers.empty()) {
                    removals_.emplace_back(key, value.qualifier);
                    return;
                }
                if (key->repeated) {
                    if (!Given(key)) key->clear(out_);
                    given_.emplace_back(key, value.qualifier);
                }
                std::string reason;
                if (!key->parse(value, current_, out_, reason)) {
                    Refuse(name, reason);
                } else if (name == kKeyRulesClear) {
                    clearRules_ = true;
                }
                return;
            }
        }
    }

    // Applies what the entries without numbers remove, once all are read: a
    // rule key's qualifier named only by such entries loses its rule, and
    // rules_clear empties the rule keys the record gives no entry of.
    void RemoveRules() {
        if (clearRules_) {
            for (const SettingKey& key : kKeys) {
                // Repeated status keys (counters per camera) are reports, not rules.
                if (key.repeated && key.clear != nullptr && !Given(&key)) key.clear(out_);
            }
        }
        for (const auto& [key, qualifier] : removals_) {
            if (Given(key, &qualifier)) continue;
            const std::vector<SettingValue> kept = key->read({out_, current_.model, current_.status});
            key->clear(out_);
            for (const SettingValue& value : kept) {
                std::string reason;
                if (value.qualifier != qualifier && !key->parse(value, current_, out_, reason)) {
                    Refuse(key->name, reason);
                }
            }
        }
    }

    void Refuse(const std::string& name, const std::string& reason) {
        results_.push_back({name, EntryOutcome::kRefused, reason});
        refused_ = true;
    }

    // Lists each key whose value changed: those read, then those rules_clear
    // emptied.
    void ListChanges() {
        const RecordSource now{out_, current_.model, current_.status};
        std::vector<const SettingKey*> keys = seen_;
        for (const SettingKey& key : kKeys) {
            if (std::find(keys.begin(), keys.end(), &key) == keys.end()) keys.push_back(&key);
        }
        for (const SettingKey* key : keys) {
            if (key->use != KeyUse::kLive && key->use != KeyUse::kLoadTime) continue;
            if (SameValues(key->read(now), key->read(current_))) continue;
            results_.push_back(
                {key->name, key->use == KeyUse::kLive ? EntryOutcome::kApplied : EntryOutcome::kAtNextLoad, {}});
        }
    }

    bool Refused() const { return refused_; }

private:
    // True when the record gives `key` an entry with numbers (for
    // `qualifier`, when not null).
    bool Given(const SettingKey* key, const std::string* qualifier = nullptr) const {
        return std::any_of(given_.begin(), given_.end(), [&](const auto& g) {
            return g.first == key && (qualifier == nullptr || g.second == *qualifier);
        });
    }

    const ReadOnlyEntries readOnly_;
    const RecordSource& current_;
    DetectorSettings& out_;
    std::vector<EntryResult>& results_;
    std::vector<const SettingKey*> seen_;
    std::vector<std::pair<const SettingKey*, std::string>> given_;     // rule entries with numbers
    std::vector<std::pair<const SettingKey*, std::string>> removals_;  // rule entries without
    bool clearRules_ = false;
    bool refused_ = false;
};

}  // namespace

const std::vector<SettingKey>& SettingKeys() { return kKeys; }

bool IsReportFlagEntry(const std::string& name) {
    for (const char* known : kReportFlagEntries) {
        if (name == known) return true;
    }
    return false;
}

const char* KeyUseName(KeyUse use) {
    switch (use) {
        case KeyUse::kLive: return "editable";
        case KeyUse::kLoadTime: return "load-time";
        case KeyUse::kReadOnly: return "read-only";
        case KeyUse::kStatus: return "status";
    }
    return "status";
}

bool ReadRecord(const CustomParams& record, ReadOnlyEntries readOnly, const RecordSource& current,
                DetectorSettings& out, std::vector<EntryResult>& results) {
    results.clear();
    out = current.settings;
    RecordReader reader(readOnly, current, out, results);

    for (const ValueListEntry& e : record.valueListEntries) {
        const SettingKey* key = FindKey(e.textA, EntryKind::kNumbers);
        reader.Entry(e.textA, EntryKind::kNumbers,
                     SettingValue{e.wideValues, {}, key != nullptr && key->repeated ? e.textB : std::string()});
    }
    for (const std::string& line : record.texts) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            reader.Refuse(line, "not a name=value line");
            continue;
        }
        reader.Entry(line.substr(0, eq), EntryKind::kText, SettingValue{{}, line.substr(eq + 1), {}});
    }
    // Flag entries report what runs (OptimizeModel chooses it); none is a setting.
    for (const FlagEntry& e : record.flagEntries) {
        if (!IsReportFlagEntry(e.textA)) reader.Refuse(e.textA, "unknown flag entry");
    }
    const std::vector<std::string>& names = current.model.classNames;
    for (const TextListEntry& e : record.textListEntries) {
        if (e.textA == kKeyInfo) continue;  // describes the keys; nothing to take back
        if (e.textA != kKeyClass) {
            reader.Refuse(e.textA, "unknown key");
        } else if (readOnly == ReadOnlyEntries::kMustMatch &&
                   (e.valueA < 0 || static_cast<std::size_t>(e.valueA) >= names.size() ||
                    names[static_cast<std::size_t>(e.valueA)] != e.textB)) {
            reader.Refuse(e.textA, "read-only; class names come from the label file");
        }
    }

    reader.RemoveRules();
    reader.ListChanges();
    if (!reader.Refused()) return true;
    out = current.settings;
    for (EntryResult& r : results) {
        if (r.outcome != EntryOutcome::kRefused) {
            r.outcome = EntryOutcome::kHeldBack;
            r.reason = "not applied: another entry was refused";
        }
    }
    return false;
}

std::string DescribeRefusals(const std::vector<EntryResult>& results) {
    std::string text;
    std::size_t refused = 0;
    for (const EntryResult& r : results) {
        if (r.outcome != EntryOutcome::kRefused) continue;
        if (++refused <= 3) text += (refused > 1 ? "; '" : "'") + r.key + "': " + r.reason;
    }
    if (refused > 3) text += "; and " + std::to_string(refused - 3) + " more";
    return std::to_string(refused) + (refused == 1 ? " entry" : " entries") + " refused, nothing changed: " + text;
}

void WriteRecord(const RecordSource& source, CustomParams& params) {
    CustomParams out;
    for (const SettingKey& key : kKeys) {
        for (SettingValue& value : key.read(source)) {
            if (key.kind == EntryKind::kNumbers) {
                out.valueListEntries.push_back({key.name, std::move(value.numbers),
                                                key.repeated ? std::move(value.qualifier) : KeyUseName(key.use),
                                                key.help, 0});
            } else if (!value.text.empty()) {
                out.texts.push_back(std::string(key.name) + "=" + value.text);
            }
        }
    }
    out.flagEntries.push_back(BackendEntry(source.model));
    FlagEntry engine;
    engine.textA = kKeyEngine;
    engine.textB = source.model.engine.empty() ? "none" : source.model.engine;
    engine.flagA = source.model.onnxRuntime;
    engine.valueA = source.model.intraOpThreads;
    out.flagEntries.push_back(std::move(engine));
    for (std::size_t i = 0; i < source.model.classNames.size(); ++i) {
        TextListEntry entry;
        entry.textA = kKeyClass;
        entry.textB = source.model.classNames[i];
        entry.valueA = static_cast<std::int32_t>(i);
        out.textListEntries.push_back(std::move(entry));
    }
    for (const SettingKey& key : kKeys) {
        TextListEntry info;
        info.textA = kKeyInfo;
        info.textB = key.name;
        info.textC = KeyUseName(key.use);
        info.textD = key.shape.type;
        info.textE = key.shape.defaultValue;
        info.textList = {key.shape.range, key.help};
        info.valueA = key.kind == EntryKind::kText ? 1 : 0;
        info.valueB = key.repeated ? 1 : 0;
        out.textListEntries.push_back(std::move(info));
    }
    params = std::move(out);
}

}  // namespace korva::detail
