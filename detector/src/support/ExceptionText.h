// Error text fit for a host's log: one line, bounded length.
#pragma once

#include <exception>
#include <string>

#include <opencv2/core.hpp>

#include "support/ReasonText.h"

namespace korva::detail {

// `text` as a one-line reason of at most 400 bytes before escaping.
inline std::string OneLine(const std::string& text) { return ReasonPart(text, 400); }

// What an exception says, on one line; for OpenCV's, the error without the
// source location.
inline std::string ExceptionText(const std::exception& e) {
    if (const auto* cvErr = dynamic_cast<const cv::Exception*>(&e)) {
        return OneLine(cvErr->err + (cvErr->func.empty() ? "" : " (in " + cvErr->func + ")"));
    }
    return OneLine(e.what());
}

}  // namespace korva::detail
