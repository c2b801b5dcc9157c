// Sizing from the graph what importing a model computes as constants,
// without computing it.
#include "model/ConstantFolding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OnnxTestGraph.h"

namespace {

using korva::testing::GraphAttribute;
using korva::testing::Int64Tensor;
using korva::testing::IntsAttribute;
using korva::testing::Node;
using korva::testing::Proto;

Proto FloatScalar(const std::string& name, float v) {
    return korva::testing::FloatTensor(name, {}, cv::Mat(1, 1, CV_32F, cv::Scalar(v)));
}

// ConstantOfShape filled with an int64 `fill`.
Proto Int64Fill(const std::string& shape, const std::string& out, std::int64_t fill) {
    Proto value;
    value.Bytes(1, "value").Message(5, Int64Tensor("v", {1}, {fill})).Varint(20, 4);  // TENSOR
    return Node("ConstantOfShape", {shape}, {out}, out, {value});
}

struct FoldCase {
    const char* name;
    std::function<void(Proto&)> graph;
    std::uint64_t bytes;
};

const FoldCase kCases[] = {
    {"ConstantOfShapeOfAnInitializer", [](Proto& g) {
         g.Message(5, Int64Tensor("s", {2}, {3, 500000000}));
         g.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
     }, 6000000000u},
    {"ConstantOfShapeTakesItsValuesType", [](Proto& g) {
         g.Message(5, Int64Tensor("s", {1}, {1000}));
         g.Message(1, Int64Fill("s", "o", 7));
     }, 8000},
    {"ShapeFromAConstantNode", [](Proto& g) {
         g.Message(1, Node("Constant", {}, {"s"}, "s", {IntsAttribute("value_ints", {2, 3})}));
         g.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
     }, 24},
    {"ShapeComputedFromConstants", [](Proto& g) {
         g.Message(5, Int64Tensor("a", {1}, {1000}));
         g.Message(1, Node("Concat", {"a", "a"}, {"aa"}, "cat", {korva::testing::IntAttribute("axis", 0)}));
         g.Message(1, Node("Mul", {"aa", "a"}, {"s"}));
         g.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
     }, 4000000000000u},
    {"ShapeFromASmallConstantOfShape", [](Proto& g) {
         g.Message(5, Int64Tensor("two", {1}, {2}));
         g.Message(1, Int64Fill("two", "s", 1000000));
         g.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
     }, 16 + 4000000000000u},
    {"ExpandBroadcasts", [](Proto& g) {
         g.Message(5, korva::testing::FloatTensor("d", {1, 4}, cv::Mat::zeros(1, 4, CV_32F)));
         g.Message(5, Int64Tensor("s", {2}, {1000, 1}));
         g.Message(1, Node("Expand", {"d", "s"}, {"o"}));
     }, 16000},
    {"TileMultiplies", [](Proto& g) {
         g.Message(5, korva::testing::FloatTensor("d", {2, 3}, cv::Mat::zeros(1, 6, CV_32F)));
         g.Message(5, Int64Tensor("r", {2}, {10, 100}));
         g.Message(1, Node("Tile", {"d", "r"}, {"o"}));
     }, 24000},
    {"RangeCounts", [](Proto& g) {
         g.Message(5, FloatScalar("start", 0));
         g.Message(5, FloatScalar("limit", 1e9f));
         g.Message(5, FloatScalar("delta", 2));
         g.Message(1, Node("Range", {"start", "limit", "delta"}, {"o"}));
     }, 2000000000u},
    {"InsideASubgraphWithAnOuterShape", [](Proto& g) {
         g.Message(5, Int64Tensor("s", {1}, {1u << 30}));
         Proto branch;
         branch.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
         g.Message(1, Node("If", {"c"}, {"r"}, "if", {GraphAttribute("then_branch", branch),
                                                       GraphAttribute("else_branch", Proto())}));
     }, std::uint64_t{4} << 30},
    {"SparseInitializerAtItsDenseSize", [](Proto& g) {
         Proto sparse;
         sparse.Message(1, korva::testing::FloatTensor("v", {1}, cv::Mat::zeros(1, 1, CV_32F)));
         sparse.Message(2, Int64Tensor("i", {1}, {0}));
         sparse.Varint(3, 1000000000);
         g.Message(15, sparse);
     }, 4000000000u},
    {"ShapeFromTheInputIsLeftToRunTime", [](Proto& g) {
         g.Message(1, Node("Shape", {"x"}, {"s"}));
         g.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
     }, 0},
    {"SubgraphValueShadowsAnOuterConstant", [](Proto& g) {
         g.Message(5, Int64Tensor("s", {1}, {1u << 30}));
         Proto body;
         body.Message(1, Node("Shape", {"x"}, {"s"}));
         body.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
         g.Message(1, Node("Loop", {"", "c"}, {}, "loop", {GraphAttribute("body", body)}));
     }, 0},
    {"SubgraphInputShadowsAnOuterConstant", [](Proto& g) {
         g.Message(5, Int64Tensor("s", {1}, {1u << 30}));
         Proto body;
         body.Message(11, korva::testing::ValueInfo("s", {1}, 7));
         body.Message(1, Node("ConstantOfShape", {"s"}, {"o"}));
         g.Message(1, Node("Loop", {"", "c", "s"}, {}, "loop", {GraphAttribute("body", body)}));
     }, 0},
};

class ConstantFoldingTest : public ::testing::TestWithParam<FoldCase> {};

TEST_P(ConstantFoldingTest, SizesWhatImportWouldCompute) {
    Proto g;
    GetParam().graph(g);
    const std::vector<unsigned char> model = korva::testing::Model(g);
    korva::detail::FoldedConstants folded;
    ASSERT_TRUE(korva::detail::BoundFoldedConstants(model.data(), model.size(), folded));
    EXPECT_EQ(folded.bytes, GetParam().bytes);
    std::string error;
    EXPECT_EQ(korva::detail::CheckFoldedConstants(folded, error), GetParam().bytes <= (std::uint64_t{4} << 30))
        << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Graphs, ConstantFoldingTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
