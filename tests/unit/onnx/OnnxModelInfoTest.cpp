// Reading the declared input of an ONNX model from its bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "OnnxTestGraph.h"
#include "onnx/OnnxModelInfo.h"

namespace {

using korva::detail::ChosenInputSize;
using korva::detail::ChooseInputSize;
using korva::detail::OnnxInput;
using korva::detail::OnnxModelInfo;
using korva::detail::ParseImageSizeMetadata;
using korva::detail::ReadOnnxInput;
using korva::detail::ReadOnnxModelInfo;
using korva::testing::Proto;

std::vector<unsigned char> ModelBytes(const std::string& name) {
    std::ifstream in(std::string(KORVA_TEST_MODELS_DIR) + "/" + name + "/model.onnx", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Parses `size` bytes from an allocation of exactly that size, so that a
// read past the end is caught by AddressSanitizer.
bool ReadExact(const unsigned char* data, std::size_t size, OnnxInput& input, std::string& error) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size == 0 ? 1 : size]);
    std::copy(data, data + size, copy.get());
    return ReadOnnxInput(copy.get(), size, input, error);
}

TEST(OnnxInputShape, StaticModelInput) {
    const auto bytes = ModelBytes("v8_nc3");
    ASSERT_FALSE(bytes.empty());
    OnnxInput input;
    std::string error;
    ASSERT_TRUE(ReadExact(bytes.data(), bytes.size(), input, error)) << error;
    EXPECT_EQ(input.name, "images");
    EXPECT_EQ(input.dims, (std::vector<std::int64_t>{1, 3, 64, 96}));
    EXPECT_EQ(input.symbolicNames, (std::vector<std::string>{"", "", "", ""}));
}

TEST(OnnxInputShape, DynamicModelInputIsSymbolic) {
    const auto bytes = ModelBytes("dynamic_input");
    OnnxInput input;
    std::string error;
    ASSERT_TRUE(ReadExact(bytes.data(), bytes.size(), input, error)) << error;
    ASSERT_EQ(input.dims.size(), 4u);
    EXPECT_EQ(input.dims[1], 3);
    EXPECT_EQ(input.dims[2], -1);
    EXPECT_EQ(input.dims[3], -1);
    EXPECT_EQ(input.symbolicNames[2], "height");
    EXPECT_EQ(input.symbolicNames[3], "width");
}

TEST(OnnxInputShape, EmptyInputRefused) {
    OnnxInput input;
    std::string error;
    EXPECT_FALSE(ReadOnnxInput(nullptr, 0, input, error));
    EXPECT_FALSE(error.empty());
}

// A prefix of a model either fails or, when it ends after the graph, reads
// the same input. Never reads outside the bytes given.
TEST(OnnxInputShape, TruncatedModelsFailCleanly) {
    const auto bytes = ModelBytes("v8_nc3");
    ASSERT_GT(bytes.size(), 1000u);
    OnnxInput full;
    std::string error;
    ASSERT_TRUE(ReadOnnxInput(bytes.data(), bytes.size(), full, error));
    std::size_t failures = 0;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n < 600; ++n) lengths.push_back(n);  // headers and the input
    for (std::size_t n = 600; n < bytes.size(); n += 97) lengths.push_back(n);
    for (std::size_t n = bytes.size() - 64; n < bytes.size(); ++n) lengths.push_back(n);
    for (std::size_t n : lengths) {
        OnnxInput input;
        if (ReadExact(bytes.data(), n, input, error)) {
            EXPECT_EQ(input.dims, full.dims) << "prefix " << n;
        } else {
            ++failures;
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_GT(failures, lengths.size() / 2);
}

TEST(OnnxInputShape, RandomAndCorruptedBytesFailCleanly) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    int accepted = 0;
    for (int i = 0; i < 300; ++i) {
        std::vector<unsigned char> junk(static_cast<std::size_t>(1 + i * 7));
        for (auto& b : junk) b = static_cast<unsigned char>(byte(rng));
        OnnxInput input;
        std::string error;
        if (ReadExact(junk.data(), junk.size(), input, error)) ++accepted;
    }
    EXPECT_LT(accepted, 30);

    // Single corrupted bytes inside a real model: any outcome but a crash.
    const auto bytes = ModelBytes("v8_nc3");
    std::uniform_int_distribution<std::size_t> pos(0, 599);
    for (int i = 0; i < 300; ++i) {
        auto corrupt = bytes;
        corrupt[pos(rng)] = static_cast<unsigned char>(byte(rng));
        OnnxInput input;
        std::string error;
        if (ReadExact(corrupt.data(), corrupt.size(), input, error)) {
            EXPECT_EQ(input.dims.size(), input.symbolicNames.size());
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

// ---- Committed variants ---------------------------------------------------------

struct CommittedCase {
    std::string model;
    std::int32_t elemType;
    std::vector<std::int64_t> dims;
    std::string imgsz;  // "" when absent
    std::string names;  // "" when absent
};

class CommittedModelInfoTest : public testing::TestWithParam<CommittedCase> {};

TEST_P(CommittedModelInfoTest, ReadsTypeShapeAndMetadata) {
    const CommittedCase& c = GetParam();
    const auto bytes = ModelBytes(c.model);
    ASSERT_FALSE(bytes.empty());
    OnnxModelInfo info;
    std::string error;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    ASSERT_TRUE(ReadOnnxModelInfo(copy.get(), bytes.size(), info, error)) << error;
    EXPECT_EQ(info.input.name, "images");
    EXPECT_EQ(info.input.elemType, c.elemType);
    EXPECT_EQ(info.input.dims, c.dims);
    ASSERT_EQ(info.outputs.size(), 1u);
    EXPECT_EQ(info.outputs[0].name, "output0");
    EXPECT_EQ(info.outputs[0].elemType, c.elemType);
    const std::string* imgsz = info.Metadata("imgsz");
    EXPECT_EQ(imgsz ? *imgsz : "", c.imgsz);
    const std::string* names = info.Metadata("names");
    EXPECT_EQ(names ? *names : "", c.names);
}

const std::string kNames3 = "{0: 'handgun', 1: 'rifle', 2: 'knife'}";

INSTANTIATE_TEST_SUITE_P(
    Models, CommittedModelInfoTest,
    testing::Values(
        CommittedCase{"v8_nc3", korva::detail::kOnnxFloat, {1, 3, 64, 96}, "", ""},
        CommittedCase{"v8_nc3_fp16", korva::detail::kOnnxFloat16, {1, 3, 64, 96}, "", ""},
        CommittedCase{"dynamic_imgsz_nc3", korva::detail::kOnnxFloat, {1, 3, -1, -1}, "[64, 96]", ""},
        CommittedCase{"names_only_nc3", korva::detail::kOnnxFloat, {1, 3, 64, 96}, "[64, 96]", kNames3},
        CommittedCase{"e2e_topk_nc2", korva::detail::kOnnxFloat, {1, 3, 64, 64}, "", ""}),
    [](const testing::TestParamInfo<CommittedCase>& info) { return info.param.model; });

// ---- Hand-built models: element types, symbolic dims, outputs, metadata -------

// One dimension: a value (> 0), a symbolic name, or neither (Dim{}).
struct Dim {
    Dim(long long v = 0, std::string p = {}) : value(v), param(std::move(p)) {}
    long long value;
    std::string param;
};

Proto TensorValueInfo(const std::string& name, int elemType, const std::optional<std::vector<Dim>>& dims) {
    Proto tensor;
    if (elemType != 0) tensor.Varint(1, static_cast<std::uint64_t>(elemType));
    if (dims) {
        Proto shape;
        for (const Dim& d : *dims) {
            Proto dim;
            if (d.value > 0) dim.Varint(1, static_cast<std::uint64_t>(d.value));
            if (!d.param.empty()) dim.Bytes(2, d.param);
            shape.Message(1, dim);
        }
        tensor.Message(2, shape);
    }
    return Proto().Bytes(1, name).Message(2, Proto().Message(1, tensor));
}

std::string ModelWith(const Proto& input, const std::vector<Proto>& outputs,
                      const std::vector<std::pair<std::string, std::string>>& metadata) {
    Proto graph;
    graph.Message(5, Proto().Varint(1, 1).Varint(2, 1).Bytes(8, "weights"));  // an initializer
    graph.Message(11, TensorValueInfo("weights", 1, std::vector<Dim>{{1}}));  // listed as input too
    graph.Message(11, input);
    for (const Proto& o : outputs) graph.Message(12, o);
    Proto model;
    model.Varint(1, 8).Message(7, graph);
    for (const auto& [k, v] : metadata) model.Message(14, Proto().Bytes(1, k).Bytes(2, v));
    return model.str();
}

bool ReadInfo(const std::string& bytes, OnnxModelInfo& info, std::string& error) {
    return ReadOnnxModelInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), info,
                             error);
}

struct InfoCase {
    std::string name;
    int elemType;
    std::optional<std::vector<Dim>> dims;
    std::vector<std::int64_t> expectDims;
    std::vector<std::string> expectSymbols;
};

class ModelInfoTest : public testing::TestWithParam<InfoCase> {};

TEST_P(ModelInfoTest, ReadsTheDeclaredInput) {
    const InfoCase& c = GetParam();
    const std::string bytes = ModelWith(TensorValueInfo("images", c.elemType, c.dims),
                                        {TensorValueInfo("output0", 1, std::vector<Dim>{{1}, {300}, {6}})},
                                        {});
    OnnxModelInfo info;
    std::string error;
    ASSERT_TRUE(ReadInfo(bytes, info, error)) << error;
    EXPECT_EQ(info.input.name, "images");
    EXPECT_EQ(info.input.elemType, c.elemType);
    EXPECT_EQ(info.input.hasShape, c.dims.has_value());
    EXPECT_EQ(info.input.dims, c.expectDims);
    EXPECT_EQ(info.input.symbolicNames, c.expectSymbols);
    ASSERT_EQ(info.outputs.size(), 1u);
    EXPECT_EQ(info.outputs[0].name, "output0");
    EXPECT_EQ(info.outputs[0].dims, (std::vector<std::int64_t>{1, 300, 6}));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ModelInfoTest,
    testing::Values(
        InfoCase{"Float32Static", 1, std::vector<Dim>{{1}, {3}, {640}, {640}}, {1, 3, 640, 640},
                 {"", "", "", ""}},
        InfoCase{"Float16Static", 10, std::vector<Dim>{{1}, {3}, {64}, {96}}, {1, 3, 64, 96},
                 {"", "", "", ""}},
        InfoCase{"SymbolicHeightWidth", 1,
                 std::vector<Dim>{{1}, {3}, {0, "height"}, {0, "width"}}, {1, 3, -1, -1},
                 {"", "", "height", "width"}},
        InfoCase{"SymbolicBatch", 1, std::vector<Dim>{{0, "batch"}, {3}, {640}, {640}},
                 {-1, 3, 640, 640}, {"batch", "", "", ""}},
        InfoCase{"DimWithNeitherValueNorName", 1, std::vector<Dim>{{1}, {3}, {}, {}},
                 {1, 3, -1, -1}, {"", "", "", ""}},
        InfoCase{"NoElementType", 0, std::vector<Dim>{{1}, {3}, {64}, {64}}, {1, 3, 64, 64},
                 {"", "", "", ""}},
        InfoCase{"NoShape", 1, std::nullopt, {}, {}}),
    [](const testing::TestParamInfo<InfoCase>& info) { return info.param.name; });

TEST(OnnxModelInfo, ReadsMetadataInFileOrder) {
    const std::string bytes =
        ModelWith(TensorValueInfo("images", 1, std::vector<Dim>{{1}, {3}, {64}, {64}}), {},
                  {{"imgsz", "[64, 64]"}, {"names", "{0: 'a'}"}, {"empty", ""}, {"imgsz", "[32, 32]"}});
    OnnxModelInfo info;
    std::string error;
    ASSERT_TRUE(ReadInfo(bytes, info, error)) << error;
    ASSERT_EQ(info.metadata.size(), 4u);
    EXPECT_EQ(info.metadata[1].first, "names");
    EXPECT_EQ(info.metadata[1].second, "{0: 'a'}");
    ASSERT_NE(info.Metadata("imgsz"), nullptr);
    EXPECT_EQ(*info.Metadata("imgsz"), "[32, 32]");  // the last entry wins
    ASSERT_NE(info.Metadata("empty"), nullptr);
    EXPECT_EQ(*info.Metadata("empty"), "");
    EXPECT_EQ(info.Metadata("stride"), nullptr);
    EXPECT_TRUE(info.outputs.empty());
}

// Every prefix of a model with metadata fails cleanly or reads what the
// whole model declares; never reads outside the bytes given.
// Initializers listed as graph inputs too (older exports) are told from the
// real input by a lookup, not a scan per input.
TEST(OnnxModelInfo, FindsTheInputAmongManyInitializersListedAsInputs) {
    constexpr int kCount = 300000;
    Proto graph;
    for (int i = 0; i < kCount; ++i) {
        graph.Message(5, Proto().Varint(1, 1).Varint(2, 1).Bytes(8, "w" + std::to_string(i)).Bytes(9, "abcd"));
    }
    for (int i = 0; i < kCount; ++i) graph.Message(11, Proto().Bytes(1, "w" + std::to_string(i)));
    graph.Message(11, TensorValueInfo("images", 1, std::vector<Dim>{{1}, {3}, {64}, {64}}));
    const std::string bytes = Proto().Varint(1, 8).Message(7, graph).str();
    OnnxModelInfo info;
    std::string error;
    ASSERT_TRUE(ReadInfo(bytes, info, error)) << error;
    EXPECT_EQ(info.input.name, "images");
}

// Standard-domain operators of the main graph, each once; other domains' are
// not the standard operators of the same name.
TEST(OnnxModelInfo, ListsTheStandardOperatorsOnceInFirstUseOrder) {
    using korva::testing::Node;
    Proto graph;
    graph.Message(1, Node("Conv", {"images", "w"}, {"a"}));
    graph.Message(1, Node("TopK", {"a", "k"}, {"b", "i"}).Bytes(7, "com.example"));
    graph.Message(1, Node("Sigmoid", {"a"}, {"c"}).Bytes(7, "ai.onnx"));
    graph.Message(1, Node("Conv", {"c", "w"}, {"d"}));
    graph.Message(11, TensorValueInfo("images", 1, std::vector<Dim>{{1}, {3}, {64}, {64}}));
    const std::string bytes = Proto().Varint(1, 8).Message(7, graph).str();
    OnnxModelInfo info;
    std::string error;
    ASSERT_TRUE(ReadInfo(bytes, info, error)) << error;
    EXPECT_EQ(info.operators, (std::vector<std::string>{"Conv", "Sigmoid"}));
    EXPECT_TRUE(info.UsesOperator("Sigmoid"));
    EXPECT_FALSE(info.UsesOperator("TopK"));
}

TEST(OnnxModelInfo, TruncatedMetadataFailsCleanly) {
    const std::string bytes = ModelWith(TensorValueInfo("images", 10, std::vector<Dim>{{1}, {3}, {64}, {64}}),
                                        {TensorValueInfo("output0", 10, std::vector<Dim>{{1}, {7}, {80}})},
                                        {{"names", "{0: 'handgun', 1: 'rifle', 2: 'knife'}"}, {"imgsz", "[64, 64]"}});
    OnnxModelInfo full;
    std::string error;
    ASSERT_TRUE(ReadInfo(bytes, full, error)) << error;
    for (std::size_t n = 1; n < bytes.size(); ++n) {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), copy.get());
        OnnxModelInfo info;
        if (ReadOnnxModelInfo(copy.get(), n, info, error)) {
            EXPECT_EQ(info.input.dims, full.input.dims) << "prefix " << n;
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_TRUE(info.metadata.empty() && info.outputs.empty()) << "prefix " << n;
        }
    }
}

// ---- imgsz metadata and the size a model runs at ------------------------------

struct ImageSizeCase {
    std::string name;
    std::string text;
    bool ok;
    int h, w;
};

class ParseImageSizeTest : public testing::TestWithParam<ImageSizeCase> {};

TEST_P(ParseImageSizeTest, ReadsTheSideOrRefuses) {
    const ImageSizeCase& c = GetParam();
    int h = -5;
    int w = -5;
    std::string error;
    ASSERT_EQ(ParseImageSizeMetadata(c.text, h, w, error), c.ok) << error;
    if (c.ok) {
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(w, c.w);
    } else {
        EXPECT_EQ(h, -5);
        EXPECT_NE(error.find("imgsz"), std::string::npos) << error;
        EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseImageSizeTest,
    testing::Values(ImageSizeCase{"List", "[640, 640]", true, 640, 640},
                    ImageSizeCase{"HeightThenWidth", "[480, 640]", true, 480, 640},
                    ImageSizeCase{"Tuple", "(384,640)", true, 384, 640},
                    ImageSizeCase{"OneElementList", "[320]", true, 320, 320},
                    ImageSizeCase{"OneElementTuple", "(320,)", true, 320, 320},
                    ImageSizeCase{"BareNumber", " 416 ", true, 416, 416},
                    ImageSizeCase{"Largest", "[8192, 1]", true, 8192, 1},
                    ImageSizeCase{"TooLarge", "[8193, 640]", false, 0, 0},
                    ImageSizeCase{"Zero", "[0, 640]", false, 0, 0},
                    ImageSizeCase{"Negative", "[-640, 640]", false, 0, 0},
                    ImageSizeCase{"ThreeValues", "[640, 640, 3]", false, 0, 0},
                    ImageSizeCase{"Fraction", "[640.5, 640]", false, 0, 0},
                    ImageSizeCase{"Overflowing", "[99999999999999999999, 1]", false, 0, 0},
                    ImageSizeCase{"Unbalanced", "[640, 640", false, 0, 0},
                    ImageSizeCase{"Empty", "", false, 0, 0},
                    ImageSizeCase{"EmptyList", "[]", false, 0, 0},
                    ImageSizeCase{"Words", "large", false, 0, 0},
                    ImageSizeCase{"ControlCharacters", "[64,\r\n64]x", false, 0, 0}),
    [](const testing::TestParamInfo<ImageSizeCase>& info) { return info.param.name; });

struct ChooseCase {
    std::string name;
    std::vector<std::int64_t> dims;  // -1: symbolic
    std::optional<std::string> imgsz;
    int fallback;
    bool ok;
    int h, w;
    bool dynamic;
    std::string sourceOrError;  // the source when accepted, a word of the reason otherwise
};

class ChooseInputSizeTest : public testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseInputSizeTest, SettlesTheInputOrRefuses) {
    const ChooseCase& c = GetParam();
    OnnxInput input;
    input.name = "images";
    input.hasShape = true;
    input.dims = c.dims;
    input.symbolicNames.assign(c.dims.size(), "");
    ChosenInputSize size;
    std::string error;
    const bool ok = ChooseInputSize(input, c.imgsz ? &*c.imgsz : nullptr, c.fallback, size, error);
    ASSERT_EQ(ok, c.ok) << error;
    if (ok) {
        EXPECT_EQ(size.height, c.h);
        EXPECT_EQ(size.width, c.w);
        EXPECT_EQ(size.dynamic, c.dynamic);
        EXPECT_EQ(size.source, c.sourceOrError);
    } else {
        EXPECT_NE(error.find("'images'"), std::string::npos) << error;
        EXPECT_NE(error.find(c.sourceOrError), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ChooseInputSizeTest,
    testing::Values(
        ChooseCase{"Static", {1, 3, 64, 96}, std::nullopt, 640, true, 64, 96, false, "model input"},
        ChooseCase{"StaticIgnoresImgsz", {1, 3, 64, 96}, "[640, 640]", 640, true, 64, 96, false,
                   "model input"},
        ChooseCase{"StaticIgnoresBadImgsz", {1, 3, 64, 96}, "huge", 640, true, 64, 96, false,
                   "model input"},
        ChooseCase{"SymbolicBatch", {-1, 3, 64, 96}, std::nullopt, 640, true, 64, 96, false,
                   "model input"},
        ChooseCase{"DynamicFromImgsz", {1, 3, -1, -1}, "[64, 96]", 640, true, 64, 96, true,
                   "model metadata imgsz"},
        ChooseCase{"DynamicDefault", {1, 3, -1, -1}, std::nullopt, 640, true, 640, 640, true,
                   "default"},
        ChooseCase{"DynamicWidthOnly", {1, 3, 480, -1}, "[640, 640]", 320, true, 480, 640, true,
                   "model metadata imgsz"},
        ChooseCase{"DynamicWithBadImgsz", {1, 3, -1, -1}, "[0, 0]", 640, false, 0, 0, false, "imgsz"},
        ChooseCase{"DynamicWithBadDefault", {1, 3, -1, -1}, std::nullopt, 0, false, 0, 0, false,
                   "default side"},
        ChooseCase{"ThreeDims", {1, 3, 64}, std::nullopt, 640, false, 0, 0, false, "3 dimensions"},
        ChooseCase{"BatchOfTwo", {2, 3, 64, 64}, std::nullopt, 640, false, 0, 0, false, "batch size 2"},
        ChooseCase{"OneChannel", {1, 1, 64, 64}, std::nullopt, 640, false, 0, 0, false, "1 channels"},
        ChooseCase{"DynamicChannels", {1, -1, 64, 64}, std::nullopt, 640, false, 0, 0, false,
                   "dynamic channel"},
        ChooseCase{"TooLarge", {1, 3, 8193, 64}, std::nullopt, 640, false, 0, 0, false, "larger"}),
    [](const testing::TestParamInfo<ChooseCase>& info) { return info.param.name; });

}  // namespace
