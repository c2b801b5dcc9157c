// The protobuf wire format at its lowest level: splitting one encoded message
// into its fields and writing length-delimited fields back. Enough to read
// and patch ONNX model bytes without a protobuf library.
//
// Every read is bounds-checked; malformed input makes a call return false,
// never read past the bytes given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korva::detail {

enum ProtoWireType : std::uint32_t {
    kWireVarint = 0,
    kWireFixed64 = 1,
    kWireBytes = 2,
    kWireFixed32 = 5,
};

// One field of a message as it is encoded.
struct ProtoField {
    std::uint32_t number = 0;
    std::uint32_t wire = 0;
    std::string_view raw;      // the whole field, key included
    std::string_view payload;  // the bytes of a length-delimited field
    std::uint64_t varint = 0;  // the value of a varint field
};

// Splits `msg` into its fields in order. False when it is malformed (a field
// runs past the end, a key is zero or out of range, or a group is used).
bool SplitMessage(std::string_view msg, std::vector<ProtoField>& fields);

// Appends field `number` holding `bytes` as a length-delimited field.
void AppendBytesField(std::string& out, std::uint32_t number, std::string_view bytes);

}  // namespace korva::detail
