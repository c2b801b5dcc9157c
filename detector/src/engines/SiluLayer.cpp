#include "engines/SiluLayer.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(KORVA_SILU_NO_AVX2)
#include <immintrin.h>
#define KORVA_SILU_AVX2 1
#endif

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/all_layers.hpp>
#include <opencv2/dnn/shape_utils.hpp>

namespace korva::detail {
namespace {

#if CV_SIMD
using Vec = cv::v_float32;
constexpr int kLanes = Vec::nlanes;

// x * sigmoid(x) = x / (1 + exp(-x)); exp by Cody-Waite range reduction and
// a degree-5 polynomial (relative error about 2e-7 over the clamped range).
// max(c, x) rather than max(x, c): the SSE/AVX max returns its second
// operand when one is NaN.
inline Vec SiluLanes(const Vec& x) {
    const Vec z = cv::v_min(cv::v_max(cv::v_setzero_f32() - x, cv::v_setall_f32(-87.3f)),
                            cv::v_setall_f32(88.3f));
    const cv::v_int32 n = cv::v_round(z * cv::v_setall_f32(1.44269504088896341f));
    const Vec fn = cv::v_cvt_f32(n);
    Vec r = z - fn * cv::v_setall_f32(0.693359375f);
    r = r - fn * cv::v_setall_f32(-2.12194440e-4f);
    Vec p = cv::v_setall_f32(1.9875691500e-4f);
    p = cv::v_fma(p, r, cv::v_setall_f32(1.3981999507e-3f));
    p = cv::v_fma(p, r, cv::v_setall_f32(8.3334519073e-3f));
    p = cv::v_fma(p, r, cv::v_setall_f32(4.1665795894e-2f));
    p = cv::v_fma(p, r, cv::v_setall_f32(1.6666665459e-1f));
    p = cv::v_fma(p, r, cv::v_setall_f32(5.0000001201e-1f));
    p = cv::v_fma(p, r * r, r + cv::v_setall_f32(1.0f));
    const Vec scale = cv::v_reinterpret_as_f32(cv::v_shl<23>(n + cv::v_setall_s32(127)));
    // Below the clamp the result is ~0 (underflow); keep the numerator in
    // range so huge negative inputs do not give x / 2^127. NaN passes through.
    return cv::v_max(cv::v_setall_f32(-88.3f), x) / (cv::v_setall_f32(1.0f) + p * scale);
}
#endif

#if KORVA_SILU_AVX2
// The same computation eight lanes wide with fused multiply-adds, for CPUs
// that have them (chosen once per process; define KORVA_SILU_NO_AVX2 to build
// the portable path alone).
__attribute__((target("avx2,fma"))) inline __m256 SiluAvx2Lanes(__m256 x) {
    const __m256 z = _mm256_min_ps(_mm256_max_ps(_mm256_sub_ps(_mm256_setzero_ps(), x),
                                                 _mm256_set1_ps(-87.3f)),
                                   _mm256_set1_ps(88.3f));
    const __m256i n = _mm256_cvtps_epi32(_mm256_mul_ps(z, _mm256_set1_ps(1.44269504088896341f)));
    const __m256 fn = _mm256_cvtepi32_ps(n);
    __m256 r = _mm256_fnmadd_ps(fn, _mm256_set1_ps(0.693359375f), z);
    r = _mm256_fnmadd_ps(fn, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    const __m256 scale = _mm256_castsi256_ps(
        _mm256_slli_epi32(_mm256_add_epi32(n, _mm256_set1_epi32(127)), 23));
    return _mm256_div_ps(_mm256_max_ps(_mm256_set1_ps(-88.3f), x),
                         _mm256_fmadd_ps(p, scale, _mm256_set1_ps(1.0f)));
}

__attribute__((target("avx2,fma"))) void SiluAvx2(const float* src, float* dst, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, SiluAvx2Lanes(_mm256_loadu_ps(src + i)));
    if (i < n) {
        float buf[8] = {};
        std::copy(src + i, src + n, buf);
        _mm256_storeu_ps(buf, SiluAvx2Lanes(_mm256_loadu_ps(buf)));
        std::copy(buf, buf + (n - i), dst + i);
    }
}

bool HaveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return have;
}
#endif

class SiluLayer final : public cv::dnn::ActivationLayer {
public:
    explicit SiluLayer(const cv::dnn::LayerParams& params) { setParamsFrom(params); }

    static cv::Ptr<cv::dnn::Layer> Create(cv::dnn::LayerParams& params) {
        return cv::makePtr<SiluLayer>(params);
    }

    bool supportBackend(int backendId) override { return backendId == cv::dnn::DNN_BACKEND_OPENCV; }

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override {
        Layer::getMemoryShapes(inputs, requiredOutputs, outputs, internals);
        return true;  // may run in place
    }

    void forward(cv::InputArrayOfArrays inputsArr, cv::OutputArrayOfArrays outputsArr,
                 cv::OutputArrayOfArrays) override {
        std::vector<cv::Mat> inputs, outputs;
        inputsArr.getMatVector(inputs);
        outputsArr.getMatVector(outputs);
        CV_Assert(inputs.size() == outputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const cv::Mat& src = inputs[i];
            cv::Mat& dst = outputs[i];
            CV_Assert(src.type() == CV_32F && dst.type() == CV_32F && src.total() == dst.total() &&
                      src.isContinuous() && dst.isContinuous());
            const std::size_t total = src.total();
            constexpr std::size_t kChunk = 1 << 14;
            const int chunks = static_cast<int>((total + kChunk - 1) / kChunk);
            const float* s = src.ptr<float>();
            float* d = dst.ptr<float>();
            cv::parallel_for_(cv::Range(0, chunks), [&](const cv::Range& range) {
                const std::size_t begin = range.start * kChunk;
                const std::size_t end = std::min(total, range.end * kChunk);
                SiluForward(s + begin, d + begin, end - begin);
            });
        }
    }

    void forwardSlice(const float* src, float* dst, int len, std::size_t planeSize, int cn0,
                      int cn1) const override {
        for (int cn = cn0; cn < cn1; ++cn, src += planeSize, dst += planeSize) {
            SiluForward(src, dst, static_cast<std::size_t>(len));
        }
    }

    int64 getFLOPS(const std::vector<cv::dnn::MatShape>& inputs,
                   const std::vector<cv::dnn::MatShape>&) const override {
        int64 flops = 0;
        for (const auto& shape : inputs) flops += 20 * cv::dnn::total(shape);
        return flops;
    }
};

}  // namespace

void SiluForward(const float* src, float* dst, std::size_t n) {
#if KORVA_SILU_AVX2
    if (HaveAvx2()) {
        SiluAvx2(src, dst, n);
        return;
    }
#endif
    std::size_t i = 0;
#if CV_SIMD
    for (; i + kLanes <= n; i += kLanes) cv::v_store(dst + i, SiluLanes(cv::vx_load(src + i)));
    if (i < n) {
        // The tail goes through the same lanes, so a value's result does not
        // depend on its position.
        float buf[kLanes] = {};
        std::copy(src + i, src + n, buf);
        cv::v_store(buf, SiluLanes(cv::vx_load(buf)));
        std::copy(buf, buf + (n - i), dst + i);
    }
#else
    for (; i < n; ++i) dst[i] = src[i] / (1.0f + std::exp(-src[i]));
#endif
}

void RegisterSiluLayer() {
    static std::once_flag once;
    std::call_once(once, [] { cv::dnn::LayerFactory::registerLayer(kSiluLayerType, &SiluLayer::Create); });
}

}  // namespace korva::detail
