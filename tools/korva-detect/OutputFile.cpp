#include "OutputFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <cstdint>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korva::detect {

namespace fs = std::filesystem;

std::FILE* CreateExclusive(const fs::path& path, std::string& error) {
#if defined(_WIN32)
    // CREATE_NEW fails on any existing name, a link included.
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        error = "cannot create " + path.u8string() +
                (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                     ? std::string(": it exists (not replaced; remove it if it is not needed)")
                     : ": " + std::system_category().message(static_cast<int>(code)));
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        error = "cannot create " + path.u8string();
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr) ::_close(fd);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int code = errno;
        error = "cannot create " + path.u8string() +
                (code == EEXIST ? std::string(": it exists (not replaced; remove it if it is not needed)")
                                : ": " + std::string(std::strerror(code)));
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
#endif
    if (file == nullptr) error = "cannot create " + path.u8string();
    return file;
}

namespace {

fs::path Normalised(const fs::path& p) {
    std::error_code ec;
    fs::path absolute = fs::absolute(p, ec);
    if (ec) absolute = p;
    fs::path resolved = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : resolved;
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// A symbolic link that points nowhere, which an exclusive create also refuses.
bool IsLink(const fs::path& p) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(p, ec));
}

}  // namespace

std::string FileKey(const fs::path& path) {
#if defined(_WIN32)
    const HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
        ::CloseHandle(handle);
        if (known) {
            return "id:" + std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
                   ":" + std::to_string(info.nFileIndexLow);
        }
    }
#else
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        return "id:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
#endif
    return "path:" + Normalised(path).u8string();
}

bool SameFile(const fs::path& a, const fs::path& b) { return FileKey(a) == FileKey(b); }

bool CheckOutputsApart(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                       std::string& error) {
    std::map<std::string, const NamedPath*> inputKeys;
    for (const NamedPath& in : inputs) inputKeys.emplace(FileKey(in.path), &in);
    std::map<std::string, const NamedPath*> outputKeys;
    for (const NamedPath& out : outputs) {
        if (out.part && (Exists(out.path) || IsLink(out.path))) {
            error = "refusing to run: " + out.path.u8string() + " (" + out.role +
                    ") exists, perhaps from an earlier run; it is not replaced, remove it first";
            return false;
        }
        const std::string key = FileKey(out.path);
        const auto input = inputKeys.find(key);
        if (input != inputKeys.end()) {
            error = "refusing to run: " + out.role + " " + out.path.u8string() + " is " + input->second->role + " " +
                    input->second->path.u8string();
            return false;
        }
        const auto [other, fresh] = outputKeys.emplace(key, &out);
        if (!fresh) {
            error = "refusing to run: " + out.role + " " + out.path.u8string() + " is also " + other->second->role +
                    " " + other->second->path.u8string();
            return false;
        }
    }
    return true;
}

fs::path PartPath(const fs::path& finalPath) {
    return finalPath.parent_path() / (finalPath.stem().native() + fs::path(".part").native() +
                                      finalPath.extension().native());
}

bool CommitPart(const fs::path& part, const fs::path& finalPath, std::string& error) {
    std::error_code ec;
    fs::rename(part, finalPath, ec);
    if (ec) {
        error = "cannot rename " + part.u8string() + " to " + finalPath.u8string() + ": " + ec.message();
        fs::remove(part, ec);
        return false;
    }
    return true;
}

bool CheckWritableFolder(const fs::path& dir, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        error = "cannot create output folder " + dir.u8string() + (ec ? ": " + ec.message() : "");
        return false;
    }
    // A fresh name each try: whatever is already there is left alone.
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const fs::path probe = dir / (".korva-detect-write-check-" + std::to_string(random()));
        if (Exists(probe) || IsLink(probe)) continue;
        std::string why;
        std::FILE* f = CreateExclusive(probe, why);
        if (f == nullptr) {
            if (Exists(probe) || IsLink(probe)) continue;
            error = "cannot write in output folder " + dir.u8string() + ": " + why;
            return false;
        }
        std::fclose(f);
        fs::remove(probe, ec);
        return true;
    }
    error = "cannot write in output folder " + dir.u8string() + ": no free name for a probe file";
    return false;
}

TextOutput::~TextOutput() { Discard(); }

bool TextOutput::Open(const std::string& path, std::string& error) {
    if (path == "-") {
        file_ = stdout;
        toStdout_ = true;
        return true;
    }
    final_ = fs::u8path(path);
    part_ = PartPath(final_);
    std::string why;
    file_ = CreateExclusive(part_, why);
    if (file_ == nullptr) {
        error = "cannot write " + final_.u8string() + ": " + why;
        return false;
    }
    return true;
}

void TextOutput::Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr || writeFailed_) return;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) writeFailed_ = true;
    if (toStdout_) std::fflush(file_);
}

bool TextOutput::Commit(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return true;
    if (toStdout_) {
        const bool ok = std::fflush(file_) == 0 && !writeFailed_;
        file_ = nullptr;
        if (!ok) error = "writing to standard output failed";
        return ok;
    }
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    std::error_code ec;
    if (writeFailed_ || !flushed || !closed) {
        error = "writing " + part_.u8string() + " failed (disk full?)";
        fs::remove(part_, ec);
        return false;
    }
    return CommitPart(part_, final_, error);
}

void TextOutput::Discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return;
    if (!toStdout_) {
        std::fclose(file_);
        std::error_code ec;
        fs::remove(part_, ec);
    }
    file_ = nullptr;
}

}  // namespace korva::detect
