// A camera id as kept by per-camera tables: whole up to kCameraIdKept bytes;
// a longer one as its first kCameraIdKept bytes, its length and a 128-bit
// hash of all of it (two independent 64-bit hashes), so ids that differ
// anywhere stay two cameras (but for a hash collision, about 2^-128 for a
// pair) and a camera costs the same whatever the length of its id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korva::detail {

// Bytes of a camera id kept as they are; a longer id is kept hashed.
inline constexpr std::size_t kCameraIdKept = 128;

struct CameraKey {
    std::string prefix;              // the first kCameraIdKept bytes
    std::uint64_t length = 0;        // of the whole id
    std::uint64_t hash[2] = {0, 0};  // of the whole id
    explicit CameraKey(const std::string& id);
    bool operator==(const CameraKey& o) const {
        return length == o.length && hash[0] == o.hash[0] && hash[1] == o.hash[1] && prefix == o.prefix;
    }
};

struct CameraKeyHash {
    std::size_t operator()(const CameraKey& k) const { return static_cast<std::size_t>(k.hash[0]); }
};

}  // namespace korva::detail
