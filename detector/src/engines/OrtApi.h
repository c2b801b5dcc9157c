// The part of ONNX Runtime's C API that the detector calls.
//
// ONNX Runtime exports one function, OrtGetApiBase; everything else is a
// table of function pointers obtained from it for a requested API version.
// The table only grows at its end, so a table requested for version
// kOrtApiVersion keeps the slot numbers below in every later release. Only
// the slots listed here are ever read; each is bound by its index with the
// signature the runtime gives it. Handles are opaque; a returned OrtStatus
// pointer is null on success and must be released otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KORVA_ORT_CALL __stdcall
#else
#define KORVA_ORT_CALL
#endif

namespace korva::detail {

// The API version the slots below were taken from.
inline constexpr std::uint32_t kOrtApiVersion = 13;

struct OrtEnv;
struct OrtStatus;
struct OrtMemoryInfo;
struct OrtSession;
struct OrtValue;
struct OrtRunOptions;
struct OrtTypeInfo;
struct OrtTensorTypeAndShapeInfo;
struct OrtSessionOptions;
struct OrtAllocator;
struct OrtArenaCfg;

// Tensor element types (values of ONNX's TensorProto.DataType).
enum OrtElementType : int { kOrtFloat = 1, kOrtFloat16 = 10 };

// Values passed to the runtime as plain ints.
inline constexpr int kOrtLoggingFatal = 4;  // logging severity: fatal errors only
inline constexpr int kOrtGraphOptimizeAll = 99;
inline constexpr int kOrtArenaAllocator = 1;
inline constexpr int kOrtMemTypeDefault = 0;
inline constexpr std::size_t kOrtArenaExtendSameAsRequested = 1;  // arena_extend_strategy

// CUDA provider options as of kOrtApiVersion. Later releases append fields;
// OrtCudaOptionsBlock zero-fills room for them.
struct OrtCudaProviderOptions {
    int deviceId = 0;
    int cudnnConvAlgoSearch = 0;  // exhaustive
    std::size_t gpuMemLimit = SIZE_MAX;
    int arenaExtendStrategy = 0;
    int doCopyInDefaultStream = 1;
    int hasUserComputeStream = 0;
    void* userComputeStream = nullptr;
    void* defaultMemoryArenaCfg = nullptr;
};
struct OrtCudaOptionsBlock {
    OrtCudaProviderOptions options;
    unsigned char reserved[256] = {};
};

struct OrtApiBase {
    const void*(KORVA_ORT_CALL* GetApi)(std::uint32_t version) noexcept;
    const char*(KORVA_ORT_CALL* GetVersionString)() noexcept;
};
using OrtGetApiBaseFn = const OrtApiBase*(KORVA_ORT_CALL*)() noexcept;

// X(slot, name, result, parameters): every slot the detector calls.
#define KORVA_ORT_SLOTS(X)                                                                          \
    X(2, GetErrorMessage, const char*, (const OrtStatus*))                                         \
    X(3, CreateEnv, OrtStatus*, (int level, const char* logId, OrtEnv** out))                      \
    X(8, CreateSessionFromArray, OrtStatus*,                                                       \
      (const OrtEnv*, const void* data, std::size_t size, const OrtSessionOptions*, OrtSession** out)) \
    X(9, Run, OrtStatus*,                                                                          \
      (OrtSession*, const OrtRunOptions*, const char* const* inputNames, const OrtValue* const* inputs, \
       std::size_t inputCount, const char* const* outputNames, std::size_t outputCount,            \
       OrtValue** outputs))                                                                        \
    X(10, CreateSessionOptions, OrtStatus*, (OrtSessionOptions** out))                             \
    X(23, SetSessionGraphOptimizationLevel, OrtStatus*, (OrtSessionOptions*, int level))          \
    X(24, SetIntraOpNumThreads, OrtStatus*, (OrtSessionOptions*, int threads))                    \
    X(25, SetInterOpNumThreads, OrtStatus*, (OrtSessionOptions*, int threads))                    \
    X(30, SessionGetInputCount, OrtStatus*, (const OrtSession*, std::size_t* out))                \
    X(31, SessionGetOutputCount, OrtStatus*, (const OrtSession*, std::size_t* out))               \
    X(33, SessionGetInputTypeInfo, OrtStatus*, (const OrtSession*, std::size_t index, OrtTypeInfo** out)) \
    X(34, SessionGetOutputTypeInfo, OrtStatus*, (const OrtSession*, std::size_t index, OrtTypeInfo** out)) \
    X(36, SessionGetInputName, OrtStatus*,                                                         \
      (const OrtSession*, std::size_t index, OrtAllocator*, char** out))                           \
    X(37, SessionGetOutputName, OrtStatus*,                                                        \
      (const OrtSession*, std::size_t index, OrtAllocator*, char** out))                           \
    X(39, CreateRunOptions, OrtStatus*, (OrtRunOptions** out))                                     \
    X(46, RunOptionsSetTerminate, OrtStatus*, (OrtRunOptions*))                                    \
    X(49, CreateTensorWithDataAsOrtValue, OrtStatus*,                                              \
      (const OrtMemoryInfo*, void* data, std::size_t bytes, const std::int64_t* shape,             \
       std::size_t rank, int elementType, OrtValue** out))                                         \
    X(51, GetTensorMutableData, OrtStatus*, (OrtValue*, void** out))                               \
    X(55, CastTypeInfoToTensorInfo, OrtStatus*,                                                    \
      (const OrtTypeInfo*, const OrtTensorTypeAndShapeInfo** out))                                 \
    X(60, GetTensorElementType, OrtStatus*, (const OrtTensorTypeAndShapeInfo*, int* out))          \
    X(61, GetDimensionsCount, OrtStatus*, (const OrtTensorTypeAndShapeInfo*, std::size_t* out))    \
    X(62, GetDimensions, OrtStatus*,                                                               \
      (const OrtTensorTypeAndShapeInfo*, std::int64_t* dims, std::size_t count))                   \
    X(65, GetTensorTypeAndShape, OrtStatus*, (const OrtValue*, OrtTensorTypeAndShapeInfo** out))   \
    X(69, CreateCpuMemoryInfo, OrtStatus*, (int allocatorType, int memType, OrtMemoryInfo** out)) \
    X(76, AllocatorFree, OrtStatus*, (OrtAllocator*, void* p))                                     \
    X(78, GetAllocatorWithDefaultOptions, OrtStatus*, (OrtAllocator** out))                        \
    X(92, ReleaseEnv, void, (OrtEnv*))                                                             \
    X(93, ReleaseStatus, void, (OrtStatus*))                                                       \
    X(94, ReleaseMemoryInfo, void, (OrtMemoryInfo*))                                               \
    X(95, ReleaseSession, void, (OrtSession*))                                                     \
    X(96, ReleaseValue, void, (OrtValue*))                                                         \
    X(97, ReleaseRunOptions, void, (OrtRunOptions*))                                               \
    X(98, ReleaseTypeInfo, void, (OrtTypeInfo*))                                                   \
    X(99, ReleaseTensorTypeAndShapeInfo, void, (OrtTensorTypeAndShapeInfo*))                       \
    X(100, ReleaseSessionOptions, void, (OrtSessionOptions*))                                      \
    X(130, AddSessionConfigEntry, OrtStatus*, (OrtSessionOptions*, const char* key, const char* value)) \
    X(144, CreateAndRegisterAllocator, OrtStatus*, (OrtEnv*, const OrtMemoryInfo*, const OrtArenaCfg*)) \
    X(152, SessionOptionsAppendExecutionProvider_CUDA, OrtStatus*,                                 \
      (OrtSessionOptions*, const OrtCudaProviderOptions*))                                         \
    X(157, ReleaseArenaCfg, void, (OrtArenaCfg*))                                                  \
    X(164, CreateArenaCfgV2, OrtStatus*,                                                           \
      (const char* const* keys, const std::size_t* values, std::size_t count, OrtArenaCfg** out))  \
    X(165, AddRunConfigEntry, OrtStatus*, (OrtRunOptions*, const char* key, const char* value))

// The bound slots, one typed pointer each.
struct OrtApi {
#define KORVA_ORT_MEMBER(slot, name, result, params) result(KORVA_ORT_CALL* name) params noexcept = nullptr;
    KORVA_ORT_SLOTS(KORVA_ORT_MEMBER)
#undef KORVA_ORT_MEMBER
};

// Copies the slots listed above out of `table` (what GetApi returned).
void BindOrtApi(const void* table, OrtApi& api);

}  // namespace korva::detail
