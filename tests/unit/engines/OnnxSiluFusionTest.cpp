#include "engines/OnnxSiluFusion.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "OnnxTestGraph.h"
#include "engines/SiluLayer.h"

namespace {

using korva::testing::AddConv;
using korva::testing::Model;
using korva::testing::Node;
using korva::testing::Proto;
using korva::testing::ValueInfo;

const std::vector<int> kInShape{1, 3, 9, 7};

// x -> conv "c1" -> a, then what the case adds; outputs are listed by the case.
Proto Start(cv::RNG& rng) {
    Proto g;
    g.Bytes(2, "test");
    g.Message(11, ValueInfo("x", kInShape));
    AddConv(g, "c1", "x", "a", 3, 4, rng);
    return g;
}

std::vector<unsigned char> Finish(Proto& g, std::initializer_list<const char*> outputs) {
    for (const char* o : outputs) g.Message(12, ValueInfo(o, {}));
    return Model(g);
}

struct FusionCase {
    const char* name;
    int fused;  // pairs expected to be replaced
    std::function<std::vector<unsigned char>(cv::RNG&)> build;
};

const FusionCase kCases[] = {
    {"Pair", 1,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Mul", {"a", "s"}, {"y"}, "act"));
         return Finish(g, {"y"});
     }},
    {"SwappedOperands", 1,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Mul", {"s", "a"}, {"y"}));
         return Finish(g, {"y"});
     }},
    {"TwoPairsAndAnOutputSigmoid", 2,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s1"}));
         g.Message(1, Node("Mul", {"a", "s1"}, {"b"}));
         AddConv(g, "c2", "b", "c", 4, 5, rng);
         g.Message(1, Node("Sigmoid", {"c"}, {"s2"}));
         g.Message(1, Node("Mul", {"s2", "c"}, {"d"}));
         AddConv(g, "c3", "d", "e", 5, 2, rng);
         g.Message(1, Node("Sigmoid", {"e"}, {"y"}));
         return Finish(g, {"y"});
     }},
    {"SigmoidIsAlsoAnOutput", 0,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Mul", {"a", "s"}, {"y"}));
         return Finish(g, {"y", "s"});
     }},
    {"SigmoidReadTwice", 0,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Mul", {"a", "s"}, {"m"}));
         g.Message(1, Node("Add", {"m", "s"}, {"y"}));
         return Finish(g, {"y"});
     }},
    {"MulOfAnotherTensor", 0,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         AddConv(g, "c2", "a", "b", 4, 4, rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Mul", {"b", "s"}, {"y"}));
         return Finish(g, {"y"});
     }},
    {"GatingWithoutMul", 0,
     [](cv::RNG& rng) {
         Proto g = Start(rng);
         g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
         g.Message(1, Node("Add", {"a", "s"}, {"y"}));
         return Finish(g, {"y"});
     }},
    {"SiluOfTheGraphInput", 1,
     [](cv::RNG&) {
         Proto g;
         g.Message(11, ValueInfo("x", kInShape));
         g.Message(1, Node("Sigmoid", {"x"}, {"s"}));
         g.Message(1, Node("Mul", {"x", "s"}, {"y"}));
         return Finish(g, {"y"});
     }},
};

class FusionTable : public ::testing::TestWithParam<FusionCase> {};

std::map<std::string, int> LayerTypes(cv::dnn::Net& net) {
    std::map<std::string, int> types;
    for (const auto& name : net.getLayerNames()) ++types[net.getLayer(net.getLayerId(name))->type];
    return types;
}

std::vector<cv::Mat> RunNet(cv::dnn::Net& net, const cv::Mat& input) {
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setInput(input);
    std::vector<cv::Mat> outs;
    net.forward(outs, net.getUnconnectedOutLayersNames());
    return outs;
}

TEST_P(FusionTable, FusesExactlyTheSiluPairsAndKeepsTheOutputs) {
    cv::RNG rng(7);
    const std::vector<unsigned char> stock = GetParam().build(rng);
    korva::detail::SiluFusion fusion;
    std::string error;
    ASSERT_TRUE(korva::detail::FuseSilu(stock.data(), stock.size(), korva::detail::kSiluLayerType,
                                        fusion, error))
        << error;
    EXPECT_EQ(fusion.fused, GetParam().fused);
    if (GetParam().fused == 0) {
        EXPECT_TRUE(fusion.onnx.empty());
        return;
    }
    ASSERT_FALSE(fusion.onnx.empty());

    korva::detail::RegisterSiluLayer();
    cv::dnn::Net stockNet = cv::dnn::readNetFromONNX(stock);
    cv::dnn::Net fusedNet = cv::dnn::readNetFromONNX(fusion.onnx);
    auto stockTypes = LayerTypes(stockNet);
    auto fusedTypes = LayerTypes(fusedNet);
    EXPECT_EQ(stockTypes.count(korva::detail::kSiluLayerType), 0u);
    EXPECT_EQ(fusedTypes[korva::detail::kSiluLayerType], GetParam().fused);
    EXPECT_EQ(fusedTypes["Sigmoid"], stockTypes["Sigmoid"] - GetParam().fused);

    cv::Mat input(4, kInShape.data(), CV_32F);
    rng.fill(input, cv::RNG::NORMAL, 0.0, 3.0);
    const auto expected = RunNet(stockNet, input);
    const auto actual = RunNet(fusedNet, input);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(actual[i].size, expected[i].size);
        EXPECT_LE(cv::norm(actual[i], expected[i], cv::NORM_INF), 1e-4) << "output " << i;
    }

    // A rewritten model has nothing left to fuse.
    korva::detail::SiluFusion again;
    ASSERT_TRUE(korva::detail::FuseSilu(fusion.onnx.data(), fusion.onnx.size(),
                                        korva::detail::kSiluLayerType, again, error));
    EXPECT_EQ(again.fused, 0);
}

INSTANTIATE_TEST_SUITE_P(Graphs, FusionTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The committed SiLU test model (which puts our layer in the concurrency
// tests) keeps its four activation pairs fusable.
TEST(OnnxSiluFusion, CommittedSiluModelHasFourPairs) {
    std::ifstream in(std::string(KORVA_TEST_MODELS_DIR) + "/silu_v8_nc3/model.onnx", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(bytes.empty());
    korva::detail::SiluFusion fusion;
    std::string error;
    ASSERT_TRUE(korva::detail::FuseSilu(bytes.data(), bytes.size(), korva::detail::kSiluLayerType,
                                        fusion, error))
        << error;
    EXPECT_EQ(fusion.fused, 4);
}

TEST(OnnxSiluFusion, CopiesEverythingElseUnchanged) {
    cv::RNG rng(3);
    Proto g = Start(rng);
    g.Bytes(10, "graph-doc-string");
    g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
    g.Message(1, Node("Mul", {"a", "s"}, {"y"}, "the_mul"));
    g.Message(12, ValueInfo("y", {}));
    Proto m;
    m.Varint(1, 7).Bytes(6, "model-doc-string").Message(7, g).Message(8, Proto().Varint(2, 12));
    m.Message(14, Proto().Bytes(1, "key").Bytes(2, "metadata-value"));
    const std::string& bytes = m.str();

    korva::detail::SiluFusion fusion;
    std::string error;
    ASSERT_TRUE(korva::detail::FuseSilu(reinterpret_cast<const unsigned char*>(bytes.data()),
                                        bytes.size(), "Swish", fusion, error));
    ASSERT_EQ(fusion.fused, 1);
    const std::string out(fusion.onnx.begin(), fusion.onnx.end());
    for (const char* kept : {"graph-doc-string", "model-doc-string", "metadata-value", "c1.w", "the_mul"}) {
        EXPECT_NE(out.find(kept), std::string::npos) << kept;
    }
    EXPECT_EQ(out.find("Sigmoid"), std::string::npos);
    // OpenCV's own Swish layer reads the same graph.
    cv::dnn::Net net = cv::dnn::readNetFromONNX(fusion.onnx);
    EXPECT_EQ(LayerTypes(net)["Swish"], 1);
}

TEST(OnnxSiluFusion, LeavesGraphsWithSubgraphsAlone) {
    cv::RNG rng(5);
    Proto g = Start(rng);
    g.Message(1, Node("Sigmoid", {"a"}, {"s"}));
    g.Message(1, Node("Mul", {"a", "s"}, {"y"}));
    Proto branch;
    branch.Message(1, Node("Identity", {"s"}, {"z"}));
    Proto attr;
    attr.Bytes(1, "then_branch").Message(6, branch).Varint(20, 5);  // GRAPH
    g.Message(1, Node("If", {"c"}, {"w"}, "", {attr}));
    const auto model = Finish(g, {"y"});
    korva::detail::SiluFusion fusion;
    std::string error;
    ASSERT_TRUE(korva::detail::FuseSilu(model.data(), model.size(), "Swish", fusion, error));
    EXPECT_EQ(fusion.fused, 0);
    EXPECT_TRUE(fusion.onnx.empty());
}

TEST(OnnxSiluFusion, RefusesWhatIsNotAModel) {
    korva::detail::SiluFusion fusion;
    std::string error;
    const std::string garbage = "abc";
    const std::string noGraph = Proto().Varint(1, 7).Bytes(2, "producer").str();
    EXPECT_FALSE(korva::detail::FuseSilu(nullptr, 0, "Swish", fusion, error));
    for (const std::string* bytes : {&garbage, &noGraph}) {
        EXPECT_FALSE(korva::detail::FuseSilu(reinterpret_cast<const unsigned char*>(bytes->data()),
                                             bytes->size(), "Swish", fusion, error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(fusion.onnx.empty());
    }
}

// Truncated and corrupted models never crash the rewrite, and whatever it
// produces parses again.
TEST(OnnxSiluFusion, SurvivesTruncationAndCorruption) {
    cv::RNG rng(11);
    const std::vector<unsigned char> model = kCases[2].build(rng);
    korva::detail::SiluFusion fusion;
    std::string error;
    auto check = [&](const std::vector<unsigned char>& bytes) {
        if (korva::detail::FuseSilu(bytes.data(), bytes.size(), "Swish", fusion, error)) {
            if (fusion.fused > 0) {
                korva::detail::SiluFusion again;
                EXPECT_TRUE(korva::detail::FuseSilu(fusion.onnx.data(), fusion.onnx.size(), "Swish",
                                                    again, error));
            }
        } else {
            EXPECT_TRUE(fusion.onnx.empty());
        }
    };
    for (std::size_t n = 1; n < model.size(); n += 1 + n / 64) {
        check(std::vector<unsigned char>(model.begin(), model.begin() + n));
    }
    for (int i = 0; i < 3000; ++i) {
        std::vector<unsigned char> bytes = model;
        for (int k = rng.uniform(1, 4); k > 0; --k) {
            bytes[rng.uniform(0, static_cast<int>(bytes.size()))] = static_cast<unsigned char>(rng.uniform(0, 256));
        }
        check(bytes);
    }
}

}  // namespace
