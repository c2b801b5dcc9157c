#include "support/SharedLibrary.h"

#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace korva::detail {
namespace {

#if defined(_WIN32)
std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                        nullptr);
    return utf8;
}

bool IsAbsolute(const std::string& path) {
    const bool drive = path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    return drive || path.rfind("\\\\", 0) == 0;
}
#endif

}  // namespace

SharedLibrary::~SharedLibrary() { Close(); }

#if defined(_WIN32)
bool SharedLibrary::Open(const std::string& path, std::string& error) {
    Close();
    HMODULE handle = LoadLibraryExW(Widen(path).c_str(), nullptr,
                                    IsAbsolute(path)
                                        ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                                        : 0);
    if (handle == nullptr) {
        error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<void*>(handle);
    return true;
}

void* SharedLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

void SharedLibrary::Close() {
    if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

std::string ModuleFolderOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module)) {
        return {};
    }
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return {};
    path.resize(n);
    const std::size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? std::string() : Narrow(path.substr(0, slash + 1));
}

// GetModuleFileName already names the real file.
std::string RealModuleFolderOf(const void* address) { return ModuleFolderOf(address); }
#else
bool SharedLibrary::Open(const std::string& path, std::string& error) {
    Close();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* text = dlerror();
        error = text != nullptr ? text : "dlopen failed";
        return false;
    }
    return true;
}

void* SharedLibrary::Symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

void SharedLibrary::Close() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

std::string ModuleFolderOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string path = info.dli_fname;
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string RealModuleFolderOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(info.dli_fname, error);
    if (error || !real.has_parent_path()) return ModuleFolderOf(address);
    std::string folder = real.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}
#endif

}  // namespace korva::detail
