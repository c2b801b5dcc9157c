// Reads what a loader needs to know about an ONNX model straight from its
// protobuf bytes, without a protobuf library: the declared input (element
// type and shape, symbolic dimensions included), the outputs, and the
// model's metadata_props. OpenCV 4.6 has no API for it, so this lets a bad
// model be refused with a clear reason before it reaches an importer, and
// lets a model with a dynamic input be given a size.
//
// The bytes are untrusted: every length is checked before it is used, and
// malformed input makes a call return false, never read past the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "onnx/OnnxFields.h"

namespace korva::detail {

// ONNX tensor element types this detector deals with (TensorProto.DataType).
inline constexpr std::int32_t kOnnxUndefined = onnx::elem::kUndefined;
inline constexpr std::int32_t kOnnxFloat = onnx::elem::kFloat;
inline constexpr std::int32_t kOnnxFloat16 = onnx::elem::kFloat16;

// Largest input side a model may declare or be given.
inline constexpr int kMaxModelInputSide = 8192;

// A graph input or output as declared.
struct OnnxInput {
    std::string name;
    std::int32_t elemType = kOnnxUndefined;
    bool hasShape = false;  // false: the rank itself is unknown
    // One entry per dimension; -1 where the dimension is symbolic or unset.
    std::vector<std::int64_t> dims;
    std::vector<std::string> symbolicNames;  // dim_param per dimension, "" if none
};

struct OnnxModelInfo {
    OnnxInput input;               // the first graph input that is not an initializer
    std::vector<OnnxInput> outputs;  // in graph order
    // metadata_props in file order, duplicates kept.
    std::vector<std::pair<std::string, std::string>> metadata;
    // The operator types of the main graph's nodes in the standard domain,
    // each once, in first-use order (subgraph bodies are not read).
    std::vector<std::string> operators;

    // Whether a node of the main graph is the standard operator `op`.
    bool UsesOperator(std::string_view op) const;

    // The value of the last metadata entry named `key`, or null.
    const std::string* Metadata(std::string_view key) const;
};

// "float32", "float16", ... or "type N" for the others.
std::string OnnxElementTypeName(std::int32_t type);

// Reads the model's input, outputs and metadata. Returns false with a reason
// when the bytes are not a well-formed model or it has no input.
bool ReadOnnxModelInfo(const unsigned char* data, std::size_t size, OnnxModelInfo& info,
                       std::string& error);

// Finds the graph's first input that is not an initializer. Returns false
// with a reason when the bytes are not a well-formed model or it has no input.
bool ReadOnnxInput(const unsigned char* data, std::size_t size, OnnxInput& input,
                   std::string& error);

// Parses an `imgsz` metadata value: "[640, 640]" or "(480, 640)" (height,
// width), "[640]" or "640" (square). Each side must be in
// 1..kMaxModelInputSide. False with a reason otherwise.
bool ParseImageSizeMetadata(std::string_view text, int& height, int& width, std::string& error);

// The input size a model runs at, and where it came from.
struct ChosenInputSize {
    int height = 0;
    int width = 0;
    bool dynamic = false;     // the model declares a symbolic height or width
    std::string source;       // "model input", "model metadata imgsz" or "default"
};

// Chooses the input size for `input` (expected 1 x 3 x H x W, batch may be
// symbolic): a static height/width is used as declared; a dynamic one comes
// from `imgsz` (the metadata value, or null) when it is present and valid,
// else is `fallbackSide`. A malformed `imgsz` on a dynamic model is refused
// rather than guessed around. False with a one-line reason naming the input
// when the rank, batch or channel count is unusable or a side is out of range.
bool ChooseInputSize(const OnnxInput& input, const std::string* imgsz, int fallbackSide,
                     ChosenInputSize& size, std::string& error);

}  // namespace korva::detail
