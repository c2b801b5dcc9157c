#include "Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace korva::detect {

namespace {

std::string Number(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

}  // namespace

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const double rank = std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(values.size()));
    const std::size_t index = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

RunStats::RunStats(std::vector<SourceSummary> sources) : sources_(std::move(sources)) {}

void RunStats::Add(std::size_t source, const FrameRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    SourceSummary& s = sources_.at(source);
    ++s.frames;
    switch (record.status) {
        case FrameStatus::kInspected:
            ++s.inspected;
            latencies_.push_back(record.latencyMs);
            break;
        case FrameStatus::kRefused: ++s.refused; break;
        case FrameStatus::kFailed: ++s.failed; break;
    }
    s.detections += static_cast<std::int64_t>(record.detections.size());
    for (const Detection& d : record.detections) ++perClass_[d.className];
    framesDone_.fetch_add(1, std::memory_order_relaxed);
}

const char* RunStateName(RunState state) {
    switch (state) {
        case RunState::kDone: return "done";
        case RunState::kFailed: return "failed";
        case RunState::kInterrupted: return "interrupted";
    }
    return "failed";
}

void RunStats::SetState(std::size_t source, RunState state, const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.at(source).state = state;
    sources_.at(source).error = error;
}

Summary RunStats::Make(double seconds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Summary s;
    s.seconds = seconds;
    s.sources = sources_;
    s.perClass = perClass_;
    for (const SourceSummary& src : sources_) {
        s.frames += src.frames;
        s.inspected += src.inspected;
        s.refused += src.refused;
        s.failed += src.failed;
        s.detections += src.detections;
    }
    s.fps = seconds > 0.0 ? static_cast<double>(s.frames) / seconds : 0.0;
    s.latencyP50Ms = Percentile(latencies_, 0.50);
    s.latencyP95Ms = Percentile(latencies_, 0.95);
    s.latencyMeanMs = latencies_.empty() ? 0.0
                                         : std::accumulate(latencies_.begin(), latencies_.end(), 0.0) /
                                               static_cast<double>(latencies_.size());
    return s;
}

std::string FormatSummaryText(const Summary& s) {
    std::string out = "korva-detect summary\n";
    out += "  frames      " + std::to_string(s.frames) + " (inspected " + std::to_string(s.inspected) +
           ", refused " + std::to_string(s.refused) + ", failed " + std::to_string(s.failed) + ")\n";
    out += "  detections  " + std::to_string(s.detections);
    if (!s.perClass.empty()) {
        out += " (";
        bool first = true;
        for (const auto& [name, count] : s.perClass) {
            out += (first ? "" : ", ") + EscapeControl(name) + " " + std::to_string(count);
            first = false;
        }
        out += ")";
    }
    out += "\n  throughput  " + Number(s.fps, 1) + " frames/s over " + Number(s.seconds, 2) + " s\n";
    out += "  latency     p50 " + Number(s.latencyP50Ms, 1) + " ms, p95 " + Number(s.latencyP95Ms, 1) +
           " ms, mean " + Number(s.latencyMeanMs, 1) + " ms (inference per frame)\n";
    if (!s.engine.empty()) out += "  engine      " + EscapeControl(s.engine) + "\n";
    if (!s.detectorStatus.empty()) {
        out += "  detector    ";
        bool first = true;
        for (const auto& [key, value] : s.detectorStatus) {
            out += (first ? "" : ", ") + key + " " + Number(value, 0);
            first = false;
        }
        out += "\n";
    }
    for (const SourceSummary& src : s.sources) {
        out += "  source " + EscapeControl(src.name) + " (" + src.kind + "): " + RunStateName(src.state) + ", " +
               std::to_string(src.frames) + " frames, " + std::to_string(src.detections) + " detections";
        if (!src.error.empty()) out += ": " + EscapeControl(src.error);
        out += "\n";
    }
    return out;
}

std::string FormatSummaryJson(const Summary& s) {
    std::string out = "{\"frames\":" + std::to_string(s.frames) + ",\"inspected\":" +
                      std::to_string(s.inspected) + ",\"refused\":" + std::to_string(s.refused) +
                      ",\"failed\":" + std::to_string(s.failed) + ",\"detections\":" +
                      std::to_string(s.detections) + ",\"per_class\":{";
    bool first = true;
    for (const auto& [name, count] : s.perClass) {
        out += (first ? "" : ",") + JsonString(name) + ":" + std::to_string(count);
        first = false;
    }
    out += "},\"seconds\":" + Number(s.seconds, 3) + ",\"fps\":" + Number(s.fps, 2) +
           ",\"latency_ms\":{\"p50\":" + Number(s.latencyP50Ms, 3) + ",\"p95\":" +
           Number(s.latencyP95Ms, 3) + ",\"mean\":" + Number(s.latencyMeanMs, 3) + "},\"detector_status\":{";
    for (std::size_t i = 0; i < s.detectorStatus.size(); ++i) {
        out += (i ? "," : "") + JsonString(s.detectorStatus[i].first) + ":" + Number(s.detectorStatus[i].second, 0);
    }
    out += "},\"engine\":" + JsonString(s.engine) + ",\"sources\":[";
    for (std::size_t i = 0; i < s.sources.size(); ++i) {
        const SourceSummary& src = s.sources[i];
        out += (i ? ",{" : "{");
        out += "\"name\":" + JsonString(src.name) + ",\"kind\":" + JsonString(src.kind) +
               ",\"argument\":" + JsonString(src.argument) + ",\"state\":" + JsonString(RunStateName(src.state)) +
               ",\"frames\":" + std::to_string(src.frames) + ",\"inspected\":" + std::to_string(src.inspected) +
               ",\"refused\":" + std::to_string(src.refused) + ",\"failed\":" + std::to_string(src.failed) +
               ",\"detections\":" + std::to_string(src.detections);
        if (!src.error.empty()) out += ",\"error\":" + JsonString(src.error);
        out += "}";
    }
    return out + "]}\n";
}

}  // namespace korva::detect
