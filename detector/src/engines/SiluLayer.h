// SiLU, x * sigmoid(x), as an OpenCV DNN activation layer.
//
// Vectorised, and an ActivationLayer so OpenCV fuses it into the preceding
// convolution. Registered with OpenCV's layer factory under kSiluLayerType,
// a name only graphs rewritten by FuseSilu use, so no other network in the
// process is affected.
#pragma once

#include <cstddef>

namespace korva::detail {

inline constexpr const char* kSiluLayerType = "KorvaSiLU";

// Registers the layer type once per process; safe to call from any thread.
void RegisterSiluLayer();

// dst[i] = src[i] * sigmoid(src[i]) for i < n; src and dst may be the same
// array. Each value is computed the same way wherever it lies in the array,
// so results do not depend on how the work is split.
void SiluForward(const float* src, float* dst, std::size_t n);

}  // namespace korva::detail
