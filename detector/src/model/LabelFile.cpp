#include "model/LabelFile.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "support/ReasonText.h"

namespace korva::detail {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}


// Quotes a name for a one-line message: control characters as \xhh, cut
// short when long.
std::string Quoted(std::string_view name) { return "'" + ReasonPart(name, 60) + "'"; }

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// A cursor over Python literal text. Every method checks the bytes left.
class PyReader {
public:
    explicit PyReader(std::string_view text) : text_(text) {}

    std::size_t Position() const { return pos_; }
    bool AtEnd() const { return pos_ >= text_.size(); }

    void SkipSpace() {
        while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
    }

    // Consumes `c` after optional white space.
    bool Take(char c) {
        SkipSpace();
        if (AtEnd() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    bool Peek(char c) {
        SkipSpace();
        return !AtEnd() && text_[pos_] == c;
    }

    // A non-negative decimal integer of at most nine digits.
    bool Integer(int& value) {
        SkipSpace();
        std::size_t digits = 0;
        std::int64_t v = 0;
        while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9' && digits < 10) {
            v = v * 10 + (text_[pos_] - '0');
            ++pos_;
            ++digits;
        }
        value = static_cast<int>(v % 1000000000);
        return digits > 0 && digits < 10;
    }

    // A quoted string with Python escapes; `error` says what is wrong.
    bool String(std::string& out, std::string& error) {
        SkipSpace();
        out.clear();
        if (AtEnd() || (text_[pos_] != '\'' && text_[pos_] != '"')) {
            error = "expected a quoted name";
            return false;
        }
        const char quote = text_[pos_++];
        while (!AtEnd()) {
            const char c = text_[pos_++];
            if (c == quote) return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (AtEnd()) break;
            const char e = text_[pos_++];
            switch (e) {
                case '\\': out.push_back('\\'); break;
                case '\'': out.push_back('\''); break;
                case '"': out.push_back('"'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'x':
                case 'u':
                case 'U': {
                    const int n = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                    std::uint32_t cp = 0;
                    if (!Hex(n, cp) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                        error = "bad \\" + std::string(1, e) + " escape";
                        return false;
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    error = "unsupported escape " + Quoted(std::string("\\") + e);
                    return false;
            }
        }
        error = "unterminated string";
        return false;
    }

private:
    bool Hex(int n, std::uint32_t& cp) {
        if (text_.size() - pos_ < static_cast<std::size_t>(n)) return false;
        cp = 0;
        for (int i = 0; i < n; ++i) {
            const char h = text_[pos_++];
            std::uint32_t d = 0;
            if (h >= '0' && h <= '9') {
                d = static_cast<std::uint32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                d = static_cast<std::uint32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                d = static_cast<std::uint32_t>(h - 'A' + 10);
            } else {
                return false;
            }
            cp = cp * 16 + d;
        }
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// Checks and trims one decoded metadata name.
bool CheckName(std::string& name, int id, std::string& error) {
    const std::string where = "class " + std::to_string(id) + " ";
    if (!IsValidUtf8(name)) {
        error = where + "is not valid UTF-8";
        return false;
    }
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            error = where + Quoted(name) + " contains a control character";
            return false;
        }
    }
    name = std::string(Trim(name));
    if (name.empty()) {
        error = where + "has an empty name";
        return false;
    }
    if (name.find(',') != std::string::npos) {
        error = where + Quoted(name) + " contains a comma, which the label map uses as its separator";
        return false;
    }
    return true;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra = 0;
        unsigned cp = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr unsigned kMinForLength[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

bool ParseLabels(std::string_view text, std::vector<std::string>& names, std::string& error) {
    names.clear();
    if (text.size() > kMaxLabelFileBytes) {
        error = "label file is larger than " + std::to_string(kMaxLabelFileBytes) + " bytes";
        return false;
    }
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.remove_prefix(3);
    if (!IsValidUtf8(text)) {
        error = "label file is not valid UTF-8 text";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        error = "label file contains a NUL byte";
        return false;
    }

    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
            text.remove_prefix(end + (crlf ? 2 : 1));
        }
        line = Trim(line);
        if (line.empty()) continue;
        if (line.find(',') != std::string_view::npos) {
            error = "class name on line " + std::to_string(lineNumber) + " (\"" + std::string(line) +
                    "\") contains a comma, which the label map uses as its separator";
            names.clear();
            return false;
        }
        names.emplace_back(line);
    }
    if (names.empty()) {
        error = "label file holds no class name";
        return false;
    }
    return true;
}

bool ParseNamesMetadata(std::string_view text, std::vector<std::string>& names, std::string& error) {
    names.clear();
    if (text.size() > kMaxLabelFileBytes) {
        error = "names are longer than " + std::to_string(kMaxLabelFileBytes) + " bytes";
        return false;
    }
    PyReader in(text);
    const bool isDict = in.Peek('{');
    if (!isDict && !in.Peek('[')) {
        error = "names are neither a {id: 'name'} dict nor a list";
        return false;
    }
    in.Take(isDict ? '{' : '[');
    const char close = isDict ? '}' : ']';
    std::vector<std::pair<int, std::string>> entries;
    const auto fail = [&](const std::string& why) {
        error = "names: " + why + " at offset " + std::to_string(in.Position());
        names.clear();
        return false;
    };
    while (!in.Peek(close)) {
        int id = static_cast<int>(entries.size());
        if (isDict) {
            if (!in.Integer(id)) return fail("expected a class id");
            if (!in.Take(':')) return fail("expected ':'");
        }
        std::string name;
        std::string why;
        if (!in.String(name, why)) return fail(why);
        entries.emplace_back(id, std::move(name));
        if (!in.Take(',')) break;
    }
    if (!in.Take(close)) return fail(std::string("expected ',' or '") + close + "'");
    in.SkipSpace();
    if (!in.AtEnd()) return fail("unexpected text after the names");
    if (entries.empty()) {
        error = "names hold no class";
        return false;
    }

    const std::size_t n = entries.size();
    std::vector<bool> seen(n, false);
    for (const auto& e : entries) {
        if (e.first < 0 || static_cast<std::size_t>(e.first) >= n) {
            error = "names: class id " + std::to_string(e.first) + " is outside 0.." +
                    std::to_string(n - 1) + " (ids must be 0 to n-1)";
            return false;
        }
        if (seen[static_cast<std::size_t>(e.first)]) {
            error = "names: class id " + std::to_string(e.first) + " appears twice";
            return false;
        }
        seen[static_cast<std::size_t>(e.first)] = true;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    names.reserve(n);
    for (auto& e : entries) {
        if (!CheckName(e.second, e.first, error)) {
            error = "names: " + error;
            names.clear();
            return false;
        }
        names.push_back(std::move(e.second));
    }
    return true;
}

bool ResolveClassNames(std::optional<std::string_view> labelFileText,
                       std::optional<std::string_view> metadataNames, ResolvedClassNames& resolved,
                       std::string& error) {
    resolved = ResolvedClassNames{};
    if (!labelFileText && !metadataNames) {
        error = "no label file and no class names in the model metadata";
        return false;
    }
    std::vector<std::string> fromMetadata;
    std::string metadataError;
    const bool metadataOk = metadataNames && ParseNamesMetadata(*metadataNames, fromMetadata, metadataError);
    if (!labelFileText) {
        if (!metadataOk) {
            error = "model metadata " + metadataError;
            return false;
        }
        resolved.names = std::move(fromMetadata);
        resolved.source = "model metadata";
        return true;
    }
    std::vector<std::string> fromFile;
    if (!ParseLabels(*labelFileText, fromFile, error)) return false;
    if (metadataNames && !metadataOk) {
        resolved.note = "model metadata names ignored (" + metadataError + ")";
    }
    if (metadataOk && fromMetadata != fromFile) {
        const std::size_t common = std::min(fromFile.size(), fromMetadata.size());
        std::size_t i = 0;
        while (i < common && fromFile[i] == fromMetadata[i]) ++i;
        error = "label file and model metadata disagree: ";
        if (i < common) {
            error += "class " + std::to_string(i) + " is " + Quoted(fromFile[i]) + " in the label file and " +
                     Quoted(fromMetadata[i]) + " in the metadata";
        } else {
            const bool fileLonger = fromFile.size() > fromMetadata.size();
            const std::string& extra = fileLonger ? fromFile[i] : fromMetadata[i];
            error += "the label file has " + std::to_string(fromFile.size()) + " names, the metadata " +
                     std::to_string(fromMetadata.size()) + "; class " + std::to_string(i) + " " +
                     Quoted(extra) + " is only in the " + (fileLonger ? "label file" : "metadata");
        }
        return false;
    }
    resolved.names = std::move(fromFile);
    resolved.source = metadataOk ? "label file and model metadata" : "label file";
    return true;
}

std::string JoinLabelMap(const std::vector<std::string>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) joined += ',';
        joined += names[i];
    }
    return joined;
}

}  // namespace korva::detail
