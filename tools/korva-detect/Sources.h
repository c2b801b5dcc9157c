// Where frames come from: a video file, an image, a folder of images, a
// camera or a stream, behind one interface.
//
// ClassifySource decides what an argument names (without opening it);
// OpenSource opens it. A source delivers frames in order with their index
// and timestamp; a frame it could not decode comes with an error instead of
// pixels (folders go on to the next image; videos and streams end there).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace korva::detect {

enum class SourceKind { kVideoFile, kImage, kImageFolder, kCamera, kStream };

// "video", "image", "folder", "camera", "stream".
const char* SourceKindName(SourceKind kind);

struct SourceEntry {
    std::string argument;  // as given on the command line
    SourceKind kind = SourceKind::kVideoFile;
    std::string name;      // camera id and output file stem
};

// What `argument` names; false with `error` when it names nothing that
// exists (files and folders are checked, cameras and URLs are not).
bool ClassifySource(const std::string& argument, SourceEntry& entry, std::string& error);

// Makes every name unique by appending "_2", "_3", ... to repeats.
void MakeNamesUnique(std::vector<SourceEntry>& entries);

struct SourceFrame {
    cv::Mat image;          // empty when the frame could not be decoded
    std::int64_t index = 0;
    double timestampMs = -1.0;  // position in a video; < 0 when there is none
    std::string file;       // the image file, for image sources
    std::string error;      // why `image` is empty
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The next frame; false at the end of the source.
    virtual bool Next(SourceFrame& frame) = 0;
    // Frames in the source when known, else -1.
    virtual std::int64_t TotalFrames() const = 0;
    // Frame rate for an annotated video (a default for sources without one).
    virtual double Fps() const = 0;
    // Why the source ended early; empty after a normal end.
    virtual std::string Failure() const = 0;
};

// How long a camera or stream may stay silent, and how a wait is cut short.
struct ReadLimits {
    double stallSeconds = 10.0;   // a stream or camera silent this long has failed
    std::function<bool()> stop;   // polled while waiting; true ends the source
};

// The opened source; null with `error` when it cannot be opened or holds
// no image. An http:// stream serving Motion-JPEG (multipart) is read by
// korva-detect itself, with a bound on each part; other streams by OpenCV.
std::unique_ptr<FrameSource> OpenSource(const SourceEntry& entry, std::string& error,
                                        const ReadLimits& limits = {});

// Camera and stream readers still blocked inside OpenCV after their source
// was given up (Ctrl+C or a stall); the process should then end without
// tearing down what they use.
int AbandonedReaders();

// The image files of a folder source, by name; false with `error`.
bool ListImages(const std::filesystem::path& folder, std::vector<std::filesystem::path>& files,
                std::string& error);

// File name extensions read as images (lower case, with the dot).
bool IsImageExtension(const std::string& extension);

}  // namespace korva::detect
