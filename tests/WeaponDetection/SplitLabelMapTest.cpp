#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "WeaponDetection/SplitLabelMap.h"

namespace {

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> items;
};

class SplitLabelMapTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitLabelMapTest, SplitsAtEveryCommaWithoutTrimming) {
    EXPECT_EQ(SplitLabelMap(GetParam().text), GetParam().items);
}

const SplitCase kCases[] = {
    {"ThreeNames", "handgun,rifle,knife", {"handgun", "rifle", "knife"}},
    {"AdjacentCommas", "handgun,,knife", {"handgun", "", "knife"}},
    {"LeadingComma", ",rifle", {"", "rifle"}},
    {"TrailingCommaAddsNothing", "handgun,rifle,", {"handgun", "rifle"}},
    {"SpaceAfterCommaKept", "handgun, rifle", {"handgun", " rifle"}},
    {"EmptyText", "", {}},
    {"CommaAlone", ",", {""}},
    {"TwoCommasAlone", ",,", {"", ""}},
    {"NoComma", "handgun", {"handgun"}},
    {"WhitespaceAndLineBreaksKept", " a\tb ,c\r\n", {" a\tb ", "c\r\n"}},
    {"SpaceOnly", " ", {" "}},
};

INSTANTIATE_TEST_SUITE_P(Table, SplitLabelMapTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SplitCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
