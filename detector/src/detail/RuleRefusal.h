// Why one entry of a parameter record was refused.
//
// The readers of the alarm rules return one refusal per entry they could not
// use, so that whoever reads a record can tell the host what was ignored. A
// refused entry sets nothing: the rule it would have set stays as if the
// entry were absent, which never hides a detection the detector would
// otherwise report.
#pragma once

#include <string>

namespace korva::detail {

struct RuleRefusal {
    std::string entry;   // key and subject, e.g. "class_threshold[knife]"
    std::string reason;  // one line

    std::string Text() const { return entry + ": " + reason; }
};

// "key[subject]", the way refusals name an entry.
inline std::string EntryName(const std::string& key, const std::string& subject) {
    return key + "[" + subject + "]";
}

}  // namespace korva::detail
