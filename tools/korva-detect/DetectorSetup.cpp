#include "DetectorSetup.h"

#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cmath>
#include <cstdlib>

namespace korva::detect {

namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
    return out;
}

}  // namespace

bool WriteRequests(const std::vector<SettingRequest>& requests, CustomParams& record, std::string& error) {
    for (const SettingRequest& r : requests) {
        double number = 0.0;
        const bool numeric = ParseNumber(r.value, number);
        bool found = false;
        for (ValueListEntry& e : record.valueListEntries) {
            if (e.textA != r.key) continue;
            // A value entry holds a number, or its text in textB when it has no number.
            if (numeric) {
                e.wideValues = {number};
            } else if (e.wideValues.empty()) {
                e.textB = r.value;
            } else {
                error = "setting " + r.key + " takes a number, got '" + r.value + "'";
                return false;
            }
            found = true;
        }
        for (FlagEntry& e : record.flagEntries) {
            if (e.textA == r.key) {
                e.textB = r.value;
                found = true;
            }
        }
        for (TextListEntry& e : record.textListEntries) {
            if (e.textA == r.key) {
                e.textB = r.value;
                found = true;
            }
        }
        for (std::string& line : record.texts) {
            if (line.rfind(r.key + "=", 0) == 0) {
                line = r.key + "=" + r.value;
                found = true;
            }
        }
        if (found) continue;
        if (numeric) {
            ValueListEntry e;
            e.textA = r.key;
            e.wideValues = {number};
            record.valueListEntries.push_back(std::move(e));
        } else {
            record.texts.push_back(r.key + "=" + r.value);
        }
    }
    return true;
}

std::vector<std::string> UnappliedRequests(const std::vector<SettingRequest>& requests,
                                           const CustomParams& effective) {
    std::vector<std::string> lines;
    for (const SettingRequest& r : requests) {
        std::vector<std::string> reported;
        bool applied = false;
        auto textMatches = [&](const std::string& text) {
            return r.prefixMatch ? text.compare(0, r.value.size(), r.value) == 0 : text == r.value;
        };
        for (const ValueListEntry& e : effective.valueListEntries) {
            if (e.textA != r.key) continue;
            if (e.wideValues.empty()) {
                applied |= textMatches(e.textB);
                reported.push_back("'" + e.textB + "'");
                continue;
            }
            double wanted = 0.0;
            const double got = e.wideValues.empty() ? NAN : e.wideValues[0];
            applied |= ParseNumber(r.value, wanted) && std::fabs(got - wanted) <= 1e-6 * std::max(1.0, std::fabs(wanted));
            char text[64];
            std::snprintf(text, sizeof text, "%g", got);
            reported.push_back(text);
        }
        for (const FlagEntry& e : effective.flagEntries) {
            if (e.textA != r.key) continue;
            applied |= textMatches(e.textB);
            reported.push_back("'" + e.textB + "'");
        }
        for (const TextListEntry& e : effective.textListEntries) {
            if (e.textA != r.key) continue;
            applied |= textMatches(e.textB);
            reported.push_back("'" + e.textB + "'");
        }
        for (const std::string& line : effective.texts) {
            if (line.rfind(r.key + "=", 0) != 0) continue;
            const std::string text = line.substr(r.key.size() + 1);
            applied |= textMatches(text);
            reported.push_back("'" + text + "'");
        }
        if (applied) continue;
        if (reported.empty()) {
            lines.push_back("the detector has no setting '" + r.key + "'");
        } else {
            lines.push_back("the detector did not apply " + r.key + "=" + r.value + " (it reports " +
                            Join(reported) + ")");
        }
    }
    return lines;
}

FrameStatus StatusFromCode(KorvaErrorCode code) {
    if (code == KorvaErrorCode::kNone) return FrameStatus::kInspected;
    return KorvaFrameNotInspected(code) ? FrameStatus::kRefused : FrameStatus::kFailed;
}

std::vector<std::string> SplitLabelMap(const std::string& labelMap) {
    std::vector<std::string> names;
    if (labelMap.empty()) return names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = labelMap.find(',', start);
        names.push_back(labelMap.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) return names;
        start = comma + 1;
    }
}

bool ResolveClasses(const std::vector<std::string>& wanted, const std::vector<std::string>& names,
                    std::vector<bool>& keep, std::string& error) {
    keep.assign(names.size(), wanted.empty());
    for (const std::string& w : wanted) {
        bool matched = false;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == w) keep[i] = matched = true;
        }
        double id = 0.0;
        if (!matched && ParseNumber(w, id) && id >= 0.0 && id < static_cast<double>(names.size()) &&
            id == std::floor(id)) {
            keep[static_cast<std::size_t>(id)] = matched = true;
        }
        if (!matched) {
            error = "unknown class '" + w + "' (the model's classes: " + Join(names) + ")";
            return false;
        }
    }
    return true;
}

}  // namespace korva::detect
