#include "engines/OnnxSiluFusion.h"

#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "onnx/OnnxFields.h"
#include "onnx/OnnxNode.h"
#include "onnx/ProtobufWire.h"

namespace korva::detail {
namespace {

struct Node : OnnxNode {
    std::string_view raw;  // the whole encoded graph field
    bool hasSubgraph = false;
};

bool ParseNode(const ProtoField& field, Node& node) {
    if (!ReadOnnxNode(field.payload, node)) return false;
    node.raw = field.raw;
    std::vector<ProtoField> attrFields;
    for (std::string_view attribute : node.attributes) {
        if (!SplitMessage(attribute, attrFields)) return false;
        for (const ProtoField& a : attrFields) {
            if (a.number == onnx::attribute::kGraph || a.number == onnx::attribute::kGraphs) node.hasSubgraph = true;
        }
    }
    return true;
}

bool IsStandardOp(const Node& n, std::string_view type) {
    return n.opType == type && n.IsStandard() && n.attributes.empty();
}

}  // namespace

bool FuseSilu(const unsigned char* data, std::size_t size, const std::string& opType,
              SiluFusion& result, std::string& error) {
    result = SiluFusion{};
    if (data == nullptr || size == 0 || opType.empty()) {
        error = "nothing to rewrite";
        return false;
    }
    const std::string_view model(reinterpret_cast<const char*>(data), size);
    std::vector<ProtoField> modelFields;
    if (!SplitMessage(model, modelFields)) {
        error = "ONNX model is malformed";
        return false;
    }
    const ProtoField* graph = nullptr;
    for (const ProtoField& f : modelFields) {
        if (f.number == onnx::model::kGraph && f.wire == kWireBytes) graph = &f;  // the last copy only; protobuf would merge copies, exporters write one
    }
    if (graph == nullptr) {
        error = "ONNX model has no graph";
        return false;
    }

    std::vector<ProtoField> graphFields;
    if (!SplitMessage(graph->payload, graphFields)) {
        error = "ONNX graph is malformed";
        return false;
    }
    std::vector<Node> nodes;
    std::vector<std::size_t> nodeOfField(graphFields.size(), SIZE_MAX);
    std::unordered_map<std::string_view, int> uses;  // how often each tensor is read
    std::vector<ProtoField> outputFields;
    for (std::size_t i = 0; i < graphFields.size(); ++i) {
        const ProtoField& f = graphFields[i];
        if (f.wire != kWireBytes) continue;
        if (f.number == onnx::graph::kNode) {
            Node node;
            if (!ParseNode(f, node)) {
                error = "ONNX node is malformed";
                return false;
            }
            if (node.hasSubgraph) return true;  // outer names may be read inside; leave it
            for (std::string_view in : node.inputs) ++uses[in];
            nodeOfField[i] = nodes.size();
            nodes.push_back(std::move(node));
        } else if (f.number == onnx::graph::kOutput) {
            if (!SplitMessage(f.payload, outputFields)) {
                error = "ONNX graph output is malformed";
                return false;
            }
            for (const ProtoField& o : outputFields) {
                if (o.number == onnx::value_info::kName && o.wire == kWireBytes) uses[o.payload] += 2;
            }
        }
    }

    // Sigmoid nodes by output name, when their output has exactly one reader.
    std::unordered_map<std::string_view, std::size_t> sigmoidOf;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        if (IsStandardOp(n, "Sigmoid") && n.inputs.size() == 1 && n.outputs.size() == 1 &&
            !n.outputs[0].empty() && n.inputs[0] != n.outputs[0] && uses[n.outputs[0]] == 1) {
            sigmoidOf.emplace(n.outputs[0], i);
        }
    }
    std::vector<char> removed(nodes.size(), 0);
    std::vector<std::size_t> fusedInput(nodes.size(), SIZE_MAX);  // Mul index -> Sigmoid index
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& m = nodes[i];
        if (!IsStandardOp(m, "Mul") || m.inputs.size() != 2 || m.outputs.size() != 1) continue;
        for (int side = 0; side < 2; ++side) {
            const auto it = sigmoidOf.find(m.inputs[side]);
            if (it == sigmoidOf.end() || it->second > i || removed[it->second]) continue;
            if (nodes[it->second].inputs[0] != m.inputs[1 - side]) continue;
            removed[it->second] = 1;
            fusedInput[i] = it->second;
            ++result.fused;
            break;
        }
    }
    if (result.fused == 0) return true;

    std::string newGraph;
    newGraph.reserve(graph->payload.size());
    for (std::size_t i = 0; i < graphFields.size(); ++i) {
        const std::size_t n = nodeOfField[i];
        if (n == SIZE_MAX) {
            newGraph.append(graphFields[i].raw);
        } else if (removed[n]) {
            continue;
        } else if (fusedInput[n] != SIZE_MAX) {
            const Node& m = nodes[n];
            std::string node;
            AppendBytesField(node, onnx::node::kInput, nodes[fusedInput[n]].inputs[0]);
            AppendBytesField(node, onnx::node::kOutput, m.outputs[0]);
            if (!m.name.empty()) AppendBytesField(node, onnx::node::kName, m.name);
            AppendBytesField(node, onnx::node::kOpType, opType);
            AppendBytesField(newGraph, onnx::graph::kNode, node);
        } else {
            newGraph.append(nodes[n].raw);
        }
    }

    std::string out;
    out.reserve(size);
    for (const ProtoField& f : modelFields) {
        if (&f == graph) {
            AppendBytesField(out, onnx::model::kGraph, newGraph);
        } else if (!(f.number == onnx::model::kGraph && f.wire == kWireBytes)) {
            out.append(f.raw);
        }
    }
    result.onnx.assign(out.begin(), out.end());
    return true;
}

}  // namespace korva::detail
