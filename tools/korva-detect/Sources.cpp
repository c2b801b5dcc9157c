#include "Sources.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

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

// Readers still blocked in OpenCV after their source was given up.
std::atomic<int> gAbandonedReaders{0};

// What a capture's worker thread shares with its source.
struct CaptureShared {
    std::mutex mutex;
    std::condition_variable changed;
    bool openDone = false;
    bool opened = false;
    double fps = 0.0;
    double count = 0.0;
    bool readWanted = false;
    bool readDone = false;
    bool readOk = false;
    cv::Mat frame;
    double positionMs = -1.0;
    bool busy = false;  // inside an OpenCV call
    bool quit = false;
    bool abandoned = false;
};

// Every OpenCV call of a capture runs on its own thread, so that a stalled
// stream or camera never holds up Ctrl+C: the source stops waiting and the
// thread, when it comes back, ends by itself.
void CaptureWorker(std::shared_ptr<CaptureShared> shared, SourceEntry entry, ReadLimits limits) {
    cv::VideoCapture capture;
    try {
        if (entry.kind == SourceKind::kCamera) {
            capture.open(std::stoi(entry.argument), cv::CAP_ANY);
        } else if (cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) && entry.kind == SourceKind::kStream) {
            // FFmpeg gives up on a silent stream after this long (else 30 s).
            const int ms = static_cast<int>(std::min(limits.stallSeconds * 1000.0, 2.0e9));
            capture.open(entry.argument, cv::CAP_FFMPEG,
                         {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, ms, cv::CAP_PROP_READ_TIMEOUT_MSEC, ms});
        } else if (cv::videoio_registry::hasBackend(cv::CAP_FFMPEG)) {
            // FFmpeg where OpenCV has it: the others log errors for names they cannot open.
            capture.open(entry.argument, cv::CAP_FFMPEG);
        } else {
            capture.open(entry.argument, cv::CAP_ANY);
        }
    } catch (const std::exception&) {
        capture.release();
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->busy = false;
    shared->openDone = true;
    shared->opened = capture.isOpened();
    if (shared->opened) {
        shared->fps = capture.get(cv::CAP_PROP_FPS);
        shared->count = capture.get(cv::CAP_PROP_FRAME_COUNT);
    }
    shared->changed.notify_all();
    while (shared->opened) {
        shared->changed.wait(lock, [&] { return shared->quit || shared->readWanted; });
        if (shared->quit) break;
        shared->readWanted = false;
        shared->busy = true;
        lock.unlock();
        cv::Mat frame;
        bool ok = false;
        double position = -1.0;
        try {
            ok = capture.read(frame) && !frame.empty();
            if (ok) position = capture.get(cv::CAP_PROP_POS_MSEC);
        } catch (const std::exception&) {
            ok = false;
        }
        lock.lock();
        shared->busy = false;
        shared->frame = std::move(frame);
        shared->readOk = ok;
        shared->positionMs = position;
        shared->readDone = true;
        shared->changed.notify_all();
    }
    const bool abandoned = shared->abandoned;
    lock.unlock();
    capture.release();
    if (abandoned) --gAbandonedReaders;
}

class CaptureSource final : public FrameSource {
public:
    CaptureSource(SourceKind kind, std::string label, ReadLimits limits)
        : kind_(kind), label_(std::move(label)), limits_(std::move(limits)) {}

    ~CaptureSource() override {
        if (!worker_.joinable()) return;
        bool busy = false;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->quit = true;
            busy = shared_->busy;
            if (busy) {
                shared_->abandoned = true;
                ++gAbandonedReaders;
            }
        }
        shared_->changed.notify_all();
        if (busy) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }

    bool Open(const SourceEntry& entry, std::string& error) {
        shared_ = std::make_shared<CaptureShared>();
        shared_->busy = true;
        worker_ = std::thread(CaptureWorker, shared_, entry, limits_);
        std::unique_lock<std::mutex> lock(shared_->mutex);
        const Wait waited = Await(lock, [this] { return shared_->openDone; });
        if (waited != Wait::kDone || !shared_->opened) {
            error = "cannot open " + label_ + (waited == Wait::kStopped ? ": interrupted"
                                               : waited == Wait::kStalled ? ": no answer" : "");
            return false;
        }
        fps_ = ValidFps(shared_->fps);
        const double count = shared_->count;
        if (kind_ != SourceKind::kCamera && count >= 1.0 && count < 1e9) total_ = static_cast<std::int64_t>(count);
        lock.unlock();
        start_ = std::chrono::steady_clock::now();
        if (!Read(pending_)) {
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
        if (stopped_) return false;
        // How long the failed read waited (inference time between reads is not silence).
        const double silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - readStart_).count();
        const bool early = total_ > 0 && read_ < total_ - std::max<std::int64_t>(2, total_ / 100);
        if (kind_ != SourceKind::kVideoFile && silent >= limits_.stallSeconds * 0.9) {
            failure_ = label_ + " stalled: no frame for " + std::to_string(static_cast<int>(silent)) + " s after " +
                       std::to_string(read_) + " frames";
        } else if (kind_ == SourceKind::kCamera) {
            failure_ = label_ + " stopped delivering frames after " + std::to_string(read_) + " frames";
        } else if (kind_ == SourceKind::kStream && total_ <= 0) {
            // A live stream has no end: it ended on an error OpenCV does not name.
            failure_ = label_ + " ended after " + std::to_string(read_) + " frames (broken or closed)";
        } else if (early) {
            failure_ = "decoding " + label_ + " stopped at frame " + std::to_string(read_) + " of " +
                       std::to_string(total_);
        }
        return false;
    }
    std::int64_t TotalFrames() const override { return kind_ == SourceKind::kVideoFile ? total_ : -1; }
    double Fps() const override { return fps_ > 0.0 ? fps_ : kDefaultFps; }
    std::string Failure() const override { return failure_; }

private:
    enum class Wait { kDone, kStopped, kStalled };

    // Waits for the worker in short slices, watching for Ctrl+C and, for
    // cameras and streams, a back end that ignores its own timeout.
    template <typename Done>
    Wait Await(std::unique_lock<std::mutex>& lock, Done done) {
        const auto start = std::chrono::steady_clock::now();
        while (!done()) {
            if (limits_.stop && limits_.stop()) return Wait::kStopped;
            const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (kind_ != SourceKind::kVideoFile && waited > limits_.stallSeconds + 1.0) return Wait::kStalled;
            shared_->changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        return Wait::kDone;
    }

    bool Read(SourceFrame& frame) {
        frame = SourceFrame{};
        readStart_ = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->readDone = false;
        shared_->readWanted = true;
        shared_->changed.notify_all();
        const Wait waited = Await(lock, [this] { return shared_->readDone; });
        if (waited == Wait::kStopped) stopped_ = true;
        if (waited != Wait::kDone || !shared_->readOk) return false;
        frame.image = std::move(shared_->frame);
        const double position = shared_->positionMs;
        lock.unlock();
        frame.index = read_++;
        if (kind_ == SourceKind::kVideoFile && fps_ > 0.0) {
            frame.timestampMs = static_cast<double>(frame.index) * 1000.0 / fps_;
        } else if (kind_ == SourceKind::kVideoFile) {
            frame.timestampMs = position;
        } else {
            frame.timestampMs = std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - start_).count();
        }
        return true;
    }

    SourceKind kind_;
    std::string label_;
    ReadLimits limits_;
    std::shared_ptr<CaptureShared> shared_;
    std::thread worker_;
    std::chrono::steady_clock::time_point readStart_;
    double fps_ = 0.0;
    std::int64_t total_ = -1;
    std::int64_t read_ = 0;
    std::chrono::steady_clock::time_point start_;
    SourceFrame pending_;
    bool havePending_ = false;
    bool ended_ = false;
    bool stopped_ = false;
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

int AbandonedReaders() { return gAbandonedReaders.load(); }

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
