#include "onnx/OnnxNode.h"

#include "onnx/OnnxFields.h"
#include "onnx/ProtobufWire.h"

namespace korva::detail {

bool ReadOnnxNode(std::string_view payload, OnnxNode& node) {
    node = OnnxNode{};
    std::vector<ProtoField> fields;
    if (!SplitMessage(payload, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.wire != kWireBytes) continue;
        switch (f.number) {
            case onnx::node::kInput: node.inputs.push_back(f.payload); break;
            case onnx::node::kOutput: node.outputs.push_back(f.payload); break;
            case onnx::node::kName: node.name = f.payload; break;
            case onnx::node::kOpType: node.opType = f.payload; break;
            case onnx::node::kDomain: node.domain = f.payload; break;
            case onnx::node::kAttribute: node.attributes.push_back(f.payload); break;
            default: break;
        }
    }
    return true;
}

}  // namespace korva::detail
