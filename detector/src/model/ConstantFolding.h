// What importing a model computes as constants before its first inference,
// bounded from the graph alone.
//
// OpenCV's importer folds every node whose inputs are constants, and ONNX
// Runtime's optimiser does the same at session creation: a ConstantOfShape
// of {3, 500000000} in a 3 KB file becomes 6 GB there. Here the graph is read
// with the protobuf wire reader and nothing is materialised: the outputs of
// ConstantOfShape, Expand, Tile and Range whose size inputs are constants
// (initializers, Constant nodes, or small results of the same scan) are
// sized with saturating arithmetic, and sparse constants by their dense
// size. An operator whose size depends on values only known at run time is
// not bounded here (the engines bound their memory at run time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korva::detail {

struct FoldedConstants {
    std::uint64_t bytes = 0;  // all of them, saturating
    std::uint64_t largestBytes = 0;
    std::string largest;  // e.g. "ConstantOfShape node 'fill'"
};

// Sizes the computable constants of the model, its subgraphs (If/Loop/Scan
// bodies) and its functions; a part that cannot be read is passed over.
// False when the bytes are not a protobuf message at all.
// Never throws.
bool BoundFoldedConstants(const unsigned char* data, std::size_t size, FoldedConstants& folded) noexcept;

// False with a one-line reason when the constants alone exceed
// kMaxActivationBytes.
bool CheckFoldedConstants(const FoldedConstants& folded, std::string& error);

}  // namespace korva::detail
