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

// Writes `c` as it appears in a reason into `out` (at least 4 bytes);
// returns the length.
std::size_t EscapeChar(char ch, char* out) noexcept {
    static const char kHex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n' || c == '\r' || c == '\t') {
        out[0] = '\\';
        out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        return 2;
    }
    if (c < 0x20 || c == 0x7F) {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = kHex[c >> 4];
        out[3] = kHex[c & 0xF];
        return 4;
    }
    out[0] = ch;
    return 1;
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
    for (const char c : text.substr(0, cut)) out.append(escaped, EscapeChar(c, escaped));
    if (cut < text.size()) out += kEllipsis;
    return out;
}

void ReasonText::Assign(std::initializer_list<std::string_view> parts) noexcept {
    constexpr std::size_t kLimit = kCapacity - kEllipsisSize;
    std::size_t n = 0;
    bool cut = false;
    for (std::string_view part : parts) {
        for (char ch : part) {
            char escaped[4];
            const std::size_t len = EscapeChar(ch, escaped);
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
