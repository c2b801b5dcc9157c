#include "detail/DetectorSettings.h"

#include <cmath>
#include <cstdio>
#include <utility>

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

SettingValue Of(double v) { return SettingValue{{v}, {}}; }
SettingValue OfText(std::string text) { return SettingValue{{}, std::move(text)}; }

const std::vector<SettingKey> kKeys = {
    {"confidence_threshold", EntryKind::kNumbers, KeyUse::kLive,
     "detections scoring below this are dropped; 0..1",
     [](const SettingValue& v, DetectorSettings& s, std::string& reason) {
         return Fraction(v, s.confidenceThreshold, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.confidenceThreshold); }},
    {"nms_iou_threshold", EntryKind::kNumbers, KeyUse::kLive,
     "of two same-class boxes overlapping more than this, the weaker is suppressed; 0..1",
     [](const SettingValue& v, DetectorSettings& s, std::string& reason) {
         return Fraction(v, s.nmsIouThreshold, reason);
     },
     [](const RecordSource& r) { return Of(r.settings.nmsIouThreshold); }},
    {"pool_capacity", EntryKind::kNumbers, KeyUse::kLoadTime,
     "networks kept for inferences running at once; 1..64; used from the next Initialize",
     [](const SettingValue& v, DetectorSettings& s, std::string& reason) {
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
    {"input_size", EntryKind::kNumbers, KeyUse::kReadOnly, "network input width and height in pixels",
     nullptr,
     [](const RecordSource& r) {
         return SettingValue{{double(r.model.inputSize.width), double(r.model.inputSize.height)}, {}};
     }},
    {"frames_inspected", EntryKind::kNumbers, KeyUse::kStatus,
     "frames the model ran on, with or without detections", nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesInspected)); }},
    {"frames_refused_no_model", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: no model was loaded", nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesRefusedNoModel)); }},
    {"frames_refused_unsupported", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: empty, not 8-bit gray/BGR/BGRA, or a side above 16384", nullptr,
     [](const RecordSource& r) { return Of(double(r.status.framesRefusedUnsupported)); }},
    {"inference_failures", EntryKind::kNumbers, KeyUse::kStatus,
     "frames not inspected: the inference failed (see last_inference_error)", nullptr,
     [](const RecordSource& r) { return Of(double(r.status.inferenceFailures)); }},
    {"model", EntryKind::kText, KeyUse::kReadOnly, "path of the loaded ONNX file", nullptr,
     [](const RecordSource& r) { return OfText(r.model.modelPath); }},
    {"gpu_fallback", EntryKind::kText, KeyUse::kStatus, "why a requested GPU is not in use",
     nullptr, [](const RecordSource& r) { return OfText(r.model.gpuFallback); }},
    {"last_inference_error", EntryKind::kText, KeyUse::kStatus, "reason of the last failed inference",
     nullptr, [](const RecordSource& r) { return OfText(r.status.lastInferenceError); }},
};

const SettingKey* FindKey(const std::string& name, EntryKind kind) {
    for (const SettingKey& k : kKeys) {
        if (k.kind == kind && name == k.name) return &k;
    }
    return nullptr;
}

bool SameValue(const SettingValue& a, const SettingValue& b) {
    if (a.text != b.text || a.numbers.size() != b.numbers.size()) return false;
    for (std::size_t i = 0; i < a.numbers.size(); ++i) {
        // Compared as the settings hold them, so a handed-back float reads equal.
        if (static_cast<float>(a.numbers[i]) != static_cast<float>(b.numbers[i])) return false;
    }
    return true;
}

FlagEntry BackendEntry(const ModelDescription& model) {
    FlagEntry backend;
    backend.flagA = model.loaded;
    backend.flagB = model.gpuRequested;
    backend.flagC = model.backend.rfind("cuda", 0) == 0;
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

    void Entry(const std::string& name, EntryKind kind, SettingValue value) {
        const SettingKey* key = FindKey(name, kind);
        if (key == nullptr) {
            const EntryKind other = kind == EntryKind::kText ? EntryKind::kNumbers : EntryKind::kText;
            Refuse(name, FindKey(name, other) == nullptr ? "unknown key"
                         : other == EntryKind::kText ? "belongs in texts as name=value"
                                                     : "belongs in valueListEntries");
            return;
        }
        for (const SettingKey* k : seen_) {
            if (k == key) {
                Refuse(name, "given more than once");
                return;
            }
        }
        seen_.push_back(key);
        switch (key->use) {
            case KeyUse::kStatus:
                return;
            case KeyUse::kReadOnly:
                if (readOnly_ == ReadOnlyEntries::kMustMatch && !SameValue(value, key->read(current_))) {
                    Refuse(name, "read-only; it describes the loaded model");
                }
                return;
            case KeyUse::kLive:
            case KeyUse::kLoadTime: {
                std::string reason;
                if (!key->parse(value, out_, reason)) {
                    Refuse(name, reason);
                    return;
                }
                const RecordSource now{out_, current_.model, current_.status};
                if (!SameValue(key->read(now), key->read(current_))) {
                    results_.push_back({name, key->use == KeyUse::kLive ? EntryOutcome::kApplied
                                                                         : EntryOutcome::kAtNextLoad,
                                        {}});
                }
                return;
            }
        }
    }

    void Refuse(const std::string& name, const std::string& reason) {
        results_.push_back({name, EntryOutcome::kRefused, reason});
        refused_ = true;
    }

    bool Refused() const { return refused_; }

private:
    const ReadOnlyEntries readOnly_;
    const RecordSource& current_;
    DetectorSettings& out_;
    std::vector<EntryResult>& results_;
    std::vector<const SettingKey*> seen_;
    bool refused_ = false;
};

}  // namespace

const std::vector<SettingKey>& SettingKeys() { return kKeys; }

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
        reader.Entry(e.textA, EntryKind::kNumbers, SettingValue{e.wideValues, {}});
    }
    for (const std::string& line : record.texts) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            reader.Refuse(line, "not a name=value line");
            continue;
        }
        reader.Entry(line.substr(0, eq), EntryKind::kText, SettingValue{{}, line.substr(eq + 1)});
    }
    // The backend entry reports what OptimizeModel chose; it is not a setting.
    for (std::size_t i = 0; i < record.flagEntries.size(); ++i) {
        const FlagEntry& e = record.flagEntries[i];
        if (e.textA != kKeyBackend || i != 0) {
            reader.Refuse(e.textA, i == 0 ? "unknown key" : "only one flag entry is known");
        }
    }
    const std::vector<std::string>& names = current.model.classNames;
    for (const TextListEntry& e : record.textListEntries) {
        if (e.textA != kKeyClass) {
            reader.Refuse(e.textA, "unknown key");
        } else if (readOnly == ReadOnlyEntries::kMustMatch &&
                   (e.valueA < 0 || static_cast<std::size_t>(e.valueA) >= names.size() ||
                    names[static_cast<std::size_t>(e.valueA)] != e.textB)) {
            reader.Refuse(e.textA, "read-only; class names come from the label file");
        }
    }

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
        SettingValue value = key.read(source);
        if (key.kind == EntryKind::kNumbers) {
            out.valueListEntries.push_back(
                {key.name, std::move(value.numbers), KeyUseName(key.use), key.help, 0});
        } else if (!value.text.empty()) {
            out.texts.push_back(std::string(key.name) + "=" + value.text);
        }
    }
    out.flagEntries.push_back(BackendEntry(source.model));
    for (std::size_t i = 0; i < source.model.classNames.size(); ++i) {
        TextListEntry entry;
        entry.textA = kKeyClass;
        entry.textB = source.model.classNames[i];
        entry.valueA = static_cast<std::int32_t>(i);
        out.textListEntries.push_back(std::move(entry));
    }
    params = std::move(out);
}

}  // namespace korva::detail
