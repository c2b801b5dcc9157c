// What korva-detect learned about one frame, and its two text forms: a JSON
// Lines record and CSV rows (one per detection, or one for a frame without
// any). Both forms are documented in README.md beside this file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace korva::detect {

// inspected: the detector ran on the frame; refused: the frame is one the
// detector does not take (too large, say); failed: the frame could not be
// decoded.
enum class FrameStatus { kInspected, kRefused, kFailed };

const char* FrameStatusName(FrameStatus status);

struct Detection {
    int classId = 0;
    std::string className;
    float confidence = 0.0f;
    cv::Rect box;  // frame pixels
};

struct FrameRecord {
    std::string source;
    std::int64_t index = 0;
    double timestampMs = -1.0;  // < 0: none
    std::string file;           // image sources only
    int width = 0;
    int height = 0;
    FrameStatus status = FrameStatus::kInspected;
    std::string reason;  // refused and failed frames
    double latencyMs = 0.0;
    std::vector<Detection> detections;
};

// One JSON object on one line, ending in '\n'.
std::string FormatJsonLine(const FrameRecord& record);

// The CSV header line, ending in "\r\n".
std::string CsvHeader();
// The CSV rows of a frame, each ending in "\r\n".
std::string FormatCsvRows(const FrameRecord& record);

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// `text` with control characters escaped as in JSON ("\u001b", "\n"), for
// a terminal.
std::string EscapeControl(const std::string& text);
// The shortest decimal text that reads back as exactly `value`.
std::string ShortestFloat(float value);

}  // namespace korva::detect
