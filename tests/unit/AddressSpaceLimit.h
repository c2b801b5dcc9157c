// Runs a hostile model in a child process whose address space is capped, so
// a regression that would take gigabytes fails there instead of taking the
// machine the tests run on.
#pragma once

#include <cstdint>
#include <fstream>

#if defined(__unix__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace korva::testing {

// Room above what the process maps when the cap is set: enough to load a
// model and run ONNX Runtime's and OpenCV's threads, far below any row the
// cap is there for.
inline constexpr std::uint64_t kAddressSpaceHeadroom = std::uint64_t{2} << 30;

// Whether the cap works here: Linux's /proc, and no sanitizer (whose shadow
// memory needs terabytes of address space).
inline bool AddressSpaceCapAvailable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
    return false;
#endif
#endif
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

// Caps the calling process's address space at what it maps now plus
// kAddressSpaceHeadroom. False when that cannot be done.
inline bool CapAddressSpace() {
#if defined(__linux__)
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    if (!(statm >> pages)) return false;
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages * page + kAddressSpaceHeadroom);
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
#else
    return false;
#endif
}

}  // namespace korva::testing
