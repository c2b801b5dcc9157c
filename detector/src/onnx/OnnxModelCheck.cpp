#include "onnx/OnnxModelCheck.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <limits>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "onnx/OnnxFields.h"
#include "onnx/ProtobufWire.h"
#include "support/FileBytes.h"
#include "support/ReasonText.h"

namespace korva::detail {
namespace {

using namespace onnx;

constexpr int kMaxTensorRank = 32;

// Names one model may define (graph inputs, initializers, node outputs, over
// all graphs), and attributes one node may carry: enough for any real model,
// and they bound the memory the check itself takes.
constexpr std::size_t kMaxModelValues = std::size_t{1} << 20;
constexpr std::size_t kMaxNodeAttributes = 1024;

// Kernel, stride and dilation sides, and pads, are held to this.
constexpr std::int64_t kMaxWindowSide = 1 << 16;

// Entries of an ints attribute kept for the checks below; longer lists are
// only counted.
constexpr std::size_t kKeptInts = 64;

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

// Element count of `dims`; false with a reason when one is negative or the
// product overflows.
bool ElementCount(const std::vector<std::int64_t>& dims, std::uint64_t& count, std::string& why) {
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

// Appends the dims of a tensor field; false when malformed or past the rank
// limit.
bool ReadDims(const ProtoField& f, std::vector<std::int64_t>& dims) {
    return ForEachVarint(f, [&](std::uint64_t v) {
        if (dims.size() > static_cast<std::size_t>(kMaxTensorRank)) return false;
        dims.push_back(static_cast<std::int64_t>(v));
        return true;
    });
}

// Well-formed UTF-8 without control characters.
bool IsValidName(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        const std::uint32_t least = len == 2 ? 0x80 : (len == 3 ? 0x800 : 0x10000);
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x80 && cp < 0xA0) return false;  // C1 controls
        i += len;
    }
    return true;
}

// Untrusted text for a one-line message: anything but printable ASCII as '?',
// cut at 80 bytes.
std::string Quoted(std::string_view name) { return "'" + ReasonPart(name, 80) + "'"; }

const char* KindName(AttributeKind kind) {
    switch (kind) {
        case AttributeKind::kFloat: return "a float";
        case AttributeKind::kInt: return "an int";
        case AttributeKind::kString: return "a string";
        case AttributeKind::kTensor: return "a tensor";
        case AttributeKind::kGraph: return "a graph";
        case AttributeKind::kFloats: return "floats";
        case AttributeKind::kInts: return "ints";
        case AttributeKind::kStrings: return "strings";
        case AttributeKind::kTensors: return "tensors";
        case AttributeKind::kGraphs: return "graphs";
        case AttributeKind::kSparseTensor: return "a sparse tensor";
        case AttributeKind::kSparseTensors: return "sparse tensors";
        case AttributeKind::kTypeProto: return "a type";
        case AttributeKind::kTypeProtos: return "types";
        case AttributeKind::kUndefined: break;
    }
    return "of no type";
}

// The kind an attribute of a standard operator must have, by its name, for
// the names OpenCV's importer reads without looking at the type; kUndefined
// for the others.
AttributeKind ExpectedKind(std::string_view op, std::string_view name) {
    static const std::unordered_map<std::string_view, AttributeKind> kByName = {
        {"kernel_shape", AttributeKind::kInts},   {"strides", AttributeKind::kInts},
        {"dilations", AttributeKind::kInts},      {"pads", AttributeKind::kInts},
        {"perm", AttributeKind::kInts},           {"output_padding", AttributeKind::kInts},
        {"output_shape", AttributeKind::kInts},   {"starts", AttributeKind::kInts},
        {"ends", AttributeKind::kInts},           {"axes", AttributeKind::kInts},
        {"split", AttributeKind::kInts},          {"axis", AttributeKind::kInt},
        {"group", AttributeKind::kInt},           {"keepdims", AttributeKind::kInt},
        {"allowzero", AttributeKind::kInt},       {"auto_pad", AttributeKind::kString},
        {"mode", AttributeKind::kString},         {"coordinate_transformation_mode", AttributeKind::kString},
        {"nearest_mode", AttributeKind::kString},
    };
    if (name == "scales" && op == "Upsample") return AttributeKind::kFloats;
    if (name == "shape" && op == "Reshape") return AttributeKind::kInts;
    if (name == "value" && op == "Constant") return AttributeKind::kTensor;
    if ((name == "then_branch" || name == "else_branch") && op == "If") return AttributeKind::kGraph;
    if (name == "body" && (op == "Loop" || op == "Scan")) return AttributeKind::kGraph;
    const auto it = kByName.find(name);
    return it == kByName.end() ? AttributeKind::kUndefined : it->second;
}

// Inputs a standard operator cannot do without: how many leading inputs must
// be given (non-empty). Operators not listed are not held to a count.
std::size_t RequiredInputs(std::string_view op) {
    static const std::unordered_map<std::string_view, std::size_t> kRequired = {
        {"Conv", 2}, {"ConvTranspose", 2}, {"Gemm", 2}, {"MatMul", 2}, {"Add", 2}, {"Sub", 2},
        {"Mul", 2}, {"Div", 2}, {"Pow", 2}, {"PRelu", 2}, {"Equal", 2}, {"Greater", 2},
        {"Less", 2}, {"And", 2}, {"Or", 2}, {"Max", 1}, {"Min", 1}, {"Sum", 1}, {"Where", 3},
        {"Gather", 2}, {"GatherElements", 2}, {"Expand", 2}, {"Tile", 2}, {"Range", 3},
        {"BatchNormalization", 5}, {"InstanceNormalization", 3}, {"LayerNormalization", 2},
        {"Concat", 1}, {"Split", 1}, {"Transpose", 1}, {"Reshape", 1}, {"Slice", 1},
        {"Resize", 1}, {"Upsample", 1}, {"Sigmoid", 1}, {"Relu", 1}, {"LeakyRelu", 1},
        {"HardSigmoid", 1}, {"HardSwish", 1}, {"Tanh", 1}, {"Exp", 1}, {"Log", 1}, {"Sqrt", 1},
        {"Neg", 1}, {"Abs", 1}, {"Clip", 1}, {"Softmax", 1}, {"Flatten", 1}, {"Squeeze", 1},
        {"Unsqueeze", 1}, {"Shape", 1}, {"Cast", 1}, {"Identity", 1}, {"MaxPool", 1},
        {"AveragePool", 1}, {"GlobalAveragePool", 1}, {"GlobalMaxPool", 1}, {"ReduceMax", 1},
        {"ReduceMean", 1}, {"ReduceMin", 1}, {"ReduceSum", 1}, {"ArgMax", 1}, {"TopK", 1},
        {"Pad", 1}, {"NonMaxSuppression", 2}, {"Dropout", 1}, {"Erf", 1}, {"Softplus", 1},
        {"Floor", 1}, {"Ceil", 1}, {"Round", 1}, {"Not", 1}, {"ConstantOfShape", 1},
    };
    const auto it = kRequired.find(op);
    return it == kRequired.end() ? 0 : it->second;
}

// What one attribute of a node holds.
struct AttrInfo {
    std::string_view name;
    AttributeKind declared = AttributeKind::kUndefined;
    bool hasF = false, hasI = false, hasS = false, hasT = false, hasG = false;
    bool hasSparse = false, hasType = false;
    std::uint64_t floats = 0, ints = 0, strings = 0, tensors = 0, graphs = 0;
    std::uint64_t sparseTensors = 0, types = 0;
    std::int64_t i = 0;
    std::vector<std::int64_t> intValues;  // the first kKeptInts
    std::string_view tensor;              // `t`, checked
    std::vector<std::int64_t> tensorDims;

    // Whether it holds a value of `kind` and nothing else.
    bool Holds(AttributeKind kind) const {
        if (declared != AttributeKind::kUndefined && declared != kind) return false;
        const bool others[] = {
            hasF && kind != AttributeKind::kFloat,
            hasI && kind != AttributeKind::kInt,
            hasS && kind != AttributeKind::kString,
            hasT && kind != AttributeKind::kTensor,
            hasG && kind != AttributeKind::kGraph,
            floats != 0 && kind != AttributeKind::kFloats,
            ints != 0 && kind != AttributeKind::kInts,
            strings != 0 && kind != AttributeKind::kStrings,
            tensors != 0 && kind != AttributeKind::kTensors,
            graphs != 0 && kind != AttributeKind::kGraphs,
            hasSparse,
            sparseTensors != 0,
            hasType,
            types != 0,
        };
        for (const bool o : others) {
            if (o) return false;
        }
        switch (kind) {
            case AttributeKind::kTensor: return hasT;
            case AttributeKind::kGraph: return hasG;
            default: return true;  // a scalar may be its default, a list empty
        }
    }
};

// A constant (an initializer or a Constant node's value), kept for the
// checks of the nodes that read it: its shape and its encoded tensor.
struct InitDims {
    int rank = 0;  // -1: more dims than kept
    std::array<std::int64_t, 5> dims{};
    std::string_view tensor;  // a checked TensorProto; empty for a sparse one
};

// The values of a checked integer tensor of at most `max` elements; false
// for another element type or more elements.
bool TensorInts(std::string_view tensorMsg, std::size_t max, std::vector<std::int64_t>& values) {
    values.clear();
    std::int64_t type = 0;
    std::string_view raw;
    bool haveRaw = false, ok = true;
    std::vector<std::int64_t> typed;
    ProtoReader reader(tensorMsg);
    ProtoField f;
    while (reader.Next(f)) {
        if (f.number == tensor::kDataType && f.wire == kWireVarint)
            type = static_cast<std::int64_t>(f.varint);
        if (f.number == tensor::kRawData && f.wire == kWireBytes) {
            raw = f.payload;
            haveRaw = true;
        }
        if (f.number == tensor::kInt64Data || f.number == tensor::kInt32Data) {
            ok = ok && ForEachVarint(f, [&](std::uint64_t v) {
                     if (typed.size() >= max) return false;
                     typed.push_back(static_cast<std::int64_t>(v));
                     return true;
                 });
        }
    }
    if (!ok || (type != elem::kInt64 && type != elem::kInt32)) return false;
    if (!haveRaw) {
        for (std::int64_t v : typed)
            values.push_back(type == elem::kInt32 ? static_cast<std::int32_t>(v) : v);
        return true;
    }
    const std::size_t width = type == elem::kInt64 ? 8 : 4;
    if (raw.size() / width > max) return false;
    for (std::size_t at = 0; at + width <= raw.size(); at += width) {
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < width; ++k)
            v |= std::uint64_t{static_cast<unsigned char>(raw[at + k])} << (8 * k);
        values.push_back(width == 8 ? static_cast<std::int64_t>(v) : static_cast<std::int32_t>(v));
    }
    return true;
}

// The names visible in one graph: its own and, through `outer`, those of the
// graphs around it as far as they were defined before the subgraph's node.
struct Scope {
    const Scope* outer = nullptr;
    // name -> index into `initDims` for initializers, kNotInit otherwise.
    std::unordered_map<std::string_view, std::uint32_t> names;
    std::vector<InitDims> initDims;

    static constexpr std::uint32_t kNotInit = 0xFFFFFFFFu;

    const InitDims* Find(std::string_view name, bool& found) const {
        for (const Scope* s = this; s != nullptr; s = s->outer) {
            const auto it = s->names.find(name);
            if (it != s->names.end()) {
                found = true;
                return it->second == kNotInit ? nullptr : &s->initDims[it->second];
            }
        }
        found = false;
        return nullptr;
    }
};

class Checker {
public:
    explicit Checker(std::string& error) : error_(error) {}

    bool Model(std::string_view msg) {
        ProtoReader reader(msg);
        ProtoField f;
        int graphs = 0;
        while (reader.Next(f)) {
            if (f.wire != kWireBytes) continue;
            bool ok = true;
            if (f.number == model::kGraph) {
                if (++graphs > 1) return Fail("the model gives its graph twice");
                ok = Graph(f.payload, 0, nullptr, true);
            } else if (f.number == model::kFunctions) {
                ok = FunctionNodes(f.payload);
            } else if (f.number == model::kTrainingInfo) {
                ok = TrainingInfo(f.payload);
            }
            if (!ok) return false;
        }
        if (reader.Malformed()) return Fail("the file is not a well-formed ONNX model");
        return true;
    }

private:
    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }

    bool Malformed(const std::string& where) { return Fail(where + " is truncated or malformed"); }

    bool TrainingInfo(std::string_view msg) {
        ProtoReader reader(msg);
        ProtoField f;
        int init = 0, algo = 0;
        while (reader.Next(f)) {
            if (f.wire != kWireBytes) continue;
            if (f.number == training::kInitialization || f.number == training::kAlgorithm) {
                if (++(f.number == training::kInitialization ? init : algo) > 1) {
                    return Fail("training information gives a graph twice");
                }
                // Never run here: its tensors are checked, not its references.
                if (!Graph(f.payload, 0, nullptr, false)) return false;
            }
        }
        return !reader.Malformed() || Malformed("training information");
    }

    // The nodes of a function body: their tensors and attributes (a function's
    // names are its own parameters, and no engine here runs one).
    bool FunctionNodes(std::string_view msg) {
        ProtoReader reader(msg);
        ProtoField f;
        while (reader.Next(f)) {
            if (f.wire == kWireBytes && f.number == function::kNode && !Node(f.payload, 0, nullptr)) {
                return false;
            }
        }
        return !reader.Malformed() || Malformed("a function");
    }

    bool AddValue(Scope& scope, std::string_view name, std::uint32_t initIndex, bool& fresh) {
        if (++values_ > kMaxModelValues) {
            return Fail("the model defines more than " + std::to_string(kMaxModelValues) + " values");
        }
        fresh = scope.names.emplace(name, initIndex).second;
        return true;
    }

    // A graph: its tensors, then (when `checkRefs`) that every node reads only
    // what is defined before it, in order, and that the outputs are defined.
    bool Graph(std::string_view msg, int depth, const Scope* outer, bool checkRefs) {
        if (depth > kMaxGraphNesting) {
            return Fail("subgraphs are nested more than " + std::to_string(kMaxGraphNesting) + " deep");
        }
        Scope scope;
        scope.outer = outer;
        // Initializers and inputs first: they may come after the nodes in the file.
        ProtoReader reader(msg);
        ProtoField f;
        while (reader.Next(f)) {
            if (f.wire != kWireBytes) continue;
            if (f.number == graph::kInitializer || f.number == graph::kSparseInitializer) {
                TensorInfo info;
                const bool dense = f.number == graph::kInitializer;
                if (dense ? !Tensor(f.payload, "initializer", &info)
                          : !SparseTensor(f.payload, "sparse initializer", &info)) {
                    return false;
                }
                const auto what = [&] {
                    return std::string(dense ? "initializer " : "sparse initializer ") + Quoted(info.name);
                };
                if (!IsValidName(info.name)) return Fail(what() + " has a name that is not valid UTF-8 text");
                if (info.name.empty())
                    return Fail(std::string(dense ? "an" : "a sparse") + " initializer has no name");
                InitDims dims;
                if (dense) dims.tensor = f.payload;
                dims.rank = info.dims.size() <= dims.dims.size() ? static_cast<int>(info.dims.size()) : -1;
                for (int i = 0; i < dims.rank; ++i)
                    dims.dims[static_cast<std::size_t>(i)] = info.dims[static_cast<std::size_t>(i)];
                bool fresh = false;
                if (!AddValue(scope, info.name, static_cast<std::uint32_t>(scope.initDims.size()), fresh))
                    return false;
                if (!fresh) return Fail(what() + " is given twice");
                scope.initDims.push_back(dims);
            }
        }
        if (reader.Malformed()) return Malformed("a graph");
        for (ProtoReader inputs(msg); inputs.Next(f);) {
            if (f.wire != kWireBytes || f.number != graph::kInput) continue;
            std::string_view name;
            if (!ValueInfo(f.payload, "graph input", name)) return false;
            bool fresh = false;
            if (!AddValue(scope, name, Scope::kNotInit, fresh))
                return false;  // an initializer may be listed too
        }
        for (ProtoReader nodes(msg); nodes.Next(f);) {
            if (f.wire == kWireBytes && f.number == graph::kNode &&
                !Node(f.payload, depth, checkRefs ? &scope : nullptr)) {
                return false;
            }
        }
        for (ProtoReader outputs(msg); outputs.Next(f);) {
            if (f.wire != kWireBytes || f.number != graph::kOutput) continue;
            std::string_view name;
            if (!ValueInfo(f.payload, "graph output", name)) return false;
            bool found = false;
            scope.Find(name, found);
            if (checkRefs && !found) {
                return Fail("graph output " + Quoted(name) +
                            " is not produced by any node, input or initializer");
            }
        }
        return true;
    }

    // ValueInfoProto: a valid name; its type given at most once at each level
    // (protobuf would merge copies, readers here take one).
    bool ValueInfo(std::string_view msg, const char* what, std::string_view& name) {
        ProtoReader reader(msg);
        ProtoField f;
        int types = 0;
        std::string_view type;
        while (reader.Next(f)) {
            if (f.wire != kWireBytes) continue;
            if (f.number == value_info::kName) name = f.payload;
            if (f.number == value_info::kType) {
                ++types;
                type = f.payload;
            }
        }
        if (reader.Malformed()) return Malformed(std::string("a ") + what);
        const std::string where = std::string(what) + " " + Quoted(name);
        if (!IsValidName(name)) return Fail(where + " has a name that is not valid UTF-8 text");
        if (types > 1) return Fail(where + " gives its type twice");
        if (types == 0) return true;
        // TypeProto -> tensor_type -> shape, each once.
        std::string_view level = type;
        for (const char* part : {"tensor type", "shape"}) {
            const std::uint32_t number =
                std::string_view(part) == "shape" ? type::kTensorShape : type::kTensorType;
            int count = 0;
            std::string_view inner;
            ProtoReader r(level);
            while (r.Next(f)) {
                if (f.wire == kWireBytes && f.number == number) {
                    ++count;
                    inner = f.payload;
                }
            }
            if (r.Malformed()) return Malformed("the type of " + where);
            if (count > 1) return Fail(where + " gives its " + part + " twice");
            if (count == 0) break;
            level = inner;
        }
        return true;
    }

    bool Node(std::string_view msg, int depth, Scope* scope) {
        std::string_view name, op, domain;
        std::size_t inputCount = 0, outputCount = 0;
        ProtoField f;
        {
            ProtoReader reader(msg);
            while (reader.Next(f)) {
                if (f.wire != kWireBytes) continue;
                if (f.number == node::kName) name = f.payload;
                if (f.number == node::kOpType) op = f.payload;
                if (f.number == node::kDomain) domain = f.payload;
                if (f.number == node::kInput) ++inputCount;
                if (f.number == node::kOutput) ++outputCount;
            }
            if (reader.Malformed()) return Malformed("a node");
        }
        const std::string where =
            std::string(op.empty() || !IsValidName(op) ? "node" : std::string(op.substr(0, 60)) + " node") +
            (name.empty() ? "" : " " + Quoted(name));
        if (!IsValidName(name) || !IsValidName(op) || !IsValidName(domain)) {
            return Fail(where + " has a name, type or domain that is not valid UTF-8 text");
        }
        if (op.empty()) return Fail(where + " has no operator type");
        const bool standard = domain.empty() || domain == "ai.onnx";

        // Inputs: each defined before this node; the leading ones it needs given.
        std::size_t position = 0, leadingGiven = 0;
        std::array<std::string_view, 4> firstInputs{};
        for (ProtoReader reader(msg); reader.Next(f);) {
            if (f.wire != kWireBytes || f.number != node::kInput) continue;
            const std::string_view in = f.payload;
            if (position < firstInputs.size()) firstInputs[position] = in;
            if (!in.empty() && leadingGiven == position) ++leadingGiven;
            ++position;
            if (in.empty()) continue;  // an optional input left out
            if (!IsValidName(in))
                return Fail(where + " reads " + Quoted(in) + ", a name that is not valid UTF-8 text");
            if (scope != nullptr) {
                bool found = false;
                scope->Find(in, found);
                if (!found) {
                    return Fail(where + " reads " + Quoted(in) +
                                ", which no graph input, initializer or earlier node defines");
                }
            }
        }

        // Attributes, subgraphs included (they see what is defined so far).
        std::vector<AttrInfo> attrs;
        for (ProtoReader reader(msg); reader.Next(f);) {
            if (f.wire != kWireBytes || f.number != node::kAttribute) continue;
            if (attrs.size() >= kMaxNodeAttributes) {
                return Fail(where + " has more than " + std::to_string(kMaxNodeAttributes) + " attributes");
            }
            attrs.emplace_back();
            if (!Attribute(f.payload, where, depth, scope, attrs.back())) return false;
            for (std::size_t k = 0; k + 1 < attrs.size(); ++k) {
                if (attrs[k].name == attrs.back().name) {
                    return Fail("attribute " + Quoted(attrs.back().name) + " of " + where +
                                " is given twice");
                }
            }
        }
        if (standard &&
            !OperatorRules(where, op, attrs, inputCount, leadingGiven, firstInputs, outputCount, scope)) {
            return false;
        }

        // Outputs: defined from here on, once each; a Constant's value kept
        // like an initializer's.
        std::uint32_t constant = Scope::kNotInit;
        const AttrInfo* value = standard && op == "Constant" ? FindAttr(attrs, "value") : nullptr;
        if (scope != nullptr && value != nullptr && !value->tensor.empty()) {
            InitDims dims;
            dims.tensor = value->tensor;
            dims.rank = value->tensorDims.size() <= dims.dims.size()
                            ? static_cast<int>(value->tensorDims.size())
                            : -1;
            for (int i = 0; i < dims.rank; ++i)
                dims.dims[static_cast<std::size_t>(i)] = value->tensorDims[static_cast<std::size_t>(i)];
            constant = static_cast<std::uint32_t>(scope->initDims.size());
            scope->initDims.push_back(dims);
        }
        std::size_t index = 0;
        for (ProtoReader reader(msg); reader.Next(f);) {
            if (f.wire != kWireBytes || f.number != node::kOutput) continue;
            const std::string_view out = f.payload;
            if (index++ == 0 && out.empty()) return Fail(where + " has no first output");
            if (out.empty()) continue;
            if (!IsValidName(out))
                return Fail(where + " writes " + Quoted(out) + ", a name that is not valid UTF-8 text");
            if (scope == nullptr) continue;
            bool fresh = false;
            if (!AddValue(*scope, out, index == 1 ? constant : Scope::kNotInit, fresh)) return false;
            if (!fresh) return Fail(where + " writes " + Quoted(out) + ", which is already defined");
        }
        if (index == 0) return Fail(where + " has no output");
        return true;
    }

    static const AttrInfo* FindAttr(const std::vector<AttrInfo>& attrs, std::string_view name) {
        for (const AttrInfo& a : attrs) {
            if (a.name == name) return &a;
        }
        return nullptr;
    }

    // The attributes and inputs the importer takes from a standard operator
    // without checking them.
    bool OperatorRules(const std::string& where, std::string_view op, const std::vector<AttrInfo>& attrs,
                       std::size_t inputCount, std::size_t leadingGiven,
                       const std::array<std::string_view, 4>& firstInputs, std::size_t outputCount,
                       const Scope* scope) {
        for (const AttrInfo& a : attrs) {
            const AttributeKind kind = ExpectedKind(op, a.name);
            if (kind != AttributeKind::kUndefined && !a.Holds(kind)) {
                return Fail("attribute " + Quoted(a.name) + " of " + where + " must be " + KindName(kind));
            }
        }
        const auto missing = [&](const std::string& what) { return Fail(where + " has no " + what); };

        // Axes: the importer sizes arrays by them.
        const auto axesOk = [&](const std::vector<std::int64_t>& values, std::uint64_t count) {
            if (count > static_cast<std::uint64_t>(kMaxTensorRank)) return false;
            for (const std::int64_t v : values) {
                if (v < -kMaxTensorRank || v > kMaxTensorRank) return false;
            }
            return true;
        };
        for (const AttrInfo& a : attrs) {
            if ((a.name == "axis" && !axesOk({a.i}, 1)) ||
                (a.name == "axes" && !axesOk(a.intValues, a.ints))) {
                return Fail("attribute " + Quoted(a.name) + " of " + where +
                            " is not an axis of a tensor of at most " + std::to_string(kMaxTensorRank) +
                            " dimensions");
            }
        }
        const bool axesInput1 = op == "Unsqueeze" || op == "Squeeze" || op.substr(0, 6) == "Reduce";
        const std::size_t axesAt = op == "Slice" ? 3 : (axesInput1 ? 1 : 0);
        if (axesAt != 0 && scope != nullptr && inputCount > axesAt && !firstInputs[axesAt].empty()) {
            bool found = false;
            const InitDims* known = scope->Find(firstInputs[axesAt], found);
            std::vector<std::int64_t> values;
            if (known != nullptr && !known->tensor.empty() &&
                (!TensorInts(known->tensor, static_cast<std::size_t>(kMaxTensorRank), values) ||
                 !axesOk(values, values.size()))) {
                return Fail(where + " reads axes " + Quoted(firstInputs[axesAt]) +
                            " that are not integer axes of a tensor of at most " +
                            std::to_string(kMaxTensorRank) + " dimensions");
            }
        }
        std::size_t required = RequiredInputs(op);
        if (op == "Reshape" && FindAttr(attrs, "shape") == nullptr) required = 2;
        if (op == "Slice" && (FindAttr(attrs, "starts") == nullptr || FindAttr(attrs, "ends") == nullptr))
            required = 3;
        if (op == "Upsample" && FindAttr(attrs, "scales") == nullptr) required = 2;
        if (op == "Resize") {
            const bool scalesOrSizes = (inputCount == 2 && !firstInputs[1].empty()) ||
                                       (inputCount >= 3 && (!firstInputs[2].empty() ||
                                                            (inputCount >= 4 && !firstInputs[3].empty())));
            if (!scalesOrSizes) return missing("scales or sizes input");
            required = 1;
        }
        if (leadingGiven < required) {
            return Fail(where + " has " + std::to_string(leadingGiven) + " of the " +
                        std::to_string(required) + " inputs it needs");
        }

        // Windowed operators: one kernel side, stride and dilation per spatial
        // axis, two pads per axis.
        const bool conv = op == "Conv" || op == "ConvTranspose";
        const bool pool = op == "MaxPool" || op == "AveragePool" || op == "LpPool";
        if (conv || pool) {
            const AttrInfo* kernel = FindAttr(attrs, "kernel_shape");
            if (pool && kernel == nullptr) return missing("kernel_shape");
            std::uint64_t axes = kernel != nullptr ? kernel->ints : 0;
            const InitDims* weight = nullptr;
            if (conv && scope != nullptr) {
                bool found = false;
                weight = scope->Find(firstInputs[1], found);
                if (weight != nullptr && weight->rank < 3) {
                    return Fail(
                        where + " has a weight " + Quoted(firstInputs[1]) + " of " +
                        (weight->rank < 0 ? std::string("more than 5") : std::to_string(weight->rank)) +
                        " dimensions (3 to 5 expected)");
                }
                if (weight != nullptr && axes == 0) axes = static_cast<std::uint64_t>(weight->rank - 2);
            }
            const auto sides = [&](const char* attr, std::uint64_t per, std::int64_t low) {
                const AttrInfo* a = FindAttr(attrs, attr);
                if (a == nullptr) return true;
                if (axes == 0 && a->ints % per == 0) axes = a->ints / per;
                if (axes < 1 || axes > 3 || a->ints != axes * per) {
                    return Fail(
                        "attribute '" + std::string(attr) + "' of " + where + " has " +
                        std::to_string(a->ints) + " values (" +
                        (axes >= 1 && axes <= 3 ? std::to_string(axes * per) : "one to three per axis") +
                        " expected)");
                }
                for (const std::int64_t v : a->intValues) {
                    if (v < low || v > kMaxWindowSide) {
                        return Fail("attribute '" + std::string(attr) + "' of " + where + " holds " +
                                    std::to_string(v) + " (" + std::to_string(low) + " to " +
                                    std::to_string(kMaxWindowSide) + " expected)");
                    }
                }
                return true;
            };
            if (!sides("kernel_shape", 1, 1) || !sides("strides", 1, 1) || !sides("dilations", 1, 1) ||
                !sides("pads", 2, 0)) {
                return false;
            }
            if (op == "ConvTranspose" && (!sides("output_padding", 1, 0) || !sides("output_shape", 1, 0))) {
                return false;
            }
            const AttrInfo* group = FindAttr(attrs, "group");
            if (group != nullptr && (group->i < 1 || group->i > kMaxWindowSide)) {
                return Fail("attribute 'group' of " + where + " is " + std::to_string(group->i));
            }
            if (weight != nullptr && weight->rank > 0) {
                if (kernel != nullptr && static_cast<std::uint64_t>(weight->rank) != kernel->ints + 2) {
                    return Fail(where + " has a weight of " + std::to_string(weight->rank) +
                                " dimensions for " + std::to_string(kernel->ints) + " kernel sides");
                }
                for (std::size_t k = 0; kernel != nullptr && k < kernel->intValues.size(); ++k) {
                    if (weight->dims[k + 2] != kernel->intValues[k]) {
                        return Fail(where + " has a kernel_shape that does not match its weight " +
                                    Quoted(firstInputs[1]));
                    }
                }
                const std::int64_t groups = group != nullptr ? group->i : 1;
                if (op == "Conv" && weight->dims[0] % groups != 0) {
                    return Fail(where + " has " + std::to_string(weight->dims[0]) +
                                " filters, not a multiple of its " + std::to_string(groups) + " groups");
                }
                if (inputCount >= 3 && !firstInputs[2].empty()) {
                    bool found = false;
                    const InitDims* bias = scope->Find(firstInputs[2], found);
                    const std::int64_t channels = op == "Conv" ? weight->dims[0] : weight->dims[1] * groups;
                    if (bias != nullptr && (bias->rank != 1 || bias->dims[0] != channels)) {
                        return Fail(where + " has a bias " + Quoted(firstInputs[2]) + " that does not hold " +
                                    std::to_string(channels) + " values");
                    }
                }
            }
        }

        if (op == "Transpose") {
            const AttrInfo* perm = FindAttr(attrs, "perm");
            if (perm != nullptr) {
                std::vector<char> seen(perm->intValues.size(), 0);
                bool ok = perm->ints <= static_cast<std::uint64_t>(kMaxTensorRank) &&
                          perm->intValues.size() == perm->ints;
                for (std::size_t k = 0; ok && k < perm->intValues.size(); ++k) {
                    const std::int64_t v = perm->intValues[k];
                    ok = v >= 0 && static_cast<std::uint64_t>(v) < perm->ints &&
                         !seen[static_cast<std::size_t>(v)];
                    if (ok) seen[static_cast<std::size_t>(v)] = 1;
                }
                if (!ok) return Fail("attribute 'perm' of " + where + " is not a permutation of the axes");
            }
        }
        if (op == "Concat" && FindAttr(attrs, "axis") == nullptr) return missing("axis");
        if (op == "Split") {
            const AttrInfo* split = FindAttr(attrs, "split");
            if (split != nullptr) {
                if (split->ints != outputCount) {
                    return Fail("attribute 'split' of " + where + " has " + std::to_string(split->ints) +
                                " parts for " + std::to_string(outputCount) + " outputs");
                }
                for (const std::int64_t v : split->intValues) {
                    if (v < 0) return Fail("attribute 'split' of " + where + " has a negative part");
                }
            }
        }
        if (op == "Slice" && inputCount < 3) {
            const AttrInfo* starts = FindAttr(attrs, "starts");
            const AttrInfo* ends = FindAttr(attrs, "ends");
            const AttrInfo* axes = FindAttr(attrs, "axes");
            if (starts->ints == 0 || starts->ints > static_cast<std::uint64_t>(kMaxTensorRank) ||
                ends->ints != starts->ints || (axes != nullptr && axes->ints != starts->ints)) {
                return Fail(where + " has starts, ends and axes of different or unusable lengths");
            }
        }
        if (op == "Upsample") {
            const AttrInfo* scales = FindAttr(attrs, "scales");
            if (scales != nullptr &&
                (scales->floats < 1 || scales->floats > static_cast<std::uint64_t>(kMaxTensorRank))) {
                return Fail("attribute 'scales' of " + where + " has " + std::to_string(scales->floats) +
                            " values");
            }
        }
        if (op == "Constant" && FindAttr(attrs, "value") == nullptr && attrs.size() != 1) {
            return Fail(where + " has " + std::to_string(attrs.size()) + " values (one expected)");
        }
        return true;
    }

    bool Attribute(std::string_view msg, const std::string& nodeWhere, int depth, const Scope* scope,
                   AttrInfo& a) {
        ProtoReader reader(msg);
        ProtoField f;
        while (reader.Next(f)) {
            if (f.number == attribute::kName && f.wire == kWireBytes) a.name = f.payload;
        }
        if (reader.Malformed()) return Malformed("an attribute of " + nodeWhere);
        const std::string where = "attribute " + Quoted(a.name) + " of " + nodeWhere;
        TensorInfo info;
        if (!IsValidName(a.name)) return Fail(where + " has a name that is not valid UTF-8 text");
        const auto twice = [&](bool& seen, const char* field) {
            if (seen) return Fail(where + " gives its " + field + " twice");
            seen = true;
            return true;
        };
        for (ProtoReader fields(msg); fields.Next(f);) {
            bool ok = true;
            switch (f.number) {
                case attribute::kType:
                    if (f.wire == kWireVarint)
                        a.declared = static_cast<AttributeKind>(static_cast<std::uint32_t>(f.varint));
                    break;
                case attribute::kF:
                    if (f.wire == kWireFixed32) a.hasF = true;
                    break;
                case attribute::kI:
                    if (f.wire == kWireVarint) {
                        a.hasI = true;
                        a.i = static_cast<std::int64_t>(f.varint);
                    }
                    break;
                case attribute::kS:
                    if (f.wire == kWireBytes) a.hasS = true;
                    break;
                case attribute::kFloats:
                    if (!CountEntries(f, 4, a.floats)) return Malformed("the floats of " + where);
                    break;
                case attribute::kInts:
                    if (!ForEachVarint(f, [&](std::uint64_t v) {
                            if (a.intValues.size() < kKeptInts)
                                a.intValues.push_back(static_cast<std::int64_t>(v));
                            ++a.ints;
                            return true;
                        })) {
                        return Malformed("the ints of " + where);
                    }
                    break;
                case attribute::kStrings:
                    if (f.wire == kWireBytes) ++a.strings;
                    break;
                case attribute::kTensor:
                    if (f.wire != kWireBytes) break;
                    if (!twice(a.hasT, "tensor") || !Tensor(f.payload, where, &info)) return false;
                    a.tensor = f.payload;
                    a.tensorDims = std::move(info.dims);
                    break;
                case attribute::kTensors:
                    if (f.wire != kWireBytes) break;
                    ++a.tensors;
                    ok = Tensor(f.payload, where);
                    break;
                case attribute::kSparseTensor:
                    if (f.wire != kWireBytes) break;
                    ok = twice(a.hasSparse, "sparse tensor") && SparseTensor(f.payload, where);
                    break;
                case attribute::kSparseTensors:
                    if (f.wire != kWireBytes) break;
                    ++a.sparseTensors;
                    ok = SparseTensor(f.payload, where);
                    break;
                case attribute::kGraph:
                case attribute::kGraphs: {
                    if (f.wire != kWireBytes) break;
                    if (f.number == attribute::kGraph) {
                        ok = twice(a.hasG, "graph");
                    } else {
                        ++a.graphs;
                    }
                    ok = ok && Graph(f.payload, depth + 1, scope, scope != nullptr);
                    break;
                }
                case attribute::kTypeProto:
                    if (f.wire == kWireBytes) ok = twice(a.hasType, "type");
                    break;
                case attribute::kTypeProtos:
                    if (f.wire == kWireBytes) ++a.types;
                    break;
                default: break;
            }
            if (!ok) return false;
        }
        return true;
    }

    // What a caller needs from a checked tensor.
    struct TensorInfo {
        std::int64_t type = 0;
        std::vector<std::int64_t> dims;
        std::uint64_t count = 0;
        std::string_view name;
    };

    bool Tensor(std::string_view msg, const std::string& where, TensorInfo* info = nullptr) {
        TensorInfo t;
        std::uint64_t location = 0;
        bool external = false, segmented = false, haveRaw = false, dimsOk = true;
        std::string_view raw;
        ProtoField f;
        ProtoReader reader(msg);
        while (reader.Next(f)) {
            switch (f.number) {
                case tensor::kDims: dimsOk = dimsOk && ReadDims(f, t.dims); break;
                case tensor::kDataType:
                    if (f.wire == kWireVarint) t.type = static_cast<std::int64_t>(f.varint);
                    break;
                case tensor::kName:
                    if (f.wire == kWireBytes) t.name = f.payload;
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
        if (reader.Malformed()) return Malformed("a tensor in " + where);
        const auto what = [&] { return "tensor " + Quoted(t.name) + " (" + where + ")"; };
        if (!dimsOk) {
            if (t.dims.size() > static_cast<std::size_t>(kMaxTensorRank)) {
                return Fail(what() + " has more than " + std::to_string(kMaxTensorRank) + " dimensions");
            }
            return Malformed("the dims of " + what());
        }
        if (external || location != 0) {
            return Fail(what() +
                        " keeps its data in an external file; only self-contained models are supported");
        }
        if (segmented) return Fail(what() + " is split into segments, which is not supported");
        ElementLayout layout;
        if (!LayoutOfElement(t.type, layout)) {
            return Fail(what() + " has an unknown element type (" + std::to_string(t.type) + ")");
        }
        std::string why;
        if (!ElementCount(t.dims, t.count, why)) return Fail(what() + " " + why);

        // Entries in each typed field; any outside the type's own field is a lie.
        std::uint64_t typed = 0;
        for (ProtoReader fields(msg); fields.Next(f);) {
            unsigned fixed = 0;
            switch (f.number) {
                case tensor::kFloatData: fixed = 4; break;
                case tensor::kDoubleData: fixed = 8; break;
                case tensor::kInt32Data:
                case tensor::kInt64Data:
                case tensor::kUint64Data: fixed = 0; break;
                case tensor::kStringData:
                    if (f.number != layout.typedField) {
                        return Fail(what() + " holds strings but is not a string tensor");
                    }
                    ++typed;
                    continue;
                default: continue;
            }
            if (f.number != layout.typedField) {
                return Fail(what() + " holds data in a field that does not match its element type");
            }
            if (!CountEntries(f, fixed, typed)) return Malformed("the data of " + what());
        }

        const std::uint64_t elements = layout.fourBit ? (t.count + 1) / 2 : t.count;
        if (haveRaw) {
            if (typed != 0) return Fail(what() + " holds both raw and typed data");
            if (layout.rawBytes == 0) return Fail(what() + " is a string tensor with raw data");
            const std::uint64_t expected = elements * layout.rawBytes;
            if (raw.size() != expected) {
                return Fail(what() + " declares " + std::to_string(t.count) + " elements (" +
                            std::to_string(expected) + " bytes) but holds " + std::to_string(raw.size()) +
                            " bytes");
            }
        } else {
            const std::uint64_t expected = elements * layout.entriesPerElement;
            if (typed != expected) {
                return Fail(what() + " declares " + std::to_string(t.count) + " elements but holds " +
                            std::to_string(typed) + " values");
            }
        }
        if (info != nullptr) *info = std::move(t);
        return true;
    }

    // values: 1-D [NNZ]; indices: INT64, [NNZ] (linear) or [NNZ, rank].
    // `info`, when given, gets the dense shape and the values' name.
    bool SparseTensor(std::string_view msg, const std::string& where, TensorInfo* info = nullptr) {
        std::vector<std::int64_t> dims;
        TensorInfo values, indices;
        bool haveValues = false, haveIndices = false, dimsOk = true;
        ProtoField f;
        ProtoReader reader(msg);
        while (reader.Next(f)) {
            if (f.number == sparse::kDims) {
                dimsOk = dimsOk && ReadDims(f, dims);
            } else if (f.number == sparse::kValues && f.wire == kWireBytes) {
                if (haveValues) return Fail("a sparse tensor in " + where + " gives its values twice");
                if (!Tensor(f.payload, "values of a sparse tensor in " + where, &values)) return false;
                haveValues = true;
            } else if (f.number == sparse::kIndices && f.wire == kWireBytes) {
                if (haveIndices) return Fail("a sparse tensor in " + where + " gives its indices twice");
                if (!Tensor(f.payload, "indices of a sparse tensor in " + where, &indices)) return false;
                haveIndices = true;
            }
        }
        if (reader.Malformed() || !dimsOk) return Malformed("a sparse tensor in " + where);
        const std::string what = "sparse tensor (" + where + ")";
        std::uint64_t dense = 0;
        std::string why;
        if (!ElementCount(dims, dense, why)) return Fail(what + " " + why);
        if (!haveValues || values.dims.size() != 1) return Fail(what + " has no 1-D values");
        const std::uint64_t nnz = values.count;
        if (nnz > dense) return Fail(what + " has more values than elements");
        if (!haveIndices && nnz != 0) return Fail(what + " has values but no indices");
        if (haveIndices) {
            if (indices.type != elem::kInt64) return Fail(what + " has indices that are not int64");
            const bool linear = indices.dims.size() == 1 && indices.count == nnz;
            const bool perAxis = indices.dims.size() == 2 && indices.dims[0] >= 0 &&
                                 static_cast<std::uint64_t>(indices.dims[0]) == nnz &&
                                 static_cast<std::size_t>(indices.dims[1]) == dims.size();
            if (!linear && !perAxis) return Fail(what + " has indices that do not match its values");
        }
        if (info != nullptr) {
            info->type = values.type;
            info->dims = std::move(dims);
            info->count = dense;
            info->name = values.name;
        }
        return true;
    }

    std::string& error_;
    std::size_t values_ = 0;
};

// Whether a ModelProto may start with a field keyed `key`: a known field
// number with its wire type.
bool IsModelKey(std::uint64_t key) {
    const std::uint64_t number = key >> 3, wire = key & 7;
    switch (number) {
        case model::kIrVersion:
        case model::kModelVersion: return wire == kWireVarint;
        case model::kProducerName:
        case model::kProducerVersion:
        case model::kDomain:
        case model::kDocString:
        case model::kGraph:
        case model::kOpsetImport:
        case model::kMetadataProps:
        case model::kTrainingInfo:
        case model::kFunctions: return wire == kWireBytes;
        default: return false;
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
            std::string_view first(reinterpret_cast<const char*>(head), static_cast<std::size_t>(want));
            std::uint64_t key = 0;
            if (!ReadVarint(first, key) || !IsModelKey(key)) {
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
