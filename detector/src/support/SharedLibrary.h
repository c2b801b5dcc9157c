// A shared library opened at run time (dlopen, LoadLibrary) and the symbols
// it exports. Used for ONNX Runtime and, by korva-detect, for the detector.
#pragma once

#include <string>

namespace korva::detail {

class SharedLibrary {
public:
    SharedLibrary() = default;
    // Closes the library unless Keep() was called.
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Opens the library at `path` (UTF-8; a bare name goes through the
    // system's search). On Windows an absolute path also finds the DLLs in
    // the library's own folder. False with the system's reason in `error`.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return handle_ != nullptr; }
    // The address of `name`, or null when the library does not export it.
    void* Symbol(const char* name) const;
    // Leaves the library loaded for the rest of the process (one that may
    // have started threads of its own must never be unloaded).
    void Keep() { handle_ = nullptr; kept_ = true; }
    void Close();

private:
    void* handle_ = nullptr;
    bool kept_ = false;
};

// The folder, with a trailing separator, of the module (executable or
// shared library) that holds `address`; empty when it cannot be told.
std::string ModuleFolderOf(const void* address);
// The same for the module's real file when the loader opened it through
// symbolic links; equal to ModuleFolderOf when there were none or the real
// file cannot be told.
std::string RealModuleFolderOf(const void* address);

// The platform's file name of ONNX Runtime's library.
#if defined(_WIN32)
inline constexpr const char* kOnnxRuntimeLibraryName = "onnxruntime.dll";
#else
inline constexpr const char* kOnnxRuntimeLibraryName = "libonnxruntime.so.1";
#endif

}  // namespace korva::detail
