#include "onnx/ProtobufWire.h"

namespace korva::detail {
namespace {

constexpr std::uint64_t kMaxFieldNumber = 0x1FFFFFFF;

void AppendVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

}  // namespace

bool ReadVarint(std::string_view& in, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && !in.empty(); shift += 7) {
        const auto b = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

bool ProtoReader::Next(ProtoField& f) {
    if (rest_.empty() || malformed_) return false;
    std::string_view msg = rest_;
    std::uint64_t key = 0;
    f = ProtoField{};
    malformed_ = true;  // until the field is read whole
    if (!ReadVarint(msg, key) || (key >> 3) == 0 || (key >> 3) > kMaxFieldNumber) return false;
    f.number = static_cast<std::uint32_t>(key >> 3);
    f.wire = static_cast<std::uint32_t>(key & 7);
    switch (f.wire) {
        case kWireVarint:
            if (!ReadVarint(msg, f.varint)) return false;
            break;
        case kWireFixed64:
        case kWireFixed32: {
            const std::size_t n = f.wire == kWireFixed64 ? 8 : 4;
            if (msg.size() < n) return false;
            msg.remove_prefix(n);
            break;
        }
        case kWireBytes: {
            std::uint64_t len = 0;
            if (!ReadVarint(msg, len) || len > msg.size()) return false;
            f.payload = msg.substr(0, static_cast<std::size_t>(len));
            msg.remove_prefix(static_cast<std::size_t>(len));
            break;
        }
        default:
            return false;  // groups are not used by ONNX
    }
    f.raw = rest_.substr(0, rest_.size() - msg.size());
    rest_ = msg;
    malformed_ = false;
    return true;
}

bool SplitMessage(std::string_view msg, std::vector<ProtoField>& fields) {
    fields.clear();
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) fields.push_back(f);
    return !reader.Malformed();
}

void AppendBytesField(std::string& out, std::uint32_t number, std::string_view bytes) {
    AppendVarint(out, (std::uint64_t{number} << 3) | kWireBytes);
    AppendVarint(out, bytes.size());
    out.append(bytes.data(), bytes.size());
}

}  // namespace korva::detail
