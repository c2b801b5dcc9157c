#include "OutputFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace korva::detect {

namespace fs = std::filesystem;

namespace {

std::FILE* OpenForWriting(const fs::path& path) {
#if defined(_WIN32)
    return ::_wfopen(path.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

}  // namespace

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
    const fs::path probe = dir / ".korva-detect-write-check";
    std::FILE* f = OpenForWriting(probe);
    if (f == nullptr) {
        error = "cannot write in output folder " + dir.u8string() + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    fs::remove(probe, ec);
    return true;
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
    file_ = OpenForWriting(part_);
    if (file_ == nullptr) {
        error = "cannot write " + part_.u8string() + ": " + std::strerror(errno);
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
