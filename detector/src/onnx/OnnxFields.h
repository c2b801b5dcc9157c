// The ONNX protobuf schema as far as this detector reads it: field numbers of
// the messages it walks, attribute kinds and tensor element types with their
// sizes. The one place these numbers are written; readers and rewriters of
// model bytes use the names here.
#pragma once

#include <cstdint>

namespace korva::detail::onnx {

namespace model {
inline constexpr std::uint32_t kIrVersion = 1;
inline constexpr std::uint32_t kProducerName = 2;
inline constexpr std::uint32_t kProducerVersion = 3;
inline constexpr std::uint32_t kDomain = 4;
inline constexpr std::uint32_t kModelVersion = 5;
inline constexpr std::uint32_t kDocString = 6;
inline constexpr std::uint32_t kGraph = 7;
inline constexpr std::uint32_t kOpsetImport = 8;
inline constexpr std::uint32_t kMetadataProps = 14;
inline constexpr std::uint32_t kTrainingInfo = 20;
inline constexpr std::uint32_t kFunctions = 25;
}  // namespace model

namespace opset {  // OperatorSetIdProto
inline constexpr std::uint32_t kDomain = 1;
inline constexpr std::uint32_t kVersion = 2;
}  // namespace opset

namespace entry {  // StringStringEntryProto
inline constexpr std::uint32_t kKey = 1;
inline constexpr std::uint32_t kValue = 2;
}  // namespace entry

namespace training {  // TrainingInfoProto
inline constexpr std::uint32_t kInitialization = 1;
inline constexpr std::uint32_t kAlgorithm = 2;
}  // namespace training

namespace function {  // FunctionProto
inline constexpr std::uint32_t kName = 1;
inline constexpr std::uint32_t kInput = 4;
inline constexpr std::uint32_t kOutput = 5;
inline constexpr std::uint32_t kNode = 7;
}  // namespace function

namespace graph {  // GraphProto
inline constexpr std::uint32_t kNode = 1;
inline constexpr std::uint32_t kName = 2;
inline constexpr std::uint32_t kInitializer = 5;
inline constexpr std::uint32_t kInput = 11;
inline constexpr std::uint32_t kOutput = 12;
inline constexpr std::uint32_t kValueInfo = 13;
inline constexpr std::uint32_t kSparseInitializer = 15;
}  // namespace graph

namespace node {  // NodeProto
inline constexpr std::uint32_t kInput = 1;
inline constexpr std::uint32_t kOutput = 2;
inline constexpr std::uint32_t kName = 3;
inline constexpr std::uint32_t kOpType = 4;
inline constexpr std::uint32_t kAttribute = 5;
inline constexpr std::uint32_t kDomain = 7;
}  // namespace node

namespace attribute {  // AttributeProto
inline constexpr std::uint32_t kName = 1;
inline constexpr std::uint32_t kF = 2;
inline constexpr std::uint32_t kI = 3;
inline constexpr std::uint32_t kS = 4;
inline constexpr std::uint32_t kTensor = 5;
inline constexpr std::uint32_t kGraph = 6;
inline constexpr std::uint32_t kFloats = 7;
inline constexpr std::uint32_t kInts = 8;
inline constexpr std::uint32_t kStrings = 9;
inline constexpr std::uint32_t kTensors = 10;
inline constexpr std::uint32_t kGraphs = 11;
inline constexpr std::uint32_t kTypeProto = 14;
inline constexpr std::uint32_t kTypeProtos = 15;
inline constexpr std::uint32_t kType = 20;
inline constexpr std::uint32_t kRefAttrName = 21;
inline constexpr std::uint32_t kSparseTensor = 22;
inline constexpr std::uint32_t kSparseTensors = 23;
}  // namespace attribute

// AttributeProto.AttributeType.
enum class AttributeKind : std::uint32_t {
    kUndefined = 0,
    kFloat = 1,
    kInt = 2,
    kString = 3,
    kTensor = 4,
    kGraph = 5,
    kFloats = 6,
    kInts = 7,
    kStrings = 8,
    kTensors = 9,
    kGraphs = 10,
    kSparseTensor = 11,
    kSparseTensors = 12,
    kTypeProto = 13,
    kTypeProtos = 14,
};

namespace value_info {  // ValueInfoProto
inline constexpr std::uint32_t kName = 1;
inline constexpr std::uint32_t kType = 2;
}  // namespace value_info

namespace type {  // TypeProto and what it holds
inline constexpr std::uint32_t kTensorType = 1;
inline constexpr std::uint32_t kTensorElemType = 1;  // TypeProto.Tensor
inline constexpr std::uint32_t kTensorShape = 2;     // TypeProto.Tensor
inline constexpr std::uint32_t kShapeDim = 1;        // TensorShapeProto
inline constexpr std::uint32_t kDimValue = 1;        // TensorShapeProto.Dimension
inline constexpr std::uint32_t kDimParam = 2;        // TensorShapeProto.Dimension
}  // namespace type

namespace tensor {  // TensorProto
inline constexpr std::uint32_t kDims = 1;
inline constexpr std::uint32_t kDataType = 2;
inline constexpr std::uint32_t kSegment = 3;
inline constexpr std::uint32_t kFloatData = 4;
inline constexpr std::uint32_t kInt32Data = 5;
inline constexpr std::uint32_t kStringData = 6;
inline constexpr std::uint32_t kInt64Data = 7;
inline constexpr std::uint32_t kName = 8;
inline constexpr std::uint32_t kRawData = 9;
inline constexpr std::uint32_t kDoubleData = 10;
inline constexpr std::uint32_t kUint64Data = 11;
inline constexpr std::uint32_t kDocString = 12;
inline constexpr std::uint32_t kExternalData = 13;
inline constexpr std::uint32_t kDataLocation = 14;
}  // namespace tensor

namespace sparse {  // SparseTensorProto
inline constexpr std::uint32_t kValues = 1;
inline constexpr std::uint32_t kIndices = 2;
inline constexpr std::uint32_t kDims = 3;
}  // namespace sparse

// TensorProto.DataType.
namespace elem {
inline constexpr std::int32_t kUndefined = 0;
inline constexpr std::int32_t kFloat = 1;
inline constexpr std::int32_t kUint8 = 2;
inline constexpr std::int32_t kInt8 = 3;
inline constexpr std::int32_t kUint16 = 4;
inline constexpr std::int32_t kInt16 = 5;
inline constexpr std::int32_t kInt32 = 6;
inline constexpr std::int32_t kInt64 = 7;
inline constexpr std::int32_t kString = 8;
inline constexpr std::int32_t kBool = 9;
inline constexpr std::int32_t kFloat16 = 10;
inline constexpr std::int32_t kDouble = 11;
inline constexpr std::int32_t kUint32 = 12;
inline constexpr std::int32_t kUint64 = 13;
inline constexpr std::int32_t kComplex64 = 14;
inline constexpr std::int32_t kComplex128 = 15;
inline constexpr std::int32_t kBfloat16 = 16;
inline constexpr std::int32_t kFloat8E4M3Fn = 17;
inline constexpr std::int32_t kFloat8E4M3Fnuz = 18;
inline constexpr std::int32_t kFloat8E5M2 = 19;
inline constexpr std::int32_t kFloat8E5M2Fnuz = 20;
inline constexpr std::int32_t kUint4 = 21;
inline constexpr std::int32_t kInt4 = 22;
inline constexpr std::int32_t kFloat4E2M1 = 23;
}  // namespace elem

// Where a tensor of one element type keeps its data: the typed field, how
// many entries of it one element takes (2 for complex), the bytes per element
// in raw_data (0 for strings, which have no raw form), and whether two
// elements share a byte (four-bit types).
struct ElementLayout {
    std::uint32_t typedField = 0;
    unsigned entriesPerElement = 1;
    unsigned rawBytes = 0;
    bool fourBit = false;
};

// The layout of element type `type`; false for an unknown type.
constexpr bool LayoutOfElement(std::int64_t type, ElementLayout& layout) {
    switch (type) {
        case elem::kFloat: layout = {tensor::kFloatData, 1, 4, false}; return true;
        case elem::kUint8: case elem::kInt8: case elem::kBool:
        case elem::kFloat8E4M3Fn: case elem::kFloat8E4M3Fnuz:
        case elem::kFloat8E5M2: case elem::kFloat8E5M2Fnuz:
            layout = {tensor::kInt32Data, 1, 1, false};
            return true;
        case elem::kUint16: case elem::kInt16: case elem::kFloat16: case elem::kBfloat16:
            layout = {tensor::kInt32Data, 1, 2, false};
            return true;
        case elem::kInt32: layout = {tensor::kInt32Data, 1, 4, false}; return true;
        case elem::kInt64: layout = {tensor::kInt64Data, 1, 8, false}; return true;
        case elem::kString: layout = {tensor::kStringData, 1, 0, false}; return true;
        case elem::kDouble: layout = {tensor::kDoubleData, 1, 8, false}; return true;
        case elem::kUint32: layout = {tensor::kUint64Data, 1, 4, false}; return true;
        case elem::kUint64: layout = {tensor::kUint64Data, 1, 8, false}; return true;
        case elem::kComplex64: layout = {tensor::kFloatData, 2, 8, false}; return true;
        case elem::kComplex128: layout = {tensor::kDoubleData, 2, 16, false}; return true;
        case elem::kUint4: case elem::kInt4: case elem::kFloat4E2M1:
            layout = {tensor::kInt32Data, 1, 1, true};
            return true;
        default: return false;
    }
}

}  // namespace korva::detail::onnx
