#include "detail/OnnxInputShape.h"

#include <algorithm>
#include <string_view>

namespace korva::detail {
namespace {

// ONNX field numbers used here (onnx.proto).
constexpr std::uint32_t kModelGraph = 7;
constexpr std::uint32_t kGraphInitializer = 5;
constexpr std::uint32_t kGraphInput = 11;
constexpr std::uint32_t kTensorName = 8;
constexpr std::uint32_t kValueInfoName = 1;
constexpr std::uint32_t kValueInfoType = 2;
constexpr std::uint32_t kTypeTensor = 1;
constexpr std::uint32_t kTensorTypeShape = 2;
constexpr std::uint32_t kShapeDim = 1;
constexpr std::uint32_t kDimValue = 1;
constexpr std::uint32_t kDimParam = 2;

enum WireType : std::uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// A bounds-checked cursor over one protobuf message.
class Reader {
public:
    Reader(const unsigned char* p, std::size_t n) : p_(p), end_(p + n) {}

    bool AtEnd() const { return p_ == end_; }

    bool Varint(std::uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            const unsigned char b = *p_++;
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if ((b & 0x80) == 0) return true;
        }
        return false;
    }

    // Reads the next key; `field` and `wire` describe the value that follows.
    bool Key(std::uint32_t& field, std::uint32_t& wire) {
        std::uint64_t key = 0;
        if (!Varint(key)) return false;
        field = static_cast<std::uint32_t>(key >> 3);
        wire = static_cast<std::uint32_t>(key & 7);
        return field != 0;
    }

    bool Bytes(Reader& sub) {
        std::uint64_t len = 0;
        if (!Varint(len) || len > static_cast<std::uint64_t>(end_ - p_)) return false;
        sub = Reader(p_, static_cast<std::size_t>(len));
        p_ += len;
        return true;
    }

    bool Skip(std::uint32_t wire) {
        std::uint64_t v = 0;
        Reader ignored(nullptr, 0);
        switch (wire) {
            case kVarint: return Varint(v);
            case kFixed64: return Advance(8);
            case kFixed32: return Advance(4);
            case kBytes: return Bytes(ignored);
            default: return false;  // groups are not used by ONNX
        }
    }

    std::string Text() const { return std::string(reinterpret_cast<const char*>(p_), end_ - p_); }

private:
    bool Advance(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) return false;
        p_ += n;
        return true;
    }

    const unsigned char* p_;
    const unsigned char* end_;
};

// Calls `onField(field, wire, reader)` for every field; the callback either
// consumes the value or returns false to have it skipped.
template <typename OnField>
bool ForEachField(Reader r, OnField onField) {
    while (!r.AtEnd()) {
        std::uint32_t field = 0, wire = 0;
        if (!r.Key(field, wire)) return false;
        bool consumed = false;
        if (!onField(field, wire, r, consumed)) return false;
        if (!consumed && !r.Skip(wire)) return false;
    }
    return true;
}

bool ReadDim(Reader r, OnnxInput& input) {
    std::int64_t value = -1;
    std::string param;
    const bool ok = ForEachField(r, [&](std::uint32_t f, std::uint32_t w, Reader& rr, bool& used) {
        if (f == kDimValue && w == kVarint) {
            std::uint64_t v = 0;
            if (!rr.Varint(v)) return false;
            value = static_cast<std::int64_t>(v);
            used = true;
        } else if (f == kDimParam && w == kBytes) {
            Reader s(nullptr, 0);
            if (!rr.Bytes(s)) return false;
            param = s.Text();
            used = true;
        }
        return true;
    });
    input.dims.push_back(value > 0 ? value : -1);
    input.symbolicNames.push_back(param);
    return ok;
}

bool ReadValueInfo(Reader r, OnnxInput& input) {
    return ForEachField(r, [&](std::uint32_t f, std::uint32_t w, Reader& rr, bool& used) {
        if (w != kBytes) return true;
        Reader s(nullptr, 0);
        if (f == kValueInfoName) {
            if (!rr.Bytes(s)) return false;
            input.name = s.Text();
            used = true;
        } else if (f == kValueInfoType) {
            if (!rr.Bytes(s)) return false;
            used = true;
            return ForEachField(s, [&](std::uint32_t tf, std::uint32_t tw, Reader& tr, bool& tu) {
                if (tf != kTypeTensor || tw != kBytes) return true;
                Reader tensor(nullptr, 0);
                if (!tr.Bytes(tensor)) return false;
                tu = true;
                return ForEachField(tensor, [&](std::uint32_t sf, std::uint32_t sw, Reader& sr,
                                                bool& su) {
                    if (sf != kTensorTypeShape || sw != kBytes) return true;
                    Reader shape(nullptr, 0);
                    if (!sr.Bytes(shape)) return false;
                    su = true;
                    return ForEachField(shape, [&](std::uint32_t df, std::uint32_t dw,
                                                   Reader& dr, bool& du) {
                        if (df != kShapeDim || dw != kBytes) return true;
                        Reader dim(nullptr, 0);
                        if (!dr.Bytes(dim)) return false;
                        du = true;
                        return ReadDim(dim, input);
                    });
                });
            });
        }
        return true;
    });
}

bool ReadTensorName(Reader r, std::string& name) {
    return ForEachField(r, [&](std::uint32_t f, std::uint32_t w, Reader& rr, bool& used) {
        if (f == kTensorName && w == kBytes) {
            Reader s(nullptr, 0);
            if (!rr.Bytes(s)) return false;
            name = s.Text();
            used = true;
        }
        return true;
    });
}

}  // namespace

bool ReadOnnxInput(const unsigned char* data, std::size_t size, OnnxInput& input,
                   std::string& error) {
    input = OnnxInput{};
    if (data == nullptr || size == 0) {
        error = "ONNX file is empty";
        return false;
    }
    Reader model(data, size);
    Reader graph(nullptr, 0);
    bool haveGraph = false;
    const bool modelOk = ForEachField(model, [&](std::uint32_t f, std::uint32_t w, Reader& r,
                                                 bool& used) {
        if (f == kModelGraph && w == kBytes) {
            if (!r.Bytes(graph)) return false;
            haveGraph = used = true;
        }
        return true;
    });
    if (!modelOk || !haveGraph) {
        error = "file is not an ONNX model (no readable graph)";
        return false;
    }

    std::vector<std::string> initializers;
    std::vector<OnnxInput> inputs;
    const bool graphOk = ForEachField(graph, [&](std::uint32_t f, std::uint32_t w, Reader& r,
                                                 bool& used) {
        if (w != kBytes || (f != kGraphInitializer && f != kGraphInput)) return true;
        Reader sub(nullptr, 0);
        if (!r.Bytes(sub)) return false;
        used = true;
        if (f == kGraphInitializer) {
            initializers.emplace_back();
            return ReadTensorName(sub, initializers.back());
        }
        inputs.emplace_back();
        return ReadValueInfo(sub, inputs.back());
    });
    if (!graphOk) {
        error = "ONNX graph is truncated or malformed";
        return false;
    }
    for (OnnxInput& candidate : inputs) {
        if (std::find(initializers.begin(), initializers.end(), candidate.name) ==
            initializers.end()) {
            input = std::move(candidate);
            return true;
        }
    }
    error = "ONNX graph declares no input";
    return false;
}

}  // namespace korva::detail
