#include "AnnotatedOutput.h"

#include <fstream>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "OutputFile.h"

namespace korva::detect {

namespace fs = std::filesystem;

namespace {

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

AnnotatedOutput::AnnotatedOutput(fs::path outDir, SourceEntry entry, double fps)
    : outDir_(std::move(outDir)), entry_(std::move(entry)), fps_(fps) {}

AnnotatedOutput::~AnnotatedOutput() {
    if (video_.isOpened()) video_.release();
}

bool AnnotatedOutput::OpenVideo(cv::Size size, std::string& error) {
    struct Choice {
        const char* extension;
        int fourcc;
    };
    const Choice choices[] = {{".mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v')},
                              {".avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G')}};
    for (const Choice& c : choices) {
        const fs::path finalPath = outDir_ / fs::u8path(entry_.name + c.extension);
        if (SameFile(finalPath, fs::u8path(entry_.argument))) {
            error = "the annotated video " + finalPath.u8string() + " would replace its source";
            return false;
        }
        const fs::path part = PartPath(finalPath);
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
    if (entry_.kind == SourceKind::kImage || entry_.kind == SourceKind::kImageFolder) {
        const fs::path source = fs::u8path(file);
        fs::path dir = outDir_;
        if (entry_.kind == SourceKind::kImageFolder) dir /= fs::u8path(entry_.name);
        std::error_code ec;
        fs::create_directories(dir, ec);
        // An image source is named after its file; a folder keeps its files' names.
        const fs::path finalPath = entry_.kind == SourceKind::kImage
                                       ? dir / fs::u8path(entry_.name + source.extension().u8string())
                                       : dir / source.filename();
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
        const fs::path part = PartPath(finalPath);
        if (encoded) {
            std::ofstream out(part, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (out) {
                if (!CommitPart(part, finalPath, error)) return false;
                written_.push_back(finalPath);
                return true;
            }
        }
        fs::remove(part, ec);
        error = "cannot write annotated image " + finalPath.u8string();
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
    return true;
}

bool AnnotatedOutput::Finish(bool complete, std::string& error) {
    if (!video_.isOpened()) return true;
    video_.release();
    if (!complete) {
        incomplete_ = videoPart_;
        return true;
    }
    if (!CommitPart(videoPart_, videoFinal_, error)) return false;
    written_.push_back(videoFinal_);
    return true;
}

}  // namespace korva::detect
