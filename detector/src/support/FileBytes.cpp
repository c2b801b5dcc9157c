#include "support/FileBytes.h"

#include <fstream>
#include <system_error>

namespace korva::detail {
namespace fs = std::filesystem;

std::string PathText(const fs::path& path) {
    try {
        const auto u8 = path.u8string();
        return std::string(u8.begin(), u8.end());
    } catch (...) {
        return "<unprintable path>";
    }
}

bool ReadFileBytes(const fs::path& path, std::uintmax_t maxBytes, std::vector<unsigned char>& bytes,
                   std::string& error) {
    try {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(path, ec);
        if (ec) {
            error = "cannot read " + PathText(path) + ": " + ec.message();
            return false;
        }
        if (size > maxBytes) {
            error = PathText(path) + " is too large (" + std::to_string(size) + " bytes, at most " +
                    std::to_string(maxBytes) + ")";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot open " + PathText(path) + " for reading";
            return false;
        }
        bytes.resize(static_cast<std::size_t>(size));
        if (size != 0 && !in.read(reinterpret_cast<char*>(bytes.data()),
                                  static_cast<std::streamsize>(size))) {
            error = "cannot read " + PathText(path) + " (short read)";
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = "cannot read " + PathText(path) + ": " + e.what();
        return false;
    }
}

}  // namespace korva::detail
