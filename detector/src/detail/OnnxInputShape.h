// Reads the declared input shape of an ONNX model straight from its protobuf
// bytes, without a protobuf library. OpenCV 4.6 has no API for it and needs
// static shapes, so this lets a bad model be refused with a clear reason
// before it is handed to the importer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korva::detail {

struct OnnxInput {
    std::string name;
    // One entry per dimension; -1 where the dimension is symbolic or unset.
    std::vector<std::int64_t> dims;
    std::vector<std::string> symbolicNames;  // dim_param per dimension, "" if none
};

// Finds the graph's first input that is not an initializer. Returns false
// with a reason when the bytes are not a well-formed model or it has no input.
bool ReadOnnxInput(const unsigned char* data, std::size_t size, OnnxInput& input,
                   std::string& error);

}  // namespace korva::detail
