// Every reason follows one rule: one line of valid UTF-8, cut with "...".
#include <gtest/gtest.h>

#include <string>

#include "support/ReasonText.h"

namespace {

struct TextCase {
    const char* name;
    std::string text;
    std::size_t max;
    std::string expected;
};

class ReasonTextRule : public testing::TestWithParam<TextCase> {};

TEST_P(ReasonTextRule, PartAndBufferWriteTheSameLine) {
    const TextCase& c = GetParam();
    EXPECT_EQ(korva::detail::ReasonPart(c.text, c.max), c.expected);
    if (c.max >= c.text.size()) {  // uncut: the fixed buffer writes it alike
        korva::detail::ReasonText buffer;
        buffer.Assign({c.text.substr(0, 3), c.text.substr(c.text.size() < 3 ? c.text.size() : 3)});
        EXPECT_EQ(std::string(buffer.View()), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReasonTextRule,
    testing::Values(
        TextCase{"PlainTextKept", "model refused", 80, "model refused"},
        TextCase{"LineBreaksAndTabsNamed", "a\nb\r\tc", 80, "a\\nb\\r\\tc"},
        TextCase{"ControlCharactersInHex", std::string("a\x1b[2Jb\x7f", 7), 80, "a\\x1b[2Jb\\x7f"},
        TextCase{"NulInHex", std::string("a\0b", 3), 80, "a\\x00b"},
        TextCase{"ValidUtf8Kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xab", 80, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xab"},
        TextCase{"StrayByteInHex", "r\xffifle", 80, "r\\xffifle"},
        TextCase{"OverlongFormInHex", "a\xc0\xafz", 80, "a\\xc0\\xafz"},
        TextCase{"SurrogateInHex", "\xed\xa0\x80", 80, "\\xed\\xa0\\x80"},
        TextCase{"TruncatedSequenceInHex", "ab\xe2\x82", 80, "ab\\xe2\\x82"},
        TextCase{"CutEndsInEllipsis", "abcdefgh", 5, "abcde..."},
        TextCase{"CutNeverSplitsACharacter", "abcd\xc3\xa9xyz", 5, "abcd..."}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(ReasonTextBuffer, LongReasonIsCutToTheBuffer) {
    korva::detail::ReasonText buffer;
    const std::string longText(2 * korva::detail::ReasonText::kCapacity, '\n');
    buffer.Assign({"start ", longText});
    const std::string_view view = buffer.View();
    EXPECT_LE(view.size(), korva::detail::ReasonText::kCapacity);
    EXPECT_EQ(view.substr(0, 8), "start \\n");
    EXPECT_EQ(view.substr(view.size() - 3), "...");
}

}  // namespace
