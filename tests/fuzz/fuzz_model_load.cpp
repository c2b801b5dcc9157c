// The model load path over ONNX bytes: the model check, the input reader and,
// for what the check accepts, OpenCV's import, its memory estimate and a
// forward pass on a small input, all in-process. Nothing the check accepts
// may crash the importer.
//
// The custom mutator edits the protobuf structure and re-encodes every
// enclosing length: fields deleted, duplicated, renumbered, varints (dims,
// attribute types and values) changed, short byte fields (names) swapped for
// others of the model or altered; otherwise libFuzzer's byte mutation. Seed
// it with the test models (tests/unit/data/models/*/model.onnx).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "FuzzCheck.h"
#include "onnx/OnnxModelCheck.h"
#include "onnx/OnnxModelInfo.h"
#include "onnx/ProtobufWire.h"

using namespace korva::detail;

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

// Largest input side and activation memory a forward pass is tried with.
constexpr std::int64_t kMaxForwardSide = 128;
constexpr std::size_t kMaxForwardBytes = std::size_t{256} << 20;

// One encoded field somewhere in the model.
struct Site {
    std::string_view raw;
    ProtoField field;
    std::uint32_t parent = 0;  // number of the enclosing field, 0 at the top
};

// Every field of `msg`, descending into length-delimited fields that parse as
// messages (names and weights that happen to parse are visited too: the
// mutations stay well-framed either way).
void CollectSites(std::string_view msg, int depth, std::uint32_t parent, std::vector<Site>& sites) {
    if (depth > 10 || sites.size() > 20000) return;
    std::vector<ProtoField> fields;
    if (!SplitMessage(msg, fields)) return;
    for (const ProtoField& f : fields) {
        sites.push_back({f.raw, f, parent});
        if (f.wire == kWireBytes && f.payload.size() > 1 && f.payload.size() <= (1u << 16)) {
            CollectSites(f.payload, depth + 1, f.number, sites);
        }
    }
}

void AppendVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// `msg` with the field spanning `target` replaced by `with`, every enclosing
// length re-encoded. `target` must point into `msg`.
std::string Rewrite(std::string_view msg, std::string_view target, std::string_view with) {
    std::string out;
    ProtoReader reader(msg);
    ProtoField f;
    while (reader.Next(f)) {
        const char* begin = f.raw.data();
        const char* end = begin + f.raw.size();
        if (target.data() < begin || target.data() + target.size() > end) {
            out.append(f.raw);
        } else if (target.data() == begin && target.size() == f.raw.size()) {
            out.append(with);
        } else if (f.wire == kWireBytes && target.data() >= f.payload.data()) {
            AppendBytesField(out, f.number, Rewrite(f.payload, target, with));
        } else {
            out.append(f.raw);
        }
    }
    return out;
}

std::string Key(std::uint32_t number, std::uint32_t wire) {
    std::string k;
    AppendVarint(k, (std::uint64_t{number} << 3) | wire);
    return k;
}

std::uint64_t InterestingVarint(std::mt19937& rng, std::uint64_t old) {
    static const std::uint64_t kValues[] = {0, 1, 2, 3, 4, 7, 8, 14, 15, 16, 64, 255, 256, 65535,
                                            1u << 20, 1u << 31, ~std::uint64_t{0}, ~std::uint64_t{0} - 1};
    switch (rng() % 4) {
        case 0: return old + 1;
        case 1: return old - 1;
        case 2: return old * 2;
        default: return kValues[rng() % (sizeof kValues / sizeof kValues[0])];
    }
}

// One structural edit of `model`; empty when none applies.
std::string MutateStructure(std::string_view model, std::mt19937& rng) {
    std::vector<Site> sites;
    CollectSites(model, 0, 0, sites);
    if (sites.empty()) return {};
    // Half the time an attribute's int (a kernel side, a stride, an axis) is
    // nudged: the check passes most such models on to the importer.
    std::vector<const Site*> attributeInts;
    for (const Site& site : sites) {
        if (site.parent == 5 && site.field.wire == kWireVarint && (site.field.number == 3 || site.field.number == 8)) {
            attributeInts.push_back(&site);
        }
    }
    if (!attributeInts.empty() && rng() % 2 == 0) {
        const Site& a = *attributeInts[rng() % attributeInts.size()];
        static const std::int64_t kDeltas[] = {-2, -1, 1, 2, 3};
        const std::int64_t value = rng() % 4 == 0 ? -1 : static_cast<std::int64_t>(a.field.varint) +
                                                             kDeltas[rng() % (sizeof kDeltas / sizeof kDeltas[0])];
        std::string with = Key(a.field.number, kWireVarint);
        AppendVarint(with, static_cast<std::uint64_t>(value));
        return Rewrite(model, a.raw, with);
    }
    const Site& s = sites[rng() % sites.size()];
    std::string with;
    switch (rng() % 6) {
        case 0:  // delete
            break;
        case 1:  // duplicate
            with = std::string(s.raw) + std::string(s.raw);
            break;
        case 2: {  // another field number, same value
            std::size_t keyBytes = 0;
            while (keyBytes < s.raw.size() && (static_cast<unsigned char>(s.raw[keyBytes]) & 0x80) != 0) {
                ++keyBytes;
            }
            with = Key(1 + rng() % 25, s.field.wire) + std::string(s.raw.substr(keyBytes + 1));
            break;
        }
        case 3:  // a varint changed, or a bytes field turned into one
            with = Key(s.field.number, kWireVarint);
            AppendVarint(with, InterestingVarint(rng, s.field.varint));
            break;
        case 4: {  // bytes swapped for another short bytes field's (a name for another name)
            if (s.field.wire != kWireBytes) return {};
            std::vector<const Site*> names;
            for (const Site& o : sites) {
                if (o.field.wire == kWireBytes && o.field.payload.size() <= 64) names.push_back(&o);
            }
            if (names.empty()) return {};
            with = Key(s.field.number, kWireBytes);
            const std::string_view payload = names[rng() % names.size()]->field.payload;
            AppendVarint(with, payload.size());
            with.append(payload);
            break;
        }
        default: {  // a byte of a short payload changed
            if (s.field.wire != kWireBytes || s.field.payload.empty() || s.field.payload.size() > 256) {
                return {};
            }
            std::string payload(s.field.payload);
            payload[rng() % payload.size()] = static_cast<char>(rng() % 256);
            with = Key(s.field.number, kWireBytes);
            AppendVarint(with, payload.size());
            with.append(payload);
            break;
        }
    }
    return Rewrite(model, s.raw, with);
}

// The first input, as a small NCHW blob when its shape allows one.
bool SmallInput(const OnnxInput& input, std::vector<int>& shape) {
    if (!input.hasShape || input.dims.empty() || input.dims.size() > 5) return false;
    shape.clear();
    for (std::size_t i = 0; i < input.dims.size(); ++i) {
        std::int64_t d = input.dims[i];
        if (d <= 0) d = i < 2 ? 1 : 32;
        if (d > kMaxForwardSide) return false;
        shape.push_back(static_cast<int>(d));
    }
    return true;
}

void LoadWithOpenCv(const std::uint8_t* data, std::size_t size, const OnnxInput& input) {
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(data), size);
        std::vector<int> shape;
        if (net.empty() || !SmallInput(input, shape)) return;
        std::size_t weights = 0, blobs = 0;
        net.getMemoryConsumption(cv::dnn::MatShape(shape.begin(), shape.end()), weights, blobs);
        if (blobs > kMaxForwardBytes) return;
        cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F, cv::Scalar(0.5));
        net.setInput(blob);
        std::vector<cv::Mat> outs;
        net.forward(outs, net.getUnconnectedOutLayersNames());
    } catch (const cv::Exception&) {
    } catch (const std::exception&) {
    }
}

// How many inputs reached each stage; printed at exit with KORVA_FUZZ_STATS.
struct Stages {
    unsigned long refused = 0, unreadable = 0, imported = 0;
    ~Stages() {
        if (std::getenv("KORVA_FUZZ_STATS") != nullptr) {
            std::fprintf(stderr, "model check refused %lu, input unreadable %lu, given to OpenCV %lu\n",
                         refused,
                         unreadable, imported);
        }
    }
} stages;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cv::setNumThreads(1);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string why;
    if (!CheckOnnxModel(data, size, why)) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos);
        ++stages.refused;
        return 0;
    }
    OnnxModelInfo info;
    std::string error;
    if (!ReadOnnxModelInfo(data, size, info, error)) {
        FUZZ_CHECK(!error.empty());
        ++stages.unreadable;
        return 0;
    }
    ++stages.imported;
    LoadWithOpenCv(data, size, info.input);
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    std::mt19937 rng(seed);
    if (rng() % 4 != 0) {
        const std::string model(reinterpret_cast<const char*>(data), size);
        const std::string mutated = MutateStructure(model, rng);
        if (!mutated.empty() && mutated.size() <= maxSize && mutated != model) {
            std::copy(mutated.begin(), mutated.end(), data);
            return mutated.size();
        }
    }
    return LLVMFuzzerMutate(data, size, maxSize);
}
