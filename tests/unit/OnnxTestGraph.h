// Builds small ONNX models in memory for tests: a protobuf writer covering the
// few message types a float graph of standard ops needs.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
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

inline Proto ValueInfo(const std::string& name, const std::vector<int>& dims, int elementType = 1) {
    Proto shape;
    for (int d : dims) shape.Message(1, Proto().Varint(1, static_cast<std::uint64_t>(d)));
    Proto tensor;
    tensor.Varint(1, static_cast<std::uint64_t>(elementType)).Message(2, shape);
    return Proto().Bytes(1, name).Message(2, Proto().Message(1, tensor));
}

// A value of `elementType` whose shape is left open.
inline Proto OpenValueInfo(const std::string& name, int elementType) {
    return Proto().Bytes(1, name).Message(2, Proto().Message(1, Proto().Varint(1, static_cast<std::uint64_t>(elementType))));
}

inline Proto Int64Tensor(const std::string& name, const std::vector<std::int64_t>& dims,
                         const std::vector<std::int64_t>& values) {
    Proto t;
    for (std::int64_t d : dims) t.Varint(1, static_cast<std::uint64_t>(d));
    t.Varint(2, 7);  // INT64
    t.Bytes(8, name);
    std::string raw;
    for (std::int64_t v : values) {
        for (int i = 0; i < 8; ++i) raw.push_back(static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF));
    }
    t.Bytes(9, raw);
    return t;
}

inline Proto IntAttribute(const std::string& name, std::int64_t value) {
    return Proto().Bytes(1, name).Varint(3, static_cast<std::uint64_t>(value)).Varint(20, 2);  // INT
}

inline Proto GraphAttribute(const std::string& name, const Proto& graph) {
    return Proto().Bytes(1, name).Message(6, graph).Varint(20, 5);  // GRAPH
}

// A model around `graph` (nodes, initializers, inputs, outputs already added).
inline std::vector<unsigned char> Model(const Proto& graph, int opset = 12) {
    Proto m;
    m.Varint(1, 7);  // IR version
    m.Bytes(2, "korva-tests");
    m.Message(7, graph);
    m.Message(8, Proto().Varint(2, static_cast<std::uint64_t>(opset)));
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

// ---------------------------------------------------------------- models
// that would take gigabytes: each is a few hundred bytes to a few KB.

// x [1,3,side,side] -> 3x3 conv to 7 channels -> y, plus `extra` (whose
// outputs it declares with `extraOutputs`, as float of open shape).
inline std::vector<unsigned char> ConvPlus(int side, const std::function<void(Proto&)>& extra,
                                           std::initializer_list<std::string> extraOutputs, int opset = 12) {
    cv::RNG rng(11);
    Proto g;
    g.Bytes(2, "hostile");
    g.Message(11, ValueInfo("x", {1, 3, side, side}));
    AddConv(g, "c1", "x", "y", 3, 7, rng);
    extra(g);
    g.Message(12, ValueInfo("y", {}));
    for (const std::string& o : extraOutputs) g.Message(12, OpenValueInfo(o, 1));
    return Model(g, opset);
}

// A float ConstantOfShape of the constant shape `dims` as a second output,
// declared with that shape.
inline std::vector<unsigned char> ConstantOfShapeModel(const std::vector<int>& dims) {
    return ConvPlus(32, [&](Proto& g) {
        g.Message(5, Int64Tensor("fill.shape", {static_cast<std::int64_t>(dims.size())},
                                 std::vector<std::int64_t>(dims.begin(), dims.end())));
        g.Message(1, Node("ConstantOfShape", {"fill.shape"}, {"fill"}, "fill"));
        g.Message(12, ValueInfo("fill", dims));
    }, {});
}

// A Loop of `trips` iterations whose scan output is a float vector of n
// elements, n starting at `first` and multiplied by `growth` each iteration
// (growth 1: the scan output grows by `first` elements per iteration).
inline std::vector<unsigned char> GrowingLoopModel(std::int64_t trips, std::int64_t first, std::int64_t growth) {
    return ConvPlus(32, [&](Proto& g) {
        Proto body;
        body.Bytes(2, "body");
        body.Message(11, ValueInfo("i", {}, 7));
        body.Message(11, ValueInfo("cond", {}, 9));
        body.Message(11, ValueInfo("n", {1}, 7));
        body.Message(5, Int64Tensor("growth", {1}, {growth}));
        body.Message(1, Node("Identity", {"cond"}, {"cond_out"}));
        body.Message(1, Node("Mul", {"n", "growth"}, {"n_out"}));
        body.Message(1, Node("ConstantOfShape", {"n"}, {"slice"}, "grow"));
        body.Message(12, ValueInfo("cond_out", {}, 9));
        body.Message(12, ValueInfo("n_out", {1}, 7));
        body.Message(12, OpenValueInfo("slice", 1));
        g.Message(5, Int64Tensor("trips", {}, {trips}));
        g.Message(5, Int64Tensor("first", {1}, {first}));
        g.Message(1, Node("Loop", {"trips", "", "first"}, {"n_last", "grown"}, "loop",
                          {GraphAttribute("body", body)}));
    }, {"grown"}, 13);
}

// A ConstantOfShape whose size is the input's brightest value above 0.6
// times `scale` elements: none for the padding gray of a warm-up, about
// 0.4 * scale for a white frame.
inline std::vector<unsigned char> FrameSizedModel(double scale) {
    return ConvPlus(32, [&](Proto& g) {
        const cv::Mat threshold(1, 1, CV_32F, cv::Scalar(0.6)), factor(1, 1, CV_32F, cv::Scalar(scale));
        g.Message(5, FloatTensor("threshold", {1}, threshold));
        g.Message(5, FloatTensor("factor", {1}, factor));
        g.Message(5, Int64Tensor("one", {1}, {1}));
        g.Message(1, Node("ReduceMax", {"x"}, {"peak"}, "peak", {IntsAttribute("axes", {0, 1, 2, 3})}));
        g.Message(1, Node("Reshape", {"peak", "one"}, {"peak1"}));
        g.Message(1, Node("Sub", {"peak1", "threshold"}, {"over"}));
        g.Message(1, Node("Relu", {"over"}, {"over0"}));
        g.Message(1, Node("Mul", {"over0", "factor"}, {"count"}));
        g.Message(1, Node("Cast", {"count"}, {"size"}, "size", {IntAttribute("to", 7)}));
        g.Message(1, Node("ConstantOfShape", {"size"}, {"fill"}, "fill"));
    }, {"fill"});
}

}  // namespace korva::testing
