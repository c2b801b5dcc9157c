#include "onnx/OnnxModelInfo.h"

#include <algorithm>

#include "onnx/ProtobufWire.h"
#include "support/ReasonText.h"

namespace korva::detail {
namespace {

// ONNX field numbers used here (onnx.proto).
constexpr std::uint32_t kModelGraph = 7;
constexpr std::uint32_t kModelMetadata = 14;
constexpr std::uint32_t kEntryKey = 1;
constexpr std::uint32_t kEntryValue = 2;
constexpr std::uint32_t kGraphInitializer = 5;
constexpr std::uint32_t kGraphInput = 11;
constexpr std::uint32_t kGraphOutput = 12;
constexpr std::uint32_t kTensorName = 8;
constexpr std::uint32_t kValueInfoName = 1;
constexpr std::uint32_t kValueInfoType = 2;
constexpr std::uint32_t kTypeTensor = 1;
constexpr std::uint32_t kTensorTypeElem = 1;
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

// TypeProto.Tensor: element type and shape; the last of each wins.
bool ReadTensorType(std::string_view msg, OnnxInput& input) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.number == kTensorTypeElem && f.wire == kWireVarint) {
            input.elemType = static_cast<std::int32_t>(static_cast<std::uint32_t>(f.varint));
        } else if (f.number == kTensorTypeShape && f.wire == kWireBytes) {
            input.hasShape = true;
            input.dims.clear();
            input.symbolicNames.clear();
            if (!ForEachBytesField(f.payload, kShapeDim,
                                   [&](std::string_view dim) { return ReadDim(dim, input); })) {
                return false;
            }
        }
    }
    return true;
}

// ValueInfoProto -> name, TypeProto -> TypeProto.Tensor.
bool ReadValueInfo(std::string_view msg, OnnxInput& input) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.wire != kWireBytes) continue;
        if (f.number == kValueInfoName) {
            input.name = std::string(f.payload);
        } else if (f.number == kValueInfoType) {
            if (!ForEachBytesField(f.payload, kTypeTensor,
                                   [&](std::string_view t) { return ReadTensorType(t, input); })) {
                return false;
            }
        }
    }
    return true;
}

bool ReadMetadataEntry(std::string_view msg, std::pair<std::string, std::string>& entry) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    for (const ProtoField& f : fields) {
        if (f.wire != kWireBytes) continue;
        if (f.number == kEntryKey) entry.first = std::string(f.payload);
        if (f.number == kEntryValue) entry.second = std::string(f.payload);
    }
    return true;
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

std::string OnnxElementTypeName(std::int32_t type) {
    switch (type) {
        case kOnnxFloat: return "float32";
        case kOnnxFloat16: return "float16";
        case 11: return "float64";
        case 16: return "bfloat16";
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
    std::vector<ProtoField> modelFields;
    if (!SplitMessage(model, modelFields)) {
        error = "file is not an ONNX model (no readable graph)";
        return false;
    }
    std::string_view graph;
    bool haveGraph = false;
    for (const ProtoField& f : modelFields) {
        if (f.wire != kWireBytes) continue;
        if (f.number == kModelGraph) {
            graph = f.payload;  // the last copy only; protobuf would merge copies, exporters write one
            haveGraph = true;
        } else if (f.number == kModelMetadata) {
            info.metadata.emplace_back();
            if (!ReadMetadataEntry(f.payload, info.metadata.back())) {
                error = "ONNX model metadata is truncated or malformed";
                return false;
            }
        }
    }
    if (!haveGraph) {
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
        } else if (f.number == kGraphOutput) {
            info.outputs.emplace_back();
            graphOk = ReadValueInfo(f.payload, info.outputs.back());
        }
    }
    if (!graphOk) {
        error = "ONNX graph is truncated or malformed";
        info = OnnxModelInfo{};
        return false;
    }
    for (OnnxInput& candidate : inputs) {
        if (std::find(initializers.begin(), initializers.end(), candidate.name) ==
            initializers.end()) {
            info.input = std::move(candidate);
            return true;
        }
    }
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
