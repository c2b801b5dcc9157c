#include "detail/LabelFile.h"

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

std::string JoinLabelMap(const std::vector<std::string>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) joined += ',';
        joined += names[i];
    }
    return joined;
}

}  // namespace korva::detail
