// URLs taken apart, and Motion-JPEG read over HTTP without OpenCV.
//
// ParseUrl splits a URL so that credentials never reach a name or a
// message: the user information ends at the last '@', so an unencoded '#',
// '/' or '?' in a password stays in it.
//
// HttpMjpegReader reads a multipart/x-mixed-replace response part by part
// with bounds OpenCV's reader lacks: a part over kMaxImageBytes, a stream
// silent for the stall time and a stop request each end it at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korva::detect {

struct UrlParts {
    std::string scheme;    // lower case
    std::string userInfo;  // as written (percent-encoded), empty when none
    std::string host;      // without brackets for IPv6
    std::string port;      // empty: the scheme's default
    std::string path;      // from the first '/', '?' or '#' after the host ("/" when none)
};

// False when `url` has no "scheme://".
bool ParseUrl(const std::string& url, UrlParts& parts);

// Host, port and path without query or fragment, for naming.
std::string UrlNameText(const UrlParts& parts);

// Larger parts end a stream.
constexpr std::size_t kMaxImageBytes = 64u << 20;

class HttpMjpegReader {
public:
    enum class Opened { kMjpeg, kNotMjpeg, kFailed };

    HttpMjpegReader() = default;
    ~HttpMjpegReader();
    HttpMjpegReader(const HttpMjpegReader&) = delete;
    HttpMjpegReader& operator=(const HttpMjpegReader&) = delete;

    // Connects and reads the response head. kNotMjpeg: the server answered
    // with something else (left to another reader); kFailed with `error`.
    // `label` names the stream in messages.
    Opened Open(const UrlParts& url, const std::string& label, double stallSeconds, std::function<bool()> stop,
                std::string& error);

    // The next part's bytes; false at the end: `error` empty after a normal
    // end or a stop request (Stopped()), else why the stream failed.
    bool NextImage(std::vector<unsigned char>& bytes, std::string& error);
    bool Stopped() const { return stopped_; }

private:
    enum class Got { kData, kEnd, kFailed };
    Got Fill(std::string& error);  // reads more bytes into buffer_
    Got ReadLine(std::string& line, std::string& error);
    void Close();

    std::intptr_t socket_ = -1;
    std::string label_;
    double stallSeconds_ = 10.0;
    std::function<bool()> stop_;
    std::string buffer_;
    std::size_t pos_ = 0;  // read position in buffer_
    std::string marker_;   // "--boundary"
    std::int64_t parts_ = 0;
    bool stopped_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point lastData_;
};

}  // namespace korva::detect
