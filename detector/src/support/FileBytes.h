// Reading whole files into memory, and paths as text for messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korva::detail {

// Reads a whole regular file of at most `maxBytes` bytes. Never throws.
bool ReadFileBytes(const std::filesystem::path& path, std::uintmax_t maxBytes,
                   std::vector<unsigned char>& bytes, std::string& error);

// The path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);

}  // namespace korva::detail
