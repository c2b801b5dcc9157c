// One NodeProto of a model, read as views into the model's bytes.
#pragma once

#include <string_view>
#include <vector>

namespace korva::detail {

struct OnnxNode {
    std::vector<std::string_view> inputs, outputs;
    std::string_view name, opType, domain;
    std::vector<std::string_view> attributes;  // each an encoded AttributeProto

    // An operator of the standard ONNX domain.
    bool IsStandard() const { return domain.empty() || domain == "ai.onnx"; }
};

// Reads the node encoded in `payload`; false when it is not a protobuf
// message. The views stay valid as long as the model's bytes do.
bool ReadOnnxNode(std::string_view payload, OnnxNode& node);

}  // namespace korva::detail
