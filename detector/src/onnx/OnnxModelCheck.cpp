#include "onnx/OnnxModelCheck.h"

#include <fstream>
#include <limits>
#include <string_view>
#include <system_error>

#include "support/FileBytes.h"
#include "onnx/ProtobufWire.h"

namespace korva::detail {
namespace {

// onnx.proto field numbers.
namespace model {
constexpr std::uint32_t kGraph = 7;
constexpr std::uint32_t kTrainingInfo = 20;
constexpr std::uint32_t kFunctions = 25;
}  // namespace model
namespace training {
constexpr std::uint32_t kInitialization = 1;
constexpr std::uint32_t kAlgorithm = 2;
}  // namespace training
namespace function {
constexpr std::uint32_t kNode = 7;
}  // namespace function
namespace graph {
constexpr std::uint32_t kNode = 1;
constexpr std::uint32_t kInitializer = 5;
constexpr std::uint32_t kSparseInitializer = 15;
}  // namespace graph
namespace node {
constexpr std::uint32_t kName = 3;
constexpr std::uint32_t kOpType = 4;
constexpr std::uint32_t kAttribute = 5;
}  // namespace node
namespace attribute {
constexpr std::uint32_t kName = 1;
constexpr std::uint32_t kTensor = 5;
constexpr std::uint32_t kGraph = 6;
constexpr std::uint32_t kTensors = 10;
constexpr std::uint32_t kGraphs = 11;
constexpr std::uint32_t kSparseTensor = 22;
constexpr std::uint32_t kSparseTensors = 23;
}  // namespace attribute
namespace tensor {
constexpr std::uint32_t kDims = 1;
constexpr std::uint32_t kDataType = 2;
constexpr std::uint32_t kSegment = 3;
constexpr std::uint32_t kFloatData = 4;
constexpr std::uint32_t kInt32Data = 5;
constexpr std::uint32_t kStringData = 6;
constexpr std::uint32_t kInt64Data = 7;
constexpr std::uint32_t kName = 8;
constexpr std::uint32_t kRawData = 9;
constexpr std::uint32_t kDoubleData = 10;
constexpr std::uint32_t kUint64Data = 11;
constexpr std::uint32_t kExternalData = 13;
constexpr std::uint32_t kDataLocation = 14;
}  // namespace tensor
namespace sparse {
constexpr std::uint32_t kValues = 1;
constexpr std::uint32_t kIndices = 2;
constexpr std::uint32_t kDims = 3;
}  // namespace sparse

constexpr int kMaxTensorRank = 32;
constexpr std::uint64_t kTypeInt64 = 7;

// Where a tensor's data lives for its element type: the typed field, how
// many entries of it one element takes (2 for complex), and the bytes per
// element in raw_data (0 for strings, which have no raw form). Four-bit
// types pack two elements per byte and per int32 entry.
struct TypeLayout {
    std::uint32_t typedField = 0;
    unsigned entriesPerElement = 1;
    unsigned rawBytes = 0;
    bool fourBit = false;
};

bool LayoutOf(std::uint64_t type, TypeLayout& layout) {
    switch (type) {
        case 1: layout = {tensor::kFloatData, 1, 4, false}; return true;    // FLOAT
        case 2:                                                             // UINT8
        case 3:                                                             // INT8
        case 9:                                                             // BOOL
        case 17: case 18: case 19: case 20:                                 // FLOAT8 variants
            layout = {tensor::kInt32Data, 1, 1, false};
            return true;
        case 4: case 5: case 10: case 16:                                   // (U)INT16, (B)FLOAT16
            layout = {tensor::kInt32Data, 1, 2, false};
            return true;
        case 6: layout = {tensor::kInt32Data, 1, 4, false}; return true;    // INT32
        case 7: layout = {tensor::kInt64Data, 1, 8, false}; return true;    // INT64
        case 8: layout = {tensor::kStringData, 1, 0, false}; return true;   // STRING
        case 11: layout = {tensor::kDoubleData, 1, 8, false}; return true;  // DOUBLE
        case 12: layout = {tensor::kUint64Data, 1, 4, false}; return true;  // UINT32
        case 13: layout = {tensor::kUint64Data, 1, 8, false}; return true;  // UINT64
        case 14: layout = {tensor::kFloatData, 2, 8, false}; return true;   // COMPLEX64
        case 15: layout = {tensor::kDoubleData, 2, 16, false}; return true; // COMPLEX128
        case 21: case 22: case 23:                                          // (U)INT4, FLOAT4
            layout = {tensor::kInt32Data, 1, 1, true};
            return true;
        default: return false;
    }
}

// Number of varints in a packed payload; false when the last one is cut off.
bool CountVarints(std::string_view payload, std::uint64_t& count) {
    if (!payload.empty() && (static_cast<unsigned char>(payload.back()) & 0x80) != 0) return false;
    for (const char c : payload) {
        if ((static_cast<unsigned char>(c) & 0x80) == 0) ++count;
    }
    return true;
}

// Entries of a repeated numeric field, packed or not. Fixed-size fields are
// `fixedBytes` wide (4 or 8); varint fields pass 0.
bool CountEntries(const ProtoField& f, unsigned fixedBytes, std::uint64_t& count) {
    if (f.wire == kWireBytes) {
        if (fixedBytes == 0) return CountVarints(f.payload, count);
        if (f.payload.size() % fixedBytes != 0) return false;
        count += f.payload.size() / fixedBytes;
        return true;
    }
    const std::uint32_t expected =
        fixedBytes == 0 ? kWireVarint : (fixedBytes == 4 ? kWireFixed32 : kWireFixed64);
    if (f.wire != expected) return false;
    ++count;
    return true;
}

// Appends the varints of a packed payload, or one varint field, to `out`.
bool ReadInt64s(const ProtoField& f, std::vector<std::int64_t>& out) {
    if (f.wire == kWireVarint) {
        out.push_back(static_cast<std::int64_t>(f.varint));
        return true;
    }
    if (f.wire != kWireBytes) return false;
    std::string_view p = f.payload;
    while (!p.empty()) {
        std::uint64_t v = 0;
        int shift = 0;
        for (;;) {
            if (p.empty() || shift > 63) return false;
            const auto b = static_cast<unsigned char>(p.front());
            p.remove_prefix(1);
            v |= std::uint64_t{b & 0x7Fu} << shift;
            shift += 7;
            if ((b & 0x80) == 0) break;
        }
        out.push_back(static_cast<std::int64_t>(v));
    }
    return true;
}

// Element count of `dims`; false with a reason when one is negative or the
// product overflows.
bool ElementCount(const std::vector<std::int64_t>& dims, std::uint64_t& count, std::string& why) {
    if (dims.size() > static_cast<std::size_t>(kMaxTensorRank)) {
        why = "has " + std::to_string(dims.size()) + " dimensions (at most " +
              std::to_string(kMaxTensorRank) + ")";
        return false;
    }
    count = 1;
    for (const std::int64_t d : dims) {
        if (d < 0) {
            why = "has a negative dimension (" + std::to_string(d) + ")";
            return false;
        }
        const auto u = static_cast<std::uint64_t>(d);
        if (u != 0 && count > std::numeric_limits<std::uint64_t>::max() / 16 / u) {
            why = "declares more elements than can be addressed";
            return false;
        }
        count *= u;
    }
    return true;
}

std::string Quoted(std::string_view name) {
    std::string out = "'";
    for (const char c : name.substr(0, 80)) out.push_back(c == '\n' || c == '\r' ? ' ' : c);
    return out + (name.size() > 80 ? "...'" : "'");
}

class Checker {
public:
    explicit Checker(std::string& error) : error_(error) {}

    bool Model(std::string_view msg) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Fail("the file is not a well-formed ONNX model");
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            bool ok = true;
            if (f.number == model::kGraph) {
                ok = Graph(f.payload, 0);
            } else if (f.number == model::kFunctions) {
                ok = Nodes(f.payload, function::kNode, 0, "function");
            } else if (f.number == model::kTrainingInfo) {
                ok = TrainingInfo(f.payload);
            }
            if (!ok) return false;
        }
        return true;
    }

private:
    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }

    bool Malformed(const std::string& where) { return Fail(where + " is truncated or malformed"); }

    bool TrainingInfo(std::string_view msg) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("training information");
        for (const ProtoField& f : fields) {
            if (f.wire == kWireBytes &&
                (f.number == training::kInitialization || f.number == training::kAlgorithm) &&
                !Graph(f.payload, 0)) {
                return false;
            }
        }
        return true;
    }

    bool Graph(std::string_view msg, int depth) {
        if (depth > kMaxGraphNesting) {
            return Fail("subgraphs are nested more than " + std::to_string(kMaxGraphNesting) +
                        " deep");
        }
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("a graph");
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            bool ok = true;
            if (f.number == graph::kInitializer) {
                ok = Tensor(f.payload, "initializer");
            } else if (f.number == graph::kSparseInitializer) {
                ok = SparseTensor(f.payload, "sparse initializer");
            } else if (f.number == graph::kNode) {
                ok = Node(f.payload, depth);
            }
            if (!ok) return false;
        }
        return true;
    }

    // The nodes of a function body (field `number` of `msg`).
    bool Nodes(std::string_view msg, std::uint32_t number, int depth, const char* what) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed(std::string("a ") + what);
        for (const ProtoField& f : fields) {
            if (f.wire == kWireBytes && f.number == number && !Node(f.payload, depth)) return false;
        }
        return true;
    }

    bool Node(std::string_view msg, int depth) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("a node");
        std::string_view name, op;
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            if (f.number == node::kName) name = f.payload;
            if (f.number == node::kOpType) op = f.payload;
        }
        const std::string where = std::string(op.empty() ? "node" : std::string(op) + " node") +
                                  (name.empty() ? "" : " " + Quoted(name));
        for (const ProtoField& f : fields) {
            if (f.wire == kWireBytes && f.number == node::kAttribute &&
                !Attribute(f.payload, where, depth)) {
                return false;
            }
        }
        return true;
    }

    bool Attribute(std::string_view msg, const std::string& nodeWhere, int depth) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("an attribute of " + nodeWhere);
        std::string_view name;
        for (const ProtoField& f : fields) {
            if (f.wire == kWireBytes && f.number == attribute::kName) name = f.payload;
        }
        const std::string where = "attribute " + Quoted(name) + " of " + nodeWhere;
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            bool ok = true;
            switch (f.number) {
                case attribute::kTensor:
                case attribute::kTensors: ok = Tensor(f.payload, where); break;
                case attribute::kSparseTensor:
                case attribute::kSparseTensors: ok = SparseTensor(f.payload, where); break;
                case attribute::kGraph:
                case attribute::kGraphs: ok = Graph(f.payload, depth + 1); break;
                default: break;
            }
            if (!ok) return false;
        }
        return true;
    }

    // The tensor's element type, dims and element count, for callers that
    // check more (sparse tensors).
    struct TensorInfo {
        std::uint64_t type = 0;
        std::vector<std::int64_t> dims;
        std::uint64_t count = 0;
    };

    bool Tensor(std::string_view msg, const std::string& where, TensorInfo* info = nullptr) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("a tensor in " + where);
        TensorInfo t;
        std::string_view name;
        std::uint64_t location = 0;
        bool external = false, segmented = false, haveRaw = false;
        std::string_view raw;
        for (const ProtoField& f : fields) {
            switch (f.number) {
                case tensor::kDims:
                    if (!ReadInt64s(f, t.dims)) return Malformed("the dims of a tensor in " + where);
                    break;
                case tensor::kDataType:
                    if (f.wire == kWireVarint) t.type = f.varint;
                    break;
                case tensor::kName:
                    if (f.wire == kWireBytes) name = f.payload;
                    break;
                case tensor::kRawData:
                    if (f.wire == kWireBytes) {
                        raw = f.payload;  // the last one wins, as in protobuf
                        haveRaw = true;
                    }
                    break;
                case tensor::kSegment: segmented = true; break;
                case tensor::kExternalData: external = true; break;
                case tensor::kDataLocation:
                    if (f.wire == kWireVarint) location = f.varint;
                    break;
                default: break;
            }
        }
        const std::string what = "tensor " + Quoted(name) + " (" + where + ")";
        if (external || location != 0) {
            return Fail(what + " keeps its data in an external file; only self-contained models are supported");
        }
        if (segmented) return Fail(what + " is split into segments, which is not supported");
        TypeLayout layout;
        if (!LayoutOf(t.type, layout)) {
            return Fail(what + " has an unknown element type (" + std::to_string(t.type) + ")");
        }
        std::string why;
        if (!ElementCount(t.dims, t.count, why)) return Fail(what + " " + why);

        // Entries in each typed field; any outside the type's own field is a lie.
        std::uint64_t typed = 0;
        for (const ProtoField& f : fields) {
            unsigned fixed = 0;
            switch (f.number) {
                case tensor::kFloatData: fixed = 4; break;
                case tensor::kDoubleData: fixed = 8; break;
                case tensor::kInt32Data:
                case tensor::kInt64Data:
                case tensor::kUint64Data: fixed = 0; break;
                case tensor::kStringData:
                    if (f.number != layout.typedField) {
                        return Fail(what + " holds strings but is not a string tensor");
                    }
                    ++typed;
                    continue;
                default: continue;
            }
            if (f.number != layout.typedField) {
                return Fail(what + " holds data in a field that does not match its element type");
            }
            if (!CountEntries(f, fixed, typed)) return Malformed("the data of " + what);
        }

        const std::uint64_t elements = layout.fourBit ? (t.count + 1) / 2 : t.count;
        if (haveRaw) {
            if (typed != 0) return Fail(what + " holds both raw and typed data");
            if (layout.rawBytes == 0) return Fail(what + " is a string tensor with raw data");
            const std::uint64_t expected = elements * layout.rawBytes;
            if (raw.size() != expected) {
                return Fail(what + " declares " + std::to_string(t.count) + " elements (" +
                            std::to_string(expected) + " bytes) but holds " +
                            std::to_string(raw.size()) + " bytes");
            }
        } else {
            const std::uint64_t expected = elements * layout.entriesPerElement;
            if (typed != expected) {
                return Fail(what + " declares " + std::to_string(t.count) + " elements but holds " +
                            std::to_string(typed) + " values");
            }
        }
        if (info != nullptr) *info = std::move(t);
        return true;
    }

    // values: 1-D [NNZ]; indices: INT64, [NNZ] (linear) or [NNZ, rank].
    bool SparseTensor(std::string_view msg, const std::string& where) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return Malformed("a sparse tensor in " + where);
        std::vector<std::int64_t> dims;
        TensorInfo values, indices;
        bool haveValues = false, haveIndices = false;
        for (const ProtoField& f : fields) {
            if (f.number == sparse::kDims) {
                if (!ReadInt64s(f, dims)) return Malformed("the dims of a sparse tensor in " + where);
            } else if (f.number == sparse::kValues && f.wire == kWireBytes) {
                if (!Tensor(f.payload, "values of a sparse tensor in " + where, &values)) return false;
                haveValues = true;
            } else if (f.number == sparse::kIndices && f.wire == kWireBytes) {
                if (!Tensor(f.payload, "indices of a sparse tensor in " + where, &indices)) return false;
                haveIndices = true;
            }
        }
        const std::string what = "sparse tensor (" + where + ")";
        std::uint64_t dense = 0;
        std::string why;
        if (!ElementCount(dims, dense, why)) return Fail(what + " " + why);
        if (!haveValues || values.dims.size() != 1) return Fail(what + " has no 1-D values");
        const std::uint64_t nnz = values.count;
        if (nnz > dense) return Fail(what + " has more values than elements");
        if (!haveIndices) return nnz == 0 ? true : Fail(what + " has values but no indices");
        if (indices.type != kTypeInt64) return Fail(what + " has indices that are not int64");
        const bool linear = indices.dims.size() == 1 && indices.count == nnz;
        const bool perAxis = indices.dims.size() == 2 && indices.dims[0] >= 0 &&
                             static_cast<std::uint64_t>(indices.dims[0]) == nnz &&
                             static_cast<std::size_t>(indices.dims[1]) == dims.size();
        if (!linear && !perAxis) return Fail(what + " has indices that do not match its values");
        return true;
    }

    std::string& error_;
};

// Whether a ModelProto may start with a field keyed `key`: a known field
// number with its wire type.
bool IsModelKey(std::uint64_t key) {
    const std::uint64_t number = key >> 3, wire = key & 7;
    switch (number) {
        case 1:  // ir_version
        case 5:  // model_version
            return wire == kWireVarint;
        case 2: case 3: case 4: case 6: case 7: case 8: case 14: case 20: case 25:
            return wire == kWireBytes;
        default:
            return false;
    }
}

}  // namespace

bool CheckOnnxModel(const unsigned char* data, std::size_t size, std::string& error) {
    try {
        if (data == nullptr || size == 0) {
            error = "ONNX file is empty";
            return false;
        }
        return Checker(error).Model(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception& e) {
        error = std::string("cannot check the ONNX model: ") + e.what();
    }
    return false;
}

bool CheckActivationEstimate(std::uint64_t bytes, std::string& error) {
    if (bytes <= kMaxActivationBytes) return true;
    constexpr double kMiB = 1024.0 * 1024.0;
    error = "the model needs about " + std::to_string(static_cast<std::uint64_t>(bytes / kMiB)) +
            " MiB of activation memory for one frame, more than the " +
            std::to_string(kMaxActivationBytes >> 20) + " MiB allowed";
    return false;
}

bool ReadOnnxModelFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes,
                       std::string& error) {
    bytes.clear();
    try {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec) {
            error = "cannot read " + PathText(path) + ": " + ec.message();
            return false;
        }
        if (size > kMaxModelFileBytes) {
            error = PathText(path) + " is too large for a model (" + std::to_string(size >> 20) +
                    " MiB, at most " + std::to_string(kMaxModelFileBytes >> 20) + " MiB)";
            return false;
        }
        if (size == 0) {
            error = PathText(path) + " is empty";
            return false;
        }
        // The first field tells a model from other data before the rest is read.
        {
            std::ifstream in(path, std::ios::binary);
            unsigned char head[10] = {};
            const auto want = static_cast<std::streamsize>(size < sizeof head ? size : sizeof head);
            if (!in || !in.read(reinterpret_cast<char*>(head), want)) {
                error = "cannot read " + PathText(path);
                return false;
            }
            std::uint64_t key = 0;
            bool done = false;
            for (std::streamsize i = 0; i < want && i < 5 && !done; ++i) {
                key |= std::uint64_t{head[i] & 0x7Fu} << (7 * i);
                done = (head[i] & 0x80) == 0;
            }
            if (!done || !IsModelKey(key)) {
                error = PathText(path) + " is not an ONNX model (unexpected first bytes)";
                return false;
            }
        }
        if (!ReadFileBytes(path, kMaxModelFileBytes, bytes, error)) return false;
        std::string why;
        if (!CheckOnnxModel(bytes.data(), bytes.size(), why)) {
            error = PathText(path) + ": " + why;
            bytes.clear();
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = "cannot read " + PathText(path) + ": " + e.what();
    }
    bytes.clear();
    return false;
}

}  // namespace korva::detail
