// Counts of a run, gathered from every source thread, and the summary made
// from them: frames by status, detections per class, throughput and
// inference latency (p50/p95 over inspected frames, nearest rank).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FrameRecord.h"

namespace korva::detect {

// How a source's run ended.
enum class RunState { kDone, kFailed, kInterrupted };

// "done", "failed", "interrupted".
const char* RunStateName(RunState state);

struct SourceSummary {
    std::string name;
    std::string kind;
    std::string argument;
    std::int64_t frames = 0;
    std::int64_t inspected = 0;
    std::int64_t refused = 0;
    std::int64_t failed = 0;
    std::int64_t detections = 0;
    RunState state = RunState::kDone;
    std::string error;
};

struct Summary {
    double seconds = 0.0;
    std::int64_t frames = 0;
    std::int64_t inspected = 0;
    std::int64_t refused = 0;
    std::int64_t failed = 0;
    std::int64_t detections = 0;
    std::map<std::string, std::int64_t> perClass;
    double fps = 0.0;  // frames per second of wall time
    double latencyP50Ms = 0.0;
    double latencyP95Ms = 0.0;
    double latencyMeanMs = 0.0;
    std::vector<SourceSummary> sources;
    // The detector's own status counters (value entries of kind "status" in
    // its parameter record), when it reports any.
    std::vector<std::pair<std::string, double>> detectorStatus;
    // The engine the detector ran on, as its record's "engine" entry says.
    std::string engine;
};

// The value at `fraction` (0..1) of `values` by nearest rank; 0 for none.
double Percentile(std::vector<double> values, double fraction);

class RunStats {
public:
    explicit RunStats(std::vector<SourceSummary> sources);
    // Counts one frame of source `source`; safe from any thread.
    void Add(std::size_t source, const FrameRecord& record);
    // Marks a source failed or interrupted, with the reason.
    void SetState(std::size_t source, RunState state, const std::string& error);
    // Frames counted so far, all sources.
    std::int64_t FramesDone() const { return framesDone_.load(std::memory_order_relaxed); }
    Summary Make(double seconds) const;

private:
    mutable std::mutex mutex_;
    std::vector<SourceSummary> sources_;         // guarded by mutex_
    std::map<std::string, std::int64_t> perClass_;  // guarded by mutex_
    std::vector<double> latencies_;              // guarded by mutex_
    std::atomic<std::int64_t> framesDone_{0};
};

// Human-readable summary, several lines.
std::string FormatSummaryText(const Summary& summary);
// The summary as one JSON object (schema in README.md), ending in '\n'.
std::string FormatSummaryJson(const Summary& summary);

}  // namespace korva::detect
