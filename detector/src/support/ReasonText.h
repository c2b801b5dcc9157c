// One-line failure reasons kept in fixed buffers, and the calling thread's
// last reason per detector.
//
// Writing a reason never allocates, so a catch handler of a noexcept
// function can record one even when memory has run out. Control characters,
// and bytes that are not valid UTF-8, are written as \n, \r, \t or \xHH, so
// a reason is always one line of valid UTF-8; text beyond the buffer is cut
// and ends in "...".
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "support/Status.h"

namespace korva::detail {

class ReasonText {
public:
    static constexpr std::size_t kCapacity = 512;

    // Replaces the text with the parts joined, escaped and cut to fit.
    void Assign(std::initializer_list<std::string_view> parts) noexcept;
    void Clear() noexcept { size_ = 0; }
    bool Empty() const noexcept { return size_ == 0; }
    std::string_view View() const noexcept { return {text_, size_}; }
    // A copy; empty when the copy cannot be allocated.
    std::string Copy() const noexcept;

private:
    char text_[kCapacity] = {};
    std::size_t size_ = 0;
};

// `text` as part of a one-line reason, by the rule every reason follows:
// control characters and bytes that are not valid UTF-8 written as \n, \r,
// \t or \xHH; cut after `max` bytes
// of `text` (never inside a UTF-8 sequence) and then ending in "...".
std::string ReasonPart(std::string_view text, std::size_t max);

// A number that names one detector for the lifetime of the process.
std::uint64_t NewReasonOwner() noexcept;

// The calling thread's reasons, one per owner, for the last few owners this
// thread recorded a failure for (kThreadReasonSlots; the oldest is dropped
// first). None of these allocates except ThreadReason's copy.
inline constexpr std::size_t kThreadReasonSlots = 8;
void SetThreadReason(std::uint64_t owner, StatusCode code,
                     std::initializer_list<std::string_view> parts) noexcept;
void ClearThreadReason(std::uint64_t owner) noexcept;
// The reason, or an empty string when there is none or no memory to copy it.
std::string ThreadReason(std::uint64_t owner) noexcept;
// The reason's code; kOk when there is none.
StatusCode ThreadReasonCode(std::uint64_t owner) noexcept;

}  // namespace korva::detail
