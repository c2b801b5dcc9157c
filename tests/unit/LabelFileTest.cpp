// Parsing of class-name files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "detail/LabelFile.h"

namespace {

using korva::detail::JoinLabelMap;
using korva::detail::ParseLabels;

struct LabelCase {
    std::string name;
    std::string text;
    std::vector<std::string> names;  // expected names; empty when refused
    std::string errorWord;           // expected in the error when refused
};

class ParseLabelsTest : public testing::TestWithParam<LabelCase> {};

TEST_P(ParseLabelsTest, Parses) {
    const LabelCase& c = GetParam();
    std::vector<std::string> names = {"stale"};
    std::string error;
    const bool ok = ParseLabels(c.text, names, error);
    if (c.names.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(names.empty());
        EXPECT_NE(error.find(c.errorWord), std::string::npos) << error;
    } else {
        EXPECT_TRUE(ok) << error;
        EXPECT_EQ(names, c.names);
    }
}

using Names = std::vector<std::string>;
const Names kThree = {"handgun", "rifle", "knife"};

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseLabelsTest,
    testing::Values(
        LabelCase{"Lf", "handgun\nrifle\nknife\n", kThree, ""},
        LabelCase{"NoFinalNewline", "handgun\nrifle\nknife", kThree, ""},
        LabelCase{"Crlf", "handgun\r\nrifle\r\nknife\r\n", kThree, ""},
        LabelCase{"LoneCr", "handgun\rrifle\rknife", kThree, ""},
        LabelCase{"MixedEndings", "handgun\r\nrifle\rknife\n", kThree, ""},
        LabelCase{"ByteOrderMark", "\xEF\xBB\xBFhandgun\nrifle\nknife\n", kThree, ""},
        LabelCase{"Trimmed", "  handgun\t\n\trifle \v\n\fknife  \r\n", kThree, ""},
        LabelCase{"BlankLinesSkipped", "\n\nhandgun\n\n  \n\t\r\nrifle\n\r\n\nknife\n\n", kThree, ""},
        LabelCase{"InnerSpacesKept", "assault rifle\n", {"assault rifle"}, ""},
        LabelCase{"Utf8Names", "pistole \xC3\xBC\n\xE6\x9E\xAA\n\xF0\x9F\x94\xAB\n",
                  {"pistole \xC3\xBC", "\xE6\x9E\xAA", "\xF0\x9F\x94\xAB"}, ""},
        LabelCase{"CommaRefusedWithLine", "handgun\nrifle,long\nknife\n", {}, "line 2"},
        LabelCase{"CommaLineCountsBlankLines", "handgun\n\n\nx,y\n", {}, "line 4"},
        LabelCase{"CommaLineCountsCrlfOnce", "handgun\r\n\r\nx,y\r\n", {}, "line 3"},
        LabelCase{"CommaLineCountsLoneCr", "a\rb\rc,d", {}, "line 3"},
        LabelCase{"InvalidByte", "handgun\n\xFF\n", {}, "UTF-8"},
        LabelCase{"Latin1", "pistole \xFC\n", {}, "UTF-8"},
        LabelCase{"Overlong", "a\xC0\xAF\n", {}, "UTF-8"},
        LabelCase{"Surrogate", "a\xED\xA0\x80\n", {}, "UTF-8"},
        LabelCase{"AboveUnicodeRange", "a\xF4\x90\x80\x80\n", {}, "UTF-8"},
        LabelCase{"OverlongThreeBytes", "\xE0\x9F\xBF", {}, "UTF-8"},
        LabelCase{"TruncatedSequence", "handgun\nrifle\xE2\x82", {}, "UTF-8"},
        LabelCase{"LoneContinuation", "\x80rifle", {}, "UTF-8"},
        LabelCase{"NulByte", std::string("hand\0gun\n", 9), {}, "NUL"},
        LabelCase{"Empty", "", {}, "no class name"},
        LabelCase{"OnlyWhiteSpace", "\n  \r\n\t\r", {}, "no class name"},
        LabelCase{"OnlyByteOrderMark", "\xEF\xBB\xBF", {}, "no class name"}),
    [](const testing::TestParamInfo<LabelCase>& info) { return info.param.name; });

TEST(ParseLabels, RefusesOversizedText) {
    const std::string text(korva::detail::kMaxLabelFileBytes + 1, 'a');
    std::vector<std::string> names;
    std::string error;
    EXPECT_FALSE(ParseLabels(text, names, error));
    EXPECT_NE(error.find("larger"), std::string::npos) << error;
}

TEST(JoinLabelMap, JoinsWithCommasInOrder) {
    EXPECT_EQ(JoinLabelMap({"handgun", "rifle", "knife"}), "handgun,rifle,knife");
    EXPECT_EQ(JoinLabelMap({"one"}), "one");
    EXPECT_EQ(JoinLabelMap({}), "");
}

}  // namespace
