#include "model/ConstantFolding.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "onnx/OnnxFields.h"
#include "onnx/OnnxModelCheck.h"
#include "onnx/OnnxNode.h"
#include "onnx/ProtobufWire.h"
#include "support/ExceptionText.h"

namespace korva::detail {
namespace {

constexpr auto kTypeFloat = static_cast<std::uint64_t>(onnx::elem::kFloat);
constexpr auto kTypeInt64 = static_cast<std::uint64_t>(onnx::elem::kInt64);
constexpr auto kTypeInt32 = static_cast<std::uint64_t>(onnx::elem::kInt32);
constexpr auto kTypeInt16 = static_cast<std::uint64_t>(onnx::elem::kInt16);
constexpr auto kTypeInt8 = static_cast<std::uint64_t>(onnx::elem::kInt8);
constexpr auto kTypeDouble = static_cast<std::uint64_t>(onnx::elem::kDouble);
constexpr auto kTypeFloat16 = static_cast<std::uint64_t>(onnx::elem::kFloat16);
constexpr auto kTypeBfloat16 = static_cast<std::uint64_t>(onnx::elem::kBfloat16);
constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
// Values are kept for tensors this small: enough for shapes and scalars.
constexpr std::size_t kMaxKeptValues = 64;

std::uint64_t Mul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kSaturated / b ? kSaturated : a * b;
}

std::uint64_t Add(std::uint64_t a, std::uint64_t b) { return a > kSaturated - b ? kSaturated : a + b; }

// Bytes per element of an ONNX element type (a four-bit type counted as a
// byte); 0 for strings and unknown types.
std::uint64_t ElementBytes(std::uint64_t type) {
    onnx::ElementLayout layout;
    if (type > 255 || !onnx::LayoutOfElement(static_cast<std::int64_t>(type), layout)) return 0;
    return layout.rawBytes;
}

// A tensor whose shape the scan knows, with its values when it is small.
struct Known {
    std::uint64_t type = kTypeFloat;
    std::vector<std::uint64_t> dims;
    bool hasValues = false;
    std::vector<double> values;
};

std::uint64_t Elements(const std::vector<std::uint64_t>& dims) {
    std::uint64_t n = 1;
    for (std::uint64_t d : dims) n = Mul(n, d);
    return n;
}

std::uint64_t Bytes(const Known& k) { return Mul(Elements(k.dims), ElementBytes(k.type)); }

// A value used as a size: a non-negative whole number, saturated above.
bool AsSize(double v, std::uint64_t& size) {
    if (!(v >= 0.0) || std::floor(v) != v) return false;  // negative, NaN or fractional
    size = v >= 18446744073709551615.0 ? kSaturated : static_cast<std::uint64_t>(v);
    return true;
}

std::uint64_t LittleEndian(const char* p, unsigned n) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return v;
}

double FloatBits(std::uint64_t bits) {
    const auto b = static_cast<std::uint32_t>(bits);
    float f = 0;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

double DoubleBits(std::uint64_t bits) {
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// One element of raw_data as a number; false for types read no further.
bool RawValue(const char* p, std::uint64_t type, double& v) {
    switch (type) {
        case onnx::elem::kFloat: v = FloatBits(LittleEndian(p, 4)); return true;
        case onnx::elem::kDouble: v = DoubleBits(LittleEndian(p, 8)); return true;
        case onnx::elem::kUint8: case onnx::elem::kBool: v = static_cast<double>(LittleEndian(p, 1)); return true;
        case onnx::elem::kInt8: v = static_cast<std::int8_t>(LittleEndian(p, 1)); return true;
        case onnx::elem::kUint16: v = static_cast<double>(LittleEndian(p, 2)); return true;
        case onnx::elem::kInt16: v = static_cast<std::int16_t>(LittleEndian(p, 2)); return true;
        case onnx::elem::kInt32: v = static_cast<std::int32_t>(LittleEndian(p, 4)); return true;
        case onnx::elem::kUint32: v = static_cast<double>(LittleEndian(p, 4)); return true;
        case onnx::elem::kInt64: v = static_cast<double>(static_cast<std::int64_t>(LittleEndian(p, 8))); return true;
        case onnx::elem::kUint64: v = static_cast<double>(LittleEndian(p, 8)); return true;
        default: return false;
    }
}

// Appends the entries of a repeated numeric field, packed or not. `fixed` is
// 4 or 8 for fixed-width fields, 0 for varints; `type` says how to read them.
bool AppendEntries(const ProtoField& f, unsigned fixed, std::uint64_t type, std::vector<double>& out) {
    auto fromBits = [&](std::uint64_t bits) -> double {
        if (fixed == 4) return FloatBits(bits);
        if (fixed == 8) return DoubleBits(bits);
        if (type == kTypeInt64 || type == kTypeInt32 || type == kTypeInt16 || type == kTypeInt8) {
            return static_cast<double>(static_cast<std::int64_t>(bits));
        }
        return static_cast<double>(bits);
    };
    if (f.wire == kWireBytes) {
        std::string_view in = f.payload;
        while (!in.empty()) {
            std::uint64_t bits = 0;
            if (fixed != 0) {
                if (in.size() < fixed) return false;
                bits = LittleEndian(in.data(), fixed);
                in.remove_prefix(fixed);
            } else if (!ReadVarint(in, bits)) {
                return false;
            }
            out.push_back(fromBits(bits));
            if (out.size() > kMaxKeptValues) return false;
        }
        return true;
    }
    if (fixed == 0 && f.wire == kWireVarint) {
        out.push_back(fromBits(f.varint));
    } else if ((fixed == 4 && f.wire == kWireFixed32) || (fixed == 8 && f.wire == kWireFixed64)) {
        out.push_back(fromBits(LittleEndian(f.raw.data() + f.raw.size() - fixed, fixed)));
    } else {
        return false;
    }
    return out.size() <= kMaxKeptValues;
}

// Appends the dims of a repeated int64 field, packed or not.
bool AppendDims(const ProtoField& f, std::vector<std::uint64_t>& dims) {
    std::string_view in = f.payload;
    std::uint64_t d = f.varint;
    do {
        if (f.wire == kWireBytes && !ReadVarint(in, d)) return false;
        if (f.wire != kWireBytes && f.wire != kWireVarint) return false;
        if (static_cast<std::int64_t>(d) < 0 || dims.size() >= 64) return false;
        dims.push_back(d);
    } while (f.wire == kWireBytes && !in.empty());
    return true;
}

// Shape, type and (when small) values of a TensorProto. False when it is not
// readable; values are left out when they are not plainly stored.
bool ReadTensor(std::string_view msg, Known& k) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    k = Known{};
    std::string_view raw;
    bool hasRaw = false;
    for (const ProtoField& f : fields) {
        if (f.number == onnx::tensor::kDims) {
            if (!AppendDims(f, k.dims)) return false;
        } else if (f.number == onnx::tensor::kDataType && f.wire == kWireVarint) {
            k.type = f.varint;
        } else if (f.number == onnx::tensor::kRawData && f.wire == kWireBytes) {
            raw = f.payload;
            hasRaw = true;
        }
    }
    const std::uint64_t n = Elements(k.dims);
    const std::uint64_t width = ElementBytes(k.type);
    if (n > kMaxKeptValues || width == 0 || k.type == kTypeFloat16 || k.type == kTypeBfloat16) return true;
    std::vector<double> values;
    if (hasRaw) {
        if (raw.size() != n * width) return true;
        for (std::uint64_t i = 0; i < n; ++i) {
            double v = 0;
            if (!RawValue(raw.data() + i * width, k.type, v)) return true;
            values.push_back(v);
        }
    } else {
        for (const ProtoField& f : fields) {
            bool ok = true;
            if (f.number == onnx::tensor::kFloatData && k.type == kTypeFloat) ok = AppendEntries(f, 4, k.type, values);
            if (f.number == onnx::tensor::kDoubleData && k.type == kTypeDouble) ok = AppendEntries(f, 8, k.type, values);
            if (f.number == onnx::tensor::kInt64Data || f.number == onnx::tensor::kInt32Data || f.number == onnx::tensor::kUint64Data) {
                ok = AppendEntries(f, 0, k.type, values);
            }
            if (!ok) return true;
        }
        if (values.size() != n) return true;
    }
    k.values = std::move(values);
    k.hasValues = true;
    return true;
}

// The dense size of a SparseTensorProto.
bool ReadSparse(std::string_view msg, Known& k) {
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return false;
    k = Known{};
    for (const ProtoField& f : fields) {
        if (f.number == onnx::sparse::kDims) {
            if (!AppendDims(f, k.dims)) return false;
        } else if (f.number == onnx::sparse::kValues && f.wire == kWireBytes) {
            Known values;
            if (!ReadTensor(f.payload, values)) return false;
            k.type = values.type;
        }
    }
    return true;
}

Known Vector(std::uint64_t type, std::vector<double> values) {
    Known k;
    k.type = type;
    k.dims = {values.size()};
    k.hasValues = true;
    k.values = std::move(values);
    return k;
}

// The values a graph sees: its own names over those of the graphs around it.
class Scope {
public:
    explicit Scope(const Scope* outer = nullptr) : outer_(outer) {}
    const Known* Find(std::string_view name) const {
        for (const Scope* s = this; s != nullptr; s = s->outer_) {
            const auto it = s->own_.find(name);
            if (it != s->own_.end()) return it->second.has_value() ? &*it->second : nullptr;
        }
        return nullptr;
    }
    void Set(std::string_view name, Known k) { own_[std::string(name)] = std::move(k); }
    // A value the scan does not know hides a constant of the same name.
    void Hide(std::string_view name) {
        if (Find(name) != nullptr) own_[std::string(name)] = std::nullopt;
    }

private:
    const Scope* outer_;
    std::map<std::string, std::optional<Known>, std::less<>> own_;
};

class Scanner {
public:
    explicit Scanner(FoldedConstants& folded) : folded_(folded) {}

    bool Model(std::string_view msg) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return false;
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            if (f.number == onnx::model::kGraph) Graph(f.payload, nullptr, 0);
            if (f.number == onnx::model::kFunctions) {
                std::vector<ProtoField> function;
                if (!SplitMessage(f.payload, function)) continue;
                Scope scope;
                for (const ProtoField& n : function) {
                    if (n.number == onnx::function::kNode && n.wire == kWireBytes) Node(n.payload, scope, 0);
                }
            }
        }
        return true;
    }

private:
    // Names defined inside a subgraph stay inside it. What cannot be read
    // is passed over (the model check has refused it before).
    void Graph(std::string_view msg, const Scope* outer, int depth) {
        if (depth > kMaxGraphNesting) return;
        Scope scope(outer);
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return;
        // A subgraph's inputs (a Loop's iteration values) hide outer names.
        for (const ProtoField& f : fields) {
            if (depth > 0 && f.number == onnx::graph::kInput && f.wire == kWireBytes) {
                std::vector<ProtoField> info;
                if (!SplitMessage(f.payload, info)) continue;
                for (const ProtoField& i : info) {
                    if (i.number == onnx::value_info::kName && i.wire == kWireBytes) scope.Hide(i.payload);
                }
            }
        }
        for (const ProtoField& f : fields) {
            if (f.wire != kWireBytes) continue;
            if (f.number == onnx::graph::kInitializer) {
                Known k;
                std::string name;
                if (ReadTensor(f.payload, k) && TensorName(f.payload, name)) scope.Set(name, std::move(k));
            } else if (f.number == onnx::graph::kSparseInitializer) {
                Known k;
                if (ReadSparse(f.payload, k)) Count("sparse initializer", "", Bytes(k));
            }
        }
        for (const ProtoField& f : fields) {
            if (f.number == onnx::graph::kNode && f.wire == kWireBytes) Node(f.payload, scope, depth);
        }
    }

    static bool TensorName(std::string_view msg, std::string& name) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(msg, fields)) return false;
        for (const ProtoField& f : fields) {
            if (f.number == onnx::tensor::kName && f.wire == kWireBytes) name.assign(f.payload);
        }
        return true;
    }

    void Node(std::string_view msg, Scope& scope, int depth) {
        OnnxNode node;
        if (!ReadOnnxNode(msg, node)) return;
        for (std::string_view attribute : node.attributes) Subgraphs(attribute, scope, depth);
        Known result;
        const bool known = node.IsStandard() && Evaluate(node, scope, result);
        for (std::size_t i = 0; i < node.outputs.size(); ++i) {
            if (known && i == 0) {
                scope.Set(node.outputs[i], std::move(result));
            } else {
                scope.Hide(node.outputs[i]);
            }
        }
    }

    void Subgraphs(std::string_view attribute, const Scope& scope, int depth) {
        std::vector<ProtoField> fields;
        if (!SplitMessage(attribute, fields)) return;
        for (const ProtoField& f : fields) {
            if (f.wire == kWireBytes && (f.number == onnx::attribute::kGraph || f.number == onnx::attribute::kGraphs)) {
                Graph(f.payload, &scope, depth + 1);
            }
        }
    }

    const Known* Input(const OnnxNode& node, const Scope& scope, std::size_t i) const {
        if (i >= node.inputs.size() || node.inputs[i].empty()) return nullptr;
        return scope.Find(node.inputs[i]);
    }

    static const Known* WithValues(const Known* k) { return k != nullptr && k->hasValues ? k : nullptr; }

    // The attribute named `name`, split into its fields.
    static bool Attribute(const OnnxNode& node, std::string_view name, std::vector<ProtoField>& fields) {
        for (std::string_view a : node.attributes) {
            if (!SplitMessage(a, fields)) continue;
            for (const ProtoField& f : fields) {
                if (f.number == onnx::attribute::kName && f.wire == kWireBytes && f.payload == name) return true;
            }
        }
        fields.clear();
        return false;
    }

    // The output of `node` when the scan can size it, counting what a
    // computing operator materialises.
    bool Evaluate(const OnnxNode& node, const Scope& scope, Known& out) {
        const std::string_view op = node.opType;
        std::vector<ProtoField> attr;
        if (op == "Constant") return ConstantValue(node, out);
        if (op == "ConstantOfShape") {
            const Known* shape = WithValues(Input(node, scope, 0));
            if (shape == nullptr) return false;
            for (double v : shape->values) {
                std::uint64_t d = 0;
                if (!AsSize(v, d)) return false;
                out.dims.push_back(d);
            }
            double fill = 0;
            if (Attribute(node, "value", attr)) {
                for (const ProtoField& f : attr) {
                    Known value;
                    if (f.number == onnx::attribute::kTensor && f.wire == kWireBytes && ReadTensor(f.payload, value)) {
                        out.type = value.type;
                        if (value.hasValues && value.values.size() == 1) fill = value.values[0];
                    }
                }
            }
            Count(node, Bytes(out));
            SmallValues(out, fill);
            return true;
        }
        if (op == "Expand") {
            const Known* data = Input(node, scope, 0);
            const Known* shape = WithValues(Input(node, scope, 1));
            if (data == nullptr || shape == nullptr) return false;
            std::vector<std::uint64_t> dims;
            for (double v : shape->values) {
                std::uint64_t d = 0;
                if (!AsSize(v, d)) return false;
                dims.push_back(d);
            }
            // Broadcast, aligned from the right.
            const std::vector<std::uint64_t>& in = data->dims;
            const std::size_t rank = std::max(in.size(), dims.size());
            out.type = data->type;
            out.dims.assign(rank, 1);
            for (std::size_t i = 0; i < rank; ++i) {
                const std::uint64_t a = i < in.size() ? in[in.size() - 1 - i] : 1;
                const std::uint64_t b = i < dims.size() ? dims[dims.size() - 1 - i] : 1;
                out.dims[rank - 1 - i] = a == 1 ? b : a;
            }
            Count(node, Bytes(out));
            return true;
        }
        if (op == "Tile") {
            const Known* data = Input(node, scope, 0);
            const Known* repeats = WithValues(Input(node, scope, 1));
            if (data == nullptr || repeats == nullptr || repeats->values.size() != data->dims.size()) return false;
            out.type = data->type;
            for (std::size_t i = 0; i < data->dims.size(); ++i) {
                std::uint64_t r = 0;
                if (!AsSize(repeats->values[i], r)) return false;
                out.dims.push_back(Mul(data->dims[i], r));
            }
            Count(node, Bytes(out));
            return true;
        }
        if (op == "Range") {
            const Known* start = WithValues(Input(node, scope, 0));
            const Known* limit = WithValues(Input(node, scope, 1));
            const Known* delta = WithValues(Input(node, scope, 2));
            if (start == nullptr || limit == nullptr || delta == nullptr || start->values.size() != 1 ||
                limit->values.size() != 1 || delta->values.size() != 1 || delta->values[0] == 0) {
                return false;
            }
            const double steps = std::ceil((limit->values[0] - start->values[0]) / delta->values[0]);
            std::uint64_t n = 0;
            if (!(steps <= 0.0) && !AsSize(steps, n)) return false;  // NaN or infinite
            out.type = start->type;
            out.dims = {n};
            Count(node, Bytes(out));
            if (n <= kMaxKeptValues) {
                out.hasValues = true;
                for (std::uint64_t i = 0; i < n; ++i) {
                    out.values.push_back(start->values[0] + static_cast<double>(i) * delta->values[0]);
                }
            }
            return true;
        }
        return ShapeArithmetic(node, scope, out);
    }

    // Small shape tensors computed from constants, so that a size built from
    // a few constant nodes is still known.
    bool ShapeArithmetic(const OnnxNode& node, const Scope& scope, Known& out) {
        const std::string_view op = node.opType;
        const Known* a = WithValues(Input(node, scope, 0));
        if (a == nullptr) return false;
        if (op == "Identity" || op == "Unsqueeze" || op == "Squeeze" || op == "Reshape" || op == "Flatten") {
            out = Vector(a->type, a->values);
            return true;
        }
        if (op == "Cast") {
            std::vector<ProtoField> attr;
            out = Vector(a->type, a->values);
            if (Attribute(node, "to", attr)) {
                for (const ProtoField& f : attr) {
                    if (f.number == onnx::attribute::kI && f.wire == kWireVarint) out.type = f.varint;
                }
            }
            if (out.type != kTypeFloat && out.type != kTypeDouble && out.type != kTypeFloat16 && out.type != kTypeBfloat16) {
                for (double& v : out.values) v = std::trunc(v);
            }
            return true;
        }
        if (op == "Concat") {
            std::vector<double> all;
            for (std::size_t i = 0; i < node.inputs.size(); ++i) {
                const Known* part = WithValues(Input(node, scope, i));
                if (part == nullptr) return false;
                all.insert(all.end(), part->values.begin(), part->values.end());
            }
            if (all.size() > kMaxKeptValues) return false;
            out = Vector(a->type, std::move(all));
            return true;
        }
        if (op == "Mul" || op == "Add" || op == "Sub") {
            const Known* b = WithValues(Input(node, scope, 1));
            if (b == nullptr) return false;
            const std::size_t n = std::max(a->values.size(), b->values.size());
            if ((a->values.size() != n && a->values.size() != 1) || (b->values.size() != n && b->values.size() != 1)) {
                return false;
            }
            std::vector<double> r(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double x = a->values[a->values.size() == 1 ? 0 : i];
                const double y = b->values[b->values.size() == 1 ? 0 : i];
                r[i] = op == "Mul" ? x * y : op == "Add" ? x + y : x - y;
            }
            out = Vector(a->type, std::move(r));
            return true;
        }
        return false;
    }

    // A Constant node's value; a sparse one is counted at its dense size.
    bool ConstantValue(const OnnxNode& node, Known& out) {
        for (std::string_view a : node.attributes) {
            std::vector<ProtoField> fields;
            if (!SplitMessage(a, fields)) continue;
            std::string_view name;
            std::vector<double> list;
            bool isList = false;
            for (const ProtoField& f : fields) {
                if (f.number == onnx::attribute::kName && f.wire == kWireBytes) name = f.payload;
            }
            for (const ProtoField& f : fields) {
                if (name == "value" && f.number == onnx::attribute::kTensor && f.wire == kWireBytes) {
                    return ReadTensor(f.payload, out);
                }
                if (name == "sparse_value" && f.number == onnx::attribute::kSparseTensor && f.wire == kWireBytes) {
                    if (!ReadSparse(f.payload, out)) return false;
                    Count(node, Bytes(out));
                    return true;
                }
                if (name == "value_int" && f.number == onnx::attribute::kI && f.wire == kWireVarint) {
                    out = Vector(kTypeInt64, {static_cast<double>(static_cast<std::int64_t>(f.varint))});
                    out.dims.clear();
                    return true;
                }
                if (name == "value_float" && f.number == onnx::attribute::kF && f.wire == kWireFixed32) {
                    out = Vector(kTypeFloat, {FloatBits(LittleEndian(f.raw.data() + f.raw.size() - 4, 4))});
                    out.dims.clear();
                    return true;
                }
                if (name == "value_ints" && f.number == onnx::attribute::kInts) {
                    if (!AppendEntries(f, 0, kTypeInt64, list)) return false;
                    isList = true;
                }
                if (name == "value_floats" && f.number == onnx::attribute::kFloats) {
                    if (!AppendEntries(f, 4, kTypeFloat, list)) return false;
                    isList = true;
                }
            }
            if (isList) {
                out = Vector(name == "value_ints" ? kTypeInt64 : kTypeFloat, std::move(list));
                return true;
            }
        }
        return false;
    }

    static void SmallValues(Known& k, double fill) {
        const std::uint64_t n = Elements(k.dims);
        if (n > kMaxKeptValues) return;
        k.hasValues = true;
        k.values.assign(static_cast<std::size_t>(n), fill);
    }

    void Count(const OnnxNode& node, std::uint64_t bytes) {
        const std::string_view name = !node.name.empty() ? node.name
                                      : node.outputs.empty() ? std::string_view()
                                                             : node.outputs.front();
        Count(std::string(node.opType) + " node", name, bytes);
    }

    void Count(const std::string& what, std::string_view name, std::uint64_t bytes) {
        folded_.bytes = Add(folded_.bytes, bytes);
        if (bytes <= folded_.largestBytes) return;
        folded_.largestBytes = bytes;
        folded_.largest = what;
        if (!name.empty()) {
            folded_.largest += " '" + OneLine(std::string(name.substr(0, 64))) + (name.size() > 64 ? "...'" : "'");
        }
    }

    FoldedConstants& folded_;
};

std::uint64_t MiB(std::uint64_t bytes) { return bytes >> 20; }

}  // namespace

bool BoundFoldedConstants(const unsigned char* data, std::size_t size, FoldedConstants& folded) noexcept {
    try {
        folded = FoldedConstants{};
        if (data == nullptr) return false;
        return Scanner(folded).Model(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (...) {
        return false;
    }
}

bool CheckFoldedConstants(const FoldedConstants& folded, std::string& error) {
    if (folded.bytes <= kMaxActivationBytes) return true;
    error = "constants computed from the graph (largest: " + folded.largest + ", " +
            std::to_string(MiB(folded.largestBytes)) + " MiB) would materialise " +
            std::to_string(MiB(folded.bytes)) + " MiB, at most " + std::to_string(MiB(kMaxActivationBytes)) +
            " MiB allowed";
    return false;
}

}  // namespace korva::detail
