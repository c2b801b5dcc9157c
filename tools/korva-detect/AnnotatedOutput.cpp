#include "AnnotatedOutput.h"

#include <cstdio>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio/registry.hpp>

#include "OutputFile.h"

namespace korva::detect {

namespace fs = std::filesystem;

namespace {

// How often the disk under a video being written is looked at.
constexpr std::int64_t kSpaceCheckFrames = 25;

struct VideoChoice {
    const char* extension;
    int fourcc;
};

const VideoChoice kVideoChoices[] = {{".mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v')},
                                     {".avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G')}};

bool IsImageSource(SourceKind kind) { return kind == SourceKind::kImage || kind == SourceKind::kImageFolder; }

// An image source is named after its file; a folder keeps its files' names.
fs::path ImagePath(const fs::path& outDir, const SourceEntry& entry, const fs::path& source) {
    if (entry.kind == SourceKind::kImage) return outDir / fs::u8path(entry.name + source.extension().u8string());
    return outDir / fs::u8path(entry.name) / source.filename();
}

// Whether the closed video at `path` opens and holds `frames` frames (where
// the reader knows its count).
bool VideoReadsBack(const fs::path& path, std::int64_t frames, std::string& why) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size == 0) {
        why = "it is empty";
        return false;
    }
    try {
        // Read back with FFmpeg, which wrote it: falling back to other back-ends
        // (GStreamer) on a damaged file only adds log noise and leaks.
        const int api = cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_ANY;
        cv::VideoCapture check(path.u8string(), api);
        cv::Mat frame;
        if (!check.isOpened() || !check.read(frame) || frame.empty()) {
            why = "it does not open as a video (disk full?)";
            return false;
        }
        const double count = check.get(cv::CAP_PROP_FRAME_COUNT);
        if (count > 0.0 && static_cast<std::int64_t>(count) != frames) {
            why = "it holds " + std::to_string(static_cast<std::int64_t>(count)) + " of " +
                  std::to_string(frames) + " frames written";
            return false;
        }
    } catch (const cv::Exception& e) {
        why = std::string("it does not open as a video: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace

std::vector<NamedPath> AnnotatedOutput::Planned(const fs::path& outDir, const SourceEntry& entry,
                                                const std::vector<fs::path>& images) {
    std::vector<NamedPath> out;
    auto add = [&](const fs::path& finalPath, const std::string& role) {
        out.push_back({finalPath, role, false});
        out.push_back({PartPath(finalPath), role + " (part file)", true});
    };
    if (IsImageSource(entry.kind)) {
        for (const fs::path& image : images) add(ImagePath(outDir, entry, image), "annotated image");
    } else {
        for (const VideoChoice& c : kVideoChoices) {
            add(outDir / fs::u8path(entry.name + c.extension), "annotated video");
        }
    }
    return out;
}

AnnotatedOutput::AnnotatedOutput(fs::path outDir, SourceEntry entry, double fps)
    : outDir_(std::move(outDir)), entry_(std::move(entry)), fps_(fps) {}

AnnotatedOutput::~AnnotatedOutput() {
    if (video_.isOpened()) video_.release();
}

bool AnnotatedOutput::OpenVideo(cv::Size size, std::string& error) {
    for (const VideoChoice& c : kVideoChoices) {
        const fs::path finalPath = outDir_ / fs::u8path(entry_.name + c.extension);
        if (SameFile(finalPath, fs::u8path(entry_.argument))) {
            error = "the annotated video " + finalPath.u8string() + " would replace its source";
            return false;
        }
        const fs::path part = PartPath(finalPath);
        // The part file is made here, exclusively; the writer then only reuses it.
        std::FILE* reserved = CreateExclusive(part, error);
        if (reserved == nullptr) return false;
        std::fclose(reserved);
        try {
            if (video_.open(part.u8string(), cv::CAP_ANY, c.fourcc, fps_, size, true)) {
                videoFinal_ = finalPath;
                videoPart_ = part;
                videoSize_ = size;
                return true;
            }
        } catch (const cv::Exception&) {
        }
        std::error_code ec;
        fs::remove(part, ec);
    }
    error = "cannot write an annotated video for " + entry_.name + " in " + outDir_.u8string();
    return false;
}

bool AnnotatedOutput::Write(const cv::Mat& image, const std::string& file, std::string& error) {
    if (IsImageSource(entry_.kind)) {
        const fs::path source = fs::u8path(file);
        const fs::path finalPath = ImagePath(outDir_, entry_, source);
        std::error_code ec;
        fs::create_directories(finalPath.parent_path(), ec);
        if (SameFile(finalPath, source)) {
            error = "the annotated image " + finalPath.u8string() + " would replace its source";
            return false;
        }
        std::vector<unsigned char> bytes;
        bool encoded = false;
        try {
            encoded = cv::imencode(source.extension().u8string(), image, bytes);
        } catch (const cv::Exception&) {
        }
        if (!encoded) {
            error = "cannot encode annotated image " + finalPath.u8string();
            return false;
        }
        const fs::path part = PartPath(finalPath);
        std::FILE* out = CreateExclusive(part, error);
        if (out == nullptr) return false;
        const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) == 0 && wrote) {
            if (!CommitPart(part, finalPath, error)) return false;
            written_.push_back(finalPath);
            return true;
        }
        fs::remove(part, ec);
        error = "cannot write annotated image " + finalPath.u8string() + " (disk full?)";
        return false;
    }
    if (!video_.isOpened() && !OpenVideo(image.size(), error)) return false;
    if (image.size() == videoSize_) {
        video_.write(image);
    } else {
        cv::Mat resized;  // a stream that changes resolution keeps the first one
        cv::resize(image, resized, videoSize_);
        video_.write(resized);
    }
    // The writer reports nothing per frame; a full disk is seen here early,
    // the rest when the video is read back in Finish.
    if (++framesWritten_ % kSpaceCheckFrames == 0) {
        std::error_code ec;
        if (!fs::exists(videoPart_, ec)) {
            error = "the annotated video " + videoPart_.u8string() + " was removed while being written";
            return false;
        }
        const fs::space_info space = fs::space(videoPart_.parent_path(), ec);
        if (!ec && space.available == 0) {
            error = "writing the annotated video " + videoPart_.u8string() + " failed: the disk is full";
            return false;
        }
    }
    return true;
}

bool AnnotatedOutput::Finish(bool complete, std::string& error) {
    if (!video_.isOpened()) return true;
    video_.release();
    std::string why;
    if (!VideoReadsBack(videoPart_, framesWritten_, why)) {
        incomplete_ = videoPart_;
        error = "writing the annotated video failed: " + why + "; left incomplete as " + videoPart_.u8string();
        return false;
    }
    if (!complete) {
        incomplete_ = videoPart_;
        return true;
    }
    if (!CommitPart(videoPart_, videoFinal_, error)) return false;
    written_.push_back(videoFinal_);
    return true;
}

}  // namespace korva::detect
