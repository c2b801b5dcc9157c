// Builds small ONNX models in memory for tests: a protobuf writer covering the
// few message types a float graph of standard ops needs.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace korva::testing {

class Proto {
public:
    Proto& Varint(std::uint32_t field, std::uint64_t v) {
        Key(field, 0);
        Raw(v);
        return *this;
    }
    Proto& Bytes(std::uint32_t field, const std::string& bytes) {
        Key(field, 2);
        Raw(bytes.size());
        out_ += bytes;
        return *this;
    }
    Proto& Fixed32(std::uint32_t field, std::uint32_t v) {
        Key(field, 5);
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return *this;
    }
    Proto& Message(std::uint32_t field, const Proto& m) { return Bytes(field, m.out_); }
    const std::string& str() const { return out_; }

private:
    void Key(std::uint32_t field, std::uint32_t wire) { Raw((std::uint64_t{field} << 3) | wire); }
    void Raw(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    std::string out_;
};

inline Proto IntsAttribute(const std::string& name, std::initializer_list<int> values) {
    Proto a;
    a.Bytes(1, name);
    for (int v : values) a.Varint(8, static_cast<std::uint64_t>(v));
    a.Varint(20, 7);  // INTS
    return a;
}

inline Proto Node(const std::string& op, std::initializer_list<std::string> inputs,
                  std::initializer_list<std::string> outputs, const std::string& name = {},
                  std::initializer_list<Proto> attributes = {}) {
    Proto n;
    for (const auto& i : inputs) n.Bytes(1, i);
    for (const auto& o : outputs) n.Bytes(2, o);
    if (!name.empty()) n.Bytes(3, name);
    n.Bytes(4, op);
    for (const auto& a : attributes) n.Message(5, a);
    return n;
}

inline Proto FloatTensor(const std::string& name, const std::vector<int>& dims, const cv::Mat& values) {
    Proto t;
    for (int d : dims) t.Varint(1, static_cast<std::uint64_t>(d));
    t.Varint(2, 1);  // FLOAT
    t.Bytes(8, name);
    CV_Assert(values.isContinuous() && values.type() == CV_32F);
    t.Bytes(9, std::string(reinterpret_cast<const char*>(values.data), values.total() * sizeof(float)));
    return t;
}

inline Proto ValueInfo(const std::string& name, const std::vector<int>& dims) {
    Proto shape;
    for (int d : dims) shape.Message(1, Proto().Varint(1, static_cast<std::uint64_t>(d)));
    Proto tensor;
    tensor.Varint(1, 1).Message(2, shape);
    return Proto().Bytes(1, name).Message(2, Proto().Message(1, tensor));
}

// A model around `graph` (nodes, initializers, inputs, outputs already added).
inline std::vector<unsigned char> Model(const Proto& graph) {
    Proto m;
    m.Varint(1, 7);  // IR version
    m.Bytes(2, "korva-tests");
    m.Message(7, graph);
    m.Message(8, Proto().Varint(2, 12));  // opset 12
    const std::string& s = m.str();
    return std::vector<unsigned char>(s.begin(), s.end());
}

// A 3x3 convolution node `name` from `in` (cin channels) to `out` (cout
// channels), with random weights added to `graph`.
inline void AddConv(Proto& graph, const std::string& name, const std::string& in, const std::string& out,
                    int cin, int cout, cv::RNG& rng) {
    cv::Mat w(1, cout * cin * 9, CV_32F), b(1, cout, CV_32F);
    rng.fill(w, cv::RNG::NORMAL, 0.0, 1.0 / std::sqrt(cin * 9.0));
    rng.fill(b, cv::RNG::NORMAL, 0.0, 0.5);
    graph.Message(5, FloatTensor(name + ".w", {cout, cin, 3, 3}, w));
    graph.Message(5, FloatTensor(name + ".b", {cout}, b));
    graph.Message(1, Node("Conv", {in, name + ".w", name + ".b"}, {out}, name,
                          {IntsAttribute("kernel_shape", {3, 3}), IntsAttribute("pads", {1, 1, 1, 1})}));
}

}  // namespace korva::testing
