#include "support/ReasonText.h"

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

}  // namespace

void ReasonText::Assign(std::initializer_list<std::string_view> parts) noexcept {
    constexpr std::size_t kLimit = kCapacity - kEllipsisSize;
    static const char kHex[] = "0123456789abcdef";
    std::size_t n = 0;
    bool cut = false;
    for (std::string_view part : parts) {
        for (char ch : part) {
            const auto c = static_cast<unsigned char>(ch);
            char escaped[4];
            std::size_t len = 0;
            if (c == '\n' || c == '\r' || c == '\t') {
                escaped[0] = '\\';
                escaped[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
                len = 2;
            } else if (c < 0x20 || c == 0x7F) {
                escaped[0] = '\\';
                escaped[1] = 'x';
                escaped[2] = kHex[c >> 4];
                escaped[3] = kHex[c & 0xF];
                len = 4;
            } else {
                escaped[0] = ch;
                len = 1;
            }
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
