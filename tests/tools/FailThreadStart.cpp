// LD_PRELOAD library that makes the Nth std::thread start fail with EAGAIN,
// N from KORVA_FAIL_THREAD_START. Only the executable's own std::threads are
// counted: threads of OpenCV's pool (not std::thread) and of ONNX Runtime's
// pools (std::threads whose callable lives in that library) are not.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/auxv.h>

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

// For a std::thread, `arg` is its state object; the module holding that
// object's virtual table made the callable.
bool MadeByExecutable(void* arg) {
    Dl_info exe{}, maker{};
    const void* vtable = *static_cast<void* const*>(arg);
    return dladdr(reinterpret_cast<void*>(getauxval(AT_PHDR)), &exe) != 0 &&
           dladdr(vtable, &maker) != 0 && exe.dli_fbase == maker.dli_fbase;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) {
    static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    static const int failAt = [] {
        const char* value = std::getenv("KORVA_FAIL_THREAD_START");
        return value != nullptr ? std::atoi(value) : 0;
    }();
    if (failAt > 0 && IsStdThread(routine) && MadeByExecutable(arg) && ++started == failAt) {
        return EAGAIN;
    }
    return real(thread, attr, routine, arg);
}
