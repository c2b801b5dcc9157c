// Every ONNX Runtime slot the detector binds, called on the real library.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "onnx/OnnxModelInfo.h"
#include "engines/OrtRuntime.h"

namespace {

using namespace korva::detail;

std::string LibraryPath() {
    const char* path = std::getenv("KORVA_ONNXRUNTIME");
    return path != nullptr && *path != '\0' ? path : KORVA_TEST_ONNXRUNTIME;
}

std::vector<unsigned char> ReadModel(const std::string& name) {
    std::ifstream in(std::string(KORVA_TEST_MODELS_DIR) + "/" + name + "/model.onnx", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class OrtApiTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string path = LibraryPath();
        if (path.empty() || !std::filesystem::exists(path)) {
            GTEST_SKIP() << "ONNX Runtime not present (configure with KORVA_ONNXRUNTIME_LIBRARY)";
        }
        std::string reason;
        runtime = OrtRuntime::Load(path, reason);
        ASSERT_NE(runtime, nullptr) << reason;
        ASSERT_EQ(reason, "");
    }
    // Fails the test with the status's message when the call failed.
    void Ok(OrtStatus* status) { EXPECT_EQ(runtime->Consume(status), ""); }

    std::shared_ptr<const OrtRuntime> runtime;
};

TEST_F(OrtApiTest, EverySlotAgainstTheRealLibrary) {
    const OrtApi& api = runtime->Api();
    EXPECT_EQ(runtime->Version().rfind("1.", 0), 0u) << runtime->Version();
    ASSERT_NE(runtime->Env(), nullptr);  // CreateEnv

    OrtSessionOptions* options = nullptr;
    Ok(api.CreateSessionOptions(&options));
    ASSERT_NE(options, nullptr);
    Ok(api.SetIntraOpNumThreads(options, 2));
    Ok(api.SetInterOpNumThreads(options, 1));
    Ok(api.SetSessionGraphOptimizationLevel(options, kOrtGraphOptimizeAll));
    Ok(api.AddSessionConfigEntry(options, "session.intra_op.allow_spinning", "0"));
    // A failed call: its status carries a message (GetErrorMessage,
    // ReleaseStatus). The CPU build has no CUDA provider.
    OrtCudaOptionsBlock cuda;
    OrtStatus* noCuda = api.SessionOptionsAppendExecutionProvider_CUDA(options, &cuda.options);
    if (noCuda != nullptr) {
        std::string why = runtime->Consume(noCuda);
        for (char& ch : why) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_NE(why.find("cuda"), std::string::npos) << why;
    }
    // A bad model fails with a status too.
    const unsigned char junk[] = {1, 2, 3, 4};
    OrtSession* bad = nullptr;
    EXPECT_NE(runtime->Consume(api.CreateSessionFromArray(runtime->Env(), junk, sizeof junk, options, &bad)), "");

    const std::vector<unsigned char> onnx = ReadModel("v8_nc3");
    ASSERT_FALSE(onnx.empty());
    OrtSessionOptions* cpuOptions = nullptr;
    Ok(api.CreateSessionOptions(&cpuOptions));
    Ok(api.AddSessionConfigEntry(cpuOptions, "session.use_env_allocators", "1"));

    // An arena config reads its keys. (CreateAndRegisterAllocator ran in
    // Load; FrameSizedModel in the robustness tests sees its cap refuse a
    // request.)
    const char* badKey[] = {"no_such_key"};
    const std::size_t one[] = {1};
    OrtArenaCfg* arena = nullptr;
    EXPECT_NE(runtime->Consume(api.CreateArenaCfgV2(badKey, one, 1, &arena)), "");
    const char* maxMem[] = {"max_mem"};
    Ok(api.CreateArenaCfgV2(maxMem, one, 1, &arena));
    ASSERT_NE(arena, nullptr);
    api.ReleaseArenaCfg(arena);
    OrtSession* session = nullptr;
    Ok(api.CreateSessionFromArray(runtime->Env(), onnx.data(), onnx.size(), cpuOptions, &session));
    api.ReleaseSessionOptions(cpuOptions);
    api.ReleaseSessionOptions(options);
    ASSERT_NE(session, nullptr);

    std::size_t inputs = 0, outputs = 0;
    Ok(api.SessionGetInputCount(session, &inputs));
    Ok(api.SessionGetOutputCount(session, &outputs));
    EXPECT_EQ(inputs, 1u);
    EXPECT_EQ(outputs, 1u);
    OrtAllocator* allocator = nullptr;
    Ok(api.GetAllocatorWithDefaultOptions(&allocator));
    char* name = nullptr;
    Ok(api.SessionGetInputName(session, 0, allocator, &name));
    ASSERT_NE(name, nullptr);
    const std::string inputName = name;
    Ok(api.AllocatorFree(allocator, name));
    Ok(api.SessionGetOutputName(session, 0, allocator, &name));
    ASSERT_NE(name, nullptr);
    const std::string outputName = name;
    Ok(api.AllocatorFree(allocator, name));

    // The input as the runtime sees it equals what our own reader finds.
    OnnxInput declared;
    std::string error;
    ASSERT_TRUE(ReadOnnxInput(onnx.data(), onnx.size(), declared, error)) << error;
    EXPECT_EQ(inputName, declared.name);
    OrtTypeInfo* typeInfo = nullptr;
    Ok(api.SessionGetInputTypeInfo(session, 0, &typeInfo));
    const OrtTensorTypeAndShapeInfo* tensorInfo = nullptr;
    Ok(api.CastTypeInfoToTensorInfo(typeInfo, &tensorInfo));
    ASSERT_NE(tensorInfo, nullptr);
    int type = 0;
    Ok(api.GetTensorElementType(tensorInfo, &type));
    EXPECT_EQ(type, kOrtFloat);
    std::size_t rank = 0;
    Ok(api.GetDimensionsCount(tensorInfo, &rank));
    ASSERT_EQ(rank, 4u);
    std::vector<std::int64_t> dims(rank);
    Ok(api.GetDimensions(tensorInfo, dims.data(), rank));
    EXPECT_EQ(dims, declared.dims);
    api.ReleaseTypeInfo(typeInfo);
    Ok(api.SessionGetOutputTypeInfo(session, 0, &typeInfo));
    Ok(api.CastTypeInfoToTensorInfo(typeInfo, &tensorInfo));
    ASSERT_NE(tensorInfo, nullptr);
    Ok(api.GetTensorElementType(tensorInfo, &type));
    EXPECT_EQ(type, kOrtFloat);
    api.ReleaseTypeInfo(typeInfo);

    // Run on noise; the output equals OpenCV's forward of the same model.
    const int shape4[] = {1, 3, 64, 96};
    cv::Mat blob(4, shape4, CV_32F);
    cv::randu(blob, 0.0, 1.0);
    OrtMemoryInfo* memory = nullptr;
    Ok(api.CreateCpuMemoryInfo(kOrtArenaAllocator, kOrtMemTypeDefault, &memory));
    const std::int64_t shape[] = {1, 3, 64, 96};
    OrtValue* input = nullptr;
    Ok(api.CreateTensorWithDataAsOrtValue(memory, blob.data, blob.total() * sizeof(float), shape, 4, kOrtFloat,
                                          &input));
    const char* inNames[] = {inputName.c_str()};
    const char* outNames[] = {outputName.c_str()};
    OrtValue* output = nullptr;
    OrtRunOptions* runOptions = nullptr;
    Ok(api.CreateRunOptions(&runOptions));
    ASSERT_NE(runOptions, nullptr);
    Ok(api.AddRunConfigEntry(runOptions, "memory.enable_memory_arena_shrinkage", "cpu:0"));
    Ok(api.Run(session, runOptions, inNames, &input, 1, outNames, 1, &output));
    api.ReleaseRunOptions(runOptions);
    ASSERT_NE(output, nullptr);
    OrtTensorTypeAndShapeInfo* outInfo = nullptr;
    Ok(api.GetTensorTypeAndShape(output, &outInfo));
    Ok(api.GetDimensionsCount(outInfo, &rank));
    std::vector<std::int64_t> outDims(rank);
    Ok(api.GetDimensions(outInfo, outDims.data(), rank));
    EXPECT_EQ(outDims, (std::vector<std::int64_t>{1, 7, 120}));
    api.ReleaseTensorTypeAndShapeInfo(outInfo);
    void* data = nullptr;
    Ok(api.GetTensorMutableData(output, &data));
    ASSERT_NE(data, nullptr);

    cv::dnn::Net net = cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(onnx.data()), onnx.size());
    net.setInput(blob);
    const cv::Mat reference = net.forward();
    ASSERT_EQ(reference.total(), 7u * 120u);
    const float* ours = static_cast<const float*>(data);
    const float* ref = reference.ptr<float>();
    double worst = 0;
    for (std::size_t i = 0; i < reference.total(); ++i) {
        worst = std::max(worst, std::abs(double(ours[i]) - ref[i]) / std::max(1.0, std::abs(double(ref[i]))));
    }
    EXPECT_LT(worst, 1e-4);

    api.ReleaseValue(output);
    api.ReleaseValue(input);
    api.ReleaseMemoryInfo(memory);
    api.ReleaseSession(session);
}

// Libraries that are not a usable runtime are refused with a reason.
struct LoadCase {
    std::string name;
    std::string path;
    std::string word;
};

class OrtLoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(OrtLoadTest, RefusedWithAReason) {
    std::string reason;
    EXPECT_EQ(OrtRuntime::Load(GetParam().path, reason), nullptr);
    EXPECT_NE(reason.find(GetParam().word), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, OrtLoadTest,
    testing::Values(LoadCase{"Missing", "/nonexistent/libonnxruntime.so.1", "/nonexistent/libonnxruntime.so.1"},
                    LoadCase{"NotALibrary", std::string(KORVA_TEST_MODELS_DIR) + "/v8_nc3/model.onnx",
                             "cannot load"},
                    LoadCase{"OtherLibrary", "libm.so.6", "no OrtGetApiBase"}),
    [](const testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

}  // namespace
