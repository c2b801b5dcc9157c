// Reading the declared input of an ONNX model from its bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "detail/OnnxInputShape.h"

namespace {

using korva::detail::OnnxInput;
using korva::detail::ReadOnnxInput;

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

}  // namespace
