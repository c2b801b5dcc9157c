// Label-file parsing: never crashes, and what it accepts obeys the rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "detail/LabelFile.h"

using korva::detail::IsValidUtf8;
using korva::detail::JoinLabelMap;
using korva::detail::ParseLabels;

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
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
