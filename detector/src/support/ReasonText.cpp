#include "support/ReasonText.h"

#include <algorithm>
#include <atomic>

namespace korva::detail {
namespace {

constexpr char kEllipsis[] = "...";
constexpr std::size_t kEllipsisSize = sizeof kEllipsis - 1;

struct ThreadSlot {
    std::uint64_t owner = 0;  // 0: free
    std::uint64_t lastUse = 0;
    StatusCode code = StatusCode::kOk;
    ReasonText reason;
};

struct ThreadSlots {
    ThreadSlot slots[kThreadReasonSlots];
    std::uint64_t clock = 0;
};

// Trivially destructible: no destructor runs at thread exit.
thread_local ThreadSlots t_slots;

std::atomic<std::uint64_t> g_nextOwner{1};

ThreadSlot* Find(std::uint64_t owner) noexcept {
    for (ThreadSlot& s : t_slots.slots) {
        if (s.owner == owner) return &s;
    }
    return nullptr;
}

// Length of the valid UTF-8 sequence at the start of `text`, 0 when its
// first byte does not begin one (overlong forms and surrogates included).
std::size_t Utf8Length(std::string_view text) noexcept {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = at(0);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < len || at(1) < lo || at(1) > hi) return 0;
    for (std::size_t i = 2; i < len; ++i) {
        if ((at(i) & 0xC0) != 0x80) return 0;
    }
    return len;
}

// Writes the first character of `text` as it appears in a reason into `out`
// (at least 4 bytes): line breaks and tabs as \n, \r, \t; other control
// characters and bytes that begin no valid UTF-8 sequence as \xHH. Returns
// the bytes written; `used` is set to the bytes of `text` consumed.
std::size_t EscapeNext(std::string_view text, char* out, std::size_t& used) noexcept {
    static const char kHex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(text[0]);
    used = 1;
    if (c == '\n' || c == '\r' || c == '\t') {
        out[0] = '\\';
        out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        return 2;
    }
    const std::size_t len = Utf8Length(text);
    if (c < 0x20 || c == 0x7F || len == 0) {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = kHex[c >> 4];
        out[3] = kHex[c & 0xF];
        return 4;
    }
    for (std::size_t i = 0; i < len; ++i) out[i] = text[i];
    used = len;
    return len;
}

}  // namespace

std::string ReasonPart(std::string_view text, std::size_t max) {
    std::size_t cut = std::min(text.size(), max);
    while (cut < text.size() && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a UTF-8 sequence
    }
    std::string out;
    out.reserve(cut + 3);
    char escaped[4];
    for (std::size_t i = 0, used = 0; i < cut; i += used) {
        out.append(escaped, EscapeNext(text.substr(i, cut - i), escaped, used));
    }
    if (cut < text.size()) out += kEllipsis;
    return out;
}

void ReasonText::Assign(std::initializer_list<std::string_view> parts) noexcept {
    constexpr std::size_t kLimit = kCapacity - kEllipsisSize;
    std::size_t n = 0;
    bool cut = false;
    for (std::string_view part : parts) {
        for (std::size_t at = 0, used = 0; at < part.size(); at += used) {
            char escaped[4];
            const std::size_t len = EscapeNext(part.substr(at), escaped, used);
            if (n + len > kLimit) {
                cut = true;
                break;
            }
            for (std::size_t i = 0; i < len; ++i) text_[n++] = escaped[i];
        }
        if (cut) break;
    }
    if (cut) {
        for (std::size_t i = 0; i < kEllipsisSize; ++i) text_[n++] = kEllipsis[i];
    }
    size_ = n;
}

std::string ReasonText::Copy() const noexcept {
    try {
        return std::string(text_, size_);
    } catch (...) {
        return std::string();
    }
}

std::uint64_t NewReasonOwner() noexcept { return g_nextOwner.fetch_add(1); }

void SetThreadReason(std::uint64_t owner, StatusCode code,
                     std::initializer_list<std::string_view> parts) noexcept {
    ThreadSlot* slot = Find(owner);
    if (slot == nullptr) {
        slot = &t_slots.slots[0];
        for (ThreadSlot& s : t_slots.slots) {
            if (s.lastUse < slot->lastUse) slot = &s;
        }
        slot->owner = owner;
    }
    slot->lastUse = ++t_slots.clock;
    slot->code = code;
    slot->reason.Assign(parts);
}

void ClearThreadReason(std::uint64_t owner) noexcept {
    if (ThreadSlot* slot = Find(owner)) {
        slot->owner = 0;
        slot->lastUse = 0;
        slot->code = StatusCode::kOk;
        slot->reason.Clear();
    }
}

std::string ThreadReason(std::uint64_t owner) noexcept {
    const ThreadSlot* slot = Find(owner);
    return slot == nullptr ? std::string() : slot->reason.Copy();
}

StatusCode ThreadReasonCode(std::uint64_t owner) noexcept {
    const ThreadSlot* slot = Find(owner);
    return slot == nullptr ? StatusCode::kOk : slot->code;
}

}  // namespace korva::detail
