// Model-folder discovery over a real directory whose entries come from the
// input, and the ONNX model check and input reader over the same bytes.
//
// Input: [count] then per entry [kind][name][length][bytes...], then the
// rest. kind: 0 file, 1 folder, 2 link to itself, 3 link to the previous
// entry, 4 link to a missing name; bit 7 of kind loads the first entry
// instead of the folder. name: an index into a list of names that matter,
// or (bit 7) the next 1..8 input bytes.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzCheck.h"
#include "model/ModelFolder.h"
#include "support/FileBytes.h"
#include "onnx/OnnxModelInfo.h"
#include "onnx/OnnxModelCheck.h"

namespace fs = std::filesystem;
using namespace korva::detail;

namespace {

const char* const kNames[] = {"model.onnx", "MODEL.ONNX", "labels.txt", "classes.txt", "a.onnx",
                              "b.Onnx",     "x.names",    "y.NAMES",    "labels.TXT",  ".onnx",
                              "onnx",       "model.onnx.bak", "sub",      "z.names"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];

class Input {
public:
    Input(const std::uint8_t* d, std::size_t n) : p_(d), end_(d + n) {}
    bool Empty() const { return p_ == end_; }
    std::uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    std::string Bytes(std::size_t n) {
        n = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

const fs::path& Root() {
    static const fs::path root = [] {
        std::error_code ec;
        fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path dir = base / ("korva_fuzz_folder_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        return dir;
    }();
    return root;
}

std::string Lower(std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
}

bool IsRegular(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

void CheckOnnxReader(const unsigned char* data, std::size_t size) {
    std::string why;
    if (!CheckOnnxModel(data, size, why)) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos);
    }
    OnnxInput input;
    std::string error;
    if (ReadOnnxInput(data, size, input, error)) {
        FUZZ_CHECK(input.dims.size() == input.symbolicNames.size());
        for (std::int64_t d : input.dims) FUZZ_CHECK(d == -1 || d > 0);
    } else {
        FUZZ_CHECK(!error.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckOnnxReader(data, size);

    const fs::path dir = Root() / "m";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directory(dir, ec);
    FUZZ_CHECK(!ec);

    Input in(data, size);
    const int count = in.Byte() % 8;
    bool loadFirstEntry = false;
    std::vector<std::string> made;
    for (int i = 0; i < count && !in.Empty(); ++i) {
        const std::uint8_t kind = in.Byte();
        const std::uint8_t nameByte = in.Byte();
        std::string name = (nameByte & 0x80) ? in.Bytes(1 + nameByte % 8) : kNames[nameByte % kNameCount];
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
            continue;
        }
        const std::string content = in.Bytes(in.Byte());
        const fs::path p = dir / name;
        if (fs::symlink_status(p, ec).type() != fs::file_type::not_found) continue;
        if (i == 0) loadFirstEntry = (kind & 0x80) != 0;
        switch (kind % 5) {
            case 0: {
                std::ofstream out(p, std::ios::binary);
                out.write(content.data(), static_cast<std::streamsize>(content.size()));
                break;
            }
            case 1: fs::create_directory(p, ec); break;
            case 2: fs::create_symlink(name, p, ec); break;
            case 3: fs::create_symlink(made.empty() ? "missing" : made.back(), p, ec); break;
            default: fs::create_symlink("missing", p, ec); break;
        }
        made.push_back(name);
    }

    const fs::path folder = (loadFirstEntry && !made.empty()) ? dir / made.front() : dir;
    ModelFiles files;
    std::string error;
    if (!LocateModelFiles(folder.string(), files, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }

    // Both picks are regular files of the folder with the right kind of name,
    // and a preferred name wins when it is a regular file.
    FUZZ_CHECK(IsRegular(files.model) && IsRegular(files.labels));
    FUZZ_CHECK(files.model.parent_path() == folder && files.labels.parent_path() == folder);
    FUZZ_CHECK(Lower(files.model.extension().string()) == ".onnx");
    if (IsRegular(folder / "model.onnx")) FUZZ_CHECK(files.model.filename() == "model.onnx");
    const std::string labelName = files.labels.filename().string();
    if (IsRegular(folder / "labels.txt")) {
        FUZZ_CHECK(labelName == "labels.txt");
    } else if (IsRegular(folder / "classes.txt")) {
        FUZZ_CHECK(labelName == "classes.txt");
    } else {
        FUZZ_CHECK(Lower(files.labels.extension().string()) == ".names");
    }

    std::vector<unsigned char> bytes;
    if (ReadFileBytes(files.model, kMaxModelFileBytes, bytes, error)) {
        CheckOnnxReader(bytes.data(), bytes.size());
    } else {
        FUZZ_CHECK(!error.empty());
    }
    // The checked read accepts exactly what the check accepts.
    std::vector<unsigned char> checked;
    std::string why;
    if (ReadOnnxModelFile(files.model, checked, error)) {
        FUZZ_CHECK(checked == bytes && CheckOnnxModel(checked.data(), checked.size(), why));
    } else {
        FUZZ_CHECK(!error.empty() && checked.empty());
    }
    std::vector<unsigned char> small;
    if (!ReadFileBytes(files.labels, 4, small, error)) FUZZ_CHECK(!error.empty());
    else FUZZ_CHECK(small.size() <= 4);
    return 0;
}
