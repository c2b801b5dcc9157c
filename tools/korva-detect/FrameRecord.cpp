#include "FrameRecord.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace korva::detect {

namespace {

std::string Fixed3(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvPrefix(const FrameRecord& r) {
    return CsvField(r.source) + "," + std::to_string(r.index) + "," +
           (r.timestampMs >= 0.0 ? Fixed3(r.timestampMs) : std::string()) + "," + CsvField(r.file) +
           "," + FrameStatusName(r.status) + ",";
}

}  // namespace

const char* FrameStatusName(FrameStatus status) {
    switch (status) {
        case FrameStatus::kInspected: return "inspected";
        case FrameStatus::kRefused: return "refused";
        case FrameStatus::kFailed: return "failed";
    }
    return "failed";
}

namespace {

// JSON's escapes for control characters; quotes and backslashes too when
// `quoted`.
std::string Escape(const std::string& text, bool quoted) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += quoted ? "\\\"" : "\""; break;
            case '\\': out += quoted ? "\\\\" : "\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

}  // namespace

std::string JsonString(const std::string& text) { return "\"" + Escape(text, true) + "\""; }

std::string EscapeControl(const std::string& text) { return Escape(text, false); }

std::string ShortestFloat(float value) {
    if (!std::isfinite(value)) return "null";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string FormatJsonLine(const FrameRecord& r) {
    std::string out = "{\"source\":" + JsonString(r.source) + ",\"frame\":" + std::to_string(r.index) +
                      ",\"timestamp_ms\":" + (r.timestampMs >= 0.0 ? Fixed3(r.timestampMs) : "null");
    if (!r.file.empty()) out += ",\"file\":" + JsonString(r.file);
    out += ",\"width\":" + std::to_string(r.width) + ",\"height\":" + std::to_string(r.height) +
           ",\"status\":\"" + FrameStatusName(r.status) + "\"";
    if (r.status == FrameStatus::kInspected) {
        out += ",\"latency_ms\":" + Fixed3(r.latencyMs);
    } else {
        out += ",\"reason\":" + JsonString(r.reason);
    }
    out += ",\"detections\":[";
    for (std::size_t i = 0; i < r.detections.size(); ++i) {
        const Detection& d = r.detections[i];
        out += (i ? ",{" : "{");
        out += "\"class_id\":" + std::to_string(d.classId) + ",\"class\":" + JsonString(d.className) +
               ",\"confidence\":" + ShortestFloat(d.confidence) + ",\"box\":[" +
               std::to_string(d.box.x) + "," + std::to_string(d.box.y) + "," +
               std::to_string(d.box.width) + "," + std::to_string(d.box.height) + "]}";
    }
    return out + "]}\n";
}

std::string CsvHeader() {
    return "source,frame,timestamp_ms,file,status,class_id,class,confidence,x,y,width,height,reason\r\n";
}

std::string FormatCsvRows(const FrameRecord& r) {
    const std::string prefix = CsvPrefix(r);
    if (r.detections.empty()) return prefix + ",,,,,,," + CsvField(r.reason) + "\r\n";
    std::string out;
    for (const Detection& d : r.detections) {
        out += prefix + std::to_string(d.classId) + "," + CsvField(d.className) + "," +
               ShortestFloat(d.confidence) + "," + std::to_string(d.box.x) + "," +
               std::to_string(d.box.y) + "," + std::to_string(d.box.width) + "," +
               std::to_string(d.box.height) + "," + CsvField(r.reason) + "\r\n";
    }
    return out;
}

}  // namespace korva::detect
