// What the detector feeds a model: the constants every room agrees on.
#pragma once

namespace korva::detail {

// Gray level of the padding around a letterboxed frame; engines warm up on a
// uniform input of it.
inline constexpr int kPadValue = 114;

// Side of the square input a model with a dynamic height/width and no
// `imgsz` metadata runs at.
inline constexpr int kDefaultDynamicInputSide = 640;

}  // namespace korva::detail
