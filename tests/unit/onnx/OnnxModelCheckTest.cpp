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
    auto engine = korva::detail::DetectionPipeline::Load(folder.Path().string(), request, error);
    return engine ? std::string("(loaded)") : error;
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
