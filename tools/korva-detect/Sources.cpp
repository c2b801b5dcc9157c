#include "Sources.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include "HttpStream.h"

namespace korva::detect {

namespace fs = std::filesystem;

namespace {

// Larger image files are refused before reading.
constexpr std::uintmax_t kMaxImageFileBytes = 512ull << 20;
constexpr double kDefaultFps = 25.0;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() <= 4 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Letters, digits, '.', '-' and '_' kept; runs of anything else become '_'.
std::string SafeName(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        if (keep) {
            out += c;
        } else if (!out.empty() && out.back() != '_') {
            out += '_';
        }
    }
    while (!out.empty() && (out.back() == '_' || out.back() == '.')) out.pop_back();
    return out;
}

// Host and path of a URL, without scheme, credentials or query.
std::string StreamName(const std::string& url) {
    UrlParts parts;
    const std::string name = ParseUrl(url, parts) ? SafeName(UrlNameText(parts)) : std::string();
    return name.empty() ? "stream" : name;
}

double ValidFps(double fps) { return fps > 0.0 && fps <= 1000.0 ? fps : 0.0; }

// Reads and decodes an image file as 8-bit BGR.
cv::Mat ReadImage(const fs::path& path, std::string& error) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        error = "cannot read " + path.u8string() + ": " + ec.message();
        return {};
    }
    if (size == 0 || size > kMaxImageFileBytes) {
        error = "cannot decode image " + path.u8string() + ": " + std::to_string(size) + " bytes";
        return {};
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        error = "cannot read " + path.u8string();
        return {};
    }
    cv::Mat image;
    try {
        image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        image.release();
    }
    if (image.empty()) error = "cannot decode image " + path.u8string();
    return image;
}

class ImageListSource final : public FrameSource {
public:
    explicit ImageListSource(std::vector<fs::path> files) : files_(std::move(files)) {}
    bool Next(SourceFrame& frame) override {
        if (next_ >= files_.size()) return false;
        const fs::path& path = files_[next_];
        frame = SourceFrame{};
        frame.index = static_cast<std::int64_t>(next_++);
        frame.file = path.u8string();
        frame.image = ReadImage(path, frame.error);
        return true;
    }
    std::int64_t TotalFrames() const override { return static_cast<std::int64_t>(files_.size()); }
    double Fps() const override { return 0.0; }
    std::string Failure() const override { return {}; }

private:
    std::vector<fs::path> files_;
    std::size_t next_ = 0;
};

class CaptureSource final : public FrameSource {
public:
    CaptureSource(SourceKind kind, std::string label, ReadLimits limits)
        : kind_(kind), label_(std::move(label)), limits_(std::move(limits)) {}

    bool Open(const SourceEntry& entry, std::string& error) {
        try {
            if (kind_ == SourceKind::kCamera) {
                capture_.open(std::stoi(entry.argument), cv::CAP_ANY);
            } else {
                // FFmpeg where OpenCV has it: the others log errors for names they cannot open.
                if (cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) && kind_ == SourceKind::kStream) {
                    // FFmpeg gives up on a silent stream after this long (else 30 s).
                    const int ms = static_cast<int>(std::min(limits_.stallSeconds * 1000.0, 2.0e9));
                    capture_.open(entry.argument, cv::CAP_FFMPEG,
                                  {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, ms, cv::CAP_PROP_READ_TIMEOUT_MSEC, ms});
                } else if (cv::videoio_registry::hasBackend(cv::CAP_FFMPEG)) {
                    capture_.open(entry.argument, cv::CAP_FFMPEG);
                } else {
                    capture_.open(entry.argument, cv::CAP_ANY);
                }
            }
        } catch (const std::exception&) {
            capture_.release();
        }
        if (!capture_.isOpened()) {
            error = "cannot open " + label_;
            return false;
        }
        fps_ = ValidFps(capture_.get(cv::CAP_PROP_FPS));
        const double count = capture_.get(cv::CAP_PROP_FRAME_COUNT);
        if (kind_ == SourceKind::kVideoFile && count >= 1.0 && count < 1e9) total_ = static_cast<std::int64_t>(count);
        start_ = std::chrono::steady_clock::now();
        lastFrame_ = start_;
        if (!Read(pending_) ) {
            error = "no frame could be decoded from " + label_;
            return false;
        }
        havePending_ = true;
        return true;
    }

    bool Next(SourceFrame& frame) override {
        if (havePending_) {
            havePending_ = false;
            frame = std::move(pending_);
            return true;
        }
        if (ended_) return false;
        if (Read(frame)) return true;
        ended_ = true;
        const double silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastFrame_).count();
        if (kind_ == SourceKind::kStream && silent >= limits_.stallSeconds * 0.9) {
            failure_ = label_ + " stalled: no frame for " + std::to_string(static_cast<int>(silent)) + " s after " +
                       std::to_string(read_) + " frames";
        } else if (kind_ == SourceKind::kCamera) {
            failure_ = label_ + " stopped delivering frames after " + std::to_string(read_) + " frames";
        } else if (total_ > 0 && read_ < total_ - std::max<std::int64_t>(2, total_ / 100)) {
            failure_ = "decoding " + label_ + " stopped at frame " + std::to_string(read_) + " of " +
                       std::to_string(total_);
        }
        return false;
    }
    std::int64_t TotalFrames() const override { return total_; }
    double Fps() const override { return fps_ > 0.0 ? fps_ : kDefaultFps; }
    std::string Failure() const override { return failure_; }

private:
    bool Read(SourceFrame& frame) {
        frame = SourceFrame{};
        try {
            if (!capture_.read(frame.image) || frame.image.empty()) return false;
        } catch (const std::exception&) {
            return false;
        }
        frame.index = read_++;
        lastFrame_ = std::chrono::steady_clock::now();
        if (kind_ == SourceKind::kVideoFile && fps_ > 0.0) {
            frame.timestampMs = static_cast<double>(frame.index) * 1000.0 / fps_;
        } else if (kind_ == SourceKind::kVideoFile) {
            frame.timestampMs = capture_.get(cv::CAP_PROP_POS_MSEC);
        } else {
            frame.timestampMs = std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - start_).count();
        }
        return true;
    }

    SourceKind kind_;
    std::string label_;
    ReadLimits limits_;
    cv::VideoCapture capture_;
    std::chrono::steady_clock::time_point lastFrame_;
    double fps_ = 0.0;
    std::int64_t total_ = -1;
    std::int64_t read_ = 0;
    std::chrono::steady_clock::time_point start_;
    SourceFrame pending_;
    bool havePending_ = false;
    bool ended_ = false;
    std::string failure_;
};

// Motion-JPEG over HTTP: a part that does not decode is a failed frame and
// the stream goes on; a stall, an oversized part or a cut ends it as failed.
class MjpegSource final : public FrameSource {
public:
    MjpegSource(std::unique_ptr<HttpMjpegReader> reader, std::string label)
        : reader_(std::move(reader)), label_(std::move(label)), start_(std::chrono::steady_clock::now()) {}

    bool Next(SourceFrame& frame) override {
        if (ended_) return false;
        std::vector<unsigned char> bytes;
        std::string error;
        if (!reader_->NextImage(bytes, error)) {
            ended_ = true;
            failure_ = error;
            return false;
        }
        frame = SourceFrame{};
        frame.index = read_++;
        frame.timestampMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        try {
            if (!bytes.empty()) frame.image = cv::imdecode(bytes, cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            frame.image.release();
        }
        if (frame.image.empty()) {
            frame.error = "cannot decode part " + std::to_string(frame.index + 1) + " of " + label_ + " (" +
                          std::to_string(bytes.size()) + " bytes)";
        }
        return true;
    }
    std::int64_t TotalFrames() const override { return -1; }
    double Fps() const override { return kDefaultFps; }
    std::string Failure() const override { return failure_; }

private:
    std::unique_ptr<HttpMjpegReader> reader_;
    std::string label_;
    std::chrono::steady_clock::time_point start_;
    std::int64_t read_ = 0;
    bool ended_ = false;
    std::string failure_;
};

}  // namespace

bool ListImages(const fs::path& folder, std::vector<fs::path>& files, std::string& error) {
    files.clear();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (it->is_regular_file(ec2) && IsImageExtension(it->path().extension().u8string())) {
            files.push_back(it->path());
        }
    }
    if (ec) {
        error = "cannot list folder " + folder.u8string() + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    return true;
}

const char* SourceKindName(SourceKind kind) {
    switch (kind) {
        case SourceKind::kVideoFile: return "video";
        case SourceKind::kImage: return "image";
        case SourceKind::kImageFolder: return "folder";
        case SourceKind::kCamera: return "camera";
        case SourceKind::kStream: return "stream";
    }
    return "video";
}

bool IsImageExtension(const std::string& extension) {
    static const char* const kImages[] = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff",
                                          ".webp", ".pgm", ".ppm", ".pbm", ".pnm", ".jp2"};
    const std::string e = Lower(extension);
    return std::any_of(std::begin(kImages), std::end(kImages), [&](const char* x) { return e == x; });
}

bool ClassifySource(const std::string& argument, SourceEntry& entry, std::string& error) {
    entry = SourceEntry{};
    entry.argument = argument;
    if (AllDigits(argument)) {
        entry.kind = SourceKind::kCamera;
        entry.name = "camera" + argument;
        return true;
    }
    if (argument.find("://") != std::string::npos) {
        entry.kind = SourceKind::kStream;
        entry.name = StreamName(argument);
        return true;
    }
    const fs::path path = fs::u8path(argument);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        error = "source " + argument + " does not exist";
        return false;
    }
    if (fs::is_directory(status)) {
        entry.kind = SourceKind::kImageFolder;
        fs::path clean = path.lexically_normal();
        if (!clean.has_filename()) clean = clean.parent_path();
        entry.name = clean.filename().u8string();
        if (entry.name.empty() || entry.name == "." || entry.name == "..") {
            entry.name = fs::absolute(path, ec).lexically_normal().parent_path().filename().u8string();
        }
    } else {
        entry.kind = IsImageExtension(path.extension().u8string()) ? SourceKind::kImage : SourceKind::kVideoFile;
        entry.name = path.stem().u8string();
    }
    if (entry.name.empty()) entry.name = "source";
    return true;
}

void MakeNamesUnique(std::vector<SourceEntry>& entries) {
    std::map<std::string, int> seen;
    for (SourceEntry& s : entries) {
        const int n = ++seen[s.name];
        if (n > 1) {
            std::string candidate;
            int k = n;
            do {
                candidate = s.name + "_" + std::to_string(k++);
            } while (seen.count(candidate) != 0);
            seen[candidate] = 1;
            s.name = candidate;
        }
    }
}

std::unique_ptr<FrameSource> OpenSource(const SourceEntry& entry, std::string& error, const ReadLimits& limits) {
    const std::string label = std::string(SourceKindName(entry.kind)) + " " + entry.argument;
    switch (entry.kind) {
        case SourceKind::kImage:
        case SourceKind::kImageFolder: {
            std::vector<fs::path> files;
            const fs::path path = fs::u8path(entry.argument);
            if (entry.kind == SourceKind::kImage) {
                files.push_back(path);
            } else {
                std::string why;
                if (!ListImages(path, files, why)) {
                    error = "cannot list " + label + ": " + why;
                    return nullptr;
                }
                if (files.empty()) {
                    error = label + " holds no image";
                    return nullptr;
                }
            }
            if (entry.kind == SourceKind::kImage) {
                std::string why;
                if (ReadImage(files[0], why).empty()) {
                    error = why;
                    return nullptr;
                }
            }
            return std::make_unique<ImageListSource>(std::move(files));
        }
        case SourceKind::kVideoFile:
        case SourceKind::kCamera:
        case SourceKind::kStream: {
            // Credentials in a URL stay out of messages.
            const std::string shown = entry.kind == SourceKind::kStream
                                          ? std::string("stream ") + entry.name
                                          : label;
            UrlParts url;
            if (entry.kind == SourceKind::kStream && ParseUrl(entry.argument, url) && url.scheme == "http") {
                auto reader = std::make_unique<HttpMjpegReader>();
                switch (reader->Open(url, shown, limits.stallSeconds, limits.stop, error)) {
                    case HttpMjpegReader::Opened::kMjpeg:
                        return std::make_unique<MjpegSource>(std::move(reader), shown);
                    case HttpMjpegReader::Opened::kFailed:
                        return nullptr;
                    case HttpMjpegReader::Opened::kNotMjpeg:
                        break;  // a video over HTTP: OpenCV reads it
                }
            }
            auto source = std::make_unique<CaptureSource>(entry.kind, shown, limits);
            if (!source->Open(entry, error)) return nullptr;
            return source;
        }
    }
    error = "unknown source kind";
    return nullptr;
}

}  // namespace korva::detect
