// Error text fit for a host's log: one line, bounded length.
#pragma once

#include <exception>
#include <string>

#include <opencv2/core.hpp>

namespace korva::detail {

// `text` with line breaks and tabs turned into spaces, cut to 400 characters.
inline std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    constexpr std::size_t kMax = 400;
    if (text.size() > kMax) text = text.substr(0, kMax) + "...";
    return text;
}

// What an exception says, on one line; for OpenCV's, the error without the
// source location.
inline std::string ExceptionText(const std::exception& e) {
    if (const auto* cvErr = dynamic_cast<const cv::Exception*>(&e)) {
        return OneLine(cvErr->err + (cvErr->func.empty() ? "" : " (in " + cvErr->func + ")"));
    }
    return OneLine(e.what());
}

}  // namespace korva::detail
