// LD_PRELOAD library that makes the Nth std::thread start fail with EAGAIN,
// N from KORVA_FAIL_THREAD_START. Threads started by other code (OpenCV's
// pool) are not counted: only those whose start routine is in libstdc++.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<int> started{0};

bool IsStdThread(void* (*routine)(void*)) {
    Dl_info info{};
    return dladdr(reinterpret_cast<void*>(routine), &info) != 0 && info.dli_fname != nullptr &&
           std::strstr(info.dli_fname, "libstdc++") != nullptr;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) {
    static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    static const int failAt = [] {
        const char* value = std::getenv("KORVA_FAIL_THREAD_START");
        return value != nullptr ? std::atoi(value) : 0;
    }();
    if (failAt > 0 && IsStdThread(routine) && ++started == failAt) {
        return EAGAIN;
    }
    return real(thread, attr, routine, arg);
}
