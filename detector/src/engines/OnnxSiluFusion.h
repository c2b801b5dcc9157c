// Rewrites an in-memory ONNX model so that every SiLU written as
// Mul(x, Sigmoid(x)) becomes one node of a given op type taking x alone.
//
// OpenCV imports that pair as two layers it cannot fuse into the preceding
// convolution; a single activation node can be. Only the pairs are touched:
// every other byte of the model is copied as it is. A pair is fused only when
// the Sigmoid's output feeds nothing but that Mul and is not a graph output.
// Models whose nodes carry subgraphs (If, Loop, Scan) are left alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korva::detail {

struct SiluFusion {
    std::vector<unsigned char> onnx;  // rewritten model; empty when nothing was fused
    int fused = 0;                    // number of Sigmoid/Mul pairs replaced
};

// Rewrites `data` into `result`, naming the new nodes' op type `opType` (a
// non-empty name). Returns false with a reason when the bytes are not a
// well-formed model; `result` is then empty.
bool FuseSilu(const unsigned char* data, std::size_t size, const std::string& opType,
              SiluFusion& result, std::string& error);

}  // namespace korva::detail
