// korva-detect: runs the weapon detector, loaded at run time as a host
// loads it, on videos, images, folders, cameras and streams, and writes
// annotated copies, per-frame records and a summary.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "AnnotatedOutput.h"
#include "Annotation.h"
#include "DetectorSetup.h"
#include "FrameRecord.h"
#include "Options.h"
#include "OutputFile.h"
#include "PluginLibrary.h"
#include "Progress.h"
#include "Sources.h"
#include "Summary.h"

namespace fs = std::filesystem;
using namespace korva::detect;

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

// The first Ctrl+C stops the run cleanly; a second one ends the process.
extern "C" void OnInterrupt(int signal) {
    gInterrupted = 1;
    std::signal(signal, SIG_DFL);
}

void Report(const std::string& message) {
    // Names and reasons may hold control characters: escaped, as in JSON.
    std::fprintf(stderr, "korva-detect: %s\n", EscapeControl(message).c_str());
}

int Fail(int code, const std::string& message) {
    Report("error: " + message);
    return code;
}

struct SourceRun {
    SourceEntry entry;
    std::unique_ptr<FrameSource> source;
    std::unique_ptr<AnnotatedOutput> annotated;
    std::string error;
    bool outputFailed = false;
};

struct RunContext {
    const Options& options;
    IKorvaCustomClass& detector;
    const PluginLibrary& library;
    const std::vector<std::string>& classNames;
    const std::vector<bool>& keepClass;
    TextOutput& jsonl;
    TextOutput& csv;
    RunStats& stats;
};

void RunSource(RunContext& ctx, SourceRun& run, std::size_t slot) {
    SourceFrame frame;
    std::int64_t count = 0;
    bool outputFailed = false;
    while (!gInterrupted && (ctx.options.maxFrames < 0 || count < ctx.options.maxFrames) &&
           run.source->Next(frame)) {
        ++count;
        FrameRecord record;
        record.source = run.entry.name;
        record.index = frame.index;
        record.timestampMs = frame.timestampMs;
        record.file = frame.file;
        record.width = frame.image.cols;
        record.height = frame.image.rows;
        if (frame.image.empty()) {
            record.status = FrameStatus::kFailed;
            record.reason = frame.error;
            Report("error: " + run.entry.name + ": " + frame.error);
        } else {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<CustomObject> objects = ctx.detector.RunInference(frame.image, run.entry.name);
            record.latencyMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            // An empty result with a reason (this thread's) is a frame the detector did not inspect.
            if (objects.empty()) {
                record.status = StatusFromCode(ctx.library.LastErrorCode(ctx.detector));
                record.reason = ctx.library.LastError(ctx.detector);
                if (!record.reason.empty()) Report("error: " + run.entry.name + ": " + record.reason);
            }
            for (const CustomObject& o : objects) {
                const bool known = o.classId >= 0 && static_cast<std::size_t>(o.classId) < ctx.keepClass.size();
                if (known && !ctx.keepClass[static_cast<std::size_t>(o.classId)]) continue;
                record.detections.push_back(Detection{o.classId, o.textA, o.confidence, o.box});
            }
        }
        if (ctx.jsonl.IsOpen()) ctx.jsonl.Write(FormatJsonLine(record));
        if (ctx.csv.IsOpen()) ctx.csv.Write(FormatCsvRows(record));
        if (run.annotated && !frame.image.empty()) {
            cv::Mat canvas = frame.image.clone();
            Annotate(canvas, record.detections);
            std::string error;
            if (!run.annotated->Write(canvas, frame.file, error)) {
                run.error = error;
                outputFailed = true;
            }
        }
        ctx.stats.Add(slot, record);
        if (outputFailed) break;
    }
    std::string failure = outputFailed ? run.error : run.source->Failure();
    RunState state = failure.empty() ? RunState::kDone : RunState::kFailed;
    if (failure.empty() && gInterrupted) state = RunState::kInterrupted;
    if (run.annotated) {
        std::string error;
        if (!run.annotated->Finish(state != RunState::kFailed, error)) {
            failure = error;
            state = RunState::kFailed;
            outputFailed = true;
        } else if (!run.annotated->Incomplete().empty()) {
            failure += " (annotated video left incomplete as " + run.annotated->Incomplete().u8string() + ")";
        }
    }
    run.outputFailed = outputFailed;
    run.error = failure;
    ctx.stats.SetState(slot, state, failure);
}

// Inputs and outputs of the run, to be told apart before anything is read.
bool CheckPaths(const Options& options, const std::vector<SourceRun>& runs, std::string& error) {
    std::vector<NamedPath> inputs;
    std::vector<NamedPath> outputs;
    for (const SourceRun& run : runs) {
        const fs::path path = fs::u8path(run.entry.argument);
        std::vector<fs::path> images;
        switch (run.entry.kind) {
            case SourceKind::kVideoFile: inputs.push_back({path, "input video"}); break;
            case SourceKind::kImage:
                inputs.push_back({path, "input image"});
                images.push_back(path);
                break;
            case SourceKind::kImageFolder: {
                inputs.push_back({path, "input folder"});
                std::string why;
                ListImages(path, images, why);  // an unreadable folder is reported when opened
                for (const fs::path& image : images) inputs.push_back({image, "input image"});
                break;
            }
            case SourceKind::kCamera:
            case SourceKind::kStream: break;
        }
        if (!options.outDir.empty()) {
            const std::vector<NamedPath> planned =
                AnnotatedOutput::Planned(fs::u8path(options.outDir), run.entry, images);
            outputs.insert(outputs.end(), planned.begin(), planned.end());
        }
    }
    std::error_code ec;
    const fs::path model = fs::u8path(options.modelFolder);
    inputs.push_back({model, "model folder"});
    for (fs::directory_iterator it(model, ec), end; !ec && it != end; it.increment(ec)) {
        inputs.push_back({it->path(), "model file"});
    }
    if (!options.pluginPath.empty()) inputs.push_back({fs::u8path(options.pluginPath), "detector library"});
    const std::pair<const std::string*, const char*> files[] = {{&options.jsonlPath, "JSON Lines output"},
                                                                {&options.csvPath, "CSV output"},
                                                                {&options.summaryJsonPath, "summary output"}};
    for (const auto& [path, role] : files) {
        if (path->empty() || *path == "-") continue;
        const fs::path finalPath = fs::u8path(*path);
        outputs.push_back({finalPath, role, false});
        outputs.push_back({PartPath(finalPath), std::string(role) + " (part file)", true});
    }
    return CheckOutputsApart(inputs, outputs, error);
}

std::vector<SettingRequest> RequestsFrom(const Options& o) {
    std::vector<SettingRequest> requests;
    if (o.nmsIou >= 0.0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", o.nmsIou);
        requests.push_back({"nms_iou_threshold", text, false});
    }
    if (!o.engine.empty()) requests.push_back({"engine", o.engine, true});
    if (o.threads > 0) requests.push_back({"intra_op_threads", std::to_string(o.threads), false});
    for (const auto& [key, value] : o.settings) requests.push_back({key, value, false});
    return requests;
}

// The text outputs every source writes into.
struct TextOutputs {
    TextOutput jsonl;
    TextOutput csv;
    TextOutput summaryJson;
};

// The detector as a host loads it, and the classes its model names.
struct LoadedDetector {
    PluginLibrary library;
    PluginHandle detector;  // after `library`: destroyed before it
    std::vector<std::string> classNames;
    std::vector<bool> keepClass;
};

// Each step returns the exit status when the run ends there.
using Stop = std::optional<int>;

Stop Parse(int argc, char** argv, Options& options) {
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        Report("error: " + error);
        std::fprintf(stderr, "Try 'korva-detect --help'.\n");
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("korva-detect %s (plug-in interface %u, OpenCV %s)\n", KORVA_DETECT_VERSION,
                    korva::kPluginInterfaceVersion, CV_VERSION);
        std::printf("engine: chosen when the model loads (ONNX Runtime beside the detector library, else OpenCV);"
                    " a run's summary names it\n");
        return kExitOk;
    }
    return std::nullopt;
}

// What each source argument names; a missing one is reported and kept
// aside in `broken`, the others run under unique names.
std::vector<SourceRun> ClassifySources(const Options& options, std::vector<SourceSummary>& broken) {
    std::vector<SourceRun> runs;
    for (const std::string& argument : options.sources) {
        SourceEntry entry;
        std::string error;
        if (ClassifySource(argument, entry, error)) {
            runs.push_back(SourceRun{entry, nullptr, nullptr, {}, false});
        } else {
            Report("error: " + error);
            broken.push_back(SourceSummary{argument, "unknown", argument, 0, 0, 0, 0, 0, RunState::kFailed, error});
        }
    }
    std::vector<SourceEntry> entries;
    for (const SourceRun& r : runs) entries.push_back(r.entry);
    MakeNamesUnique(entries);
    for (std::size_t i = 0; i < runs.size(); ++i) runs[i].entry.name = entries[i].name;
    return runs;
}

// A --zone or --mask for a camera names one of the sources (a missing one
// included); "*" is every source.
Stop CheckRuleCameras(const Options& options, const std::vector<SourceRun>& runs,
                      const std::vector<SourceSummary>& broken) {
    for (const RuleEntry& rule : options.rules) {
        if (rule.key != "zone_include" && rule.key != "zone_exclude") continue;
        if (rule.subject == "*") continue;
        const bool source = std::any_of(runs.begin(), runs.end(), [&](const SourceRun& r) {
            return r.entry.name == rule.subject;
        }) || std::any_of(broken.begin(), broken.end(), [&](const SourceSummary& s) { return s.name == rule.subject; });
        if (source) continue;
        std::string names;
        for (const SourceRun& r : runs) names += (names.empty() ? "" : ", ") + r.entry.name;
        return Fail(kExitUsage, "option " + std::string(rule.key == "zone_include" ? "--zone" : "--mask") +
                                    " names camera '" + rule.subject + "', which is none of the sources (" +
                                    (names.empty() ? "none" : names) + ")");
    }
    return std::nullopt;
}

// Outputs, checked before the model is loaded: none may be an input or
// another output.
Stop OpenOutputs(const Options& options, const std::vector<SourceRun>& runs, TextOutputs& out) {
    std::string error;
    if (!CheckPaths(options, runs, error)) return Fail(kExitUsage, error);
    if (!options.outDir.empty() && !CheckWritableFolder(fs::u8path(options.outDir), error)) {
        return Fail(kExitOutput, error);
    }
    if (!options.jsonlPath.empty() && !out.jsonl.Open(options.jsonlPath, error)) return Fail(kExitOutput, error);
    if (!options.csvPath.empty()) {
        if (!out.csv.Open(options.csvPath, error)) return Fail(kExitOutput, error);
        out.csv.Write(CsvHeader());
    }
    if (!options.summaryJsonPath.empty() && !out.summaryJson.Open(options.summaryJsonPath, error)) {
        return Fail(kExitOutput, error);
    }
    return std::nullopt;
}

Stop LoadPlugin(const char* argv0, const Options& options, LoadedDetector& loaded) {
    std::string error;
    const std::vector<fs::path> candidates = options.pluginPath.empty()
                                                 ? DefaultPluginCandidates(argv0)
                                                 : std::vector<fs::path>{fs::u8path(options.pluginPath)};
    if (!loaded.library.Load(candidates, error)) return Fail(kExitPlugin, error);
    loaded.detector = loaded.library.Create(error);
    if (!loaded.detector) return Fail(kExitPlugin, error);
    return std::nullopt;
}

// Settings go in the record the detector reads when it loads the model.
Stop Configure(const Options& options, LoadedDetector& loaded) {
    IKorvaCustomClass& detector = *loaded.detector;
    const PluginLibrary& library = loaded.library;
    std::string error;
    const std::vector<SettingRequest> requests = RequestsFrom(options);
    CustomParams record;
    detector.ConfigureParameters(record);
    if (!WriteRequests(requests, record, error)) return Fail(kExitUsage, error);
    for (const RuleEntry& rule : options.rules) {
        record.valueListEntries.push_back({rule.key, rule.numbers, rule.subject, {}, 0});
    }
    const bool anySetting = !requests.empty() || !options.rules.empty();
    std::string labelMap;
    auto load = [&](const CustomParams& stored) {
        detector.SetParameters(stored);
        return detector.Initialize(options.modelFolder, options.confidence, labelMap);
    };
    if (!load(record)) {
        const KorvaErrorCode code = library.LastErrorCode(detector);
        const std::string reason = library.LastError(detector);
        if (code == KorvaErrorCode::kSettingRefused) {
            return Fail(kExitUsage, "the detector refused the settings: " + reason);
        }
        // A model refused with the settings but loaded without them was refused for the settings.
        if (anySetting && load(CustomParams{})) {
            return Fail(kExitUsage, "the detector refused the settings: " + reason);
        }
        return Fail(kExitModel, "the detector refused model folder " + options.modelFolder + ": " +
                                    (anySetting ? library.LastError(detector) : reason));
    }
    if (options.gpu && !detector.OptimizeModel(true)) {
        return Fail(kExitModel, "the detector could not optimise the model: " + library.LastError(detector));
    }
    if (!requests.empty()) {
        // Live settings go in after the load; load-time ones the load took
        // are unchanged here, and any entry refused is named with its reason.
        CustomParams live;
        detector.ConfigureParameters(live);
        std::vector<std::string> refusals;
        if (WriteRequests(requests, live, error) && !library.ApplyParameters(detector, live, refusals)) {
            for (const std::string& line : refusals) Report("error: the detector refused the setting " + line);
            return kExitUsage;
        }
        CustomParams effective;
        detector.ConfigureParameters(effective);
        const std::vector<std::string> unapplied = UnappliedRequests(requests, effective);
        for (const std::string& line : unapplied) Report("error: " + line);
        if (!unapplied.empty()) return kExitUsage;
    }
    loaded.classNames = SplitLabelMap(labelMap);
    if (!ResolveClasses(options.classes, loaded.classNames, loaded.keepClass, error)) return Fail(kExitUsage, error);
    return std::nullopt;
}

// Opens every source (one that cannot be opened is reported and skipped),
// runs each on its own thread and returns the counts.
Summary RunSources(const Options& options, LoadedDetector& loaded, std::vector<SourceRun>& runs,
                   const std::vector<SourceSummary>& broken, TextOutputs& out) {
    ReadLimits limits;
    limits.stallSeconds = options.stallSeconds;
    limits.stop = [] { return gInterrupted != 0; };
    std::vector<SourceSummary> summaries;
    std::int64_t total = 0;
    for (SourceRun& run : runs) {
        run.source = OpenSource(run.entry, run.error, limits);
        SourceSummary s;
        s.name = run.entry.name;
        s.kind = SourceKindName(run.entry.kind);
        s.argument = run.entry.kind == SourceKind::kStream ? run.entry.name : run.entry.argument;
        if (!run.source) {
            Report("error: " + run.error);
            s.state = RunState::kFailed;
            s.error = run.error;
        } else {
            std::int64_t frames = run.source->TotalFrames();
            if (frames >= 0 && options.maxFrames >= 0) frames = std::min(frames, options.maxFrames);
            if (frames < 0 && options.maxFrames >= 0 && run.entry.kind != SourceKind::kVideoFile) {
                frames = options.maxFrames;
            }
            total = (total < 0 || frames < 0) ? -1 : total + frames;
            if (!options.outDir.empty()) {
                run.annotated = std::make_unique<AnnotatedOutput>(fs::u8path(options.outDir), run.entry,
                                                                  run.source->Fps());
            }
        }
        summaries.push_back(std::move(s));
    }
    summaries.insert(summaries.end(), broken.begin(), broken.end());

    RunStats stats(summaries);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!runs[i].source) stats.SetState(i, RunState::kFailed, runs[i].error);
    }
    const auto start = std::chrono::steady_clock::now();
    RunContext ctx{options, *loaded.detector, loaded.library, loaded.classNames, loaded.keepClass,
                   out.jsonl, out.csv, stats};
    {
        Progress progress(stderr, ChooseProgressMode(stderr, options.quiet), total,
                          [&stats] { return stats.FramesDone(); });
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (!runs[i].source) continue;
            threads.emplace_back([&ctx, &runs, i] {
                try {
                    RunSource(ctx, runs[i], i);
                } catch (const std::exception& e) {
                    runs[i].error = std::string("stopped: ") + e.what();
                    ctx.stats.SetState(i, RunState::kFailed, runs[i].error);
                }
            });
        }
        for (std::thread& t : threads) t.join();
        progress.Stop();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const SourceRun& run : runs) {
        if (run.source && !run.error.empty()) Report("error: " + run.entry.name + ": " + run.error);
    }
    Summary summary = stats.Make(seconds);
    CustomParams final;
    if (loaded.detector->ConfigureParameters(final)) {
        for (const FlagEntry& e : final.flagEntries) {
            if (e.textA == "engine") summary.engine = e.textB;
        }
        for (const ValueListEntry& e : final.valueListEntries) {
            if (e.textB == "status" && e.wideValues.size() == 1) summary.detectorStatus.emplace_back(e.textA, e.wideValues[0]);
        }
    }
    return summary;
}

// Completes the outputs, prints the summary and returns the exit status.
int Summarise(const Options& options, const std::vector<SourceRun>& runs, const Summary& summary,
              TextOutputs& out) {
    std::string error;
    bool outputFailed = false;
    for (TextOutput* text : {&out.jsonl, &out.csv}) {
        if (!text->Commit(error)) {
            Report("error: " + error);
            outputFailed = true;
        }
    }
    for (const SourceRun& run : runs) outputFailed |= run.outputFailed;
    if (!options.quiet) std::fputs(FormatSummaryText(summary).c_str(), stderr);
    if (out.summaryJson.IsOpen()) {
        out.summaryJson.Write(FormatSummaryJson(summary));
        if (!out.summaryJson.Commit(error)) {
            Report("error: " + error);
            outputFailed = true;
        }
    }
    if (gInterrupted) return kExitInterrupted;
    if (outputFailed) return kExitOutput;
    const bool anyFailed = std::any_of(summary.sources.begin(), summary.sources.end(),
                                       [](const SourceSummary& s) { return s.state == RunState::kFailed; });
    if (anyFailed || summary.failed > 0 || summary.refused > 0) return kExitSourceFailed;
    return kExitOk;
}

int Run(int argc, char** argv) {
    Options options;
    if (const Stop stop = Parse(argc, argv, options)) return *stop;

    // Ctrl+C from here on stops the run cleanly, waits on streams included.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    std::vector<SourceSummary> broken;
    std::vector<SourceRun> runs = ClassifySources(options, broken);
    if (const Stop stop = CheckRuleCameras(options, runs, broken)) return *stop;
    TextOutputs outputs;
    if (const Stop stop = OpenOutputs(options, runs, outputs)) return *stop;
    LoadedDetector loaded;
    if (const Stop stop = LoadPlugin(argv[0], options, loaded)) return *stop;
    if (const Stop stop = Configure(options, loaded)) return *stop;
    const Summary summary = RunSources(options, loaded, runs, broken, outputs);
    const int status = Summarise(options, runs, summary, outputs);
    runs.clear();  // sources and annotated copies before the detector
    loaded.detector.reset();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int code = Run(argc, argv);
        if (AbandonedReaders() > 0) {
            // A reader is still inside OpenCV: end without running destructors under it.
            std::fflush(nullptr);
            std::_Exit(code);
        }
        return code;
    } catch (const std::exception& e) {
        return Fail(kExitOutput, std::string("unexpected failure: ") + e.what());
    } catch (...) {
        return Fail(kExitOutput, "unexpected failure");
    }
}
