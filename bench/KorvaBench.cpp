// Benchmarks of the weapon detector, each next to its baseline in the same run.
//
//   RunInference/<model>/<frame>   a full RunInference on a 1080p or 4K frame
//                                  (default engine: ONNX Runtime where it loads)
//   Letterbox/<model>/<frame>      its pre-processing alone (frame -> blob)
//   Forward/<model>                bare Net::forward of the network OpenCV's
//                                  engine runs (SiLU fused), on a prepared blob
//   StockForward/<model>           bare Net::forward of the model as exported,
//                                  imported with plain readNetFromONNX
//   SwishForward/<model>           the same with SiLU fused into OpenCV's own
//                                  Swish layer instead, for comparison
//   OrtRun/<model>                 bare ONNX Runtime Run on the prepared blob
//   Paired/<model>                 RunInference 1080p on each engine, Forward,
//                                  StockForward and OrtRun back to back per
//                                  iteration; ratio counters
//   FirstCall/<model>              the first RunInference after Initialize
//                                  (counter: its ratio to the call after it)
//   Throughput/<model>/threads:N   N camera threads sharing one detector
//   ThroughputIntra1/<model>/...   the same with intra_op_threads = 1
//   Initialize/<model>             Initialize time; resident memory per detector
//
// Models: "tiny" (a committed unit-test model), "demo" (the demo model, or the
// generated 416 stand-in while it is missing) and "v8n640" (the generated
// YOLOv8n-sized 640 model). Missing models are skipped.
//
// Extra flags: --korva_models=DIR (generated models), --korva_demo=DIR (demo
// model folder; empty to skip), --korva_tiny=DIR.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "engines/EngineRequest.h"
#include "decode/Letterbox.h"
#include "engines/OpenCvEngine.h"
#include "engines/OrtEngine.h"
#include "engines/OrtRuntime.h"
#include "engines/OnnxSiluFusion.h"
#include "engines/SiluLayer.h"
#include "korva/KorvaCustomWD.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ModelEntry {
    std::string name;
    std::string folder;
};

bool HasModel(const std::string& folder) {
    std::error_code ec;
    return !folder.empty() && fs::is_regular_file(fs::path(folder) / "model.onnx", ec);
}

// A smooth synthetic frame, the same on every run.
cv::Mat MakeFrame(cv::Size size) {
    cv::Mat small(size.height / 16, size.width / 16, CV_8UC3);
    cv::RNG rng(20261209);
    rng.fill(small, cv::RNG::UNIFORM, 0, 256);
    cv::Mat frame;
    cv::resize(small, frame, size, 0, 0, cv::INTER_CUBIC);
    return frame;
}

const cv::Mat& Frame(const std::string& which) {
    static const cv::Mat hd = MakeFrame({1920, 1080});
    static const cv::Mat uhd = MakeFrame({3840, 2160});
    return which == "4K" ? uhd : hd;
}

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

// Bytes allocated from the heap and not yet freed; -1 where unknown.
double HeapMiB() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
#else
    return -1;
#endif
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// One loaded detector per model and request, shared by the benchmarks that
// need one. `engine` empty: the default; `intraOpThreads` 0: the default.
KorvaCustomWD& SharedDetector(const std::string& folder, const std::string& engine = "",
                              int intraOpThreads = 0) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<KorvaCustomWD>> detectors;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = detectors[folder + "|" + engine + "|" + std::to_string(intraOpThreads)];
    if (!slot) {
        slot = std::make_unique<KorvaCustomWD>();
        CustomParams request;
        if (!engine.empty()) request.texts.push_back("engine=" + engine);
        request.valueListEntries.push_back({"intra_op_threads", {double(intraOpThreads)}, "", "", 0});
        slot->SetParameters(request);
        std::string labels;
        if (!slot->Initialize(folder, 0.25f, labels)) {
            std::fprintf(stderr, "cannot load %s: %s\n", folder.c_str(), slot->LastError().c_str());
            std::exit(2);
        }
    }
    return *slot;
}

// The input blob RunInference builds for a 1080p frame.
cv::Mat PreparedBlob(cv::Size input) {
    korva::detail::LetterboxScratch scratch;
    const cv::Mat& frame = Frame("1080p");
    korva::detail::MakeInputBlob(frame, korva::detail::ComputeLetterbox(frame.size(), input),
                                 scratch);
    return scratch.blob.clone();
}

cv::Size InputSizeOf(const std::string& folder) {
    CustomParams params;
    SharedDetector(folder).ConfigureParameters(params);
    for (const auto& e : params.valueListEntries) {
        if (e.textA == "input_size" && e.wideValues.size() == 2) {
            return {static_cast<int>(e.wideValues[0]), static_cast<int>(e.wideValues[1])};
        }
    }
    return {};
}

// The model's network with SiLU pairs fused into `siluType`; the model as
// exported when `siluType` is empty. `fused` counts the pairs replaced.
cv::dnn::Net MakeNet(const std::vector<unsigned char>& onnx, const std::string& siluType, int& fused) {
    cv::dnn::Net net;
    fused = 0;
    if (!siluType.empty() && korva::detail::SiluFusionEnabled()) {
        korva::detail::SiluFusion fusion;
        std::string error;
        if (korva::detail::FuseSilu(onnx.data(), onnx.size(), siluType, fusion, error) &&
            fusion.fused > 0) {
            korva::detail::RegisterSiluLayer();
            net = cv::dnn::readNetFromONNX(fusion.onnx);
            fused = fusion.fused;
        }
    }
    if (net.empty()) net = cv::dnn::readNetFromONNX(onnx);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return net;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// `siluType`: the op type SiLU pairs are fused into; empty for the model as
// exported.
void BareForward(benchmark::State& state, const std::string& folder, const std::string& siluType) {
    const std::vector<unsigned char> onnx = ReadBytes(folder + "/model.onnx");
    int fused = 0;
    cv::dnn::Net net = MakeNet(onnx, siluType, fused);
    const cv::Mat blob = PreparedBlob(InputSizeOf(folder));
    const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> outputs;
    net.setInput(blob);
    net.forward(outputs, names);  // first run allocates
    for (auto _ : state) {
        net.setInput(blob);
        net.forward(outputs, names);
        benchmark::DoNotOptimize(outputs.front().data);
    }
    state.counters["silu_fused"] = fused;
    if (fused > 0) {
        // How far the fused network's outputs are from the model as exported.
        cv::dnn::Net stockNet = cv::dnn::readNetFromONNX(onnx);
        stockNet.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        stockNet.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        std::vector<cv::Mat> expected;
        stockNet.setInput(blob);
        stockNet.forward(expected, names);
        double diff = 0, scale = 1, scoreDiff = 0;
        for (std::size_t i = 0; i < expected.size() && i < outputs.size(); ++i) {
            diff = std::max(diff, cv::norm(outputs[i], expected[i], cv::NORM_INF));
            scale = std::max(scale, cv::norm(expected[i], cv::NORM_INF));
            const cv::Mat& e = expected[i];
            if (e.dims == 3 && e.size[1] > 4 && e.size[1] < e.size[2]) {  // [1, 4 + nc, N]
                const cv::Mat a2 = outputs[i].reshape(1, e.size[1]), e2 = e.reshape(1, e.size[1]);
                scoreDiff = std::max(scoreDiff, cv::norm(a2.rowRange(4, a2.rows),
                                                         e2.rowRange(4, e2.rows), cv::NORM_INF));
            }
        }
        state.counters["score_max_abs_diff_vs_stock"] = scoreDiff;
        state.counters["max_abs_diff_vs_stock"] = diff;
        state.counters["max_rel_diff_vs_stock"] = diff / scale;
    }
}

// The pre-processing part of RunInference alone: letterbox into the blob.
void Letterbox(benchmark::State& state, const std::string& folder, const std::string& frameName) {
    const cv::Size input = InputSizeOf(folder);
    const cv::Mat& frame = Frame(frameName);
    const korva::detail::LetterboxGeometry g = korva::detail::ComputeLetterbox(frame.size(), input);
    korva::detail::LetterboxScratch scratch;
    for (auto _ : state) {
        korva::detail::MakeInputBlob(frame, g, scratch);
        benchmark::DoNotOptimize(scratch.blob.data);
    }
}

// The ONNX Runtime engine the default detector builds, made directly; null
// with a reason where the runtime is missing.
std::unique_ptr<korva::detail::OrtEngine> MakeOrtEngine(const std::string& folder, std::string& why) {
    std::shared_ptr<const korva::detail::OrtRuntime> runtime = korva::detail::OrtRuntime::Shared(why);
    if (!runtime) return nullptr;
    korva::detail::OrtEngineOptions options;
    options.intraOpThreads = korva::detail::ResolveIntraOpThreads(0);
    std::string note;
    return korva::detail::OrtEngine::Create(runtime, ReadBytes(folder + "/model.onnx"), InputSizeOf(folder),
                                            options, note, why);
}

// Multiply-adds count two; OpenCV's count for the model as exported.
double GigaFlops(const std::string& folder) {
    const cv::Size input = InputSizeOf(folder);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(folder + "/model.onnx");
    return static_cast<double>(net.getFLOPS(cv::dnn::MatShape{1, 3, input.height, input.width})) * 1e-9;
}

// Bare Run of ONNX Runtime on the prepared blob.
void OrtRun(benchmark::State& state, const std::string& folder) {
    std::string why;
    const auto engine = MakeOrtEngine(folder, why);
    if (!engine) {
        state.SkipWithError(("no ONNX Runtime: " + why).c_str());
        return;
    }
    const cv::Mat blob = PreparedBlob(InputSizeOf(folder));
    std::vector<float> values;
    for (auto _ : state) {
        engine->Run(blob, 0, values);
        benchmark::DoNotOptimize(values.data());
    }
    state.counters["gflop"] = GigaFlops(folder);
    state.counters["intra_op_threads"] = engine->IntraOpThreads();
}

// RunInference on a 1080p frame on each engine, the bare forward of OpenCV's
// network, the stock forward and ONNX Runtime's bare Run, timed back to back
// in every iteration (in rotating order), so that load from other processes
// hits case and baselines alike. Counters are medians of the per-iteration
// ratios.
void Paired(benchmark::State& state, const std::string& folder) {
    KorvaCustomWD& detector = SharedDetector(folder);
    KorvaCustomWD& cvDetector = SharedDetector(folder, "opencv");
    const std::vector<unsigned char> onnx = ReadBytes(folder + "/model.onnx");
    int fused = 0, none = 0;
    cv::dnn::Net net = MakeNet(onnx, korva::detail::kSiluLayerType, fused);
    cv::dnn::Net stock = MakeNet(onnx, "", none);
    std::string why;
    const auto ort = MakeOrtEngine(folder, why);
    const cv::Mat blob = PreparedBlob(InputSizeOf(folder));
    const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
    const std::vector<std::string> stockNames = stock.getUnconnectedOutLayersNames();
    const cv::Mat& frame = Frame("1080p");
    std::vector<cv::Mat> outputs;
    std::vector<float> values;
    enum { kRun, kCvRun, kForward, kStock, kOrt, kCases };
    auto time = [&](int which) {
        const auto start = Clock::now();
        switch (which) {
            case kRun: benchmark::DoNotOptimize(detector.RunInference(frame, "cam").size()); break;
            case kCvRun: benchmark::DoNotOptimize(cvDetector.RunInference(frame, "cam").size()); break;
            case kForward:
                net.setInput(blob);
                net.forward(outputs, names);
                break;
            case kStock:
                stock.setInput(blob);
                stock.forward(outputs, stockNames);
                break;
            default:
                if (ort) ort->Run(blob, 0, values);
        }
        return Seconds(start);
    };
    for (int k = 0; k < kCases; ++k) time(k);  // first calls allocate
    std::vector<double> ratio[6];
    int turn = 0;
    for (auto _ : state) {
        double t[kCases] = {};
        for (int k = 0; k < kCases; ++k) {
            const int which = (k + turn) % kCases;
            t[which] = time(which);
        }
        ++turn;
        ratio[0].push_back(t[kRun] / t[kStock]);
        ratio[1].push_back(t[kRun] / t[kOrt]);
        ratio[2].push_back(t[kOrt] / t[kStock]);
        ratio[3].push_back(t[kForward] / t[kStock]);
        ratio[4].push_back(t[kCvRun] / t[kForward]);
        ratio[5].push_back(t[kCvRun] / t[kStock]);
    }
    state.counters["run_over_stock"] = Median(ratio[0]);
    state.counters["forward_over_stock"] = Median(ratio[3]);
    state.counters["cv_run_over_forward"] = Median(ratio[4]);
    state.counters["cv_run_over_stock"] = Median(ratio[5]);
    if (ort) {
        state.counters["run_over_ort"] = Median(ratio[1]);
        state.counters["ort_over_stock"] = Median(ratio[2]);
    }
}

void RunInference(benchmark::State& state, const std::string& folder, const std::string& frameName) {
    KorvaCustomWD& detector = SharedDetector(folder);
    const cv::Mat& frame = Frame(frameName);
    std::size_t found = 0;
    for (auto _ : state) {
        auto detections = detector.RunInference(frame, "cam");
        found = detections.size();
        benchmark::DoNotOptimize(detections.data());
    }
    state.counters["detections"] = static_cast<double>(found);
}

void FirstCall(benchmark::State& state, const std::string& folder) {
    const cv::Mat& frame = Frame("1080p");
    std::vector<double> firstOverSecond;
    for (auto _ : state) {
        KorvaCustomWD detector;
        std::string labels;
        if (!detector.Initialize(folder, 0.25f, labels)) {
            state.SkipWithError("Initialize failed");
            break;
        }
        const auto start = Clock::now();
        auto detections = detector.RunInference(frame, "cam");
        const double first = Seconds(start);
        state.SetIterationTime(first);
        benchmark::DoNotOptimize(detections.data());
        const auto again = Clock::now();
        detections = detector.RunInference(frame, "cam");
        firstOverSecond.push_back(first / Seconds(again));  // second call: steady state
    }
    state.counters["first_over_second"] = Median(firstOverSecond);
}

bool SameDetections(const std::vector<CustomObject>& a, const std::vector<CustomObject>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].classId != b[i].classId || a[i].box != b[i].box ||
            std::memcmp(&a[i].confidence, &b[i].confidence, sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

// Each camera thread has a frame of its own; every result is compared with the
// one a lone sequential call gave for that frame.
void Throughput(benchmark::State& state, const std::string& folder, int intraOpThreads) {
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, std::pair<cv::Mat, std::vector<CustomObject>>> refs;
    KorvaCustomWD& detector = SharedDetector(folder, "", intraOpThreads);
    const int camera = state.thread_index() % 4;
    const cv::Mat* frame = nullptr;
    const std::vector<CustomObject>* expected = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto& ref = refs[{folder, camera}];
        if (ref.first.empty()) {
            cv::Mat f = Frame("1080p").clone();
            cv::flip(f, f, camera % 2);  // a different picture per camera
            if (camera >= 2) f = f(cv::Rect(camera * 37, 0, f.cols - camera * 37, f.rows)).clone();
            ref.second = detector.RunInference(f, "cam");
            ref.first = f;
        }
        frame = &ref.first;
        expected = &ref.second;
    }
    detector.RunInference(*frame, "cam");  // concurrent first calls fill the network pool
    std::int64_t mismatches = 0;
    for (auto _ : state) {
        auto detections = detector.RunInference(*frame, "cam");
        if (!SameDetections(detections, *expected)) ++mismatches;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["mismatches"] = static_cast<double>(mismatches);  // summed over threads
}

void Initialize(benchmark::State& state, const std::string& folder) {
    std::vector<std::unique_ptr<KorvaCustomWD>> loaded;  // all kept until the end
    const cv::Mat& frame = Frame("1080p");
    const double before = ResidentMiB();
    const double heapBefore = HeapMiB();
    for (auto _ : state) {
        auto detector = std::make_unique<KorvaCustomWD>();
        std::string labels;
        const auto start = Clock::now();
        const bool ok = detector->Initialize(folder, 0.25f, labels);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (!ok) {
            state.SkipWithError("Initialize failed");
            break;
        }
        detector->RunInference(frame, "cam");  // buffers of one network in use
        loaded.push_back(std::move(detector));
    }
    if (!loaded.empty()) {
        state.counters["rss_mib_per_detector"] = (ResidentMiB() - before) / loaded.size();
        state.counters["heap_mib_per_detector"] = (HeapMiB() - heapBefore) / loaded.size();
    }
}

std::string TakeFlag(int& argc, char** argv, const char* name, std::string fallback) {
    const std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            std::string value = argv[i] + prefix.size();
            for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
            --argc;
            return value;
        }
    }
    return fallback;
}

void RegisterAll(const std::vector<ModelEntry>& models) {
    for (const ModelEntry& m : models) {
        const std::string f = m.folder;
        for (const char* frame : {"1080p", "4K"}) {
            const std::string fr = frame;
            benchmark::RegisterBenchmark(("RunInference/" + m.name + "/" + fr).c_str(),
                                         [f, fr](benchmark::State& s) { RunInference(s, f, fr); })
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Letterbox/" + m.name + "/" + fr).c_str(),
                                         [f, fr](benchmark::State& s) { Letterbox(s, f, fr); })
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(
            ("Forward/" + m.name).c_str(),
            [f](benchmark::State& s) { BareForward(s, f, korva::detail::kSiluLayerType); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("StockForward/" + m.name).c_str(),
                                     [f](benchmark::State& s) { BareForward(s, f, ""); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("SwishForward/" + m.name).c_str(),
                                     [f](benchmark::State& s) { BareForward(s, f, "Swish"); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Paired/" + m.name).c_str(),
                                     [f](benchmark::State& s) { Paired(s, f); })
            ->Iterations(m.name == "tiny" ? 3 : 12)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("FirstCall/" + m.name).c_str(),
                                     [f](benchmark::State& s) { FirstCall(s, f); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Throughput/" + m.name).c_str(),
                                     [f](benchmark::State& s) { Throughput(s, f, 0); })
            ->Threads(1)
            ->Threads(2)
            ->Threads(4)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ThroughputIntra1/" + m.name).c_str(),
                                     [f](benchmark::State& s) { Throughput(s, f, 1); })
            ->Threads(1)
            ->Threads(2)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("OrtRun/" + m.name).c_str(),
                                     [f](benchmark::State& s) { OrtRun(s, f); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Initialize/" + m.name).c_str(),
                                     [f](benchmark::State& s) { Initialize(s, f); })
            ->UseManualTime()
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string models = TakeFlag(argc, argv, "korva_models", KORVA_BENCH_MODELS_DIR);
    const std::string demo = TakeFlag(argc, argv, "korva_demo",
                                       KORVA_BENCH_ASSETS_DIR "/Korva_WeaponDetection(GPU)_1.0");
    const std::string tiny = TakeFlag(argc, argv, "korva_tiny", KORVA_BENCH_TINY_DIR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::vector<ModelEntry> entries;
    if (HasModel(tiny)) entries.push_back({"tiny", tiny});
    if (HasModel(demo)) {
        entries.push_back({"demo", demo});
    } else if (HasModel(models + "/standin_416")) {
        entries.push_back({"demo", models + "/standin_416"});
        benchmark::AddCustomContext("demo_model", "stand-in " + models + "/standin_416");
    }
    if (HasModel(models + "/yolov8n_640")) entries.push_back({"v8n640", models + "/yolov8n_640"});
    if (entries.empty()) {
        std::fprintf(stderr, "no models found\n");
        return 1;
    }
    for (const auto& e : entries) benchmark::AddCustomContext("model_" + e.name, e.folder);
    benchmark::AddCustomContext("silu_fusion", korva::detail::SiluFusionEnabled() ? "on" : "off");
    std::string ortWhy;
    const auto runtime = korva::detail::OrtRuntime::Shared(ortWhy);
    benchmark::AddCustomContext("onnxruntime", runtime ? runtime->Version() : "absent: " + ortWhy);
    benchmark::AddCustomContext("opencv", cv::getVersionString());
    benchmark::AddCustomContext("opencv_threads", std::to_string(cv::getNumThreads()));
    RegisterAll(entries);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
