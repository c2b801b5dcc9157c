#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace korva::detect {

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

namespace {

bool ParseInteger(const std::string& text, std::int64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    value = v;
    return true;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

// Comma-separated numbers, none empty.
bool ParseNumbers(const std::string& text, std::vector<double>& numbers) {
    numbers.clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        double v = 0.0;
        if (!ParseNumber(text.substr(start, comma == std::string::npos ? comma : comma - start), v)) return false;
        numbers.push_back(v);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options& o, std::string& error) {
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            o.sources.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        std::string inlineValue;
        bool hasInline = false;
        const std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            hasInline = true;
            arg = arg.substr(0, eq);
        }
        auto flag = [&](const char* a, const char* b = nullptr) {
            return arg == a || (b != nullptr && arg == b);
        };
        auto value = [&](std::string& out) {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto fraction = [&](double& out) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseNumber(text, out) || out < 0.0 || out > 1.0) {
                error = "option " + arg + " takes a number from 0 to 1, got '" + text + "'";
                return false;
            }
            return true;
        };
        auto count = [&](std::int64_t& out, std::int64_t min) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseInteger(text, out) || out < min) {
                error = "option " + arg + " takes a whole number >= " + std::to_string(min) +
                        ", got '" + text + "'";
                return false;
            }
            return true;
        };
        bool takesValue = true;
        if (flag("-h", "--help")) {
            o.help = true;
            takesValue = false;
        } else if (flag("--version")) {
            o.version = true;
            takesValue = false;
        } else if (flag("-q", "--quiet")) {
            o.quiet = true;
            takesValue = false;
        } else if (flag("--gpu")) {
            o.gpu = true;
            takesValue = false;
        } else if (flag("-m", "--model")) {
            if (!value(o.modelFolder)) return false;
        } else if (flag("--plugin")) {
            if (!value(o.pluginPath)) return false;
        } else if (flag("--conf")) {
            double v = 0;
            if (!fraction(v)) return false;
            o.confidence = static_cast<float>(v);
        } else if (flag("--nms")) {
            if (!fraction(o.nmsIou)) return false;
        } else if (flag("--engine")) {
            if (!value(o.engine)) return false;
            if (o.engine.empty()) {
                error = "option --engine needs a name";
                return false;
            }
        } else if (flag("--threads")) {
            std::int64_t n = 0;
            if (!count(n, 1)) return false;
            if (n > 1024) {
                error = "option --threads takes at most 1024";
                return false;
            }
            o.threads = static_cast<int>(n);
        } else if (flag("--classes")) {
            std::string text;
            if (!value(text)) return false;
            o.classes = SplitList(text);
            if (o.classes.empty()) {
                error = "option --classes needs at least one class name or id";
                return false;
            }
        } else if (flag("--max-frames")) {
            if (!count(o.maxFrames, 1)) return false;
        } else if (flag("--stall-timeout")) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseNumber(text, o.stallSeconds) || o.stallSeconds <= 0.0 || o.stallSeconds > 86400.0) {
                error = "option --stall-timeout takes seconds, more than 0 and at most 86400, got '" + text + "'";
                return false;
            }
        } else if (flag("-o", "--out-dir")) {
            if (!value(o.outDir)) return false;
        } else if (flag("--jsonl")) {
            if (!value(o.jsonlPath)) return false;
        } else if (flag("--csv")) {
            if (!value(o.csvPath)) return false;
        } else if (flag("--summary-json")) {
            if (!value(o.summaryJsonPath)) return false;
        } else if (flag("--class-threshold")) {
            std::string text;
            if (!value(text)) return false;
            RuleEntry rule{"class_threshold", {}, {}};
            const std::size_t sep = text.rfind('=');
            if (sep == std::string::npos || sep == 0 || !ParseNumbers(text.substr(sep + 1), rule.numbers) ||
                rule.numbers.size() != 1) {
                error = "option --class-threshold takes CLASS=X, got '" + text + "'";
                return false;
            }
            rule.subject = text.substr(0, sep);
            o.rules.push_back(std::move(rule));
        } else if (flag("--class-off")) {
            std::string name;
            if (!value(name)) return false;
            o.rules.push_back({"class_enabled", name, {0.0}});
        } else if (flag("--zone") || flag("--mask")) {
            std::string text;
            if (!value(text)) return false;
            RuleEntry rule{arg == "--zone" ? "zone_include" : "zone_exclude", "*", {}};
            const std::size_t sep = text.find('=');
            if (sep != std::string::npos) rule.subject = text.substr(0, sep);
            if (rule.subject.empty() || !ParseNumbers(text.substr(sep == std::string::npos ? 0 : sep + 1), rule.numbers)) {
                error = "option " + arg + " takes [CAMERA=]x0,y0,x1,y1,... (0..1), got '" + text + "'";
                return false;
            }
            o.rules.push_back(std::move(rule));
        } else if (flag("--confirm")) {
            std::string text;
            if (!value(text)) return false;
            RuleEntry rule{"confirm_frames", "*", {}};
            std::replace(text.begin(), text.end(), '/', ',');
            if (!ParseNumbers(text, rule.numbers) || rule.numbers.size() != 2) {
                error = "option --confirm takes K/N (seen in K of the last N frames), got '" + text + "'";
                return false;
            }
            o.rules.push_back(std::move(rule));
        } else if (flag("--set")) {
            std::string text;
            if (!value(text)) return false;
            const std::size_t sep = text.find('=');
            if (sep == std::string::npos || sep == 0) {
                error = "option --set takes KEY=VALUE, got '" + text + "'";
                return false;
            }
            o.settings.emplace_back(text.substr(0, sep), text.substr(sep + 1));
        } else {
            error = "unknown option " + arg + " (see --help)";
            return false;
        }
        if (!takesValue && hasInline) {
            error = "option " + arg + " takes no value";
            return false;
        }
    }
    if (o.help || o.version) return true;
    if (o.modelFolder.empty()) {
        error = "no model folder given (--model DIR)";
        return false;
    }
    if (o.sources.empty()) {
        error = "no source given (a video, image, folder, camera index or stream URL)";
        return false;
    }
    int toStdout = 0;
    for (const std::string* p : {&o.jsonlPath, &o.csvPath, &o.summaryJsonPath}) toStdout += *p == "-";
    if (toStdout > 1) {
        error = "only one of --jsonl, --csv and --summary-json may write to standard output";
        return false;
    }
    return true;
}

std::string UsageText() {
    return R"(Usage: korva-detect --model DIR [options] SOURCE...

Runs the weapon detector on each SOURCE and writes what it saw.

SOURCE is a video file, an image, a folder of images, a camera index (0, 1,
...) or a stream URL (rtsp://, http://, ...). Several sources run at once,
one thread each, on one detector; each source's name is its camera id.

Model and detector:
  -m, --model DIR        model folder (ONNX model and label file)
      --plugin PATH      detector library to load (default: beside this
                         program, then the installed library folder)
      --conf X           confidence threshold, 0..1 (default 0.5)
      --nms X            NMS IoU threshold, 0..1 (default: the detector's)
      --engine NAME      inference engine, when the detector offers a choice
      --threads N        inference threads, when the detector offers it
      --gpu              ask the detector to move the model to a GPU
      --set KEY=VALUE    any other setting of the detector's parameter record
      --classes LIST     keep only these classes (names or ids, comma-separated)
      --max-frames N     stop each source after N frames
      --stall-timeout S  a stream that delivers nothing for S seconds has
                         failed (default 10)

Alarm rules (checked by the detector; repeat an option for more):
      --class-threshold CLASS=X   this class's own confidence threshold
      --class-off CLASS           never report this class
      --zone [CAMERA=]x0,y0,x1,y1,...   report only inside this polygon
                         (normalised 0..1; CAMERA is a source name, default all)
      --mask [CAMERA=]x0,y0,x1,y1,...   never report inside this polygon
      --confirm K/N      report an object once seen in K of the last N frames

Outputs (none are required; the summary is always printed):
  -o, --out-dir DIR      annotated videos (same size and frame rate) and images
      --jsonl PATH       one JSON record per frame ("-": standard output)
      --csv PATH         one CSV row per detection ("-": standard output)
      --summary-json PATH  the summary as JSON ("-": standard output)
  -q, --quiet            no progress and no summary on standard error
  -h, --help             this text
      --version          program, plug-in interface and OpenCV versions

Exit status: 0 all sources done, 1 some source failed, 2 bad usage or a
setting the detector refused, 3 detector library not loadable, 4 model folder
refused, 5 an output not writable, 130 interrupted.
)";
}

}  // namespace korva::detect
