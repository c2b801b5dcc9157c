// Shared helpers of the detector tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "TestTempDir.h"
#include "korva/KorvaCustomWD.h"

namespace korva::test {

inline std::string ModelDir(const std::string& name) {
    return std::string(KORVA_TEST_MODELS_DIR) + "/" + name;
}

// True when the detector should run on ONNX Runtime in this process: the
// build placed the runtime beside the detector library (or KORVA_ONNXRUNTIME
// names an existing file) and KORVA_ENGINE does not ask for OpenCV.
inline bool OnnxRuntimeAvailable() {
    const char* path = std::getenv("KORVA_ONNXRUNTIME");
    if (path != nullptr && *path != '\0') return std::filesystem::exists(path);
    return KORVA_TEST_ORT_BESIDE != 0;
}
inline bool OnnxRuntimeExpected() {
    const char* engine = std::getenv("KORVA_ENGINE");
    return OnnxRuntimeAvailable() && !(engine != nullptr && std::string(engine) == "opencv");
}

// The backend named in the record while nothing runs on a GPU.
inline std::string ExpectedCpuBackend() {
    return OnnxRuntimeExpected() ? "onnxruntime-cpu" : "opencv-cpu";
}

// The "engine=" request the record echoes by default.
inline std::string DefaultEngineText() {
    const char* engine = std::getenv("KORVA_ENGINE");
    return std::string("engine=") + (engine != nullptr && *engine != '\0' ? engine : "auto");
}

inline std::uint32_t Bits(float f) {
    std::uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Equal detection lists: same order, class, confidence bit for bit, box,
// class name and camera id.
inline bool SameDetections(const std::vector<CustomObject>& a, const std::vector<CustomObject>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].classId != b[i].classId || Bits(a[i].confidence) != Bits(b[i].confidence) ||
            a[i].box != b[i].box || a[i].textA != b[i].textA || a[i].textB != b[i].textB) {
            return false;
        }
    }
    return true;
}

inline std::string Describe(const std::vector<CustomObject>& d) {
    std::string s;
    for (const CustomObject& o : d) {
        s += "{" + std::to_string(o.classId) + " " + std::to_string(o.confidence) + " [" +
             std::to_string(o.box.x) + "," + std::to_string(o.box.y) + " " +
             std::to_string(o.box.width) + "x" + std::to_string(o.box.height) + "]} ";
    }
    return s.empty() ? "(none)" : s;
}

// Uniform noise, reproducible from `seed`.
inline cv::Mat RandomFrame(cv::Size size, int type, unsigned seed) {
    cv::Mat frame(size, type);
    cv::RNG rng(seed);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}

inline ValueListEntry* FindValue(CustomParams& p, const std::string& key) {
    for (ValueListEntry& e : p.valueListEntries) {
        if (e.textA == key) return &e;
    }
    return nullptr;
}

inline std::string ClassList(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? ",class" : "class") + std::to_string(i);
    return s;
}

// A copy of a committed model folder with the given label text.
inline std::string CopyWithLabels(const std::filesystem::path& tmp, const std::string& model, const std::string& labels) {
    std::filesystem::copy_file(std::filesystem::path(ModelDir(model)) / "model.onnx", tmp / "model.onnx");
    WriteFile(tmp / "labels.txt", labels);
    return tmp.string();
}

}  // namespace korva::test
