// Class-name parsing, from a label file and from a model's `names` metadata:
// never crashes, and what it accepts obeys the rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "model/LabelFile.h"

using korva::detail::IsValidUtf8;
using korva::detail::JoinLabelMap;
using korva::detail::ParseLabels;
using korva::detail::ParseNamesMetadata;
using korva::detail::ResolveClassNames;
using korva::detail::ResolvedClassNames;

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

// The same text as `names` metadata: accepted names obey the label rules,
// and a label file of them agrees with the metadata.
void CheckNamesMetadata(std::string_view text) {
    std::vector<std::string> names;
    std::string error;
    if (!ParseNamesMetadata(text, names, error)) {
        FUZZ_CHECK(!error.empty() && error.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(names.empty());
        return;
    }
    FUZZ_CHECK(!names.empty());
    std::string lines = "\xEF\xBB\xBF";  // a name may itself start with one (see below)
    for (const std::string& name : names) {
        FUZZ_CHECK(!name.empty() && !IsSpace(name.front()) && !IsSpace(name.back()));
        FUZZ_CHECK(name.find(',') == std::string::npos);
        for (char c : name) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        FUZZ_CHECK(IsValidUtf8(name));
        lines += name + "\n";
    }
    ResolvedClassNames resolved;
    FUZZ_CHECK(ResolveClassNames(std::string_view(lines), text, resolved, error));
    FUZZ_CHECK(resolved.names == names && resolved.note.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckNamesMetadata(text);
    std::vector<std::string> names;
    std::string error;
    if (!ParseLabels(text, names, error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(names.empty());
        return 0;
    }
    FUZZ_CHECK(!names.empty());
    FUZZ_CHECK(IsValidUtf8(text.substr(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0)));
    for (const std::string& name : names) {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(!IsSpace(name.front()) && !IsSpace(name.back()));
        FUZZ_CHECK(name.find_first_of(",\r\n") == std::string::npos);
        FUZZ_CHECK(name.find('\0') == std::string::npos);
        FUZZ_CHECK(IsValidUtf8(name));
    }

    // The label map splits back into the same names, and one name per line
    // parses back to the same list.
    const std::string map = JoinLabelMap(names);
    std::vector<std::string> split;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = map.find(',', start);
        split.push_back(map.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    FUZZ_CHECK(split == names);

    // (A leading byte-order mark is dropped once, so a name that starts with
    // one survives only behind another.)
    std::string lines = "\xEF\xBB\xBF";
    for (const std::string& name : names) lines += name + "\n";
    std::vector<std::string> again;
    FUZZ_CHECK(ParseLabels(lines, again, error));
    FUZZ_CHECK(again == names);
    return 0;
}
