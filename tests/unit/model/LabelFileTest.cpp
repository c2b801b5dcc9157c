// Parsing of class-name files.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/LabelFile.h"

namespace {

using korva::detail::JoinLabelMap;
using korva::detail::ParseLabels;
using korva::detail::ParseNamesMetadata;
using korva::detail::ResolveClassNames;
using korva::detail::ResolvedClassNames;

struct LabelCase {
    std::string name;
    std::string text;
    std::vector<std::string> names;  // expected names; empty when refused
    std::string errorWord;           // expected in the error when refused
};

class ParseLabelsTest : public testing::TestWithParam<LabelCase> {};

TEST_P(ParseLabelsTest, YieldsTheNamesOrRefusesWithTheReason) {
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

// ---- Names from model metadata ----------------------------------------------

class ParseNamesMetadataTest : public testing::TestWithParam<LabelCase> {};

TEST_P(ParseNamesMetadataTest, YieldsTheNamesOrRefusesWithTheReason) {
    const LabelCase& c = GetParam();
    std::vector<std::string> names = {"stale"};
    std::string error;
    const bool ok = ParseNamesMetadata(c.text, names, error);
    if (c.names.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(names.empty());
        EXPECT_NE(error.find(c.errorWord), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    } else {
        EXPECT_TRUE(ok) << error;
        EXPECT_EQ(names, c.names);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseNamesMetadataTest,
    testing::Values(
        LabelCase{"Dict", "{0: 'handgun', 1: 'rifle', 2: 'knife'}", kThree, ""},
        LabelCase{"DictWithoutSpaces", "{0:'handgun',1:'rifle',2:'knife'}", kThree, ""},
        LabelCase{"DictAnyOrder", "{2: 'knife', 0: 'handgun', 1: 'rifle'}", kThree, ""},
        LabelCase{"DictTrailingComma", " {0: 'handgun', 1: 'rifle', 2: 'knife',} \n", kThree, ""},
        LabelCase{"List", "['handgun', 'rifle', 'knife']", kThree, ""},
        LabelCase{"DoubleQuotesAroundApostrophe", "{0: \"o'clock\"}", {"o'clock"}, ""},
        LabelCase{"EscapedQuotes", "{0: 'o\\'clock', 1: \"say \\\"hi\\\"\"}",
                  {"o'clock", "say \"hi\""}, ""},
        LabelCase{"EscapedBackslash", "{0: 'a\\\\b'}", {"a\\b"}, ""},
        LabelCase{"Utf8AsIs", "{0: 'pistole \xC3\xBC', 1: '\xE6\x9E\xAA'}",
                  {"pistole \xC3\xBC", "\xE6\x9E\xAA"}, ""},
        LabelCase{"HexAndUnicodeEscapes", "{0: 'pistole \\xfc', 1: '\\u67aa', 2: '\\U0001f52b'}",
                  {"pistole \xC3\xBC", "\xE6\x9E\xAA", "\xF0\x9F\x94\xAB"}, ""},
        LabelCase{"NamesTrimmed", "{0: ' handgun '}", {"handgun"}, ""},
        LabelCase{"CommaInNameRefused", "{0: 'handgun', 1: 'rifle, long'}", {}, "comma"},
        LabelCase{"EscapedNewlineRefused", "{0: 'hand\\ngun'}", {}, "control character"},
        LabelCase{"EscapedNulRefused", "{0: 'hand\\x00gun'}", {}, "control character"},
        LabelCase{"EmptyNameRefused", "{0: 'handgun', 1: '  '}", {}, "class 1 has an empty name"},
        LabelCase{"GapInIdsRefused", "{0: 'handgun', 2: 'knife'}", {}, "class id 2"},
        LabelCase{"NotFromZeroRefused", "{1: 'handgun', 2: 'knife'}", {}, "class id 2"},
        LabelCase{"DuplicateIdRefused", "{0: 'handgun', 0: 'rifle'}", {}, "twice"},
        LabelCase{"NegativeIdRefused", "{-1: 'handgun'}", {}, "class id"},
        LabelCase{"HugeIdRefused", "{99999999999: 'handgun'}", {}, "class id"},
        LabelCase{"StringIdRefused", "{'0': 'handgun'}", {}, "class id"},
        LabelCase{"UnquotedNameRefused", "{0: handgun}", {}, "quoted"},
        LabelCase{"UnterminatedRefused", "{0: 'handgun}", {}, "unterminated"},
        LabelCase{"MissingCloseRefused", "{0: 'handgun'", {}, "expected ','"},
        LabelCase{"MissingColonRefused", "{0 'handgun'}", {}, "':'"},
        LabelCase{"TextAfterRefused", "{0: 'handgun'} x", {}, "after"},
        LabelCase{"EmptyDictRefused", "{}", {}, "no class"},
        LabelCase{"NotAContainerRefused", "handgun", {}, "dict"},
        LabelCase{"EmptyRefused", "", {}, "dict"},
        LabelCase{"BadHexRefused", "{0: '\\xZZ'}", {}, "\\x escape"},
        LabelCase{"SurrogateEscapeRefused", "{0: '\\ud800'}", {}, "\\u escape"},
        LabelCase{"BeyondUnicodeRefused", "{0: '\\U00110000'}", {}, "\\U escape"},
        LabelCase{"ShortEscapeAtEndRefused", "{0: '\\u12", {}, "\\u escape"},
        LabelCase{"UnknownEscapeRefused", "{0: '\\q'}", {}, "unsupported escape"},
        LabelCase{"EscapedControlCharacterRefused", "{0: 'a\\\rb'}", {}, "unsupported escape '\\\\r'"},
        LabelCase{"InvalidUtf8Refused", "{0: 'r\xEF" "fle'}", {}, "UTF-8"}),
    [](const testing::TestParamInfo<LabelCase>& info) { return info.param.name; });

TEST(ParseNamesMetadata, RefusesOversizedText) {
    std::string text = "{0: '" + std::string(korva::detail::kMaxLabelFileBytes, 'a') + "'}";
    std::vector<std::string> names;
    std::string error;
    EXPECT_FALSE(ParseNamesMetadata(text, names, error));
    EXPECT_NE(error.find("longer"), std::string::npos) << error;
}

// ---- Which names a model uses ------------------------------------------------

struct ResolveCase {
    std::string name;
    std::optional<std::string> labelFile;
    std::optional<std::string> metadata;
    Names names;             // expected names; empty when refused
    std::string source;      // expected source when accepted
    std::string word;        // expected in the error (refused) or the note (accepted)
};

class ResolveClassNamesTest : public testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveClassNamesTest, AgreesOrNamesTheMismatch) {
    const ResolveCase& c = GetParam();
    const auto view = [](const std::optional<std::string>& s) {
        return s ? std::optional<std::string_view>(*s) : std::nullopt;
    };
    ResolvedClassNames resolved;
    resolved.names = {"stale"};
    std::string error;
    const bool ok = ResolveClassNames(view(c.labelFile), view(c.metadata), resolved, error);
    if (c.names.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(resolved.names.empty());
        EXPECT_NE(error.find(c.word), std::string::npos) << error;
    } else {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(resolved.names, c.names);
        EXPECT_EQ(resolved.source, c.source);
        if (c.word.empty()) {
            EXPECT_EQ(resolved.note, "");
        } else {
            EXPECT_NE(resolved.note.find(c.word), std::string::npos) << resolved.note;
        }
    }
}

const std::string kDict3 = "{0: 'handgun', 1: 'rifle', 2: 'knife'}";
const std::string kFile3 = "handgun\nrifle\nknife\n";

INSTANTIATE_TEST_SUITE_P(
    Sources, ResolveClassNamesTest,
    testing::Values(
        ResolveCase{"LabelFileOnly", kFile3, std::nullopt, kThree, "label file", ""},
        ResolveCase{"MetadataOnly", std::nullopt, kDict3, kThree, "model metadata", ""},
        ResolveCase{"BothAgree", kFile3, kDict3, kThree, "label file and model metadata", ""},
        ResolveCase{"BothAgreeAfterTrimming", "handgun \r\nrifle\r\n knife", kDict3, kThree,
                    "label file and model metadata", ""},
        ResolveCase{"NameDiffers", "handgun\nrifle\nblade\n", kDict3, {}, "",
                    "class 2 is 'blade' in the label file and 'knife' in the metadata"},
        ResolveCase{"OrderDiffers", "rifle\nhandgun\nknife\n", kDict3, {}, "", "class 0 is 'rifle'"},
        ResolveCase{"LabelFileLonger", kFile3 + "axe\n", kDict3, {}, "",
                    "class 3 'axe' is only in the label file"},
        ResolveCase{"MetadataLonger", "handgun\nrifle\n", kDict3, {}, "",
                    "class 2 'knife' is only in the metadata"},
        ResolveCase{"BadMetadataWithoutLabelFile", std::nullopt, "{0: 'a', 2: 'b'}", {}, "",
                    "model metadata names: class id 2"},
        ResolveCase{"BadMetadataBesideLabelFile", kFile3, "{0: 'handgun', 1: 'rifle, long'}",
                    kThree, "label file", "comma"},
        ResolveCase{"BadLabelFileBesideMetadata", "handgun\nrifle,long\n", kDict3, {}, "", "comma"},
        ResolveCase{"EmptyLabelFileBesideMetadata", "\n", kDict3, {}, "", "no class name"},
        ResolveCase{"Neither", std::nullopt, std::nullopt, {}, "", "no label file"}),
    [](const testing::TestParamInfo<ResolveCase>& info) { return info.param.name; });

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
