// ONNX Runtime under its memory cap: a model whose tensors grow with the
// frame fails that inference with a reason, and the engine keeps serving.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "AddressSpaceLimit.h"
#include "OnnxTestGraph.h"
#include "engines/OrtEngine.h"
#include "engines/OrtRuntime.h"

namespace {

using namespace korva::detail;

std::string LibraryPath() {
    const char* path = std::getenv("KORVA_ONNXRUNTIME");
    return path != nullptr && *path != '\0' ? path : KORVA_TEST_ONNXRUNTIME;
}

cv::Mat Blob(cv::Size size, float value) {
    const int dims[] = {1, 3, size.height, size.width};
    return cv::Mat(4, dims, CV_32F, cv::Scalar(value));
}

// The check as an exit status, for a child process with a capped address
// space: 0 when a white frame fails with the limit's reason and a gray one
// still runs.
int FrameSizedRunRefused() {
    if (!korva::testing::CapAddressSpace()) return 2;
    std::string reason;
    const std::shared_ptr<const OrtRuntime> runtime = OrtRuntime::Load(LibraryPath(), reason);
    if (!runtime) return 3;
    const cv::Size size(32, 32);
    std::string note, error;
    // 0.4 * 2.5e10 floats (40 GB) for a white frame; none for the warm-up.
    const std::unique_ptr<OrtEngine> engine =
        OrtEngine::Create(runtime, korva::testing::FrameSizedModel(2.5e10), size, {}, note, error);
    if (!engine) {
        std::fprintf(stderr, "not created: %s\n", error.c_str());
        return 4;
    }
    std::vector<float> values;
    try {
        engine->Run(Blob(size, 1.0f), 1, values);
        std::fprintf(stderr, "ran: %zu values\n", values.size());
        return 5;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "reason: %s\n", e.what());
        if (std::string(e.what()).find("4096 MiB allowed at run time") == std::string::npos) return 6;
    }
    try {
        engine->Run(Blob(size, 0.5f), 1, values);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gray frame failed: %s\n", e.what());
        return 7;
    }
    return values.empty() ? 0 : 8;
}

TEST(OrtMemoryBound, FrameSizedTensorFailsThatInferenceAndTheEngineKeepsServing) {
    const std::string path = LibraryPath();
    if (path.empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "ONNX Runtime not present";
    if (!korva::testing::AddressSpaceCapAvailable()) GTEST_SKIP() << "no address-space cap here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(FrameSizedRunRefused()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
