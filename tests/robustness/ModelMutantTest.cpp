// Seeded mutants of the demo model through the public Initialize on both
// engines: every one is refused with a one-line reason or loaded (and then
// runs a frame), none crashes.
//
// Most of the model is weight data, where a changed byte only changes a
// weight; mutations aim at the protobuf structure around it (keys, lengths,
// names, dims, attribute values), found by walking the encoded messages.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "RobustnessSupport.h"
#include "korva/KorvaCustomWD.h"

namespace korva::robustness {
namespace {
namespace fs = std::filesystem;

const fs::path kDemoDir = KORVA_DEMO_MODEL_DIR;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Varint(std::string_view s, std::size_t& pos, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && pos < s.size(); shift += 7) {
        const auto b = static_cast<unsigned char>(s[pos++]);
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

// Offsets of the structure of the message in s[begin, end): every key and
// length byte and every byte of short payloads, descending into
// length-delimited fields that parse as messages. Large payloads (weights)
// are skipped. False when the range is not a message.
bool StructureOffsets(std::string_view s, std::size_t begin, std::size_t end, int depth,
                      std::vector<std::size_t>& out) {
    std::size_t pos = begin;
    const std::size_t mark = out.size();
    while (pos < end) {
        const std::size_t keyStart = pos;
        std::uint64_t key = 0, value = 0;
        if (!Varint(s.substr(0, end), pos, key) || (key >> 3) == 0) break;
        const auto wire = key & 7;
        if (wire == 0) {
            if (!Varint(s.substr(0, end), pos, value)) break;
        } else if (wire == 1 || wire == 5) {
            pos += wire == 1 ? 8 : 4;
        } else if (wire == 2) {
            if (!Varint(s.substr(0, end), pos, value) || value > end - pos) break;
            const std::size_t payload = pos;
            pos += static_cast<std::size_t>(value);
            for (std::size_t i = keyStart; i < payload; ++i) out.push_back(i);
            if (value <= 4096 || depth < 3) {
                if (depth > 12 || !StructureOffsets(s, payload, pos, depth + 1, out)) {
                    if (value <= 256) {
                        // a name or a short value
                        for (std::size_t i = payload; i < pos; ++i) out.push_back(i);
                    }
                }
            }
            continue;
        } else {
            break;
        }
        if (pos > end) break;
        for (std::size_t i = keyStart; i < pos; ++i) out.push_back(i);
    }
    if (pos != end) {
        out.resize(mark);
        return false;
    }
    return true;
}

// Number of mutants: KORVA_MODEL_MUTANTS, else 200 (24 under a sanitizer).
int MutantCount() {
    const char* env = std::getenv("KORVA_MODEL_MUTANTS");
    if (env != nullptr && *env != '\0') return std::atoi(env);
    return kSanitized ? 24 : 200;
}

// One mutant: a few bytes of the structure set to other values, sometimes a
// byte anywhere.
std::string Mutate(const std::string& model, const std::vector<std::size_t>& structure, std::mt19937& rng) {
    std::string m = model;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
        const bool anywhere = rng() % 8 == 0 || structure.empty();
        const std::size_t at = anywhere ? rng() % m.size() : structure[rng() % structure.size()];
        switch (rng() % 4) {
            case 0: m[at] = static_cast<char>(0xFF); break;
            case 1: m[at] = static_cast<char>(m[at] ^ (1 << (rng() % 8))); break;
            case 2: m[at] = static_cast<char>(static_cast<unsigned char>(m[at]) + 1); break;
            default: m[at] = static_cast<char>(rng() % 256); break;
        }
    }
    return m;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void SetEngine(const char* name) {
#ifdef _WIN32
    _putenv_s("KORVA_ENGINE", name);
#else
    ::setenv("KORVA_ENGINE", name, 1);
#endif
}

TEST(ModelMutants, DemoModelMutantsAreRefusedWithAReasonOrLoaded) {
    if (const char* engine = std::getenv("KORVA_ENGINE"); engine != nullptr && *engine != '\0') {
        GTEST_SKIP() << "picks its engines itself; runs where KORVA_ENGINE is unset";
    }
    const std::string model = ReadAll(kDemoDir / "model.onnx");
    const std::string labels = ReadAll(kDemoDir / "labels.txt");
    ASSERT_FALSE(model.empty()) << "no demo model at " << kDemoDir.string();

    std::vector<std::size_t> structure;
    ASSERT_TRUE(StructureOffsets(model, 0, model.size(), 0, structure));
    ASSERT_GT(structure.size(), 1000u);

    const int count = MutantCount();
    const cv::Mat frame = NoiseFrame(96, 128, CV_8UC3, 3u);
    const char* const engines[] = {KORVA_TEST_ORT_BESIDE ? "onnxruntime" : nullptr, "opencv"};
    for (const char* engine : engines) {
        if (engine == nullptr) continue;
        SetEngine(engine);
        std::mt19937 rng(20261210u);  // the same mutants for each engine
        int refused = 0, loaded = 0;
        TempDir temp;
        WriteFile(temp.Path() / "labels.txt", labels);
        for (int i = 0; i < count; ++i) {
            const std::string mutant = Mutate(model, structure, rng);
            WriteFile(temp.Path() / "model.onnx", mutant);
            KorvaCustomWD detector;
            std::string labelMap;
            if (detector.Initialize(temp.Path().string(), 0.3f, labelMap)) {
                ++loaded;
                detector.RunInference(frame, "cam");
            } else {
                ++refused;
                const std::string reason = detector.LastError();
                EXPECT_FALSE(reason.empty()) << engine << " mutant " << i;
                EXPECT_EQ(reason.find('\n'), std::string::npos)
                    << engine << " mutant " << i << ": " << reason;
            }
        }
        // Mutants that only touch weights load; those that break the structure must not all load.
        EXPECT_GT(refused, 0) << engine;
        std::printf("[ mutants  ] %s: %d refused, %d loaded\n", engine, refused, loaded);
    }
    SetEngine("");
}

}  // namespace
}  // namespace korva::robustness
