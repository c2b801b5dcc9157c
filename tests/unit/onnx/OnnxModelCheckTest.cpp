// Checking ONNX bytes before an engine sees them: crafted tensors, limits.
#include "onnx/OnnxModelCheck.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "OnnxTestGraph.h"
#include "engines/EngineRequest.h"
#include "pipeline/DetectionPipeline.h"

namespace {

namespace fs = std::filesystem;
using korva::testing::AddConv;
using korva::testing::IntsAttribute;
using korva::testing::Model;
using korva::testing::Node;
using korva::testing::Proto;
using korva::testing::ValueInfo;

std::string Floats(int n) { return std::string(static_cast<std::size_t>(n) * 4, '\0'); }

// TensorProto with `dims`, element type `type` and raw data `raw`.
Proto RawTensor(const std::string& name, std::initializer_list<std::int64_t> dims, int type,
                const std::string& raw) {
    Proto t;
    for (std::int64_t d : dims) t.Varint(1, static_cast<std::uint64_t>(d));
    t.Varint(2, static_cast<std::uint64_t>(type));
    t.Bytes(8, name);
    t.Bytes(9, raw);
    return t;
}

// FLOAT TensorProto holding `n` values in packed float_data.
Proto TypedFloatTensor(const std::string& name, std::initializer_list<std::int64_t> dims, int n) {
    Proto t;
    for (std::int64_t d : dims) t.Varint(1, static_cast<std::uint64_t>(d));
    t.Varint(2, 1);
    t.Bytes(4, Floats(n));
    t.Bytes(8, name);
    return t;
}

Proto TensorAttribute(const std::string& name, const Proto& tensor) {
    Proto a;
    a.Bytes(1, name);
    a.Message(5, tensor);
    a.Varint(20, 4);  // TENSOR
    return a;
}

Proto Constant(const std::string& out, const Proto& value) {
    return Node("Constant", {}, {out}, out, {TensorAttribute("value", value)});
}

// x [1,3,side,side] -> 3x3 conv to `channels` -> y, plus what `extra` adds.
std::vector<unsigned char> ConvModel(int side, int channels, const std::function<void(Proto&)>& extra = {}) {
    cv::RNG rng(7);
    Proto g;
    g.Bytes(2, "check");
    g.Message(11, ValueInfo("x", {1, 3, side, side}));
    AddConv(g, "c1", "x", "y", 3, channels, rng);
    if (extra) extra(g);
    g.Message(12, ValueInfo("y", {}));
    return Model(g);
}

std::vector<unsigned char> WithGraph(const std::function<void(Proto&)>& extra) {
    return ConvModel(8, 2, extra);
}

// An If node whose then_branch holds `tensor` as an initializer, the branch
// nested `levels` deep in further If nodes.
Proto NestedIf(const Proto& tensor, int levels) {
    Proto body;
    body.Bytes(2, "body");
    body.Message(5, tensor);
    Proto node;
    for (int i = 0; i < levels; ++i) {
        Proto attr;
        attr.Bytes(1, "then_branch");
        attr.Message(6, body);
        attr.Varint(20, 5);  // GRAPH
        node = Node("If", {"x"}, {"r"}, "if" + std::to_string(i), {attr});
        body = Proto();
        body.Bytes(2, "level" + std::to_string(i));
        body.Message(1, node);
    }
    return node;
}

// The demo model with byte `offset` set to `value` (empty when the model is
// not in this checkout).
std::vector<unsigned char> DemoModelWithByte(std::size_t offset, unsigned char value) {
    std::ifstream in(std::string(KORVA_TEST_MODELS_DIR) +
                         "/../../../../assets/models/Korva_WeaponDetection(GPU)_1.0/model.onnx",
                     std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > offset) bytes[offset] = value;
    return bytes;
}

Proto IntAttribute(const std::string& name, int value) {
    return Proto().Bytes(1, name).Varint(3, static_cast<std::uint64_t>(value)).Varint(20, 2);  // INT
}

// A one-node graph on input x [1,3,8,8]: `node` (reading x, writing y) and
// what `extra` adds (initializers, more nodes).
std::vector<unsigned char> OneNode(const Proto& node, const std::function<void(Proto&)>& extra = {}) {
    Proto g;
    g.Message(11, ValueInfo("x", {1, 3, 8, 8}));
    if (extra) extra(g);
    g.Message(1, node);
    g.Message(12, ValueInfo("y", {}));
    return Model(g);
}

// A 3x3 convolution from x to y whose weight and bias `extra` may define.
Proto ConvNode(std::initializer_list<std::string> inputs, std::initializer_list<Proto> attributes) {
    return Node("Conv", inputs, {"y"}, "conv", attributes);
}

void ConvWeights(Proto& g) {
    g.Message(5, RawTensor("w", {2, 3, 3, 3}, 1, Floats(54)));
    g.Message(5, RawTensor("b", {2}, 1, Floats(2)));
}

struct CheckCase {
    const char* name;
    std::function<std::vector<unsigned char>()> build;
    const char* reason;  // nullptr: accepted; else a part of the refusal
};

const CheckCase kCases[] = {
    // Sound models.
    {"PlainConvModel", [] { return ConvModel(8, 2); }, nullptr},
    {"ConstantWithRawData",
     [] { return WithGraph([](Proto& g) { g.Message(1, Constant("k", RawTensor("k", {2, 3}, 1, Floats(6)))); }); },
     nullptr},
    {"TypedFloatInitializer",
     [] { return WithGraph([](Proto& g) { g.Message(5, TypedFloatTensor("w", {4, 2}, 8)); }); }, nullptr},
    {"UnpackedInt64Data",
     [] {
         return WithGraph([](Proto& g) {
             Proto t;
             t.Varint(1, 3).Varint(2, 7).Bytes(8, "shape").Varint(7, 1).Varint(7, 2).Varint(7, 3);
             g.Message(5, t);
         });
     },
     nullptr},
    {"EmptyTensorWithoutData",
     [] { return WithGraph([](Proto& g) { g.Message(5, RawTensor("e", {0, 5}, 1, "")); }); }, nullptr},
    {"SoundTensorInIfBranch", [] { return WithGraph([](Proto& g) { g.Message(1, NestedIf(RawTensor("b", {2}, 1, Floats(2)), 2)); }); },
     nullptr},
    {"SoundSparseInitializer",
     [] {
         return WithGraph([](Proto& g) {
             Proto s;
             s.Message(1, RawTensor("v", {2}, 1, Floats(2)));
             s.Message(2, RawTensor("i", {2}, 7, std::string(16, '\0')));
             s.Varint(3, 4).Varint(3, 4);
             g.Message(15, s);
         });
     },
     nullptr},

    // The four crafted variants: declared dims larger than the data held.
    {"InitializerRawDataShort",
     [] { return WithGraph([](Proto& g) { g.Message(5, RawTensor("w", {1 << 14, 1 << 14}, 1, Floats(4))); }); },
     "declares 268435456 elements"},
    {"InitializerTypedDataShort",
     [] { return WithGraph([](Proto& g) { g.Message(5, TypedFloatTensor("w", {1 << 14, 1 << 14}, 4)); }); },
     "declares 268435456 elements but holds 4 values"},
    {"ConstantRawDataShort",
     [] { return WithGraph([](Proto& g) { g.Message(1, Constant("k", RawTensor("k", {1 << 14, 1 << 14}, 1, Floats(4)))); }); },
     "attribute 'value' of Constant node 'k'"},
    {"ConstantTypedDataShort",
     [] { return WithGraph([](Proto& g) { g.Message(1, Constant("k", TypedFloatTensor("k", {1 << 14, 1 << 14}, 4))); }); },
     "holds 4 values"},

    // Other lies a tensor can tell.
    {"NoDataAtAll", [] { return WithGraph([](Proto& g) { g.Message(5, TypedFloatTensor("w", {64}, 0)); }); },
     "declares 64 elements but holds 0 values"},
    {"RawDataLonger", [] { return WithGraph([](Proto& g) { g.Message(5, RawTensor("w", {2}, 1, Floats(3))); }); },
     "(8 bytes) but holds 12 bytes"},
    {"NegativeDimension",
     [] { return WithGraph([](Proto& g) { g.Message(5, RawTensor("w", {-1, 4}, 1, Floats(4))); }); },
     "negative dimension"},
    {"ElementCountOverflow",
     [] {
         return WithGraph([](Proto& g) {
             g.Message(5, RawTensor("w", {std::int64_t{1} << 32, std::int64_t{1} << 32, 4}, 1, ""));
         });
     },
     "more elements than can be addressed"},
    {"ExternalData",
     [] {
         return WithGraph([](Proto& g) {
             Proto t = RawTensor("w", {4}, 1, "");
             t.Message(13, Proto().Bytes(1, "location").Bytes(2, "weights.bin"));
             t.Varint(14, 1);
             g.Message(5, t);
         });
     },
     "external file"},
    {"DataInTheWrongField",
     [] {
         return WithGraph([](Proto& g) {
             Proto t;
             t.Varint(1, 2).Varint(2, 1).Bytes(8, "w").Varint(7, 1).Varint(7, 2);
             g.Message(5, t);
         });
     },
     "does not match its element type"},
    {"RawAndTypedData",
     [] {
         return WithGraph([](Proto& g) {
             Proto t = RawTensor("w", {2}, 1, Floats(2));
             t.Bytes(4, Floats(2));
             g.Message(5, t);
         });
     },
     "both raw and typed"},
    {"UnknownElementType",
     [] { return WithGraph([](Proto& g) { g.Message(5, RawTensor("w", {2}, 99, Floats(2))); }); },
     "unknown element type (99)"},
    {"ShortTensorInIfBranch",
     [] { return WithGraph([](Proto& g) { g.Message(1, NestedIf(RawTensor("b", {1 << 20}, 1, Floats(2)), 2)); }); },
     "tensor 'b' (initializer) declares 1048576"},
    {"SubgraphsTooDeep",
     [] { return WithGraph([](Proto& g) { g.Message(1, NestedIf(RawTensor("b", {2}, 1, Floats(2)), 40)); }); },
     "nested more than"},
    {"SparseValuesBeyondDenseSize",
     [] {
         return WithGraph([](Proto& g) {
             Proto s;
             s.Message(1, RawTensor("v", {8}, 1, Floats(8)));
             s.Message(2, RawTensor("i", {8}, 7, std::string(64, '\0')));
             s.Varint(3, 2).Varint(3, 2);
             g.Message(15, s);
         });
     },
     "more values than elements"},
    {"SparseIndicesMismatch",
     [] {
         return WithGraph([](Proto& g) {
             Proto s;
             s.Message(1, RawTensor("v", {2}, 1, Floats(2)));
             s.Message(2, RawTensor("i", {3}, 7, std::string(24, '\0')));
             s.Varint(3, 4).Varint(3, 4);
             g.Message(15, s);
         });
     },
     "indices that do not match"},
    // The graph: names defined before they are read, operators given what
    // they need.
    {"OptionalInputLeftEmpty",
     [] {
         return OneNode(Node("Resize", {"x", "", "scales"}, {"y"}, "up", {}),
                        [](Proto& g) { g.Message(5, RawTensor("scales", {4}, 1, Floats(4))); });
     },
     nullptr},
    {"ConvWeightNothingDefines",
     [] { return OneNode(ConvNode({"x", "nowhere.w"}, {IntsAttribute("kernel_shape", {3, 3})})); },
     "Conv node 'conv' reads 'nowhere.w', which no graph input, initializer or earlier node defines"},
    {"DemoModelTensorNameByteFlipped", [] { return DemoModelWithByte(39793, 0xFF); }, "not valid UTF-8"},
    {"ConvWithoutWeight", [] { return OneNode(ConvNode({"x"}, {IntsAttribute("kernel_shape", {3, 3})})); },
     "has 1 of the 2 inputs it needs"},
    {"NodeReadsALaterOutput",
     [] {
         return OneNode(Node("Relu", {"t"}, {"y"}, "second"),
                        [](Proto& g) { g.Message(1, Node("Relu", {"x"}, {"t"}, "first")); });
     },
     nullptr},
    {"NodesOutOfOrder",
     [] {
         Proto g;
         g.Message(11, ValueInfo("x", {1, 3, 8, 8}));
         g.Message(1, Node("Relu", {"t"}, {"y"}, "second"));
         g.Message(1, Node("Relu", {"x"}, {"t"}, "first"));
         g.Message(12, ValueInfo("y", {}));
         return Model(g);
     },
     "Relu node 'second' reads 't', which no graph input"},
    {"TwoNodesInACycle",
     [] {
         Proto g;
         g.Message(11, ValueInfo("x", {1, 3, 8, 8}));
         g.Message(1, Node("Add", {"x", "b"}, {"a"}, "one"));
         g.Message(1, Node("Add", {"x", "a"}, {"b"}, "two"));
         g.Message(12, ValueInfo("b", {}));
         return Model(g);
     },
     "Add node 'one' reads 'b'"},
    {"OutputWrittenTwice",
     [] {
         return OneNode(Node("Relu", {"x"}, {"y"}, "again"),
                        [](Proto& g) { g.Message(1, Node("Relu", {"x"}, {"y"}, "first")); });
     },
     "writes 'y', which is already defined"},
    {"GraphOutputNothingDefines",
     [] {
         Proto g;
         g.Message(11, ValueInfo("x", {1, 3, 8, 8}));
         g.Message(1, Node("Relu", {"x"}, {"y"}, "r"));
         g.Message(12, ValueInfo("z", {}));
         return Model(g);
     },
     "graph output 'z' is not produced"},
    {"ControlCharacterInName", [] { return OneNode(Node("Relu", {"x"}, {"y"}, "bad\nname")); }, "not valid UTF-8"},
    {"SubgraphReadsAnUndefinedName",
     [] {
         Proto body;
         body.Message(1, Node("Relu", {"ghost"}, {"r"}, "inner"));
         body.Message(12, ValueInfo("r", {}));
         Proto attr;
         attr.Bytes(1, "then_branch").Message(6, body).Varint(20, 5);
         return OneNode(Node("If", {"x"}, {"y"}, "if", {attr}));
     },
     "Relu node 'inner' reads 'ghost'"},
    {"KernelShapeGivenAsFloat",
     [] {
         Proto k;
         k.Bytes(1, "kernel_shape").Fixed32(2, 0x40400000u).Varint(20, 1);  // FLOAT 3.0
         return OneNode(ConvNode({"x", "w", "b"}, {k}), ConvWeights);
     },
     "attribute 'kernel_shape' of Conv node 'conv' must be ints"},
    {"StridesForThreeAxesOnATwoAxisKernel",
     [] {
         return OneNode(ConvNode({"x", "w", "b"}, {IntsAttribute("kernel_shape", {3, 3}),
                                                   IntsAttribute("strides", {1, 1, 1})}),
                        ConvWeights);
     },
     "attribute 'strides' of Conv node 'conv' has 3 values (2 expected)"},
    {"PadsOfOddCount",
     [] { return OneNode(ConvNode({"x", "w", "b"}, {IntsAttribute("pads", {1, 1, 1})}), ConvWeights); },
     "attribute 'pads' of Conv node 'conv' has 3 values"},
    {"KernelShapeUnlikeTheWeight",
     [] { return OneNode(ConvNode({"x", "w", "b"}, {IntsAttribute("kernel_shape", {5, 5})}), ConvWeights); },
     "kernel_shape that does not match its weight 'w'"},
    {"BiasOfTheWrongLength",
     [] {
         return OneNode(ConvNode({"x", "w", "b3"}, {IntsAttribute("kernel_shape", {3, 3})}), [](Proto& g) {
             ConvWeights(g);
             g.Message(5, RawTensor("b3", {3}, 1, Floats(3)));
         });
     },
     "bias 'b3' that does not hold 2 values"},
    {"PermNotAPermutation",
     [] { return OneNode(Node("Transpose", {"x"}, {"y"}, "t", {IntsAttribute("perm", {0, 2, 2, 1})})); },
     "'perm' of Transpose node 't' is not a permutation"},
    {"ConcatWithoutAxis", [] { return OneNode(Node("Concat", {"x", "x"}, {"y"}, "cat")); }, "Concat node 'cat' has no axis"},
    {"GatherAxisGivenAsInts",
     [] {
         return OneNode(Node("Gather", {"x", "i"}, {"y"}, "g", {IntsAttribute("axis", {1})}),
                        [](Proto& g) { g.Message(5, RawTensor("i", {1}, 7, std::string(8, '\0'))); });
     },
     "attribute 'axis' of Gather node 'g' must be an int"},
    {"SplitPartsUnlikeItsOutputs",
     [] {
         return OneNode(Node("Split", {"x"}, {"y", "z"}, "s", {IntAttribute("axis", 1), IntsAttribute("split", {1, 1, 1})}));
     },
     "'split' of Split node 's' has 3 parts for 2 outputs"},
    {"SliceWithoutStartsAndEnds", [] { return OneNode(Node("Slice", {"x"}, {"y"}, "sl")); }, "has 1 of the 3 inputs"},
    {"ReshapeWithoutShape", [] { return OneNode(Node("Reshape", {"x"}, {"y"}, "rs")); }, "has 1 of the 2 inputs"},
    {"ResizeWithoutScalesOrSizes", [] { return OneNode(Node("Resize", {"x", "", ""}, {"y"}, "up")); },
     "Resize node 'up' has no scales or sizes input"},
    {"SliceAxesFromAConstantFarOutOfRange",
     [] {
         return OneNode(Node("Slice", {"x", "s", "e", "axes"}, {"y"}, "sl"), [](Proto& g) {
             g.Message(5, RawTensor("s", {1}, 7, std::string(8, '\0')));
             g.Message(5, RawTensor("e", {1}, 7, std::string("\x01\0\0\0\0\0\0\0", 8)));
             g.Message(1, Constant("axes", RawTensor("axes", {1}, 7, std::string("\x01\0\0\x22\0\0\0\0", 8))));
         });
     },
     "Slice node 'sl' reads axes 'axes' that are not integer axes"},
    {"ConcatAxisFarOutOfRange",
     [] { return OneNode(Node("Concat", {"x", "x"}, {"y"}, "cat", {IntAttribute("axis", 1 << 30)})); },
     "attribute 'axis' of Concat node 'cat' is not an axis"},
    {"AttributeGivenTwice",
     [] { return OneNode(Node("Concat", {"x"}, {"y"}, "cat", {IntAttribute("axis", 1), IntAttribute("axis", 0)})); },
     "attribute 'axis' of Concat node 'cat' is given twice"},

    // A singular message given twice is merged by protobuf: each half alone
    // would pass, so the repetition is refused.
    {"ConstantTensorGivenTwice",
     [] {
         return WithGraph([](Proto& g) {
             Proto a;
             a.Bytes(1, "value");
             a.Message(5, RawTensor("k", {2048}, 1, Floats(2048)));
             a.Message(5, RawTensor("k", {2048}, 1, Floats(2048)));
             a.Varint(20, 4);
             g.Message(1, Node("Constant", {}, {"k"}, "k", {a}));
         });
     },
     "attribute 'value' of Constant node 'k' gives its tensor twice"},
    {"GraphGivenTwice",
     [] {
         auto bytes = ConvModel(8, 2);
         Proto extra;
         extra.Message(7, Proto().Message(1, Node("Relu", {"x"}, {"y2"}, "more")));
         bytes.insert(bytes.end(), extra.str().begin(), extra.str().end());
         return bytes;
     },
     "gives its graph twice"},
    {"InputTypeGivenTwice",
     [] {
         Proto g;
         const Proto type = Proto().Message(1, Proto().Varint(1, 1));
         g.Message(11, Proto().Bytes(1, "x").Message(2, type).Message(2, type));
         g.Message(1, Node("Relu", {"x"}, {"y"}, "r"));
         g.Message(12, ValueInfo("y", {}));
         return Model(g);
     },
     "graph input 'x' gives its type twice"},

    {"TruncatedTensor",
     [] {
         auto bytes = ConvModel(8, 2);
         bytes.resize(bytes.size() - 40);
         return bytes;
     },
     "not a well-formed ONNX model"},
};

std::vector<unsigned char> Build(const std::string& name) {
    for (const CheckCase& c : kCases) {
        if (name == c.name) return c.build();
    }
    ADD_FAILURE() << "no case " << name;
    return {};
}

class OnnxModelCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(OnnxModelCheckTest, AcceptsSoundTensorsAndNamesTheLie) {
    const CheckCase& c = GetParam();
    const std::vector<unsigned char> bytes = c.build();
    // An allocation of exactly the model's size, so a read past it is caught.
    std::vector<unsigned char> exact(bytes);
    exact.shrink_to_fit();
    std::string error;
    const bool ok = korva::detail::CheckOnnxModel(exact.data(), exact.size(), error);
    if (c.reason == nullptr) {
        EXPECT_TRUE(ok) << error;
    } else {
        ASSERT_FALSE(ok);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Tensors, OnnxModelCheckTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A model folder in the temporary directory, removed afterwards.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name)
        : dir_(fs::temp_directory_path() / ("korva_check_" + name + "_" +
                                            std::to_string(::testing::UnitTest::GetInstance()->random_seed()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::ofstream(dir_ / "labels.txt") << "a\nb\n";
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void WriteModel(const std::vector<unsigned char>& bytes) const {
        std::ofstream out(dir_ / "model.onnx", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path& Path() const { return dir_; }

private:
    fs::path dir_;
};

// Either engine: the activation estimate is OpenCV's shape inference.
std::string LoadError(const ScratchFolder& folder, korva::detail::EngineKind kind) {
    std::string error;
    korva::detail::EngineRequest request;
    request.kind = kind;
    korva::detail::StatusCode code = korva::detail::StatusCode::kOk;
    auto engine = korva::detail::DetectionPipeline::Load(folder.Path().string(), request, error, code);
    if (engine) return "(loaded)";
    EXPECT_EQ(code, korva::detail::StatusCode::kModelRefused) << error;
    return error;
}

// The whole load path refuses what the importer would crash on, and the
// limits up front.
struct LoadCase {
    const char* name;
    std::function<void(const ScratchFolder&)> write;
    const char* reason;
};

const LoadCase kLoadCases[] = {
    {"InitializerRawDataShort", [](const ScratchFolder& f) { f.WriteModel(Build("InitializerRawDataShort")); }, "declares"},
    {"InitializerTypedDataShort", [](const ScratchFolder& f) { f.WriteModel(Build("InitializerTypedDataShort")); }, "declares"},
    {"ConstantRawDataShort", [](const ScratchFolder& f) { f.WriteModel(Build("ConstantRawDataShort")); }, "declares"},
    {"ConstantTypedDataShort", [](const ScratchFolder& f) { f.WriteModel(Build("ConstantTypedDataShort")); }, "declares"},
    // What crashed OpenCV's importer, which runs first on both engines.
    {"ConvWeightNothingDefines", [](const ScratchFolder& f) { f.WriteModel(Build("ConvWeightNothingDefines")); },
     "reads 'nowhere.w'"},
    {"ConstantTensorGivenTwice", [](const ScratchFolder& f) { f.WriteModel(Build("ConstantTensorGivenTwice")); },
     "gives its tensor twice"},
    {"DemoModelTensorNameByteFlipped",
     [](const ScratchFolder& f) { f.WriteModel(Build("DemoModelTensorNameByteFlipped")); }, "not valid UTF-8"},
    // 4096 x 4096 input, 64 channels after the first convolution: about 4.2 GiB.
    {"ActivationsOverLimit", [](const ScratchFolder& f) { f.WriteModel(ConvModel(4096, 64)); },
     "MiB of activation memory"},
    // The same graph small: past the limits, refused for its output instead.
    {"ActivationsWithinLimit", [](const ScratchFolder& f) { f.WriteModel(ConvModel(64, 64)); }, "output"},
    {"FileOverSizeLimit",
     [](const ScratchFolder& f) {
         f.WriteModel(ConvModel(8, 2));
         fs::resize_file(f.Path() / "model.onnx", korva::detail::kMaxModelFileBytes + 1);  // sparse
     },
     "too large for a model"},
    {"NotAModelByItsFirstBytes",
     [](const ScratchFolder& f) { f.WriteModel(std::vector<unsigned char>(4096, 0)); }, "unexpected first bytes"},
};

class OnnxModelLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(OnnxModelLoadTest, RefusedWithAReason) {
    const LoadCase& c = GetParam();
    ScratchFolder folder(c.name);
    c.write(folder);
    // auto is ONNX Runtime where it loads, else OpenCV.
    for (auto kind : {korva::detail::EngineKind::kOpenCv, korva::detail::EngineKind::kAuto}) {
        const std::string error = LoadError(folder, kind);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, OnnxModelLoadTest, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
