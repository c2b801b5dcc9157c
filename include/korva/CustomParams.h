// Parameter record of a detection plug-in.
//
// Plain aggregates with member-wise copy and move. The plug-in that fills or
// receives a record defines what each list and field means; the records
// themselves check nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of CustomParams::flagEntries.
struct FlagEntry {
    bool flagA = false;
    bool flagB = false;
    bool flagC = false;
    std::int32_t valueA = 0;
    std::int32_t valueB = 0;
    std::string textA;
    std::string textB;
};

// One entry of CustomParams::textListEntries: texts, numbers and a list of texts.
struct TextListEntry {
    std::string textA;
    std::string textB;
    std::int32_t valueA = 0;
    std::int32_t valueB = 0;
    std::int32_t valueC = 0;
    std::string textC;
    std::vector<std::string> textList;
    std::string textD;
    std::string textE;
};

// One entry of CustomParams::valueListEntries: a named list of 8-byte values.
struct ValueListEntry {
    std::string textA;
    std::vector<double> wideValues;
    std::string textB;
    std::string textC;
    std::int32_t valueA = 0;
};

// The parameter record of a plug-in: four independent lists.
struct CustomParams {
    std::vector<FlagEntry> flagEntries;
    std::vector<std::string> texts;
    std::vector<TextListEntry> textListEntries;
    std::vector<ValueListEntry> valueListEntries;
};
