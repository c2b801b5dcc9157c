// Class names: parsing a class-name file (one name per line), parsing the
// names a model carries in its metadata (the Python dict text
// "{0: 'a', 1: 'b'}" that YOLO exporters write), and settling which list a
// model uses when it has one, the other or both.
//
// Every name obeys the same rules wherever it comes from: valid UTF-8,
// trimmed, not empty, no comma (the label map's separator), no control
// character.
#pragma once

#include <cstddef>
#include <optional>
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

// Parses a `names` metadata value: a Python dict of class id to name
// ("{0: 'handgun', 1: \"o'clock\"}") or a Python list of names. Strings take
// single or double quotes and Python's escapes (\\ \' \" \xhh \uhhhh
// \Uhhhhhhhh; \n, \t, \r decode to characters a name may not hold). Refuses
// text over kMaxLabelFileBytes, malformed syntax, ids that are not exactly
// 0..n-1 (any order), and names breaking the rules above, naming the first
// problem.
bool ParseNamesMetadata(std::string_view text, std::vector<std::string>& names, std::string& error);

struct ResolvedClassNames {
    std::vector<std::string> names;
    std::string source;  // "label file", "model metadata" or "label file and model metadata"
    std::string note;    // why present metadata names were not used; "" otherwise
};

// Settles a model's class names from its label file text and its `names`
// metadata value, either of which may be absent:
//   label file only      -> the label file (ParseLabels's reason on failure);
//   metadata only        -> the metadata (its parse error on failure);
//   both, equal          -> that list;
//   both, different      -> refused, naming the first class that differs;
//   both, metadata bad   -> the label file, with the reason in `note`;
//   neither              -> refused.
bool ResolveClassNames(std::optional<std::string_view> labelFileText,
                       std::optional<std::string_view> metadataNames, ResolvedClassNames& resolved,
                       std::string& error);

// Joins names with "," in order.
std::string JoinLabelMap(const std::vector<std::string>& names);

}  // namespace korva::detail
