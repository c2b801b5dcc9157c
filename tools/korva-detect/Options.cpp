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

// --zone and --mask: [CAMERA=]x0,y0,x1,y1,...
bool ParseZone(Options& o, const std::string& name, const char* key, const std::string& text, std::string& error) {
    RuleEntry rule{key, "*", {}};
    const std::size_t sep = text.find('=');
    if (sep != std::string::npos) rule.subject = text.substr(0, sep);
    if (rule.subject.empty() || !ParseNumbers(text.substr(sep == std::string::npos ? 0 : sep + 1), rule.numbers)) {
        error = "option " + name + " takes [CAMERA=]x0,y0,x1,y1,... (0..1), got '" + text + "'";
        return false;
    }
    o.rules.push_back(std::move(rule));
    return true;
}

// A value checked as a fraction 0..1 or a whole number >= min; false with `error`.
bool Fraction(const std::string& name, const std::string& text, double& out, std::string& error) {
    if (ParseNumber(text, out) && out >= 0.0 && out <= 1.0) return true;
    error = "option " + name + " takes a number from 0 to 1, got '" + text + "'";
    return false;
}

bool Count(const std::string& name, const std::string& text, std::int64_t min, std::int64_t& out,
           std::string& error) {
    if (ParseInteger(text, out) && out >= min) return true;
    error = "option " + name + " takes a whole number >= " + std::to_string(min) + ", got '" + text + "'";
    return false;
}

// One option: its names, whether it takes a value, and what it sets. `name`
// is the name as given; `value` is empty for a flag.
struct OptionRow {
    const char* shortName;  // nullptr: none
    const char* longName;
    bool takesValue;
    bool (*apply)(Options& o, const std::string& name, const std::string& value, std::string& error);
};

const OptionRow kOptions[] = {
    {"-h", "--help", false, [](Options& o, const std::string&, const std::string&, std::string&) {
         o.help = true;
         return true;
     }},
    {nullptr, "--version", false, [](Options& o, const std::string&, const std::string&, std::string&) {
         o.version = true;
         return true;
     }},
    {"-q", "--quiet", false, [](Options& o, const std::string&, const std::string&, std::string&) {
         o.quiet = true;
         return true;
     }},
    {nullptr, "--gpu", false, [](Options& o, const std::string&, const std::string&, std::string&) {
         o.gpu = true;
         return true;
     }},
    {"-m", "--model", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.modelFolder = v;
         return true;
     }},
    {nullptr, "--plugin", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.pluginPath = v;
         return true;
     }},
    {nullptr, "--conf", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         double x = 0;
         if (!Fraction(n, v, x, e)) return false;
         o.confidence = static_cast<float>(x);
         return true;
     }},
    {nullptr, "--nms", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         return Fraction(n, v, o.nmsIou, e);
     }},
    {nullptr, "--engine", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         o.engine = v;
         if (!v.empty()) return true;
         e = "option --engine needs a name";
         return false;
     }},
    {nullptr, "--threads", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         std::int64_t x = 0;
         if (!Count(n, v, 1, x, e)) return false;
         if (x > 1024) {
             e = "option --threads takes at most 1024";
             return false;
         }
         o.threads = static_cast<int>(x);
         return true;
     }},
    {nullptr, "--classes", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         o.classes = SplitList(v);
         if (!o.classes.empty()) return true;
         e = "option --classes needs at least one class name or id";
         return false;
     }},
    {nullptr, "--max-frames", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         return Count(n, v, 1, o.maxFrames, e);
     }},
    {nullptr, "--stall-timeout", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         if (ParseNumber(v, o.stallSeconds) && o.stallSeconds > 0.0 && o.stallSeconds <= 86400.0) return true;
         e = "option --stall-timeout takes seconds, more than 0 and at most 86400, got '" + v + "'";
         return false;
     }},
    {"-o", "--out-dir", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.outDir = v;
         return true;
     }},
    {nullptr, "--jsonl", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.jsonlPath = v;
         return true;
     }},
    {nullptr, "--csv", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.csvPath = v;
         return true;
     }},
    {nullptr, "--summary-json", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.summaryJsonPath = v;
         return true;
     }},
    {nullptr, "--class-threshold", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         RuleEntry rule{"class_threshold", {}, {}};
         const std::size_t sep = v.rfind('=');
         if (sep == std::string::npos || sep == 0 || !ParseNumbers(v.substr(sep + 1), rule.numbers) ||
             rule.numbers.size() != 1) {
             e = "option --class-threshold takes CLASS=X, got '" + v + "'";
             return false;
         }
         rule.subject = v.substr(0, sep);
         o.rules.push_back(std::move(rule));
         return true;
     }},
    {nullptr, "--class-off", true, [](Options& o, const std::string&, const std::string& v, std::string&) {
         o.rules.push_back({"class_enabled", v, {0.0}});
         return true;
     }},
    {nullptr, "--zone", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         return ParseZone(o, n, "zone_include", v, e);
     }},
    {nullptr, "--mask", true, [](Options& o, const std::string& n, const std::string& v, std::string& e) {
         return ParseZone(o, n, "zone_exclude", v, e);
     }},
    {nullptr, "--confirm", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         RuleEntry rule{"confirm_frames", "*", {}};
         std::string text = v;
         std::replace(text.begin(), text.end(), '/', ',');
         if (!ParseNumbers(text, rule.numbers) || rule.numbers.size() != 2) {
             e = "option --confirm takes K/N (seen in K of the last N frames), got '" + text + "'";
             return false;
         }
         o.rules.push_back(std::move(rule));
         return true;
     }},
    {nullptr, "--set", true, [](Options& o, const std::string&, const std::string& v, std::string& e) {
         const std::size_t sep = v.find('=');
         if (sep == std::string::npos || sep == 0) {
             e = "option --set takes KEY=VALUE, got '" + v + "'";
             return false;
         }
         o.settings.emplace_back(v.substr(0, sep), v.substr(sep + 1));
         return true;
     }},
};

const OptionRow* FindOption(const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.longName || (row.shortName != nullptr && name == row.shortName)) return &row;
    }
    return nullptr;
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
        std::string value;
        bool hasInline = false;
        const std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            hasInline = true;
            arg = arg.substr(0, eq);
        }
        const OptionRow* option = FindOption(arg);
        if (option == nullptr) {
            error = "unknown option " + arg + " (see --help)";
            return false;
        }
        if (!option->takesValue && hasInline) {
            error = "option " + arg + " takes no value";
            return false;
        }
        if (option->takesValue && !hasInline) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!option->apply(o, arg, value, error)) return false;
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
      --version          program, plug-in interface and OpenCV versions, and how
                         the engine is chosen (a run's summary names it)

Exit status: 0 all sources done, 1 some source failed, 2 bad usage, a
setting the detector refused or an output that would overwrite an input or
another output, 3 detector library not loadable, 4 model folder refused, 5 an
output not writable, 130 interrupted.
)";
}

}  // namespace korva::detect
