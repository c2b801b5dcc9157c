// The annotated copy of one source under the output folder: a video of the
// same size and frame rate ("<name>.mp4" with the mp4v codec, else
// "<name>.avi" with MJPG where no MP4 writer is available), or images
// ("<name>.<ext>" for an image source, "<name>/<file>" for a folder).
//
// Every file is written aside and renamed when whole: images one by one,
// the video by Finish when the source ended normally. A file never replaces
// the source it was made from, and part files are created exclusively.
//
// cv::VideoWriter reports no error per frame, so the video is checked when
// it is closed: it must open again and hold every frame written; otherwise
// the source fails and the video keeps its part name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "OutputFile.h"
#include "Sources.h"

namespace korva::detect {

class AnnotatedOutput {
public:
    AnnotatedOutput(std::filesystem::path outDir, SourceEntry entry, double fps);

    // Every file (and part file) the copy of `entry` may write; `images`
    // are a folder's image files.
    static std::vector<NamedPath> Planned(const std::filesystem::path& outDir, const SourceEntry& entry,
                                          const std::vector<std::filesystem::path>& images);
    ~AnnotatedOutput();  // an unfinished video stays under its part name
    AnnotatedOutput(const AnnotatedOutput&) = delete;
    AnnotatedOutput& operator=(const AnnotatedOutput&) = delete;

    // Writes one annotated frame (`file` is the image's source file for
    // image sources); false with `error`.
    bool Write(const cv::Mat& image, const std::string& file, std::string& error);
    // Closes the video and, when `complete`, renames it into place; false
    // with `error`. An incomplete video keeps its part name.
    bool Finish(bool complete, std::string& error);
    // The files renamed into place so far, and a video left incomplete.
    const std::vector<std::filesystem::path>& Written() const { return written_; }
    const std::filesystem::path& Incomplete() const { return incomplete_; }

private:
    bool OpenVideo(cv::Size size, std::string& error);

    std::filesystem::path outDir_;
    SourceEntry entry_;
    double fps_;
    cv::VideoWriter video_;
    cv::Size videoSize_;
    std::filesystem::path videoFinal_;
    std::filesystem::path videoPart_;
    std::vector<std::filesystem::path> written_;
    std::filesystem::path incomplete_;
    std::int64_t framesWritten_ = 0;
};

}  // namespace korva::detect
