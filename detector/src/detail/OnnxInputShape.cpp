#include "detail/OnnxInputShape.h"

#include <algorithm>
#include <string_view>

#include "detail/ProtobufWire.h"

namespace korva::detail {
namespace {

// ONNX field numbers used here (onnx.proto).
constexpr std::uint32_t kModelGraph = 7;
constexpr std::uint32_t kGraphInitializer = 5;
constexpr std::uint32_t kGraphInput = 11;
constexpr std::uint32_t kTensorName = 8;
constexpr std::uint32_t kValueInfoName = 1;
constexpr std::uint32_t kValueInfoType = 2;
constexpr std::uint32_t kTypeTensor = 1;
constexpr std::uint32_t kTensorTypeShape = 2;
constexpr std::uint32_t kShapeDim = 1;
constexpr std::uint32_t kDimValue = 1;
constexpr std::uint32_t kDimParam = 2;

// Calls `onPayload(payload)` for each length-delimited field numbered
// `number` of `msg`, in order; false when `msg` is malformed or a call fails.
template <typename OnPayload>
bool ForEachBytesField(std::string_view msg, std::uint32_t number, OnPayload onPayload) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.number == number && f.wire == kWireBytes && !onPayload(f.payload)) return false;
    }
    return true;
}

bool ReadDim(std::string_view msg, OnnxInput& input) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    std::int64_t value = -1;
    std::string param;
    for (const ProtoField& f : fields) {
        if (f.number == kDimValue && f.wire == kWireVarint) value = static_cast<std::int64_t>(f.varint);
        if (f.number == kDimParam && f.wire == kWireBytes) param = std::string(f.payload);
    }
    input.dims.push_back(value > 0 ? value : -1);
    input.symbolicNames.push_back(param);
    return true;
}

// ValueInfoProto -> TypeProto -> TypeProto.Tensor -> TensorShapeProto -> dims.
bool ReadValueInfo(std::string_view msg, OnnxInput& input) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.wire != kWireBytes) continue;
        if (f.number == kValueInfoName) {
            input.name = std::string(f.payload);
        } else if (f.number == kValueInfoType) {
            const bool typeOk = ForEachBytesField(f.payload, kTypeTensor, [&](std::string_view tensor) {
                return ForEachBytesField(tensor, kTensorTypeShape, [&](std::string_view shape) {
                    return ForEachBytesField(shape, kShapeDim,
                                             [&](std::string_view dim) { return ReadDim(dim, input); });
                });
            });
            if (!typeOk) return false;
        }
    }
    return true;
}

}  // namespace

bool ReadOnnxInput(const unsigned char* data, std::size_t size, OnnxInput& input,
                   std::string& error) {
    input = OnnxInput{};
    if (data == nullptr || size == 0) {
        error = "ONNX file is empty";
        return false;
    }
    std::string_view graph;
    bool haveGraph = false;
    const std::string_view model(reinterpret_cast<const char*>(data), size);
    const bool modelOk = ForEachBytesField(model, kModelGraph, [&](std::string_view g) {
        graph = g;  // the last copy only; protobuf would merge copies, exporters write one
        haveGraph = true;
        return true;
    });
    if (!modelOk || !haveGraph) {
        error = "file is not an ONNX model (no readable graph)";
        return false;
    }

    std::vector<ProtoField> fields;
    std::vector<std::string> initializers;
    std::vector<OnnxInput> inputs;
    bool graphOk = SplitMessage(graph, fields);
    for (std::size_t i = 0; graphOk && i < fields.size(); ++i) {
        const ProtoField& f = fields[i];
        if (f.wire != kWireBytes) continue;
        if (f.number == kGraphInitializer) {
            initializers.emplace_back();
            graphOk = ForEachBytesField(f.payload, kTensorName, [&](std::string_view name) {
                initializers.back() = std::string(name);
                return true;
            });
        } else if (f.number == kGraphInput) {
            inputs.emplace_back();
            graphOk = ReadValueInfo(f.payload, inputs.back());
        }
    }
    if (!graphOk) {
        error = "ONNX graph is truncated or malformed";
        return false;
    }
    for (OnnxInput& candidate : inputs) {
        if (std::find(initializers.begin(), initializers.end(), candidate.name) ==
            initializers.end()) {
            input = std::move(candidate);
            return true;
        }
    }
    error = "ONNX graph declares no input";
    return false;
}

}  // namespace korva::detail
