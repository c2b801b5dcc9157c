#include "detail/OnnxSiluFusion.h"

#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace korva::detail {
namespace {

// ONNX field numbers used here (onnx.proto).
constexpr std::uint32_t kModelGraph = 7;
constexpr std::uint32_t kGraphNode = 1;
constexpr std::uint32_t kGraphOutput = 12;
constexpr std::uint32_t kNodeInput = 1;
constexpr std::uint32_t kNodeOutput = 2;
constexpr std::uint32_t kNodeName = 3;
constexpr std::uint32_t kNodeOpType = 4;
constexpr std::uint32_t kNodeAttribute = 5;
constexpr std::uint32_t kNodeDomain = 7;
constexpr std::uint32_t kAttributeGraph = 6;
constexpr std::uint32_t kAttributeGraphs = 11;
constexpr std::uint32_t kValueInfoName = 1;

constexpr std::uint32_t kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5;

// One field of a message: its number, wire type, the whole encoded field
// (key included) and, for length-delimited fields, the payload.
struct Field {
    std::uint32_t number = 0;
    std::uint32_t wire = 0;
    std::string_view raw;
    std::string_view payload;
};

bool ReadVarint(std::string_view& in, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && !in.empty(); shift += 7) {
        const auto b = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

// Splits a message into its fields; false when it is malformed.
bool Split(std::string_view msg, std::vector<Field>& fields) {
    fields.clear();
    while (!msg.empty()) {
        const std::string_view start = msg;
        std::uint64_t key = 0;
        if (!ReadVarint(msg, key) || (key >> 3) == 0 || (key >> 3) > 0x1FFFFFFF) return false;
        Field f;
        f.number = static_cast<std::uint32_t>(key >> 3);
        f.wire = static_cast<std::uint32_t>(key & 7);
        std::uint64_t len = 0;
        switch (f.wire) {
            case kVarint:
                if (!ReadVarint(msg, len)) return false;
                break;
            case kFixed64:
            case kFixed32: {
                const std::size_t n = f.wire == kFixed64 ? 8 : 4;
                if (msg.size() < n) return false;
                msg.remove_prefix(n);
                break;
            }
            case kBytes:
                if (!ReadVarint(msg, len) || len > msg.size()) return false;
                f.payload = msg.substr(0, static_cast<std::size_t>(len));
                msg.remove_prefix(static_cast<std::size_t>(len));
                break;
            default:
                return false;  // groups are not used by ONNX
        }
        f.raw = start.substr(0, start.size() - msg.size());
        fields.push_back(f);
    }
    return true;
}

struct Node {
    std::string_view raw;  // the whole encoded graph field
    std::vector<std::string_view> inputs, outputs;
    std::string_view name, opType, domain;
    bool hasAttributes = false;
    bool hasSubgraph = false;
};

bool ParseNode(const Field& field, Node& node) {
    node.raw = field.raw;
    std::vector<Field> fields;
    if (!Split(field.payload, fields)) return false;
    std::vector<Field> attrFields;
    for (const Field& f : fields) {
        if (f.wire != kBytes) continue;
        switch (f.number) {
            case kNodeInput: node.inputs.push_back(f.payload); break;
            case kNodeOutput: node.outputs.push_back(f.payload); break;
            case kNodeName: node.name = f.payload; break;
            case kNodeOpType: node.opType = f.payload; break;
            case kNodeDomain: node.domain = f.payload; break;
            case kNodeAttribute:
                node.hasAttributes = true;
                if (!Split(f.payload, attrFields)) return false;
                for (const Field& a : attrFields) {
                    if (a.number == kAttributeGraph || a.number == kAttributeGraphs) node.hasSubgraph = true;
                }
                break;
            default: break;
        }
    }
    return true;
}

bool IsStandardOp(const Node& n, std::string_view type) {
    return n.opType == type && (n.domain.empty() || n.domain == "ai.onnx") && !n.hasAttributes;
}

void PutVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void PutBytes(std::string& out, std::uint32_t field, std::string_view bytes) {
    PutVarint(out, (std::uint64_t{field} << 3) | kBytes);
    PutVarint(out, bytes.size());
    out.append(bytes.data(), bytes.size());
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
    std::vector<Field> modelFields;
    if (!Split(model, modelFields)) {
        error = "ONNX model is malformed";
        return false;
    }
    const Field* graph = nullptr;
    for (const Field& f : modelFields) {
        if (f.number == kModelGraph && f.wire == kBytes) graph = &f;  // the last one wins, as in protobuf
    }
    if (graph == nullptr) {
        error = "ONNX model has no graph";
        return false;
    }

    std::vector<Field> graphFields;
    if (!Split(graph->payload, graphFields)) {
        error = "ONNX graph is malformed";
        return false;
    }
    std::vector<Node> nodes;
    std::vector<std::size_t> nodeOfField(graphFields.size(), SIZE_MAX);
    std::unordered_map<std::string_view, int> uses;  // how often each tensor is read
    std::vector<Field> outputFields;
    for (std::size_t i = 0; i < graphFields.size(); ++i) {
        const Field& f = graphFields[i];
        if (f.wire != kBytes) continue;
        if (f.number == kGraphNode) {
            Node node;
            if (!ParseNode(f, node)) {
                error = "ONNX node is malformed";
                return false;
            }
            if (node.hasSubgraph) return true;  // outer names may be read inside; leave it
            for (std::string_view in : node.inputs) ++uses[in];
            nodeOfField[i] = nodes.size();
            nodes.push_back(std::move(node));
        } else if (f.number == kGraphOutput) {
            if (!Split(f.payload, outputFields)) {
                error = "ONNX graph output is malformed";
                return false;
            }
            for (const Field& o : outputFields) {
                if (o.number == kValueInfoName && o.wire == kBytes) uses[o.payload] += 2;
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
            PutBytes(node, kNodeInput, nodes[fusedInput[n]].inputs[0]);
            PutBytes(node, kNodeOutput, m.outputs[0]);
            if (!m.name.empty()) PutBytes(node, kNodeName, m.name);
            PutBytes(node, kNodeOpType, opType);
            PutBytes(newGraph, kGraphNode, node);
        } else {
            newGraph.append(nodes[n].raw);
        }
    }

    std::string out;
    out.reserve(size);
    for (const Field& f : modelFields) {
        if (&f == graph) {
            PutBytes(out, kModelGraph, newGraph);
        } else if (!(f.number == kModelGraph && f.wire == kBytes)) {
            out.append(f.raw);
        }
    }
    result.onnx.assign(out.begin(), out.end());
    return true;
}

}  // namespace korva::detail
