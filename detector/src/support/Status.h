// The kind of a failure, beside its one-line reason.
//
// The numbers are the public KorvaErrorCode's (korva/KorvaErrorCode.h), so a
// code passes from the internals to a host unchanged.
#pragma once

#include <string>

namespace korva::detail {

enum class StatusCode : int {
    kOk = 0,
    kNoModel = 1,
    kBadFrame = 2,
    kFrameTooLarge = 3,
    kInferenceFailed = 4,
    kModelRefused = 5,
    kEngineUnavailable = 6,
    kSettingRefused = 7,
    kOutOfMemory = 8,
    kLoadAbandoned = 9,
    kInternal = 10,
};

// A code and its reason; `text` is empty when `code` is kOk.
struct Status {
    StatusCode code = StatusCode::kOk;
    std::string text;

    bool Ok() const { return code == StatusCode::kOk; }
};

}  // namespace korva::detail
