// The checks an ONNX file passes before any inference engine sees its bytes.
//
// Engines trust the sizes a model declares: a tensor whose dims promise more
// data than it holds makes OpenCV's importer read past its buffer. Here every
// tensor the file carries (initializers, sparse initializers, tensors in node
// attributes such as a Constant's value, in subgraphs of If/Loop/Scan and in
// functions) is held to its declared shape with the protobuf wire reader,
// and the file itself to the limits below. Everything is read-only and
// bounds-checked; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korva::detail {

// Largest ONNX file accepted, checked from the file size before reading.
inline constexpr std::uintmax_t kMaxModelFileBytes = std::uintmax_t{1} << 30;

// (The largest model input side, kMaxModelInputSide, is in OnnxInputShape.h.)

// Largest estimated activation memory of one network: the bytes of every
// layer's outputs and scratch buffers for one input, counted without reuse.
inline constexpr std::uint64_t kMaxActivationBytes = std::uint64_t{4} << 30;

// Deepest nesting of subgraphs (If/Loop/Scan bodies) accepted.
inline constexpr int kMaxGraphNesting = 16;

// Reads the ONNX file at `path` into `bytes`: refuses a file larger than
// kMaxModelFileBytes by its size and one whose first bytes are not an ONNX
// model before reading the rest, then applies CheckOnnxModel. False with a
// one-line reason in `error`.
bool ReadOnnxModelFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes,
                       std::string& error);

// True when every tensor in the model holds exactly the data its type and
// dims declare (no negative dimension, no element count overflow, raw_data or
// the typed field of its type of the right length, no external or segmented
// data), the protobuf framing around them is sound, and the graph is one an
// importer can walk: every node reads only names a graph input, initializer
// or earlier node defines (the outer graphs' too inside If/Loop/Scan bodies),
// so the node order is topological; names are UTF-8 text without control
// characters; each name is defined once; the standard operators have the
// inputs they need and attributes of the type and count they take; no
// singular message (a graph, an attribute's tensor, a type) is given twice.
// Runs in time and memory about linear in `size`. False with a one-line
// reason naming the tensor or node otherwise.
bool CheckOnnxModel(const unsigned char* data, std::size_t size, std::string& error);

// False with a reason when `bytes` of estimated activation memory exceed
// kMaxActivationBytes.
bool CheckActivationEstimate(std::uint64_t bytes, std::string& error);

}  // namespace korva::detail
