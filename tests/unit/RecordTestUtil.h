// Building and comparing CustomParams records in tests.
#pragma once

#include <string>

#include "korva/CustomParams.h"

// Member-wise equality of the record types (global, where argument-dependent
// lookup finds them for std::vector's comparison).
inline bool operator==(const FlagEntry& a, const FlagEntry& b) {
    return a.flagA == b.flagA && a.flagB == b.flagB && a.flagC == b.flagC &&
           a.valueA == b.valueA && a.valueB == b.valueB && a.textA == b.textA &&
           a.textB == b.textB;
}
inline bool operator==(const TextListEntry& a, const TextListEntry& b) {
    return a.textA == b.textA && a.textB == b.textB && a.valueA == b.valueA &&
           a.valueB == b.valueB && a.valueC == b.valueC && a.textC == b.textC &&
           a.textList == b.textList && a.textD == b.textD && a.textE == b.textE;
}
inline bool operator==(const ValueListEntry& a, const ValueListEntry& b) {
    return a.textA == b.textA && a.wideValues == b.wideValues && a.textB == b.textB &&
           a.textC == b.textC && a.valueA == b.valueA;
}

namespace korva::test {

inline bool SameRecord(const CustomParams& a, const CustomParams& b) {
    return a.flagEntries == b.flagEntries && a.texts == b.texts &&
           a.textListEntries == b.textListEntries && a.valueListEntries == b.valueListEntries;
}

// A record with every list and field filled; texts longer than the small
// string buffer so that each one owns an allocation. `tag` makes records
// distinguishable.
inline CustomParams MakeRecord(const std::string& tag, int entries = 2) {
    const std::string longText = "a text long enough to need its own heap buffer: " + tag;
    CustomParams p;
    for (int i = 0; i < entries; ++i) {
        const std::string n = std::to_string(i);
        p.flagEntries.push_back({i % 2 == 0, true, i % 3 == 0, i, -i, longText + " flagA" + n,
                                 longText + " flagB" + n});
        p.texts.push_back(longText + " text" + n);
        p.textListEntries.push_back({longText + " A" + n, longText + " B" + n, i, i + 1, i + 2,
                                     longText + " C" + n,
                                     {longText + " L0", longText + " L1", longText + " L2"},
                                     longText + " D" + n, longText + " E" + n});
        p.valueListEntries.push_back({longText + " key" + n, {0.25 * i, 1.5, -3.0},
                                      longText + " B" + n, longText + " C" + n, 7 * i});
    }
    return p;
}

}  // namespace korva::test
