#include "support/CameraKey.h"

#include <algorithm>
#include <cstring>

namespace korva::detail {
namespace {

std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

std::uint64_t Avalanche(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

// Two 64-bit hashes over the id's 8-byte words, with their own seeds,
// constants and rounds, so that a pair of ids agreeing in one is no more
// likely to agree in the other.
CameraKey::CameraKey(const std::string& id) : prefix(id, 0, kCameraIdKept), length(id.size()) {
    std::uint64_t a = 0x243f6a8885a308d3ULL ^ length;
    std::uint64_t b = 0x13198a2e03707344ULL + length * 0x9e3779b97f4a7c15ULL;
    for (std::size_t i = 0; i < id.size(); i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, id.data() + i, std::min<std::size_t>(8, id.size() - i));
        a = Rotl(a + w * 0xc2b2ae3d27d4eb4fULL, 31) * 0x9e3779b97f4a7c15ULL;
        b = Rotl(b ^ Avalanche(w + 0xa0761d6478bd642fULL), 27) * 0xe7037ed1a0b428dbULL + 0x8ebc6af09c88c6e3ULL;
    }
    hash[0] = Avalanche(a ^ (length * 0x165667b19e3779f9ULL));
    hash[1] = Avalanche(b + 0x27d4eb2f165667c5ULL);
}

}  // namespace korva::detail
