// Command line of korva-detect: what to run, on what, and where results go.
//
// ParseOptions reads the arguments into Options and checks each value's form
// (numbers in range, known words); whether files and folders exist is
// checked later, by the parts that open them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korva::detect {

// Exit status of korva-detect.
enum ExitCode : int {
    kExitOk = 0,             // every source ran to its end (or --max-frames)
    kExitSourceFailed = 1,   // one or more sources failed; the others ran
    kExitUsage = 2,          // bad command line or a setting the plug-in refused
    kExitPlugin = 3,         // plug-in library not found or not loadable
    kExitModel = 4,          // the detector refused the model folder
    kExitOutput = 5,         // an output could not be written
    kExitInterrupted = 130,  // stopped by Ctrl+C; outputs hold the frames done
};

// One alarm-rule entry of the record: key, what it applies to (a class
// name, a camera id or "*") and its numbers.
struct RuleEntry {
    std::string key;
    std::string subject;
    std::vector<double> numbers;
};

struct Options {
    std::string modelFolder;
    std::vector<std::string> sources;
    std::string pluginPath;          // empty: search beside the executable, then libdir
    float confidence = 0.5f;
    double nmsIou = -1.0;            // < 0: the detector's default
    std::string engine;              // empty: the detector's default
    int threads = 0;                 // 0: the detector's default
    bool gpu = false;
    std::vector<std::string> classes;  // names or ids to keep; empty keeps all
    std::int64_t maxFrames = -1;     // per source; < 0: no limit
    double stallSeconds = 10.0;      // a stream silent this long has failed
    std::string outDir;              // annotated videos and images
    std::string jsonlPath;           // "-" is standard output
    std::string csvPath;             // "-" is standard output
    std::string summaryJsonPath;     // "-" is standard output
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE
    std::vector<RuleEntry> rules;    // --class-threshold, --class-off, --zone, --mask, --confirm
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// A whole text as one finite number (strtod's syntax).
bool ParseNumber(const std::string& text, double& value);

// Fills `options` from argv; false with a one-line `error` on bad usage.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

// The --help text.
std::string UsageText();

}  // namespace korva::detect
