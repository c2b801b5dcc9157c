// Parsing of a class-name file: one name per line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korva::detail {

// Largest label file accepted; anything bigger is not a list of class names.
inline constexpr std::size_t kMaxLabelFileBytes = 1u << 20;

// Parses UTF-8 text into class names: a leading byte-order mark is dropped,
// LF, CRLF and lone CR end lines, surrounding white space is trimmed and blank
// lines are skipped. Refuses (returns false and sets `error`) text that is not
// valid UTF-8, a name containing a comma, a NUL byte, or no name at all.
bool ParseLabels(std::string_view text, std::vector<std::string>& names, std::string& error);

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Joins names with "," in order.
std::string JoinLabelMap(const std::vector<std::string>& names);

}  // namespace korva::detail
