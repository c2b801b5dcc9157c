#include "onnx/OnnxModelInfo.h"

#include <unordered_set>

#include "onnx/OnnxFields.h"
#include "onnx/ProtobufWire.h"
#include "support/ReasonText.h"

namespace korva::detail {
namespace {

using namespace onnx;

// Calls `onPayload(payload)` for each length-delimited field numbered
// `number` of `msg`, in order; false when `msg` is malformed or a call fails.
template <typename OnPayload>
bool ForEachBytesField(std::string_view msg, std::uint32_t number, OnPayload onPayload) {
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) {
        if (f.number == number && f.wire == kWireBytes && !onPayload(f.payload)) return false;
    }
    return !reader.Malformed();
}

bool ReadDim(std::string_view msg, OnnxInput& input) {
    ProtoReader reader(msg);
    ProtoField f;
    std::int64_t value = -1;
    std::string param;
    while (reader.Next(f)) {
        if (f.number == type::kDimValue && f.wire == kWireVarint) value = static_cast<std::int64_t>(f.varint);
        if (f.number == type::kDimParam && f.wire == kWireBytes) param = std::string(f.payload);
    }
    if (reader.Malformed()) return false;
    input.dims.push_back(value > 0 ? value : -1);
    input.symbolicNames.push_back(param);
    return true;
}

// TypeProto.Tensor: element type and shape; the last of each wins.
bool ReadTensorType(std::string_view msg, OnnxInput& input) {
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) {
        if (f.number == type::kTensorElemType && f.wire == kWireVarint) {
            input.elemType = static_cast<std::int32_t>(static_cast<std::uint32_t>(f.varint));
        } else if (f.number == type::kTensorShape && f.wire == kWireBytes) {
            input.hasShape = true;
            input.dims.clear();
            input.symbolicNames.clear();
            if (!ForEachBytesField(f.payload, type::kShapeDim,
                                   [&](std::string_view dim) { return ReadDim(dim, input); })) {
                return false;
            }
        }
    }
    return !reader.Malformed();
}

// ValueInfoProto -> name, TypeProto -> TypeProto.Tensor.
bool ReadValueInfo(std::string_view msg, OnnxInput& input) {
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) {
        if (f.wire != kWireBytes) continue;
        if (f.number == value_info::kName) {
            input.name = std::string(f.payload);
        } else if (f.number == value_info::kType) {
            if (!ForEachBytesField(f.payload, type::kTensorType,
                                   [&](std::string_view t) { return ReadTensorType(t, input); })) {
                return false;
            }
        }
    }
    return !reader.Malformed();
}

// NodeProto: the op type when the node is in the standard domain, else "".
bool ReadStandardOperator(std::string_view msg, std::string_view& op) {
    ProtoReader reader(msg);
    ProtoField f;
    std::string_view domain;
    op = {};
    while (reader.Next(f)) {
        if (f.wire != kWireBytes) continue;
        if (f.number == node::kOpType) op = f.payload;
        if (f.number == node::kDomain) domain = f.payload;
    }
    if (!domain.empty() && domain != "ai.onnx") op = {};
    return !reader.Malformed();
}

bool ReadMetadataEntry(std::string_view msg, std::pair<std::string, std::string>& entry) {
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) {
        if (f.wire != kWireBytes) continue;
        if (f.number == entry::kKey) entry.first = std::string(f.payload);
        if (f.number == entry::kValue) entry.second = std::string(f.payload);
    }
    return !reader.Malformed();
}

// Untrusted text for a one-line message.
std::string Printable(std::string_view s, std::size_t max) { return ReasonPart(s, max); }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal side in 1..kMaxModelInputSide.
bool ParseSide(std::string_view s, int& side) {
    s = Trim(s);
    if (s.empty() || s.size() > 6) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kMaxModelInputSide) return false;
    side = v;
    return true;
}

}  // namespace

const std::string* OnnxModelInfo::Metadata(std::string_view key) const {
    for (auto it = metadata.rbegin(); it != metadata.rend(); ++it) {
        if (it->first == key) return &it->second;
    }
    return nullptr;
}

bool OnnxModelInfo::UsesOperator(std::string_view op) const {
    for (const std::string& o : operators) {
        if (o == op) return true;
    }
    return false;
}

std::string OnnxElementTypeName(std::int32_t type) {
    switch (type) {
        case kOnnxFloat: return "float32";
        case kOnnxFloat16: return "float16";
        case elem::kDouble: return "float64";
        case elem::kBfloat16: return "bfloat16";
        case kOnnxUndefined: return "undefined";
        default: return "type " + std::to_string(type);
    }
}

bool ReadOnnxModelInfo(const unsigned char* data, std::size_t size, OnnxModelInfo& info,
                       std::string& error) {
    info = OnnxModelInfo{};
    if (data == nullptr || size == 0) {
        error = "ONNX file is empty";
        return false;
    }
    const std::string_view model(reinterpret_cast<const char*>(data), size);
    ProtoReader modelReader(model);
    ProtoField f;
    std::string_view graph;
    bool haveGraph = false;
    while (modelReader.Next(f)) {
        if (f.wire != kWireBytes) continue;
        if (f.number == model::kGraph) {
            graph = f.payload;  // the last copy only; protobuf would merge copies, exporters write one
            haveGraph = true;
        } else if (f.number == model::kMetadataProps) {
            info.metadata.emplace_back();
            if (!ReadMetadataEntry(f.payload, info.metadata.back())) {
                error = "ONNX model metadata is truncated or malformed";
                info = OnnxModelInfo{};
                return false;
            }
        }
    }
    if (modelReader.Malformed() || !haveGraph) {
        error = "file is not an ONNX model (no readable graph)";
        info = OnnxModelInfo{};
        return false;
    }

    // Initializers first (they may follow the inputs), then the first input
    // that is not one, and the outputs.
    std::unordered_set<std::string_view> initializers;
    ProtoReader initReader(graph);
    bool graphOk = true;
    while (graphOk && initReader.Next(f)) {
        if (f.wire != kWireBytes || f.number != graph::kInitializer) continue;
        std::string_view name;  // the last one wins, as in protobuf
        graphOk = ForEachBytesField(f.payload, tensor::kName, [&](std::string_view n) {
            name = n;
            return true;
        });
        initializers.insert(name);
    }
    bool haveInput = false;
    std::unordered_set<std::string_view> seenOperators;
    ProtoReader graphReader(graph);
    while (graphOk && !initReader.Malformed() && graphReader.Next(f)) {
        if (f.wire != kWireBytes) continue;
        if (f.number == graph::kInput && !haveInput) {
            OnnxInput candidate;
            graphOk = ReadValueInfo(f.payload, candidate);
            if (graphOk && initializers.count(candidate.name) == 0) {
                info.input = std::move(candidate);
                haveInput = true;
            }
        } else if (f.number == graph::kOutput) {
            info.outputs.emplace_back();
            graphOk = ReadValueInfo(f.payload, info.outputs.back());
        } else if (f.number == graph::kNode) {
            std::string_view op;
            graphOk = ReadStandardOperator(f.payload, op);
            if (graphOk && !op.empty() && seenOperators.insert(op).second) info.operators.emplace_back(op);
        }
    }
    if (!graphOk || initReader.Malformed() || graphReader.Malformed()) {
        error = "ONNX graph is truncated or malformed";
        info = OnnxModelInfo{};
        return false;
    }
    if (haveInput) return true;
    error = "ONNX graph declares no input";
    info = OnnxModelInfo{};
    return false;
}

bool ReadOnnxInput(const unsigned char* data, std::size_t size, OnnxInput& input,
                   std::string& error) {
    OnnxModelInfo info;
    const bool ok = ReadOnnxModelInfo(data, size, info, error);
    input = std::move(info.input);
    return ok;
}

bool ParseImageSizeMetadata(std::string_view text, int& height, int& width, std::string& error) {
    const auto fail = [&] {
        error = "model metadata imgsz '" + Printable(text, 40) + "' is not a size of 1 to " +
                std::to_string(kMaxModelInputSide) + " pixels per side";
        return false;
    };
    std::string_view s = Trim(text);
    if (s.size() >= 2 && ((s.front() == '[' && s.back() == ']') || (s.front() == '(' && s.back() == ')'))) {
        s = s.substr(1, s.size() - 2);
    }
    const std::size_t comma = s.find(',');
    int h = 0;
    int w = 0;
    if (comma == std::string_view::npos) {
        if (!ParseSide(s, h)) return fail();
        w = h;
    } else {
        std::string_view second = s.substr(comma + 1);
        // A trailing comma, as in "(640,)", is Python's one-element tuple.
        if (Trim(second).empty()) {
            if (!ParseSide(s.substr(0, comma), h)) return fail();
            w = h;
        } else if (!ParseSide(s.substr(0, comma), h) || !ParseSide(second, w)) {
            return fail();
        }
    }
    height = h;
    width = w;
    return true;
}

bool ChooseInputSize(const OnnxInput& input, const std::string* imgsz, int fallbackSide,
                     ChosenInputSize& size, std::string& error) {
    size = ChosenInputSize{};
    const std::string name = "model input '" + Printable(input.name, 80) + "'";
    if (input.dims.size() != 4) {
        error = name + (input.hasShape ? " has " + std::to_string(input.dims.size()) + " dimensions"
                                       : " declares no shape") +
                "; expected 4 (1 x 3 x height x width)";
        return false;
    }
    if (input.dims[0] > 1) {
        error = name + " has batch size " + std::to_string(input.dims[0]) + "; expected 1";
        return false;
    }
    if (input.dims[1] != 3) {
        error = name + (input.dims[1] < 0 ? " has a dynamic channel count"
                                          : " has " + std::to_string(input.dims[1]) + " channels") +
                "; expected 3 (RGB)";
        return false;
    }
    for (std::size_t i = 2; i < 4; ++i) {
        if (input.dims[i] > kMaxModelInputSide) {
            error = name + " is larger than " + std::to_string(kMaxModelInputSide) + " pixels per side";
            return false;
        }
    }
    size.dynamic = input.dims[2] < 0 || input.dims[3] < 0;
    int h = static_cast<int>(input.dims[2]);
    int w = static_cast<int>(input.dims[3]);
    size.source = "model input";
    if (size.dynamic) {
        int mh = 0;
        int mw = 0;
        if (imgsz != nullptr) {
            std::string why;
            if (!ParseImageSizeMetadata(*imgsz, mh, mw, why)) {
                error = name + " has a dynamic size and " + why;
                return false;
            }
            size.source = "model metadata imgsz";
        } else {
            if (fallbackSide < 1 || fallbackSide > kMaxModelInputSide) {
                error = name + " has a dynamic size and the default side " +
                        std::to_string(fallbackSide) + " is out of range";
                return false;
            }
            mh = mw = fallbackSide;
            size.source = "default";
        }
        if (h < 0) h = mh;
        if (w < 0) w = mw;
    }
    size.height = h;
    size.width = w;
    return true;
}

}  // namespace korva::detail
