#include "model/ModelFolder.h"

#include <algorithm>
#include <system_error>

#include "support/FileBytes.h"

namespace korva::detail {
namespace fs = std::filesystem;

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return s;
}

bool IsRegularFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Regular files in `dir` whose extension is `ext` (case-insensitive), sorted.
bool FilesWithExtension(const fs::path& dir, const std::string& ext, std::vector<fs::path>& out,
                        std::string& error) {
    out.clear();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    const fs::directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (Lower(PathText(p.extension())) == ext && IsRegularFile(p)) out.push_back(p);
    }
    if (ec) {
        error = "cannot list model folder " + PathText(dir) + ": " + ec.message();
        return false;
    }
    std::sort(out.begin(), out.end());
    return true;
}

// `preferred` when it is a regular file, else the only file with `ext`. When
// there is none and `optional`, succeeds with `picked` empty and the reason
// in `missing`.
bool PickFile(const fs::path& dir, const std::vector<std::string>& preferred,
              const std::string& ext, const std::string& what, bool optional, fs::path& picked,
              std::string& missing, std::string& error) {
    picked.clear();
    for (const std::string& name : preferred) {
        const fs::path candidate = dir / fs::u8path(name);
        std::error_code ec;
        const fs::file_status st = fs::status(candidate, ec);
        if (fs::exists(st) && !fs::is_regular_file(st)) {
            error = what + " " + PathText(candidate) + " is not a regular file";
            return false;
        }
        if (fs::is_regular_file(st)) {
            picked = candidate;
            return true;
        }
    }
    std::vector<fs::path> found;
    if (!FilesWithExtension(dir, ext, found, error)) return false;
    if (found.size() == 1) {
        picked = found.front();
        return true;
    }
    std::string names;
    for (const std::string& n : preferred) names += (names.empty() ? "" : ", ") + n;
    if (found.empty()) {
        const std::string reason = "no " + what + " in " + PathText(dir) + " (expected " + names +
                                   " or one *" + ext + " file)";
        if (optional) {
            missing = reason;
            return true;
        }
        error = reason;
    } else {
        error = std::to_string(found.size()) + " *" + ext + " files in " + PathText(dir) +
                " and no " + preferred.front() + "; keep one or name it " + preferred.front();
    }
    return false;
}

}  // namespace

bool LocateModelFiles(const std::string& folder, ModelFiles& files, std::string& error,
                      LabelFileRule labels) {
    try {
        files = ModelFiles{};
        if (folder.empty()) {
            error = "model folder path is empty";
            return false;
        }
        const fs::path dir = fs::u8path(folder);
        std::error_code ec;
        const fs::file_status st = fs::status(dir, ec);
        if (ec && ec != std::errc::no_such_file_or_directory) {
            error = "cannot access model folder " + folder + ": " + ec.message();
            return false;
        }
        if (!fs::exists(st)) {
            error = "model folder does not exist: " + folder;
            return false;
        }
        if (!fs::is_directory(st)) {
            error = "model path is not a folder: " + folder;
            return false;
        }
        std::string ignored;
        return PickFile(dir, {"model.onnx"}, ".onnx", "ONNX model", false, files.model, ignored,
                        error) &&
               PickFile(dir, {"labels.txt", "classes.txt"}, ".names", "label file",
                        labels == LabelFileRule::kOptional, files.labels, files.noLabelFile, error);
    } catch (const std::exception& e) {
        error = std::string("cannot inspect model folder: ") + e.what();
        return false;
    }
}

}  // namespace korva::detail
