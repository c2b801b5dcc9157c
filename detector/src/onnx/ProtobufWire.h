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

// Reads a base-128 varint at the front of `in` and consumes it; false when it
// is cut off or longer than ten bytes.
bool ReadVarint(std::string_view& in, std::uint64_t& v);

// Walks the fields of one encoded message in order without storing them, so
// reading a message takes no memory per field. Next() returns false at the
// end and on malformed input; Malformed() tells the two apart.
class ProtoReader {
public:
    explicit ProtoReader(std::string_view msg) : rest_(msg) {}
    bool Next(ProtoField& field);
    bool Malformed() const { return malformed_; }

private:
    std::string_view rest_;
    bool malformed_ = false;
};

// Calls `onValue(v)` for each varint of a repeated varint field, packed
// (length-delimited) or not; false when the field has another wire type, a
// varint is cut off or a call returns false.
template <typename OnValue>
bool ForEachVarint(const ProtoField& field, OnValue onValue) {
    if (field.wire == kWireVarint) return onValue(field.varint);
    if (field.wire != kWireBytes) return false;
    std::string_view p = field.payload;
    while (!p.empty()) {
        std::uint64_t v = 0;
        if (!ReadVarint(p, v) || !onValue(v)) return false;
    }
    return true;
}

// Splits `msg` into its fields in order. False when it is malformed (a field
// runs past the end, a key is zero or out of range, or a group is used).
bool SplitMessage(std::string_view msg, std::vector<ProtoField>& fields);

// Appends field `number` holding `bytes` as a length-delimited field.
void AppendBytesField(std::string& out, std::uint32_t number, std::string_view bytes);

}  // namespace korva::detail
