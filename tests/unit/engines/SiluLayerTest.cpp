#include "engines/SiluLayer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include <opencv2/dnn.hpp>
#include <opencv2/dnn/all_layers.hpp>

#include "OnnxTestGraph.h"
#include "engines/OnnxSiluFusion.h"

namespace {

double Reference(double x) { return x / (1.0 + std::exp(-x)); }

float Silu(float x) {
    float y = 0;
    korva::detail::SiluForward(&x, &y, 1);
    return y;
}

class SiluValues : public ::testing::TestWithParam<float> {};

TEST_P(SiluValues, MatchesDoublePrecision) {
    const float x = GetParam();
    const double ref = Reference(x);
    const float got = Silu(x);
    EXPECT_LE(std::fabs(got - ref), 1e-6 * std::fabs(ref) + 1e-37) << "x = " << x;
}

INSTANTIATE_TEST_SUITE_P(Range, SiluValues,
                         ::testing::Values(0.0f, 1e-30f, -1e-30f, 1e-3f, -1e-3f, 0.5f, -0.5f, 1.0f,
                                           -1.0f, 2.5f, -2.5f, 10.0f, -10.0f, 17.3f, -17.3f, 40.0f,
                                           -40.0f, 87.0f, -87.0f, 88.5f, 100.0f, 1e4f, FLT_MAX));

TEST(SiluForward, HandlesValuesBeyondTheExpRange) {
    EXPECT_TRUE(std::isnan(Silu(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_EQ(Silu(std::numeric_limits<float>::infinity()), std::numeric_limits<float>::infinity());
    for (float x : {-88.5f, -100.0f, -1e4f, -FLT_MAX}) {
        const float y = Silu(x);
        EXPECT_LE(y, 0.0f) << x;
        EXPECT_GT(y, -1e-30f) << x;
    }
}

// Each value comes out bit-identical wherever it sits in the array and however
// the array is split, in place or not: results cannot depend on threading.
TEST(SiluForward, ResultDoesNotDependOnPositionOrSplit) {
    std::vector<float> src(77);
    cv::RNG rng(1);
    for (float& v : src) v = static_cast<float>(rng.gaussian(6.0));
    std::vector<float> single(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) single[i] = Silu(src[i]);

    for (std::size_t offset : {0, 1, 3}) {
        for (std::size_t len = 0; offset + len <= src.size(); len += 5) {
            std::vector<float> out(len), inPlace(src.begin() + offset, src.begin() + offset + len);
            korva::detail::SiluForward(src.data() + offset, out.data(), len);
            korva::detail::SiluForward(inPlace.data(), inPlace.data(), len);
            if (len == 0) continue;  // memcmp must not see the null data of empty vectors
            ASSERT_EQ(0, std::memcmp(out.data(), single.data() + offset, len * sizeof(float)))
                << "offset " << offset << " length " << len;
            ASSERT_EQ(0, std::memcmp(inPlace.data(), out.data(), len * sizeof(float)));
        }
    }
}

TEST(SiluLayer, RegistersOnceAsAFusableActivation) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(korva::detail::RegisterSiluLayer);
    for (auto& t : threads) t.join();
    cv::dnn::LayerParams params;
    params.name = "act";
    params.type = korva::detail::kSiluLayerType;
    cv::Ptr<cv::dnn::Layer> layer =
        cv::dnn::LayerFactory::createLayerInstance(korva::detail::kSiluLayerType, params);
    ASSERT_FALSE(layer.empty());
    EXPECT_FALSE(layer.dynamicCast<cv::dnn::ActivationLayer>().empty());
}

// The layer run on its own (nothing to fuse into) and fused into a
// convolution, against OpenCV's Sigmoid and Mul on the same graph.
TEST(SiluLayer, AgreesWithStockSigmoidTimesInput) {
    using namespace korva::testing;
    cv::RNG rng(9);
    const std::vector<int> shape{1, 2, 5, 13};
    Proto g;
    g.Message(11, ValueInfo("x", shape));
    g.Message(1, Node("Sigmoid", {"x"}, {"s0"}));
    g.Message(1, Node("Mul", {"x", "s0"}, {"a"}));
    AddConv(g, "c", "a", "b", 2, 6, rng);
    g.Message(1, Node("Sigmoid", {"b"}, {"s1"}));
    g.Message(1, Node("Mul", {"b", "s1"}, {"y"}));
    g.Message(12, ValueInfo("y", {}));
    const std::vector<unsigned char> stock = Model(g);
    korva::detail::SiluFusion fusion;
    std::string error;
    ASSERT_TRUE(korva::detail::FuseSilu(stock.data(), stock.size(), korva::detail::kSiluLayerType,
                                        fusion, error));
    ASSERT_EQ(fusion.fused, 2);

    korva::detail::RegisterSiluLayer();
    cv::dnn::Net stockNet = cv::dnn::readNetFromONNX(stock);
    cv::dnn::Net fusedNet = cv::dnn::readNetFromONNX(fusion.onnx);
    for (cv::dnn::Net* net : {&stockNet, &fusedNet}) {
        net->setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net->setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    for (double scale : {0.5, 4.0, 30.0}) {
        cv::Mat input(4, shape.data(), CV_32F);
        rng.fill(input, cv::RNG::NORMAL, 0.0, scale);
        stockNet.setInput(input);
        const cv::Mat expected = stockNet.forward().clone();
        fusedNet.setInput(input);
        const cv::Mat actual = fusedNet.forward().clone();
        ASSERT_EQ(actual.size, expected.size);
        EXPECT_LE(cv::norm(actual, expected, cv::NORM_INF), 1e-4 * std::max(1.0, cv::norm(expected, cv::NORM_INF)))
            << "input scale " << scale;
    }
}

}  // namespace
